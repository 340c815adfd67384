#include "component.h"

#include <cstring>

#include "slot_call.h"
#include "support/text.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace kkthost {

using vantorel::text::ToUtf16;
using vantorel::text::ToUtf8;

// ---- The loaded library -----------------------------------------------------------------------

class Library {
 public:
  explicit Library(const std::filesystem::path& path) {
#if defined(_WIN32)
    handle_ = ::LoadLibraryW(path.wstring().c_str());
    if (handle_ == nullptr) {
      throw HostError("cannot load " + PathToUtf8(path) + ": error " +
                      std::to_string(::GetLastError()));
    }
#else
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      const char* why = ::dlerror();
      throw HostError("cannot load " + PathToUtf8(path) + ": " + (why ? why : "unknown error"));
    }
#endif
    try {
      getClassObject = Resolve<abi::GetClassObjectFn>("GetClassObject");
      destroyObject = Resolve<abi::DestroyObjectFn>("DestroyObject");
      getClassNames = Resolve<abi::GetClassNamesFn>("GetClassNames");
      getAttachType = Resolve<abi::GetAttachTypeFn>("GetAttachType");
      setPlatformCapabilities = Find<SetPlatformCapabilitiesFn>("SetPlatformCapabilities");
    } catch (...) {
      Unload();
      throw;
    }
  }
  ~Library() { Unload(); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  abi::GetClassObjectFn getClassObject = nullptr;
  abi::DestroyObjectFn destroyObject = nullptr;
  abi::GetClassNamesFn getClassNames = nullptr;
  abi::GetAttachTypeFn getAttachType = nullptr;
  // Newer hosts announce their capabilities through this optional export.
  using SetPlatformCapabilitiesFn = int (*)(int);
  SetPlatformCapabilitiesFn setPlatformCapabilities = nullptr;

 private:
  template <typename Fn>
  Fn Find(const char* name) {
#if defined(_WIN32)
    FARPROC p = ::GetProcAddress(handle_, name);
#else
    void* p = ::dlsym(handle_, name);
#endif
    return p == nullptr ? nullptr : reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
  }

  template <typename Fn>
  Fn Resolve(const char* name) {
    Fn fn = Find<Fn>(name);
    if (fn == nullptr) throw HostError(std::string("the add-in does not export ") + name);
    return fn;
  }

  void Unload() {
    if (handle_ == nullptr) return;
#if defined(_WIN32)
    ::FreeLibrary(handle_);
#else
    ::dlclose(handle_);
#endif
    handle_ = nullptr;
  }

#if defined(_WIN32)
  HMODULE handle_ = nullptr;
#else
  void* handle_ = nullptr;
#endif
};

namespace {
// A language-extender entry, called as the host calls it.
template <typename Fn, typename... Args>
auto Slot(const char* name, Fn fn, Args... args) {
  if (fn == nullptr) throw HostError(std::string("the language-extender table has no ") + name);
  return CallSlot(name, fn, args...);
}
}  // namespace

// ---- Host -------------------------------------------------------------------------------------

Host::Host(const std::filesystem::path& addin)
    : path_(addin), library_(std::make_shared<Library>(addin)) {
  // As a host of the current generation does, once, before any object is created.
  if (library_->setPlatformCapabilities != nullptr) {
    capabilities_ =
        CallExport("SetPlatformCapabilities", library_->setPlatformCapabilities, kHostCapabilities);
  }
}

Host::~Host() = default;

