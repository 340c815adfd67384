#include "addin/v8napi.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <stdexcept>

#include "support/log.h"
#include "support/secrets.h"
#include "support/text.h"

namespace vantorel {

using namespace abi;

// ---------------------------------------------------------------- host objects

bool TV8MemoryManager::AllocMemory(void** block, std::size_t size) const {
  if (host_ == nullptr || host_->table == nullptr || host_->table->AllocMemory == nullptr)
    return false;
  if (size > static_cast<std::size_t>(UINT32_MAX)) return false;  // the host's size is 32-bit on Windows
  return host_->table->AllocMemory(host_, block, static_cast<HostULong>(size));
}

void TV8MemoryManager::FreeMemory(void** block) const {
  if (host_ == nullptr || host_->table == nullptr || host_->table->FreeMemory == nullptr) return;
  host_->table->FreeMemory(host_, block);
}

namespace {
constexpr std::u16string_view kErrorSource = u"Внешняя компонента";
}

void TV8AddInDefBase::AddError(std::uint16_t code, std::u16string_view source,
                               std::u16string_view descr, std::int32_t scode) const {
  if (host_ == nullptr || host_->table == nullptr || host_->table->AddError == nullptr) return;
  const std::u16string s(source), d(descr);
  host_->table->AddError(host_, code, s.c_str(), d.c_str(), scode);
}

// ---------------------------------------------------------------- registry

TMethReg& TClassReg::AddMethod(std::u16string name, std::u16string nameLoc, bool isFunction,
                               ExecuteProc execute, int paramCount) {
  TMethReg m;
  m.MethName = std::move(name);
  m.MethNameLoc = std::move(nameLoc);
  m.IsFunction = isFunction;
  m.Execute = execute;
  m.ParamCount = paramCount;
  MethList.push_back(std::move(m));
  return MethList.back();
}

TPropReg& TClassReg::AddProp(std::u16string name, std::u16string nameLoc, bool readable,
                             bool writable, PropGetSetProc getSet) {
  PropList.push_back(TPropReg{std::move(name), std::move(nameLoc), readable, writable, getSet});
  return PropList.back();
}

// Names are compared exactly: the host's lookup is case-sensitive.
long TClassReg::FindMethod(std::u16string_view name) const {
  for (std::size_t i = 0; i < MethList.size(); ++i)
    if (MethList[i].MethNameLoc == name || MethList[i].MethName == name) return static_cast<long>(i);
  return -1;
}

long TClassReg::FindProp(std::u16string_view name) const {
  for (std::size_t i = 0; i < PropList.size(); ++i)
    if (PropList[i].PropNameLoc == name || PropList[i].PropName == name) return static_cast<long>(i);
  return -1;
}

TClassReg& TClassRegList::RegisterClass(CreateProc userClass, std::u16string registerExtensionAs,
                                        std::u16string natApiClassName) {
  auto reg = std::make_unique<TClassReg>();
  reg->UserClass = userClass;
  reg->RegisterExtensionAs = std::move(registerExtensionAs);
  reg->NatApiClassName = std::move(natApiClassName);
  if (!classNames_.empty()) classNames_ += u'|';
  classNames_ += reg->NatApiClassName;
  classes_.push_back(std::move(reg));
  return *classes_.back();
}

const TClassReg* TClassRegList::Find(std::u16string_view name) const {
  for (const auto& c : classes_)
    if (c->NatApiClassName == name) return c.get();
  return nullptr;
}

TClassRegList& ClassRegistry() {
  static TClassRegList registry;
  return registry;
}

// ---------------------------------------------------------------- default parameters

V8Variant& TDefParamList::AddParam(int num) {
  Entry e{};
  e.num = num - 1;
  values_.push_back(e);
  return values_.back().value;
}
void TDefParamList::AddInt(std::int32_t v, int paramNum) {
  auto& r = AddParam(paramNum);
  r.vt = VTYPE_I4;
  r.lVal = v;
}
void TDefParamList::AddDouble(double v, int paramNum) {
  auto& r = AddParam(paramNum);
  r.vt = VTYPE_R8;
  r.dblVal = v;
}
void TDefParamList::AddBool(bool v, int paramNum) {
  auto& r = AddParam(paramNum);
  r.vt = VTYPE_BOOL;
  r.bVal = v;
}
void TDefParamList::AddDate(double v, int paramNum) {
  auto& r = AddParam(paramNum);
  r.vt = VTYPE_DATE;
  r.date = v;
}
void TDefParamList::AddWString(const char16_t* v, int paramNum) {
  auto& r = AddParam(paramNum);
  r.vt = VTYPE_PWSTR;
  r.wstrRec.pwstrVal = const_cast<char16_t*>(v);
  r.wstrRec.wstrLen = static_cast<std::uint32_t>(std::char_traits<char16_t>::length(v));
}
void TDefParamList::AddAString(const char* v, int paramNum) {
  auto& r = AddParam(paramNum);
  r.vt = VTYPE_PSTR;
  r.strRec.pstrVal = const_cast<char*>(v);
  r.strRec.strLen = static_cast<std::uint32_t>(std::strlen(v));
}
const V8Variant* TDefParamList::Find(int num) const {
  for (const auto& e : values_)
    if (e.num == num) return &e.value;
  return nullptr;
}

// ---------------------------------------------------------------- writing values

void TV8UserObject::V8ClearVar(V8Variant* v) const {
  if (v == nullptr) return;
  try {
    const auto code = v->vt & VTYPE_CODE_MASK;
    if ((code == VTYPE_PSTR || code == VTYPE_BLOB) && v->strRec.pstrVal != nullptr) {
      void* p = v->strRec.pstrVal;
      V8MM.FreeMemory(&p);
    } else if (code == VTYPE_PWSTR && v->wstrRec.pwstrVal != nullptr) {
      void* p = v->wstrRec.pwstrVal;
      V8MM.FreeMemory(&p);
    }
    // Interface values are never passed to this add-in's methods, and releasing one would
    // need the host's vtable layout of an unknown interface: we leave them alone.
  } catch (const std::exception& e) {
    log::WriteLog("EXCEPTION V8ClearVar", e.what(), log::Level::Error);
  }
  std::memset(static_cast<void*>(v), 0, sizeof(V8Variant));
}

void TV8UserObject::V8SetInt(V8Variant* v, std::int32_t value) const {
  if (v == nullptr) return;
  V8ClearVar(v);
  v->vt = VTYPE_I4;
  v->lVal = value;
}
void TV8UserObject::V8SetInt64(V8Variant* v, std::int64_t value) const {
  if (v == nullptr) return;
  V8ClearVar(v);
  v->vt = VTYPE_I8;
  v->llVal = value;
}
void TV8UserObject::V8SetDouble(V8Variant* v, double value) const {
  if (v == nullptr) return;
  V8ClearVar(v);
  v->vt = VTYPE_R8;
  v->dblVal = value;
}
void TV8UserObject::V8SetDate(V8Variant* v, double value) const {
  if (v == nullptr) return;
  V8ClearVar(v);
  v->vt = VTYPE_DATE;
  v->date = value;
}
void TV8UserObject::V8SetBool(V8Variant* v, bool value) const {
  if (v == nullptr) return;
  V8ClearVar(v);
  v->vt = VTYPE_BOOL;
  v->bVal = value;
}

bool TV8UserObject::V8SetWString(V8Variant* v, std::u16string_view value) const {
  if (v == nullptr) return false;
  V8ClearVar(v);
  v->vt = VTYPE_PWSTR;
  if (value.size() >= UINT32_MAX / 2) return false;
  void* p = nullptr;
  if (!V8MM.AllocMemory(&p, (value.size() + 1) * sizeof(char16_t)) || p == nullptr) return false;
  auto* dst = static_cast<char16_t*>(p);
  std::memcpy(dst, value.data(), value.size() * sizeof(char16_t));
  dst[value.size()] = 0;
  v->wstrRec.pwstrVal = dst;
  v->wstrRec.wstrLen = static_cast<std::uint32_t>(value.size());
  return true;
}

bool TV8UserObject::V8SetWString(V8Variant* v, std::string_view utf8) const {
  return V8SetWString(v, std::u16string_view(text::ToUtf16(utf8)));
}

bool TV8UserObject::V8SetPChar(V8Variant* v, const char* value) const {
  if (value == nullptr) return true;
  return V8SetString(v, value);
}

bool TV8UserObject::V8SetString(V8Variant* v, std::string_view value) const {
  if (v == nullptr) return false;
  V8ClearVar(v);
  v->vt = VTYPE_PSTR;
  if (value.size() >= UINT32_MAX) return false;
  void* p = nullptr;
  if (!V8MM.AllocMemory(&p, value.size() + 1) || p == nullptr) return false;
  auto* dst = static_cast<char*>(p);
  std::memcpy(dst, value.data(), value.size());
  dst[value.size()] = 0;
  v->strRec.pstrVal = dst;
  v->strRec.strLen = static_cast<std::uint32_t>(value.size());
  return true;
}

bool TV8UserObject::V8SetBlob(V8Variant* v, const void* bytes, std::size_t count) const {
  if (bytes == nullptr) return true;
  if (v == nullptr) return false;
  V8ClearVar(v);
  v->vt = VTYPE_BLOB;
  if (count >= UINT32_MAX) return false;
  void* p = nullptr;
  if (!V8MM.AllocMemory(&p, count == 0 ? 1 : count) || p == nullptr) return false;
  std::memcpy(p, bytes, count);
  v->strRec.pstrVal = static_cast<char*>(p);
  v->strRec.strLen = static_cast<std::uint32_t>(count);
  return true;
}

char16_t* TV8UserObject::HostCopy(std::u16string_view text) const {
  void* p = nullptr;
  if (!V8MM.AllocMemory(&p, (text.size() + 1) * sizeof(char16_t)) || p == nullptr) return nullptr;
  auto* dst = static_cast<char16_t*>(p);
  std::memcpy(dst, text.data(), text.size() * sizeof(char16_t));
  dst[text.size()] = 0;
  return dst;
}

void TV8UserObject::AddMessage(std::uint16_t importance, std::u16string_view source,
                               std::string_view utf8) const {
  V8.AddError(importance, source, text::ToUtf16(utf8), 0);
}

// ---------------------------------------------------------------- reading values

namespace {
std::uint16_t Code(const V8Variant* v) { return v->vt & VTYPE_CODE_MASK; }

// Integers in host texts: optional sign, decimal digits, surrounding blanks allowed.
bool ParseInt32(std::u16string_view s, std::int32_t& out) {
  const std::string t = text::Trim(text::ToUtf8(s));
  if (t.empty()) return false;
  const char* b = t.data();
  const char* e = b + t.size();
  if (*b == '+') ++b;
  auto r = std::from_chars(b, e, out);
  return r.ec == std::errc() && r.ptr == e;
}

bool ParseDouble(std::u16string_view s, double& out) {
  std::string t = text::Trim(text::ToUtf8(s));
  if (t.empty()) return false;
  const char sep = DecimalSeparator();
  // Only the driver's separator is accepted; the parser itself wants a point.
  for (auto& c : t) {
    if (c == sep) c = '.';
    else if (c == '.' && sep != '.') return false;
  }
  const char* b = t.data();
  if (*b == '+') ++b;
  auto r = std::from_chars(b, t.data() + t.size(), out);
  return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

char g_decimalSeparator = '.';
}  // namespace

char DecimalSeparator() { return g_decimalSeparator; }
void SetDecimalSeparator(char separator) { g_decimalSeparator = separator; }

std::u16string V8GetWString(const V8Variant* v) {
  if (v == nullptr || Code(v) != VTYPE_PWSTR || v->wstrRec.pwstrVal == nullptr) return {};
  const char16_t* p = v->wstrRec.pwstrVal;
  // Up to the first zero; when the host gives a length, never read past it.
  const std::size_t limit = v->wstrRec.wstrLen != 0 ? v->wstrRec.wstrLen : SIZE_MAX;
  std::size_t n = 0;
  while (n < limit && p[n] != 0) ++n;
  return std::u16string(p, n);
}

std::int32_t V8GetInt(const V8Variant* v) {
  if (v == nullptr) return 0;
  switch (Code(v)) {
    case VTYPE_I4:
    case VTYPE_ERROR:
      return v->lVal;
    case VTYPE_I2:
      return v->shortVal;
    case VTYPE_UI1:
      return v->ui8Val;
    case VTYPE_R4:
    case VTYPE_R8:
    case VTYPE_DATE: {
      const double d = Code(v) == VTYPE_R4 ? v->fltVal : Code(v) == VTYPE_R8 ? v->dblVal : v->date;
      if (!std::isfinite(d) || d >= 2147483648.0 || d <= -2147483649.0) return 0;
      return static_cast<std::int32_t>(std::trunc(d));
    }
    case VTYPE_PWSTR: {
      std::int32_t i = 0;
      return ParseInt32(V8GetWString(v), i) ? i : 0;
    }
    default:
      return 0;
  }
}

bool V8GetBool(const V8Variant* v) {
  if (v == nullptr) return false;
  if (Code(v) == VTYPE_BOOL) return v->bVal;
  return V8GetInt(v) != 0;
}

double V8GetDouble(const V8Variant* v) {
  if (v == nullptr) return 0;
  switch (Code(v)) {
    case VTYPE_R8:
      return v->dblVal;
    case VTYPE_R4:
      return v->fltVal;
    case VTYPE_DATE:
      return v->date;
    case VTYPE_I4:
    case VTYPE_ERROR:
      return v->lVal;
    case VTYPE_I2:
      return v->shortVal;
    case VTYPE_UI1:
      return v->ui8Val;
    case VTYPE_PWSTR: {
      double d = 0;
      return ParseDouble(V8GetWString(v), d) ? d : 0;
    }
    default:
      return 0;
  }
}

bool V8IsString(const V8Variant* v) {
  return v != nullptr && (Code(v) == VTYPE_PSTR || Code(v) == VTYPE_PWSTR);
}

std::string V8TypeName(const V8Variant* v) {
  static const char* const kNames[] = {
      "VTYPE_EMPTY", "VTYPE_NULL",  "VTYPE_I2",        "VTYPE_I4",    "VTYPE_R4",
      "VTYPE_R8",    "VTYPE_DATE",  "VTYPE_TM",        "VTYPE_PSTR",  "VTYPE_INTERFACE",
      "VTYPE_ERROR", "VTYPE_BOOL",  "VTYPE_VARIANT",   "VTYPE_I1",    "VTYPE_UI1",
      "VTYPE_UI2",   "VTYPE_UI4",   "VTYPE_I8",        "VTYPE_UI8",   "VTYPE_INT",
      "VTYPE_UINT",  "VTYPE_HRESULT", "VTYPE_PWSTR",   "VTYPE_BLOB",  "VTYPE_CLSID"};
  if (v == nullptr) return "unknown type";
  const auto code = Code(v);
  std::string name;
  if (code < std::size(kNames)) name = kNames[code];
  else if (code == VTYPE_STR_BLOB) name = "VTYPE_STR_BLOB";
  else return "unknown type";
  if (v->vt & VTYPE_BYREF) name += " by ref";
  else if (v->vt & VTYPE_ARRAY) name += " array";
  else if (v->vt & VTYPE_VECTOR) name += " vector";
  return name;
}

std::string FormatDouble(double value, char separator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  // to_chars and from_chars ignore the C locale, which a host may have changed.
  char full[64], buf[64];
  auto r = std::to_chars(full, full + sizeof full, value, std::chars_format::general, 15);
  double target = 0;
  std::from_chars(full, r.ptr, target);
  char* end = buf;
  for (int prec = 1; prec <= 15; ++prec) {
    end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, prec).ptr;
    double back = 0;
    std::from_chars(buf, end, back);
    if (back == target) break;
  }
  std::string s(buf, end);
  // The general form turns to an exponent once the digits kept are fewer than the integer digits
  // (100 kept as "1" reads "1e+02"); up to 15 integer digits are written out in full instead.
  if (const auto e = s.find('e'); e != std::string::npos) {
    int exponent = -1;
    const std::size_t digits = e + 1 < s.size() && s[e + 1] == '+' ? e + 2 : e + 1;
    std::from_chars(s.data() + digits, s.data() + s.size(), exponent);
    if (exponent >= 0 && exponent < 15)
      s.assign(buf, std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 0).ptr);
  }
  for (auto& c : s)
    if (c == '.') c = separator;
  return s;
}

