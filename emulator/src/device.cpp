#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "operations.h"
#include "support/text.h"
#include "vregister/persistence.h"
#include "vregister/storage.h"

namespace vantorel::emulator {

using automation::Value;

namespace {

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

std::int64_t HostWallClock() {
  const std::time_t t = std::time(nullptr);
  std::tm lt{};
#ifdef _WIN32
  localtime_s(&lt, &t);
#else
  localtime_r(&t, &lt);
#endif
  return DaysFromCivil(lt.tm_year + 1900, static_cast<unsigned>(lt.tm_mon + 1),
                       static_cast<unsigned>(lt.tm_mday)) *
             86400 +
         lt.tm_hour * 3600 + lt.tm_min * 60 + lt.tm_sec;
}

namespace {

std::int64_t HostWallNow() { return HostWallClock(); }

std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::weak_ptr<Device>>& Registry() {
  static std::map<std::string, std::weak_ptr<Device>> r;
  return r;
}

std::string Sanitise(std::string s) {
  s = text::AsciiLower(s);
  for (auto& c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-')) c = '_';
  if (s.size() > 80) s.resize(80);
  return s;
}

const Value* LastOf(const std::vector<std::pair<int, Value>>& in, int id) {
  for (auto it = in.rbegin(); it != in.rend(); ++it)
    if (it->first == id) return &it->second;
  return nullptr;
}

std::string Describe(std::string_view constant) {
  std::string_view s = constant;
  if (s.rfind("LIBFPTR_PARAM_", 0) == 0) s.remove_prefix(14);
  return std::string(s);
}

}  // namespace

// ---- connection settings

std::string ConnectionSettings::RegisterKey(std::string* error) const {
  auto get = [&](const char* key) -> std::string {
    auto it = values.find(key);
    return it == values.end() ? std::string() : text::Trim(it->second);
  };
  auto fail = [&](const std::string& e) {
    if (error) *error = e;
    return std::string();
  };
  const std::string port = get("Port");
  auto is = [&](const char* name, const char* word) {
    return port == std::to_string(C(name)) || text::EqualsIgnoreCase(port, word);
  };
  if (port.empty() || is("LIBFPTR_PORT_USB", "USB")) return "usb";
  if (is("LIBFPTR_PORT_COM", "COM")) {
    const std::string file = get("ComFile");
    if (file.empty()) return fail("Не указан COM-порт");
    return "com-" + Sanitise(file);
  }
  if (is("LIBFPTR_PORT_TCPIP", "TCPIP")) {
    const std::string ip = get("IPAddress");
    const std::string p = get("IPPort");
    if (ip.empty()) return fail("Не указан IP-адрес");
    int n = 0;
    try {
      size_t used = 0;
      n = std::stoi(p, &used);
      if (used != p.size()) n = 0;
    } catch (const std::exception&) {
      n = 0;
    }
    if (n < 1 || n > 65535) return fail("Неверный IP-порт");
    return "tcp-" + Sanitise(ip) + "-" + std::to_string(n);
  }
  if (is("LIBFPTR_PORT_BLUETOOTH", "BLUETOOTH")) {
    const std::string mac = get("MACAddress");
    bool ok = mac.size() == 17;
    for (size_t i = 0; ok && i < mac.size(); ++i)
      ok = (i % 3 == 2) ? (mac[i] == ':' || mac[i] == '-')
                        : std::isxdigit(static_cast<unsigned char>(mac[i])) != 0;
    if (!ok) return fail("Неверный MAC-адрес");
    return "bt-" + Sanitise(mac);
  }
  return fail("Неизвестный способ связи");
}

// ---- a new register

DeviceState NewDeviceState(const Config& config, std::int64_t wallNow,
                           std::vector<FiscalDocument>* documents) {
  DeviceState s;
  s.config = config;
  s.tape.SetLimit(config.tapeLimit);
  s.fnSerial = config.fnSerial;
  s.ffdVersion = config.deviceFfdVersion;
  if (config.registerOnCreate) {
    // A register fresh from the service centre: registered a day ago with sample data.
    s.fiscal = true;
    s.fnPhase = 3;
    s.registrationsCount = 1;
    s.lastRegistrationNumber = 1;
    s.lastRegistrationTime = wallNow - 86400;
    auto& r = s.registration.tags;
    r.push_back(Tag::String(1018, "7700000000  "));
    r.push_back(Tag::String(1037, "0000000001012345"));
    r.push_back(Tag::String(1048, "ООО \"Образец\""));
    r.push_back(Tag::String(1009, "г. Москва, ул. Образцовая, д. 1"));
    r.push_back(Tag::String(1187, "Магазин"));
    r.push_back(Tag::String(1060, "www.nalog.gov.ru"));
    r.push_back(Tag::String(1117, "shop@example.com"));
    r.push_back(Tag::Integer(1062, TagType::kBits, 1));
    r.push_back(Tag::Integer(1057, TagType::kBits, 0));
    r.push_back(Tag::Integer(1209, TagType::kByte, config.deviceFfdVersion));
    for (int flag : {1001, 1002, 1056, 1108, 1109, 1110, 1126, 1193, 1207, 1221})
      r.push_back(Tag::Flag(flag, false));
    r.push_back(Tag::String(1017, "7704211201"));
    r.push_back(Tag::String(1046, "ООО \"Оператор данных\""));
    s.registration.activities = {{"marking", true},   {"pawnshop", false},  {"insurance", false},
                                 {"catering", false}, {"wholesale", false}, {"vending", false}};
    FiscalDocument doc;
    doc.number = 1;
    doc.type = 1;
    doc.wallTime = s.lastRegistrationTime;
    doc.fiscalSign = 1234567890u;
    doc.sent = true;
    doc.tags.push_back(Tag::Time(1012, doc.wallTime));
    doc.tags.push_back(Tag::Integer(1040, TagType::kUInt32, 1));
    doc.tags.push_back(Tag::String(1041, s.fnSerial));
    doc.tags.insert(doc.tags.end(), r.begin(), r.end());
    if (documents) documents->push_back(std::move(doc));
  }
  return s;
}

// ---- the device

Device::Device(std::filesystem::path file, std::unique_ptr<Storage> storage,
               std::unique_ptr<PortLock> port)
    : file_(std::move(file)), storage_(std::move(storage)), port_(std::move(port)) {
  stale_ = true;
}

Device::~Device() = default;

std::shared_ptr<Device> Device::Open(const std::filesystem::path& file) {
  std::lock_guard lock(RegistryMutex());
  auto& registry = Registry();
  const std::string key = file.lexically_normal().string();
  if (auto existing = registry[key].lock()) return existing;
  auto port = std::make_unique<PortLock>(file);
  auto storage = Storage::Open(file);
  auto device = std::make_shared<Device>(file, std::move(storage), std::move(port));
  {
    // A new register is written at once, so its identity (serials, registration) is fixed from
    // the first connection on.
    std::lock_guard dlock(device->mu_);
    device->BeginLocked();
    device->CommitLocked(true);
  }
  registry[key] = device;
  return device;
}

std::shared_ptr<Device> Device::ForSettings(const ConnectionSettings& settings) {
  std::string error;
  const std::string key = settings.RegisterKey(&error);
  if (key.empty()) throw StateFileError(error);
  return Open(RegisterFile(key));
}

// Reads what the database holds when another program changed it (or this one lost a write):
// the configuration (kkt-host vreg set, fault), and the state when it was written elsewhere.
void Device::RefreshLocked() const {
  const bool changed = storage_->ChangedElsewhere();
  if (!changed && !stale_) return;
  if (stale_ || storage_->StateGeneration() != generation_) {
    LoadLocked();
  } else if (auto config = storage_->ReadConfig(); config && !(*config == savedConfig_)) {
    state_.config = *config;
    savedConfig_ = *config;
    state_.tape.SetLimit(config->tapeLimit);
  }
  stale_ = false;
}

// The state, the last document and their generation from the database; a register without a
// state yet starts in its factory state.
void Device::LoadLocked() const {
  const Config config = storage_->ReadConfig().value_or(Config{});
  DeviceState s;
  pending_.clear();
  cleared_ = false;
  if (storage_->ReadState(s)) {
    s.config = config;
    s.tape = Tape(config.tapeLimit);
    generation_ = storage_->StateGeneration();
    last_ = storage_->LastDocument();
  } else {
    std::vector<FiscalDocument> documents;
    s = NewDeviceState(config, HostWallNow(), &documents);
    generation_ = -1;  // written at the next boundary
    for (auto& d : documents) pending_.push_back(std::move(d));
    last_ = pending_.empty() ? std::nullopt : std::optional<FiscalDocument>(pending_.back());
  }
  lastNumber_ = last_ ? last_->number : 0;
  s.drawerOpen = state_.drawerOpen;
  state_ = std::move(s);
  savedConfig_ = config;
}

void Device::BeginLocked() {
  storage_->Begin();
  try {
    RefreshLocked();
  } catch (...) {
    storage_->Rollback();
    stale_ = true;
    throw;
  }
}

void Device::WriteLocked() {
  if (cleared_) storage_->ClearDocuments();
  for (const auto& d : pending_) storage_->AddDocument(d);
  generation_ = storage_->WriteState(state_);
  storage_->AppendTape(state_.tape.items(), state_.config.tapeLimit);
  if (!(state_.config == savedConfig_) || storage_->ReadConfigText().empty())
    storage_->WriteConfig(state_.config);
}

void Device::CommitLocked(bool boundary) {
  try {
    if (boundary || generation_ < 0) {
      WriteLocked();
    } else if (!(state_.config == savedConfig_)) {
      storage_->WriteConfig(state_.config);
    }
    storage_->Commit();
  } catch (...) {
    AbortLocked();
    throw;
  }
  // Our own commit is no change from elsewhere.
  storage_->ChangedElsewhere();
  if (boundary || generation_ < 0) {
    pending_.clear();
    cleared_ = false;
    state_.tape.Clear();
  }
  savedConfig_ = state_.config;
}

void Device::AbortLocked() noexcept {
  storage_->Rollback();
  stale_ = true;
}

void Device::SaveLocked() {
  if (storage_->InTransaction()) {
    WriteLocked();
    return;
  }
  BeginLocked();
  CommitLocked(true);
}

std::optional<FiscalDocument> Device::LastDocumentLocked(bool receiptsOnly) {
  if (!receiptsOnly) return last_;
  for (auto it = pending_.rbegin(); it != pending_.rend(); ++it)
    if (it->type == 3 || it->type == 31) return *it;
  if (cleared_) return std::nullopt;
  if (last_ && (last_->type == 3 || last_->type == 31)) return last_;
  return storage_->LastDocument(true);
}

std::optional<FiscalDocument> Device::DocumentLocked(std::int64_t number) {
  if (last_ && last_->number == number) return last_;
  for (const auto& d : pending_)
    if (d.number == number) return d;
  if (cleared_) return std::nullopt;
  return storage_->Document(number);
}

Device::Unsent Device::UnsentLocked() {
  Unsent u;
  if (!cleared_) {
    const auto stored = storage_->UnsentDocuments();
    u = {stored.count, stored.firstNumber, stored.firstTime};
  }
  for (const auto& d : pending_) {
    if (d.sent) continue;
    if (u.count++ == 0) {
      u.firstNumber = d.number;
      u.firstTime = d.wallTime;
    }
  }
  return u;
}

const FiscalDocument& Device::AddDocumentLocked(FiscalDocument doc) {
  lastNumber_ = doc.number;
  last_ = doc;
  pending_.push_back(std::move(doc));
  return pending_.back();
}

void Device::ClearDocumentsLocked() {
  pending_.clear();
  cleared_ = true;
  last_.reset();
  lastNumber_ = 0;
}

DeviceState Device::Snapshot() const {
  std::lock_guard lock(mu_);
  RefreshLocked();
  return state_;
}

void Device::Edit(const std::function<void(DeviceState&)>& edit) {
  std::lock_guard lock(mu_);
  BeginLocked();
  try {
    edit(state_);
  } catch (...) {
    AbortLocked();
    throw;
  }
  CommitLocked(true);
}

Config Device::config() const {
  std::lock_guard lock(mu_);
  RefreshLocked();
  return state_.config;
}

void Device::SetConfig(const Config& config) {
  Edit([&](DeviceState& s) {
    s.config = config;
    s.tape.SetLimit(config.tapeLimit);
  });
}

void Device::AddFault(Fault fault) {
  Edit([&](DeviceState& s) { s.config.faults.push_back(std::move(fault)); });
}

std::int64_t Device::NowLocked() const { return HostWallNow() + state_.clockOffset; }

std::int64_t Device::Now() const {
  std::lock_guard lock(mu_);
  RefreshLocked();
  return NowLocked();
}

void Device::AdvanceClock(std::int64_t seconds) {
  Edit([&](DeviceState& s) { s.clockOffset += seconds; });
}

std::vector<TapeItem> Device::TapeItems() const {
  std::lock_guard lock(mu_);
  RefreshLocked();
  auto items = storage_->Tape();
  const auto& unsaved = state_.tape.items();
  items.insert(items.end(), unsaved.begin(), unsaved.end());
  return items;
}

std::string Device::RenderTape() const {
  Tape tape(0);
  for (auto& i : TapeItems()) tape.Add(std::move(i));
  std::lock_guard lock(mu_);
  return tape.RenderText(state_.config.lineLength);
}

void Device::ClearTape() {
  std::lock_guard lock(mu_);
  BeginLocked();
  try {
    storage_->ClearTape();
    state_.tape.Clear();
  } catch (...) {
    AbortLocked();
    throw;
  }
  CommitLocked(false);
}

std::optional<FiscalDocument> Device::Document(std::int64_t number) const {
  std::lock_guard lock(mu_);
  RefreshLocked();
  return const_cast<Device*>(this)->DocumentLocked(number);
}

std::optional<FiscalDocument> Device::LastDocument() const {
  std::lock_guard lock(mu_);
  RefreshLocked();
  return last_;
}

std::int64_t Device::DocumentCount() const {
  std::lock_guard lock(mu_);
  RefreshLocked();
  return (cleared_ ? 0 : storage_->DocumentCount()) + static_cast<std::int64_t>(pending_.size());
}

void Device::EditDocument(std::int64_t number, const std::function<void(FiscalDocument&)>& edit) {
  std::lock_guard lock(mu_);
  BeginLocked();
  try {
    auto doc = DocumentLocked(number);
    if (!doc) throw StateFileError("no document " + std::to_string(number));
    edit(*doc);
    storage_->ReplaceDocument(*doc);
    if (last_ && last_->number == number) last_ = *doc;
  } catch (...) {
    AbortLocked();
    throw;
  }
  CommitLocked(false);
}

void Device::Save() {
  std::lock_guard lock(mu_);
  BeginLocked();
  CommitLocked(true);
}

// ---- operation context

const Value* OpContext::Find(int id) const { return LastOf(in_, id); }

std::vector<const Value*> OpContext::All(int id) const {
  std::vector<const Value*> out;
  for (const auto& [k, v] : in_)
    if (k == id) out.push_back(&v);
  return out;
}

std::optional<std::int64_t> OpContext::OptInt(std::string_view constant) const {
  const Value* v = Find(constant);
  if (!v || v->empty()) return std::nullopt;
  if (v->is<bool>()) return v->get<bool>() ? 1 : 0;
  try {
    return v->asInt();
  } catch (const automation::AutomationError&) {
    Fail(errc::kBadParam, "Неверное значение параметра " + Describe(constant));
  }
}

std::int64_t OpContext::Int(std::string_view constant) const {
  auto v = OptInt(constant);
  if (!v) Fail(errc::kMissingParam, "Не задан обязательный параметр " + Describe(constant));
  return *v;
}

bool OpContext::Bool(std::string_view constant, bool fallback) const {
  const Value* v = Find(constant);
  if (!v || v->empty()) return fallback;
  try {
    return v->asBool();
  } catch (const automation::AutomationError&) {
    Fail(errc::kBadParam, "Неверное значение параметра " + Describe(constant));
  }
}

std::optional<std::string> OpContext::OptText(std::string_view constant) const {
  const Value* v = Find(constant);
  if (!v) return std::nullopt;
  try {
    return v->asText();
  } catch (const automation::AutomationError&) {
    Fail(errc::kBadParam, "Неверное значение параметра " + Describe(constant));
  }
}

std::string OpContext::Text(std::string_view constant) const {
  auto v = OptText(constant);
  if (!v) Fail(errc::kMissingParam, "Не задан обязательный параметр " + Describe(constant));
  return *v;
}

std::optional<double> OpContext::OptReal(std::string_view constant) const {
  const Value* v = Find(constant);
  if (!v || v->empty()) return std::nullopt;
  try {
    const double d = v->asDouble();
    if (!std::isfinite(d)) throw automation::AutomationError("nan");
    return d;
  } catch (const automation::AutomationError&) {
    Fail(errc::kBadParam, "Неверное значение параметра " + Describe(constant));
  }
}

double OpContext::Real(std::string_view constant) const {
  auto v = OptReal(constant);
  if (!v) Fail(errc::kMissingParam, "Не задан обязательный параметр " + Describe(constant));
  return *v;
}

std::optional<Kopecks> OpContext::OptMoney(std::string_view constant) const {
  const Value* v = Find(constant);
  if (!v || v->empty()) return std::nullopt;
  if (v->is<automation::Currency>()) {
    const auto u = v->get<automation::Currency>().units;
    return (u >= 0 ? u + 50 : u - 50) / 100;
  }
  auto d = OptReal(constant);
  if (std::fabs(*d) > 1e13)
    Fail(errc::kBadParam, "Недопустимая сумма в параметре " + Describe(constant));
  return static_cast<Kopecks>(std::llround(*d * 100.0));
}

Kopecks OpContext::Money(std::string_view constant) const {
  auto v = OptMoney(constant);
  if (!v) Fail(errc::kMissingParam, "Не задан обязательный параметр " + Describe(constant));
  return *v;
}

automation::Bytes OpContext::Bytes(std::string_view constant) const {
  const Value* v = Find(constant);
  if (!v) Fail(errc::kMissingParam, "Не задан обязательный параметр " + Describe(constant));
  try {
    return v->asBytes();
  } catch (const automation::AutomationError&) {
    Fail(errc::kBadParam, "Неверное значение параметра " + Describe(constant));
  }
}

std::int64_t OpContext::WallTime(std::string_view constant) const {
  const Value* v = Find(constant);
  if (!v) Fail(errc::kMissingParam, "Не задан обязательный параметр " + Describe(constant));
  if (v->is<automation::Date>()) return DateToWall(v->get<automation::Date>());
  if (v->is<double>()) return DateToWall(automation::Date{v->get<double>()});
  Fail(errc::kBadParam, "Ожидается дата и время в параметре " + Describe(constant));
}

std::vector<Tag> OpContext::StagedTags() const {
  std::vector<Tag> out;
  for (const auto& [id, v] : in_) {
    if (!IsTagNumber(id)) continue;
    std::string error;
    auto tag = TagFromStaged(id, v, error);
    if (!tag) Fail(errc::kBadParam, error);
    out.push_back(std::move(*tag));
  }
  return out;
}

// ---- shared helpers

Value MoneyValue(Kopecks k) { return Value(static_cast<double>(k) / 100.0); }

int ReceiptKind(int t) {
  if (t == C("LIBFPTR_RT_SELL") || t == C("LIBFPTR_RT_SELL_CORRECTION")) return 1;
  if (t == C("LIBFPTR_RT_SELL_RETURN") || t == C("LIBFPTR_RT_SELL_RETURN_CORRECTION")) return 2;
  if (t == C("LIBFPTR_RT_BUY") || t == C("LIBFPTR_RT_BUY_CORRECTION")) return 3;
  if (t == C("LIBFPTR_RT_BUY_RETURN") || t == C("LIBFPTR_RT_BUY_RETURN_CORRECTION")) return 4;
  return 0;
}

bool IsCorrection(int t) {
  return t == C("LIBFPTR_RT_SELL_CORRECTION") || t == C("LIBFPTR_RT_SELL_RETURN_CORRECTION") ||
         t == C("LIBFPTR_RT_BUY_CORRECTION") || t == C("LIBFPTR_RT_BUY_RETURN_CORRECTION");
}

std::string FormatMoney(Kopecks k) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s%lld.%02lld", k < 0 ? "-" : "",
                static_cast<long long>(std::llabs(k) / 100),
                static_cast<long long>(std::llabs(k) % 100));
  return buf;
}

const Tag* FindTag(const std::vector<Tag>& tags, int number) {
  for (const auto& t : tags)
    if (t.number == number) return &t;
  return nullptr;
}

std::string RegText(const DeviceState& s, int tag) {
  const Tag* t = FindTag(s.registration.tags, tag);
  return t ? t->ToText() : std::string();
}

}  // namespace vantorel::emulator