std::vector<std::string> Host::ClassNames() const {
  const abi::WCHAR_T* names = CallExport("GetClassNames", library_->getClassNames);
  std::vector<std::string> out;
  if (names == nullptr) return out;
  std::size_t n = 0;
  while (n < (1u << 16) && names[n] != 0) ++n;
  const std::string all = ToUtf8(std::u16string_view(names, n));
  std::size_t start = 0;
  while (start <= all.size()) {
    const std::size_t bar = all.find('|', start);
    const std::string name = all.substr(start, bar == std::string::npos ? bar : bar - start);
    if (!name.empty()) out.push_back(name);
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return out;
}

int Host::AttachType() const { return CallExport("GetAttachType", library_->getAttachType); }

std::unique_ptr<Component> Host::Create(std::string_view className) {
  std::string name(className);
  if (name.empty()) {
    const auto names = ClassNames();
    if (names.empty()) throw HostError("the add-in names no class (GetClassNames)");
    name = names.front();
  }
  std::unique_ptr<Component> c(new Component(library_, name));
  MemoryManager& mm = *c->memory_;

  mm.SetActivity("GetClassObject");
  const std::u16string wide = ToUtf16(name);
  void* block = nullptr;
  const abi::HostLong created =
      CallExport("GetClassObject", library_->getClassObject, wide.c_str(), &block);
  if (created == 0 || block == nullptr) {
    throw HostError("GetClassObject(\"" + name + "\") created no object");
  }
  c->block_ = block;
  const abi::ComponentBlock& b = c->Block();
  if (b.initDone == nullptr || b.languageExtender == nullptr) {
    throw HostError("the component block has no init/done or language-extender table");
  }
  if (b.initDone->setMemManager == nullptr || b.initDone->Init == nullptr ||
      b.initDone->GetInfo == nullptr || b.initDone->Done == nullptr) {
    throw HostError("the init/done table has null entries");
  }

  mm.SetActivity("setMemManager");
  if (!CallSlot("setMemManager", b.initDone->setMemManager, c->InitDoneThis(), mm.HostObject())) {
    throw HostError("setMemManager returned false");
  }
  mm.SetActivity("Init");
  if (!CallSlot("Init", b.initDone->Init, c->InitDoneThis(), c->connection_->HostObject())) {
    throw HostError("Init returned false");
  }
  mm.SetActivity("GetInfo");
  c->info_ = static_cast<long>(CallSlot("GetInfo", b.initDone->GetInfo, c->InitDoneThis()));
  if (b.locale != nullptr && b.locale->SetLocale != nullptr) {
    mm.SetActivity("SetLocale");
    CallSlot("SetLocale", b.locale->SetLocale, c->LocaleThis(), u"ru_RU");
  }
  mm.SetActivity("RegisterExtensionAs");
  abi::WCHAR_T* ext = nullptr;
  if (Slot("RegisterExtensionAs", c->Extender().RegisterExtensionAs, c->ExtenderThis(), &ext)) {
    c->extensionName_ = c->TakeText(ext, "RegisterExtensionAs");
  } else if (ext != nullptr) {
    c->extensionName_ = c->TakeText(ext, "RegisterExtensionAs");
  }
  mm.SetActivity("");
  return c;
}

// ---- Component --------------------------------------------------------------------------------

Component::Component(std::shared_ptr<Library> library, std::string className)
    : library_(std::move(library)),
      memory_(std::make_unique<MemoryManager>()),
      connection_(std::make_unique<Connection>(*memory_)),
      className_(std::move(className)) {}

Component::~Component() {
  if (block_ != nullptr) Close();
}

abi::ComponentBlock& Component::Block() {
  if (block_ == nullptr) throw HostError("the add-in object is closed");
  return *static_cast<abi::ComponentBlock*>(block_);
}

void* Component::InitDoneThis() { return &Block().initDone; }
void* Component::ExtenderThis() { return &Block().languageExtender; }
void* Component::LocaleThis() { return &Block().locale; }

const abi::LanguageExtenderTable& Component::Extender() { return *Block().languageExtender; }

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

std::string Component::TakeText(abi::WCHAR_T* p, std::string_view what) {
  if (p == nullptr) return {};
  const auto size = memory_->Receive(p, what);
  if (!size) return {};
  const std::size_t capacity = *size / sizeof(abi::WCHAR_T);
  std::size_t n = 0;
  while (n < capacity && p[n] != 0) ++n;
  if (n == capacity) memory_->Report(FaultKind::Unterminated, p, std::string(what));
  std::string text = ToUtf8(std::u16string_view(p, n));
  memory_->HostFree(p);
  return text;
}

void Component::Fill(abi::tVariant& r, const Value& v) {
  std::memset(&r, 0, sizeof r);
  r.vt = v.vt;
  switch (v.code()) {
    case abi::VTYPE_PWSTR: {
      const std::u16string w = v.rawUnits ? v.units : ToUtf16(v.text);
      auto* p = static_cast<abi::WCHAR_T*>(memory_->HostAllocate((w.size() + 1) * 2));
      std::memcpy(p, w.c_str(), (w.size() + 1) * 2);
      r.wstrRec.pwstrVal = p;
      r.wstrRec.wstrLen = static_cast<std::uint32_t>(w.size());
      break;
    }
    case abi::VTYPE_PSTR: {
      auto* p = static_cast<char*>(memory_->HostAllocate(v.text.size() + 1));
      std::memcpy(p, v.text.c_str(), v.text.size() + 1);
      r.strRec.pstrVal = p;
      r.strRec.strLen = static_cast<std::uint32_t>(v.text.size());
      break;
    }
    case abi::VTYPE_BLOB: {
      auto* p = static_cast<char*>(memory_->HostAllocate(v.bytes.size()));
      if (!v.bytes.empty()) std::memcpy(p, v.bytes.data(), v.bytes.size());
      r.strRec.pstrVal = p;
      r.strRec.strLen = static_cast<std::uint32_t>(v.bytes.size());
      break;
    }
    case abi::VTYPE_I1:
      r.i8Val = static_cast<std::int8_t>(v.integer);
      break;
    case abi::VTYPE_I2:
      r.shortVal = static_cast<std::int16_t>(v.integer);
      break;
    case abi::VTYPE_I4:
    case abi::VTYPE_INT:
    case abi::VTYPE_ERROR:
    case abi::VTYPE_HRESULT:
      r.lVal = static_cast<std::int32_t>(v.integer);
      break;
    case abi::VTYPE_UI1:
      r.ui8Val = static_cast<std::uint8_t>(v.integer);
      break;
    case abi::VTYPE_UI2:
      r.ushortVal = static_cast<std::uint16_t>(v.integer);
      break;
    case abi::VTYPE_UI4:
    case abi::VTYPE_UINT:
      r.ulVal = static_cast<std::uint32_t>(v.integer);
      break;
    case abi::VTYPE_I8:
    case abi::VTYPE_UI8:
      r.llVal = v.integer;
      break;
    case abi::VTYPE_R4:
      r.fltVal = static_cast<float>(v.real);
      break;
    case abi::VTYPE_R8:
      r.dblVal = v.real;
      break;
    case abi::VTYPE_DATE:
      r.date = v.real;
      break;
    case abi::VTYPE_BOOL:
      r.bVal = v.boolean;
      break;
    case abi::VTYPE_TM: {
      const DateTime& t = v.dateTime;
      r.tmVal.tm_year = t.year - 1900;
      r.tmVal.tm_mon = t.month - 1;
      r.tmVal.tm_mday = t.day;
      r.tmVal.tm_hour = t.hour;
      r.tmVal.tm_min = t.minute;
      r.tmVal.tm_sec = t.second;
      const long long days = DaysFromCivil(t.year, t.month, t.day);
      r.tmVal.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
      r.tmVal.tm_yday = static_cast<int>(days - DaysFromCivil(t.year, 1, 1));
      break;
    }
    default:
      break;
  }
}

Value Component::Take(abi::tVariant& r, std::string_view what) {
  Value v;
  v.vt = r.vt;
  switch (r.vt & abi::VTYPE_CODE_MASK) {
    case abi::VTYPE_PWSTR: {
      abi::WCHAR_T* p = r.wstrRec.pwstrVal;
      if (p == nullptr) break;
      const auto size = memory_->Receive(p, what);
      if (!size) break;
      std::size_t n = r.wstrRec.wstrLen;
      const std::size_t capacity = *size / sizeof(abi::WCHAR_T);
      if (n > capacity) {
        memory_->Report(FaultKind::BadLength, p,
                        std::string(what) + ": " + std::to_string(n) + " characters");
        n = 0;
        while (n < capacity && p[n] != 0) ++n;
      }
      v.text = ToUtf8(std::u16string_view(p, n));
      memory_->HostFree(p);
      break;
    }
    case abi::VTYPE_PSTR:
    case abi::VTYPE_BLOB: {
      char* p = r.strRec.pstrVal;
      if (p == nullptr) break;
      const auto size = memory_->Receive(p, what);
      if (!size) break;
      std::size_t n = r.strRec.strLen;
      if (n > *size) {
        memory_->Report(FaultKind::BadLength, p,
                        std::string(what) + ": " + std::to_string(n) + " bytes");
        n = *size;
      }
      if ((r.vt & abi::VTYPE_CODE_MASK) == abi::VTYPE_BLOB) {
        v.bytes.assign(p, p + n);
      } else {
        v.text.assign(p, n);
      }
      memory_->HostFree(p);
      break;
    }
    case abi::VTYPE_I1:
      v.integer = r.i8Val;
      break;
    case abi::VTYPE_I2:
      v.integer = r.shortVal;
      break;
    case abi::VTYPE_I4:
    case abi::VTYPE_INT:
    case abi::VTYPE_ERROR:
    case abi::VTYPE_HRESULT:
      v.integer = r.lVal;
      break;
    case abi::VTYPE_UI1:
      v.integer = r.ui8Val;
      break;
    case abi::VTYPE_UI2:
      v.integer = r.ushortVal;
      break;
    case abi::VTYPE_UI4:
    case abi::VTYPE_UINT:
      v.integer = r.ulVal;
      break;
    case abi::VTYPE_I8:
    case abi::VTYPE_UI8:
      v.integer = r.llVal;
      break;
    case abi::VTYPE_R4:
      v.real = r.fltVal;
      break;
    case abi::VTYPE_R8:
      v.real = r.dblVal;
      break;
    case abi::VTYPE_DATE:
      v.real = r.date;
      break;
    case abi::VTYPE_BOOL:
      v.boolean = r.bVal;
      break;
    case abi::VTYPE_TM:
      v.dateTime = {r.tmVal.tm_year + 1900, r.tmVal.tm_mon + 1, r.tmVal.tm_mday,
                    r.tmVal.tm_hour,        r.tmVal.tm_min,     r.tmVal.tm_sec};
      break;
    default:
      break;
  }
  std::memset(&r, 0, sizeof r);
  return v;
}

long Component::MethodCount() {
  memory_->SetActivity("GetNMethods");
  return static_cast<long>(Slot("GetNMethods", Extender().GetNMethods, ExtenderThis()));
}

long Component::FindMethod(std::string_view name) {
  const std::u16string wide = ToUtf16(name);
  memory_->SetActivity("FindMethod " + std::string(name));
  return static_cast<long>(Slot("FindMethod", Extender().FindMethod, ExtenderThis(), wide.c_str()));
}

std::string Component::MethodName(long index, long alias) {
  const std::string what =
      "GetMethodName(" + std::to_string(index) + ", " + std::to_string(alias) + ")";
  memory_->SetActivity(what);
  const abi::WCHAR_T* p =
      Slot("GetMethodName", Extender().GetMethodName, ExtenderThis(), index, alias);
  return TakeText(const_cast<abi::WCHAR_T*>(p), what);
}

long Component::ParamCount(long index) {
  memory_->SetActivity("GetNParams " + std::to_string(index));
  return static_cast<long>(Slot("GetNParams", Extender().GetNParams, ExtenderThis(), index));
}

bool Component::HasRetVal(long index) {
  memory_->SetActivity("HasRetVal " + std::to_string(index));
  return Slot("HasRetVal", Extender().HasRetVal, ExtenderThis(), index);
}

std::optional<Value> Component::ParamDefault(long method, long param) {
  const std::string what =
      "GetParamDefValue(" + std::to_string(method) + ", " + std::to_string(param) + ")";
  memory_->SetActivity(what);
  abi::tVariant r;
  std::memset(&r, 0, sizeof r);
  const bool has =
      Slot("GetParamDefValue", Extender().GetParamDefValue, ExtenderThis(), method, param, &r);
  Value v = Take(r, what);
  if (!has) return std::nullopt;
  return v;
}

std::vector<MethodInfo> Component::Methods() {
  std::vector<MethodInfo> out;
  const long n = MethodCount();
  for (long i = 0; i < n; ++i) {
    MethodInfo m;
    m.index = i;
    m.name = MethodName(i, 0);
    m.localName = MethodName(i, 1);
    m.paramCount = ParamCount(i);
    m.hasRetVal = HasRetVal(i);
    out.push_back(std::move(m));
  }
  return out;
}

long Component::PropCount() {
  memory_->SetActivity("GetNProps");
  return static_cast<long>(Slot("GetNProps", Extender().GetNProps, ExtenderThis()));
}

long Component::FindProp(std::string_view name) {
  const std::u16string wide = ToUtf16(name);
  memory_->SetActivity("FindProp " + std::string(name));
  return static_cast<long>(Slot("FindProp", Extender().FindProp, ExtenderThis(), wide.c_str()));
}

std::string Component::PropName(long index, long alias) {
  const std::string what =
      "GetPropName(" + std::to_string(index) + ", " + std::to_string(alias) + ")";
  memory_->SetActivity(what);
  const abi::WCHAR_T* p = Slot("GetPropName", Extender().GetPropName, ExtenderThis(), index, alias);
  return TakeText(const_cast<abi::WCHAR_T*>(p), what);
}

bool Component::PropReadable(long index) {
  memory_->SetActivity("IsPropReadable " + std::to_string(index));
  return Slot("IsPropReadable", Extender().IsPropReadable, ExtenderThis(), index);
}

bool Component::PropWritable(long index) {
  memory_->SetActivity("IsPropWritable " + std::to_string(index));
  return Slot("IsPropWritable", Extender().IsPropWritable, ExtenderThis(), index);
}

std::vector<PropInfo> Component::Properties() {
  std::vector<PropInfo> out;
  const long n = PropCount();
  for (long i = 0; i < n; ++i) {
    PropInfo p;
    p.index = i;
    p.name = PropName(i, 0);
    p.localName = PropName(i, 1);
    p.readable = PropReadable(i);
    p.writable = PropWritable(i);
    out.push_back(std::move(p));
  }
  return out;
}

CallOutcome Component::Call(std::string_view method, std::vector<Value> params, CallKind kind) {
  const long index = FindMethod(method);
  if (index < 0) throw UsageError("the add-in has no method named '" + std::string(method) + "'");
  const long expected = ParamCount(index);
  const long given = static_cast<long>(params.size());
  if (given > expected) {
    throw UsageError("method '" + std::string(method) + "' takes " + std::to_string(expected) +
                     " parameter(s), " + std::to_string(given) + " given");
  }
  for (long p = given; p < expected; ++p) {
    auto def = ParamDefault(index, p);
    if (!def) {
      throw UsageError("method '" + std::string(method) + "' takes " + std::to_string(expected) +
                       " parameter(s), " + std::to_string(given) + " given, and parameter " +
                       std::to_string(p + 1) + " has no default");
    }
    params.push_back(std::move(*def));
  }
  if (kind == CallKind::Function && !HasRetVal(index)) {
    throw UsageError("method '" + std::string(method) +
                     "' returns no value: call it as a procedure (--proc)");
  }
  return CallIndex(index, std::move(params), kind, std::string(method));
}

CallOutcome Component::CallIndex(long index, std::vector<Value> params, CallKind kind,
                                 std::string label) {
  const auto& ext = Extender();
  const std::size_t errorMark = connection_->AddErrorCount();
  const std::size_t faultMark = memory_->FaultCount();
  memory_->SetActivity((kind == CallKind::Function ? "CallAsFunc " : "CallAsProc ") + label);

  std::vector<abi::tVariant> records(params.size());
  std::vector<const void*> lent;
  for (std::size_t i = 0; i < params.size(); ++i) {
    Fill(records[i], params[i]);
    const std::uint16_t code = records[i].vt & abi::VTYPE_CODE_MASK;
    if (code == abi::VTYPE_PWSTR || code == abi::VTYPE_PSTR || code == abi::VTYPE_BLOB) {
      lent.push_back(records[i].strRec.pstrVal);
    }
  }
  abi::tVariant result;
  std::memset(&result, 0, sizeof result);

  CallOutcome out;
  out.method = label;
  out.index = index;
  out.kind = kind;
  const auto count = static_cast<abi::HostLong>(records.size());
  if (kind == CallKind::Function) {
    out.hostResult =
        Slot("CallAsFunc", ext.CallAsFunc, ExtenderThis(), index, &result, records.data(), count);
    out.result = Take(result, "the result of " + label);
  } else {
    out.hostResult =
        Slot("CallAsProc", ext.CallAsProc, ExtenderThis(), index, records.data(), count);
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    out.params.push_back(Take(records[i], "parameter " + std::to_string(i + 1) + " of " + label));
  }
  // A text the host lent that is neither freed nor still in a parameter was overwritten by the
  // add-in without being released: the host can no longer free it.
  for (const void* p : lent) {
    if (memory_->OwnedByHost(p)) {
      memory_->Report(FaultKind::Leak, p, "a parameter text the add-in overwrote without freeing");
      memory_->HostFree(p);
    }
  }
  const auto errors = connection_->AddErrors();
  out.addErrors.assign(errors.begin() + static_cast<std::ptrdiff_t>(errorMark), errors.end());
  const auto faults = memory_->Faults();
  out.memoryFaults.assign(faults.begin() + static_cast<std::ptrdiff_t>(faultMark), faults.end());
  memory_->SetActivity("");
  return out;
}

LastError Component::GetLastError() { return LastErrorOf(Call("GetLastError", {Value::Empty()})); }

LastError LastErrorOf(const CallOutcome& o) {
  LastError e;
  if (o.result) {
    if (o.result->code() == abi::VTYPE_R8 || o.result->code() == abi::VTYPE_R4) {
      e.code = static_cast<std::int64_t>(o.result->real);
    } else {
      e.code = o.result->integer;
    }
  }
  if (!o.params.empty()) e.description = o.params[0].text;
  return e;
}

PropOutcome Component::ReadProp(std::string_view name) {
  const long index = FindProp(name);
  if (index < 0) throw UsageError("the add-in has no property named '" + std::string(name) + "'");
  if (!PropReadable(index)) {
    throw UsageError("property '" + std::string(name) + "' is not readable");
  }
  PropOutcome o = ReadPropIndex(index);
  o.property = std::string(name);
  return o;
}

PropOutcome Component::WriteProp(std::string_view name, Value value) {
  const long index = FindProp(name);
  if (index < 0) throw UsageError("the add-in has no property named '" + std::string(name) + "'");
  if (!PropWritable(index)) {
    throw UsageError("property '" + std::string(name) + "' is not writable");
  }
  PropOutcome o = WritePropIndex(index, std::move(value));
  o.property = std::string(name);
  return o;
}

PropOutcome Component::ReadPropIndex(long index) {
  const auto& ext = Extender();
  const std::size_t errorMark = connection_->AddErrorCount();
  const std::size_t faultMark = memory_->FaultCount();
  const std::string what = "GetPropVal " + std::to_string(index);
  memory_->SetActivity(what);
  abi::tVariant r;
  std::memset(&r, 0, sizeof r);
  PropOutcome o;
  o.property = std::to_string(index);
  o.index = index;
  o.hostResult = Slot("GetPropVal", ext.GetPropVal, ExtenderThis(), index, &r);
  o.value = Take(r, what);
  const auto errors = connection_->AddErrors();
  o.addErrors.assign(errors.begin() + static_cast<std::ptrdiff_t>(errorMark), errors.end());
  const auto faults = memory_->Faults();
  o.memoryFaults.assign(faults.begin() + static_cast<std::ptrdiff_t>(faultMark), faults.end());
  memory_->SetActivity("");
  return o;
}

PropOutcome Component::WritePropIndex(long index, Value value) {
  const auto& ext = Extender();
  const std::size_t errorMark = connection_->AddErrorCount();
  const std::size_t faultMark = memory_->FaultCount();
  const std::string what = "SetPropVal " + std::to_string(index);
  memory_->SetActivity(what);
  abi::tVariant r;
  Fill(r, value);
  const void* lent = nullptr;
  const std::uint16_t code = r.vt & abi::VTYPE_CODE_MASK;
  if (code == abi::VTYPE_PWSTR || code == abi::VTYPE_PSTR || code == abi::VTYPE_BLOB) {
    lent = r.strRec.pstrVal;
  }
  PropOutcome o;
  o.property = std::to_string(index);
  o.index = index;
  o.set = true;
  o.hostResult = Slot("SetPropVal", ext.SetPropVal, ExtenderThis(), index, &r);
  // The value stays the host's: whatever the record holds now goes back through the ledger.
  Take(r, what);
  if (lent != nullptr && memory_->OwnedByHost(lent)) memory_->HostFree(lent);
  o.value = std::move(value);
  const auto errors = connection_->AddErrors();
  o.addErrors.assign(errors.begin() + static_cast<std::ptrdiff_t>(errorMark), errors.end());
  const auto faults = memory_->Faults();
  o.memoryFaults.assign(faults.begin() + static_cast<std::ptrdiff_t>(faultMark), faults.end());
  memory_->SetActivity("");
  return o;
}

std::vector<MemoryFault> Component::Close() {
  if (block_ != nullptr) {
    const abi::ComponentBlock& b = Block();
    if (b.initDone != nullptr && b.initDone->Done != nullptr) {
      memory_->SetActivity("Done");
      CallSlot("Done", b.initDone->Done, InitDoneThis());
    }
    memory_->SetActivity("DestroyObject");
    void* block = block_;
    block_ = nullptr;
    CallExport("DestroyObject", library_->destroyObject, &block);
    memory_->SetActivity("the end of the object");
    memory_->RecordLeaks();
  }
  return memory_->Faults();
}

// ---- Where things are -------------------------------------------------------------------------

std::filesystem::path ExecutableDirectory() {
#if defined(_WIN32)
  std::wstring buf(32768, L'\0');
  const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  buf.resize(n);
  return std::filesystem::path(buf).parent_path();
#else
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::current_path();
  return exe.parent_path();
#endif
}

std::filesystem::path BesideExecutable(std::string_view file) {
  return ExecutableDirectory() / PathFromUtf8(file);
}

const char* DefaultAddinFileName() {
#if defined(_WIN32)
  return "vantorel.dll";
#else
  return "libvantorel.so";
#endif
}

}  // namespace kkthost