namespace {
// dd.mm.yyyy hh:nn:ss, the time left out at midnight: the short date and long time of the
// Russian regional format the host runs under.
std::u16string RenderTm(const std::tm& t) {
  const int year = t.tm_year + 1900, month = t.tm_mon + 1, day = t.tm_mday;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const bool valid = year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
                     day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0) && t.tm_hour >= 0 &&
                     t.tm_hour < 24 && t.tm_min >= 0 && t.tm_min < 60 && t.tm_sec >= 0 &&
                     t.tm_sec < 60;
  if (!valid) throw std::runtime_error("Invalid argument to date encode");
  char buf[64];
  if (t.tm_hour == 0 && t.tm_min == 0 && t.tm_sec == 0)
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", day, month, year);
  else
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %d:%02d:%02d", day, month, year, t.tm_hour,
                  t.tm_min, t.tm_sec);
  return text::ToUtf16(buf);
}
}  // namespace

std::u16string V8VarToStr(const V8Variant* v) {
  if (v == nullptr) return {};
  switch (v->vt) {  // the whole type word: flagged values have no text
    case VTYPE_EMPTY:
      return {};
    case VTYPE_I4:
      return text::ToUtf16(std::to_string(v->lVal));
    case VTYPE_R8:
      return text::ToUtf16(FormatDouble(v->dblVal, DecimalSeparator()));
    case VTYPE_TM:
      return RenderTm(v->tmVal);
    case VTYPE_BOOL:
      return v->bVal ? u"True" : u"False";
    case VTYPE_I8:
      return text::ToUtf16(std::to_string(v->llVal));
    case VTYPE_PWSTR:
      return V8GetWString(v);
    default:
      throw std::runtime_error("Unsupported data type - " + V8TypeName(v));
  }
}

// ---------------------------------------------------------------- call logging

namespace {
std::map<std::u16string, bool>& DeviceLogging() {
  static std::map<std::u16string, bool> table;
  return table;
}

bool IsDeviceIdText(std::u16string_view s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < 36; ++i) {
    const char16_t c = s[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != u'-') return false;
    } else if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') ||
                 (c >= u'A' && c <= u'F'))) {
      return false;
    }
  }
  return true;
}
}  // namespace

void SetDeviceLogging(const std::u16string& deviceId, bool enabled) {
  DeviceLogging()[deviceId] = enabled;
}

void ChooseCallLogMode(const V8Variant* params, long count) {
  log::SetLogLevel(4);
  if (count <= 0 || params == nullptr || params[0].vt == VTYPE_BLOB) return;
  const std::u16string first = V8VarToStr(&params[0]);
  if (first.empty() || !IsDeviceIdText(first)) return;
  const auto& table = DeviceLogging();
  const auto it = table.find(first);
  log::SetLogLevel(it != table.end() && it->second ? 3 : 0);
}

std::u16string RenderParamList(const V8Variant* params, long count, bool hideSecrets) {
  std::vector<std::u16string> texts;
  for (long i = 0; i < count && params != nullptr; ++i)
    texts.push_back(params[i].vt == VTYPE_BLOB ? std::u16string(u"BLOB") : V8VarToStr(&params[i]));
  if (hideSecrets) secrets::HideInParams(texts);
  std::u16string out = u"[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out += u"; ";
    out += texts[i];
  }
  out += u"]";
  return out;
}

// ---------------------------------------------------------------- component block and tables

namespace {

TV8UserObject* ObjectOf(void* self, std::size_t tableOffset) {
  auto* block = reinterpret_cast<ComponentBlock*>(static_cast<char*>(self) - tableOffset);
  return static_cast<TV8UserObject*>(block->object);
}
constexpr std::size_t kInitDoneAt = offsetof(ComponentBlock, initDone);
constexpr std::size_t kLangExtAt = offsetof(ComponentBlock, languageExtender);
constexpr std::size_t kLocaleAt = offsetof(ComponentBlock, locale);

TV8UserObject* LangObj(void* self) { return ObjectOf(self, kLangExtAt); }

const TMethReg* MethodAt(TV8UserObject* o, HostLong n) {
  if (o == nullptr || o->ClassReg == nullptr || n < 0 || n >= o->ClassReg->MethCount())
    return nullptr;
  return &o->ClassReg->MethList[static_cast<std::size_t>(n)];
}
const TPropReg* PropAt(TV8UserObject* o, HostLong n) {
  if (o == nullptr || o->ClassReg == nullptr || n < 0 || n >= o->ClassReg->PropCount())
    return nullptr;
  return &o->ClassReg->PropList[static_cast<std::size_t>(n)];
}

std::u16string HostText(const WCHAR_T* s) {
  if (s == nullptr) return {};
  return std::u16string(s);
}

// A failure that escaped a method's own guard reaches the host's error list.
void ReportFailure(TV8UserObject* o, const std::string& message) {
  o->V8.AddError(ADDIN_E_FAIL, kErrorSource, text::ToUtf16(message),
                 static_cast<std::int32_t>(0x80004005u));
  log::WriteLog("EXCEPTION", message, log::Level::Error);
}

// A log that cannot be written must not decide the call's outcome (a receipt printed but
// reported as failed would be printed again): the host gets the reason once, as a message, and
// logging stops for the call's device until the host switches it on again.
void ReportLogTrouble(TV8UserObject* o, const V8Variant* params, long count) {
  const std::string trouble = log::TakeTrouble();
  if (trouble.empty()) return;
  o->AddMessage(ADDIN_E_VERY_IMPORTANT, kErrorSource,
                "The log cannot be written, logging is switched off: " + trouble);
  if (count > 0 && params != nullptr && params[0].vt == VTYPE_PWSTR) {
    const std::u16string first = V8GetWString(&params[0]);
    if (IsDeviceIdText(first)) SetDeviceLogging(first, false);
  }
}

template <typename F>
bool Guarded(TV8UserObject* o, const V8Variant* params, long count, F&& body) {
  bool ok = false;
  try {
    ok = body();
  } catch (const std::bad_alloc&) {
    ReportFailure(o, "Out of memory");
  } catch (const std::exception& e) {
    ReportFailure(o, e.what());
  } catch (...) {
    ReportFailure(o, "Unknown error");
  }
  try {
    ReportLogTrouble(o, params, count);
  } catch (...) {
    // Out of memory for the message: the call's own outcome stands.
  }
  return ok;
}

bool Dispatch(TV8UserObject* o, HostLong n, tVariant* result, tVariant* params, HostLong count) {
  const TMethReg* m = MethodAt(o, n);
  if (m == nullptr) return false;
  const bool validParams = count >= 0 && (count == 0 || params != nullptr);
  const long cnt = validParams ? static_cast<long>(count) : 0;
  return Guarded(o, params, cnt, [&] {
    if (!validParams) throw std::runtime_error("Invalid parameter array");
    if (count != m->ParamCount)
      throw std::runtime_error(text::ToUtf8(m->MethName) + ": expected " +
                               std::to_string(m->ParamCount) + " parameters, got " +
                               std::to_string(count));
    const std::string name = text::ToUtf8(m->MethName);
    ChooseCallLogMode(params, cnt);
    const auto written = [] { return log::Writes(log::Level::Debug); };
    log::WriteLog("> " + name, "Params: " + text::ToUtf8(RenderParamList(params, cnt, written())),
                  log::Level::Debug);
    const bool ok = m->Execute(*o, result, params, cnt);
    // After log trouble the log stays off for the rest of the call.
    if (!log::HasTrouble()) ChooseCallLogMode(params, cnt);
    std::u16string detail;
    if (result != nullptr) detail = u"Result=" + V8VarToStr(result) + u"; ";
    detail += u"Params: " + RenderParamList(params, cnt, written());
    log::WriteLog("< " + name, text::ToUtf8(detail), log::Level::Debug);
    return ok;
  });
}

// Init/done table.
bool VANTOREL_ADDIN_API Init(void* self, void* connection) {
  auto* o = ObjectOf(self, kInitDoneAt);
  o->V8 = TV8AddInDefBase(connection);
  return o->Init();
}
bool VANTOREL_ADDIN_API SetMemManager(void* self, void* mm) {
  auto* o = ObjectOf(self, kInitDoneAt);
  o->V8MM = TV8MemoryManager(mm);
  return o->SetMemManager();
}
HostLong VANTOREL_ADDIN_API GetInfo(void* self) { return ObjectOf(self, kInitDoneAt)->GetInfo(); }
void VANTOREL_ADDIN_API Done(void* self) { ObjectOf(self, kInitDoneAt)->Done(); }

// Language-extender table.
bool VANTOREL_ADDIN_API RegisterExtensionAs(void* self, WCHAR_T** name) {
  auto* o = LangObj(self);
  if (name == nullptr || o->ClassReg == nullptr) return false;
  *name = o->HostCopy(o->ClassReg->RegisterExtensionAs);
  return true;
}
HostLong VANTOREL_ADDIN_API GetNProps(void* self) {
  auto* o = LangObj(self);
  return o->ClassReg ? o->ClassReg->PropCount() : 0;
}
HostLong VANTOREL_ADDIN_API FindProp(void* self, const WCHAR_T* name) {
  auto* o = LangObj(self);
  return o->ClassReg && name ? o->ClassReg->FindProp(HostText(name)) : -1;
}
const WCHAR_T* VANTOREL_ADDIN_API GetPropName(void* self, HostLong n, HostLong alias) {
  auto* o = LangObj(self);
  const TPropReg* p = PropAt(o, n);
  if (p == nullptr) return nullptr;
  return o->HostCopy(alias == 0 ? p->PropName : p->PropNameLoc);
}
bool PropAccess(void* self, HostLong n, tVariant* value, bool get) {
  auto* o = LangObj(self);
  const TPropReg* p = PropAt(o, n);
  if (p == nullptr || value == nullptr || p->PropGetSet == nullptr) return false;
  return Guarded(o, nullptr, 0, [&] { return p->PropGetSet(*o, p->PropName, value, get); });
}
bool VANTOREL_ADDIN_API GetPropVal(void* self, HostLong n, tVariant* value) {
  return PropAccess(self, n, value, true);
}
bool VANTOREL_ADDIN_API SetPropVal(void* self, HostLong n, tVariant* value) {
  return PropAccess(self, n, value, false);
}
bool VANTOREL_ADDIN_API IsPropReadable(void* self, HostLong n) {
  const TPropReg* p = PropAt(LangObj(self), n);
  return p != nullptr && p->IsReadable;
}
bool VANTOREL_ADDIN_API IsPropWritable(void* self, HostLong n) {
  const TPropReg* p = PropAt(LangObj(self), n);
  return p != nullptr && p->IsWritable;
}
HostLong VANTOREL_ADDIN_API GetNMethods(void* self) {
  auto* o = LangObj(self);
  return o->ClassReg ? o->ClassReg->MethCount() : 0;
}
HostLong VANTOREL_ADDIN_API FindMethod(void* self, const WCHAR_T* name) {
  auto* o = LangObj(self);
  return o->ClassReg && name ? o->ClassReg->FindMethod(HostText(name)) : -1;
}
const WCHAR_T* VANTOREL_ADDIN_API GetMethodName(void* self, HostLong n, HostLong alias) {
  auto* o = LangObj(self);
  const TMethReg* m = MethodAt(o, n);
  if (m == nullptr) return nullptr;
  return o->HostCopy(alias == 0 ? m->MethName : m->MethNameLoc);
}
HostLong VANTOREL_ADDIN_API GetNParams(void* self, HostLong n) {
  const TMethReg* m = MethodAt(LangObj(self), n);
  return m ? m->ParamCount : 0;
}
bool VANTOREL_ADDIN_API GetParamDefValue(void* self, HostLong n, HostLong p, tVariant* value) {
  const TMethReg* m = MethodAt(LangObj(self), n);
  if (m == nullptr || value == nullptr || p < 0 || p > INT32_MAX) return false;
  const V8Variant* def = m->DefParams.Find(static_cast<int>(p));
  if (def == nullptr) return false;
  *value = *def;
  return true;
}
bool VANTOREL_ADDIN_API HasRetVal(void* self, HostLong n) {
  const TMethReg* m = MethodAt(LangObj(self), n);
  return m != nullptr && m->IsFunction;
}
bool VANTOREL_ADDIN_API CallAsProc(void* self, HostLong n, tVariant* params, HostLong count) {
  return Dispatch(LangObj(self), n, nullptr, params, count);
}
bool VANTOREL_ADDIN_API CallAsFunc(void* self, HostLong n, tVariant* result, tVariant* params,
                                   HostLong count) {
  return Dispatch(LangObj(self), n, result, params, count);
}

// Locale table.
void VANTOREL_ADDIN_API SetLocale(void* self, const WCHAR_T* loc) {
  auto* o = ObjectOf(self, kLocaleAt);
  o->locale = HostText(loc);
  o->SetLocale();
}

const InitDoneTable kInitDoneTable = {{}, Init, SetMemManager, GetInfo, Done};
const LanguageExtenderTable kLanguageExtenderTable = {
    {},          RegisterExtensionAs, GetNProps,        FindProp,       GetPropName,
    GetPropVal,  SetPropVal,          IsPropReadable,   IsPropWritable, GetNMethods,
    FindMethod,  GetMethodName,       GetNParams,       GetParamDefValue, HasRetVal,
    CallAsProc,  CallAsFunc};
const LocaleTable kLocaleTable = {{}, SetLocale};

}  // namespace

void* CreateComponent(std::u16string_view className) {
  const TClassReg* reg = ClassRegistry().Find(className);
  if (reg == nullptr || reg->UserClass == nullptr) return nullptr;
  std::unique_ptr<TV8UserObject> object = reg->UserClass();
  auto* block = new ComponentBlock{};
  block->initDone = &kInitDoneTable;
  block->languageExtender = &kLanguageExtenderTable;
  block->locale = &kLocaleTable;
  block->userLanguage = nullptr;
  object->ClassReg = reg;
  block->object = block->object2 = block->object3 = object.release();
  return block;
}

void DestroyComponent(void* component) {
  if (component == nullptr) return;
  auto* block = static_cast<ComponentBlock*>(component);
  try {
    delete static_cast<TV8UserObject*>(block->object);
  } catch (...) {
    // The block is freed whatever the object's destruction did.
  }
  delete block;
}

}  // namespace vantorel
