#include "vregister/persistence.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

namespace vantorel::emulator {

using nlohmann::json;

namespace {

const char* kB64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr int kFormat = 1;
constexpr size_t kMaxFileSize = 512u * 1024u * 1024u;
constexpr int kMaxNesting = 64;

[[noreturn]] void Bad(const std::string& where, const std::string& what) {
  throw StateFileError("virtual register state file is damaged: " + where + ": " + what);
}

// The JSON parser recurses per nesting level; refuse deep nesting before parsing so a hostile
// file cannot exhaust the stack.
void CheckNesting(std::string_view text) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
      continue;
    }
    if (c == '"')
      inString = true;
    else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) Bad("file", "nesting too deep");
    } else if (c == ']' || c == '}')
      --depth;
  }
}

bool FromBase64(const std::string& s, automation::Bytes& out) {
  out.clear();
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : s) {
    if (c == '=') break;
    const char* p = std::strchr(kB64, c);
    if (c == 0 || p == nullptr) return false;
    acc = (acc << 6) | static_cast<std::uint32_t>(p - kB64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
    }
  }
  return true;
}

// Typed, range-checked reads of optional members.
class In {
 public:
  In(const json& j, std::string where) : j_(j), where_(std::move(where)) {
    if (!j_.is_object()) Bad(where_, "not an object");
  }
  const json* Find(const char* key) const {
    auto it = j_.find(key);
    return it == j_.end() ? nullptr : &*it;
  }
  template <typename T>
  void Int(const char* key, T& out, std::int64_t min = std::numeric_limits<T>::min(),
           std::int64_t max = std::numeric_limits<T>::max()) const {
    const json* v = Find(key);
    if (!v) return;
    if (!v->is_number_integer()) Bad(where_ + "." + key, "not an integer");
    const auto i =
        v->is_number_unsigned() && v->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)
            ? INT64_MAX
            : v->get<std::int64_t>();
    if (i < min || i > max) Bad(where_ + "." + key, "out of range");
    out = static_cast<T>(i);
  }
  void Bool(const char* key, bool& out) const {
    const json* v = Find(key);
    if (!v) return;
    if (!v->is_boolean()) Bad(where_ + "." + key, "not a Boolean");
    out = v->get<bool>();
  }
  void Real(const char* key, double& out) const {
    const json* v = Find(key);
    if (!v) return;
    if (!v->is_number()) Bad(where_ + "." + key, "not a number");
    out = v->get<double>();
  }
  void Text(const char* key, std::string& out) const {
    const json* v = Find(key);
    if (!v) return;
    if (!v->is_string()) Bad(where_ + "." + key, "not a text");
    out = v->get<std::string>();
  }
  void Blob(const char* key, automation::Bytes& out) const {
    std::string s;
    Text(key, s);
    if (!Find(key)) return;
    if (!FromBase64(s, out)) Bad(where_ + "." + key, "not Base64");
  }
  const json* Array(const char* key) const {
    const json* v = Find(key);
    if (v && !v->is_array()) Bad(where_ + "." + key, "not a list");
    return v;
  }
  const json* Object(const char* key) const {
    const json* v = Find(key);
    if (v && !v->is_object()) Bad(where_ + "." + key, "not an object");
    return v;
  }
  const std::string& where() const { return where_; }

 private:
  const json& j_;
  std::string where_;
};

// ---- tags

json TagToJson(const Tag& t) {
  json j{{"n", t.number}, {"t", static_cast<int>(t.type)}};
  switch (t.type) {
    case TagType::kStlv: {
      json c = json::array();
      for (const auto& k : t.children) c.push_back(TagToJson(k));
      j["c"] = std::move(c);
      break;
    }
    case TagType::kString:
      j["v"] = t.text;
      break;
    case TagType::kBytes:
      j["v"] = Base64(t.bytes);
      break;
    case TagType::kFvln:
      j["v"] = t.real;
      break;
    default:
      j["v"] = t.integer;
      break;
  }
  return j;
}

Tag TagFromJson(const json& j, const std::string& where, int depth) {
  if (depth > 8) Bad(where, "tags nested too deep");
  In in(j, where);
  Tag t;
  int type = 1;
  in.Int("n", t.number, 1, 65535);
  in.Int("t", type, 0, 10);
  t.type = static_cast<TagType>(type);
  switch (t.type) {
    case TagType::kStlv:
      if (const json* c = in.Array("c"))
        for (size_t k = 0; k < c->size(); ++k)
          t.children.push_back(
              TagFromJson((*c)[k], where + ".c[" + std::to_string(k) + "]", depth + 1));
      break;
    case TagType::kString:
      in.Text("v", t.text);
      break;
    case TagType::kBytes:
      in.Blob("v", t.bytes);
      break;
    case TagType::kFvln:
      in.Real("v", t.real);
      break;
    default:
      in.Int("v", t.integer, 0, 0xFFFFFFFFFFFFLL);
      break;
  }
  return t;
}

json TagsToJson(const std::vector<Tag>& tags) {
  json a = json::array();
  for (const auto& t : tags) a.push_back(TagToJson(t));
  return a;
}

void TagsFromJson(const In& in, const char* key, std::vector<Tag>& out) {
  const json* a = in.Array(key);
  if (!a) return;
  out.clear();
  for (size_t k = 0; k < a->size(); ++k)
    out.push_back(TagFromJson((*a)[k], in.where() + "." + key + "[" + std::to_string(k) + "]", 0));
}

// ---- config

const char* MarkingServiceName(MarkingService m) {
  switch (m) {
    case MarkingService::kOnline:
      return "online";
    case MarkingService::kSilent:
      return "silent";
    case MarkingService::kOffline:
      return "offline";
    case MarkingService::kFailing:
      return "failing";
  }
  return "online";
}

json ConfigToJson(const Config& c) {
  json settings = json::object();
  for (const auto& [k, v] : c.deviceSettings) settings[std::to_string(k)] = v;
  json faults = json::array();
  for (const auto& f : c.faults)
    faults.push_back({{"operation", f.operation},
                      {"skip", f.skip},
                      {"times", f.times},
                      {"code", f.code},
                      {"description", f.description},
                      {"after", f.after},
                      {"lost", f.lost}});
  return json{{"modelNumber", c.modelNumber},
              {"modelName", c.modelName},
              {"serialNumber", c.serialNumber},
              {"configurationVersion", c.configurationVersion},
              {"firmwareVersion", c.firmwareVersion},
              {"deviceFfdVersion", c.deviceFfdVersion},
              {"lineLength", c.lineLength},
              {"lineLengthPix", c.lineLengthPix},
              {"deviceSettings", settings},
              {"cutter", c.cutter},
              {"fnSerial", c.fnSerial},
              {"fnVersion", c.fnVersion},
              {"fnFfdVersion", c.fnFfdVersion},
              {"registerOnCreate", c.registerOnCreate},
              {"markingService", MarkingServiceName(c.markingService)},
              {"markingDelayMs", c.markingDelayMs},
              {"markingAnswerTags", c.markingAnswerTags},
              {"markingValidationResult", c.markingValidationResult},
              {"markingStatusInfo", c.markingStatusInfo},
              {"markingProcessingResult", c.markingProcessingResult},
              {"markingProcessingCode", c.markingProcessingCode},
              {"markingCodeType", c.markingCodeType},
              {"markingOnlineError", c.markingOnlineError},
              {"ofdConfirmsAtOnce", c.ofdConfirmsAtOnce},
              {"paperPresent", c.paperPresent},
              {"paperNearEnd", c.paperNearEnd},
              {"paperEndsInNextDocument", c.paperEndsInNextDocument},
              {"coverOpen", c.coverOpen},
              {"printerError", c.printerError},
              {"fnMemoryOverflow", c.fnMemoryOverflow},
              {"fnNeedReplacement", c.fnNeedReplacement},
              {"fnResourceExhausted", c.fnResourceExhausted},
              {"fnCriticalError", c.fnCriticalError},
              {"fnOfdTimeout", c.fnOfdTimeout},
              {"faults", faults},
              {"traceLimit", c.traceLimit},
              {"tapeLimit", c.tapeLimit}};
}

void CheckFfd(int v, const std::string& where) {
  if (v != 100 && v != 105 && v != 110 && v != 120)
    Bad(where, "format version must be 100, 105, 110 or 120");
}

Config ConfigFromJson(const json& j) {
  In in(j, "config");
  Config c;
  in.Int("modelNumber", c.modelNumber, 0, 65535);
  in.Text("modelName", c.modelName);
  in.Text("serialNumber", c.serialNumber);
  in.Text("configurationVersion", c.configurationVersion);
  in.Text("firmwareVersion", c.firmwareVersion);
  in.Int("deviceFfdVersion", c.deviceFfdVersion);
  CheckFfd(c.deviceFfdVersion, "config.deviceFfdVersion");
  in.Int("lineLength", c.lineLength, 8, 200);
  in.Int("lineLengthPix", c.lineLengthPix, 64, 4096);
  if (const json* s = in.Object("deviceSettings")) {
    c.deviceSettings.clear();
    for (auto it = s->begin(); it != s->end(); ++it) {
      int id = 0;
      try {
        size_t used = 0;
        id = std::stoi(it.key(), &used);
        if (used != it.key().size()) throw std::invalid_argument("id");
      } catch (const std::exception&) {
        Bad("config.deviceSettings", "setting number expected, got '" + it.key() + "'");
      }
      if (!it.value().is_string()) Bad("config.deviceSettings." + it.key(), "not a text");
      c.deviceSettings[id] = it.value().get<std::string>();
    }
  }
  in.Bool("cutter", c.cutter);
  in.Text("fnSerial", c.fnSerial);
  in.Text("fnVersion", c.fnVersion);
  in.Int("fnFfdVersion", c.fnFfdVersion);
  CheckFfd(c.fnFfdVersion, "config.fnFfdVersion");
  in.Bool("registerOnCreate", c.registerOnCreate);
  if (in.Find("markingService")) {
    std::string m;
    in.Text("markingService", m);
    if (m == "online")
      c.markingService = MarkingService::kOnline;
    else if (m == "silent")
      c.markingService = MarkingService::kSilent;
    else if (m == "offline")
      c.markingService = MarkingService::kOffline;
    else if (m == "failing")
      c.markingService = MarkingService::kFailing;
    else
      Bad("config.markingService", "one of online, silent, offline, failing expected");
  }
  in.Int("markingDelayMs", c.markingDelayMs, 0, 3600000);
  if (const json* a = in.Array("markingAnswerTags")) {
    c.markingAnswerTags.clear();
    for (const auto& v : *a) {
      if (!v.is_number_integer() || v.get<std::int64_t>() < 1 || v.get<std::int64_t>() > 65535)
        Bad("config.markingAnswerTags", "tag numbers expected");
      c.markingAnswerTags.push_back(v.get<int>());
    }
  }
  in.Int("markingValidationResult", c.markingValidationResult, 0, 255);
  in.Int("markingStatusInfo", c.markingStatusInfo, 0, 255);
  in.Int("markingProcessingResult", c.markingProcessingResult, 0, 255);
  in.Int("markingProcessingCode", c.markingProcessingCode, 0, 255);
  in.Int("markingCodeType", c.markingCodeType, 0, 255);
  in.Int("markingOnlineError", c.markingOnlineError, 0, 65535);
  in.Bool("ofdConfirmsAtOnce", c.ofdConfirmsAtOnce);
  in.Bool("paperPresent", c.paperPresent);
  in.Bool("paperNearEnd", c.paperNearEnd);
  in.Bool("paperEndsInNextDocument", c.paperEndsInNextDocument);
  in.Bool("coverOpen", c.coverOpen);
  in.Bool("printerError", c.printerError);
  in.Bool("fnMemoryOverflow", c.fnMemoryOverflow);
  in.Bool("fnNeedReplacement", c.fnNeedReplacement);
  in.Bool("fnResourceExhausted", c.fnResourceExhausted);
  in.Bool("fnCriticalError", c.fnCriticalError);
  in.Bool("fnOfdTimeout", c.fnOfdTimeout);
  if (const json* a = in.Array("faults")) {
    c.faults.clear();
    for (size_t k = 0; k < a->size(); ++k) {
      In f((*a)[k], "config.faults[" + std::to_string(k) + "]");
      Fault fault;
      f.Text("operation", fault.operation);
      f.Int("skip", fault.skip, 0, 1000000000);
      f.Int("times", fault.times, 0, 1000000000);
      f.Int("code", fault.code, 1, 1000000);
      f.Text("description", fault.description);
      f.Bool("after", fault.after);
      f.Int("lost", fault.lost, 0, 1000000);
      if (fault.operation.empty() || fault.code == 0)
        Bad(f.where(), "operation and code are required");
      c.faults.push_back(std::move(fault));
    }
  }
  in.Int("traceLimit", c.traceLimit, 0, 100000000);
  in.Int("tapeLimit", c.tapeLimit, 0, 100000000);
  return c;
}

// ---- counters, receipt, documents, tape

json CounterToJson(const Counter& c) { return json::array({c.count, c.sum}); }
void CounterFromJson(const json& j, Counter& c, const std::string& where) {
  if (!j.is_array() || j.size() != 2 || !j[0].is_number_integer() || !j[1].is_number_integer())
    Bad(where, "counter [count, sum] expected");
  c.count = j[0].get<std::int64_t>();
  c.sum = j[1].get<std::int64_t>();
}

json CountersToJson(const Counters& c) {
  json r = json::array(), k = json::array(), p = json::array();
  for (int i = 0; i < 4; ++i) {
    r.push_back(CounterToJson(c.receipts[i]));
    k.push_back(CounterToJson(c.corrections[i]));
    p.push_back(c.payments[i]);
  }
  return json{{"receipts", r},
              {"corrections", k},
              {"payments", p},
              {"cashIn", CounterToJson(c.cashIn)},
              {"cashOut", CounterToJson(c.cashOut)}};
}

void CountersFromJson(const In& parent, const char* key, Counters& c) {
  const json* j = parent.Object(key);
  if (!j) return;
  const std::string where = parent.where() + "." + key;
  In in(*j, where);
  auto four = [&](const char* name) -> const json* {
    const json* a = in.Array(name);
    if (a && a->size() != 4) Bad(where + "." + name, "four entries expected");
    return a;
  };
  if (const json* a = four("receipts"))
    for (int i = 0; i < 4; ++i) CounterFromJson((*a)[i], c.receipts[i], where + ".receipts");
  if (const json* a = four("corrections"))
    for (int i = 0; i < 4; ++i) CounterFromJson((*a)[i], c.corrections[i], where + ".corrections");
  if (const json* a = four("payments"))
    for (int i = 0; i < 4; ++i) {
      const json& row = (*a)[i];
      if (!row.is_array() || row.size() != 10) Bad(where + ".payments", "ten sums expected");
      for (int t = 0; t < 10; ++t) {
        if (!row[t].is_number_integer()) Bad(where + ".payments", "integer expected");
        c.payments[i][t] = row[t].get<std::int64_t>();
      }
    }
  if (const json* v = in.Find("cashIn")) CounterFromJson(*v, c.cashIn, where + ".cashIn");
  if (const json* v = in.Find("cashOut")) CounterFromJson(*v, c.cashOut, where + ".cashOut");
}

json PairsToJson(const std::vector<std::pair<int, Kopecks>>& v) {
  json a = json::array();
  for (const auto& [k, s] : v) a.push_back(json::array({k, s}));
  return a;
}
void PairsFromJson(const In& in, const char* key, std::vector<std::pair<int, Kopecks>>& out,
                   int maxKey) {
  const json* a = in.Array(key);
  if (!a) return;
  for (const auto& e : *a) {
    if (!e.is_array() || e.size() != 2 || !e[0].is_number_integer() || !e[1].is_number_integer() ||
        e[0].get<std::int64_t>() < 0 || e[0].get<std::int64_t>() > maxKey)
      Bad(in.where() + "." + key, "pair [kind, sum] expected");
    out.emplace_back(e[0].get<int>(), e[1].get<std::int64_t>());
  }
}

json ReceiptToJson(const Receipt& r) {
  json positions = json::array();
  for (const auto& p : r.positions)
    positions.push_back({{"name", p.name},
                         {"price", p.price},
                         {"quantity", p.quantity},
                         {"sum", p.sum},
                         {"taxType", p.taxType},
                         {"taxSum", p.taxSum},
                         {"department", p.department},
                         {"tags", TagsToJson(p.tags)}});
  json j{{"type", r.type},
         {"electronic", r.electronic},
         {"tags", TagsToJson(r.tags)},
         {"positions", positions},
         {"taxes", PairsToJson(r.taxes)},
         {"payments", PairsToJson(r.payments)}};
  if (r.total) j["total"] = *r.total;
  return j;
}

void ReceiptFromJson(const In& parent, Receipt& r) {
  const json* j = parent.Object("receipt");
  if (!j) return;
  In in(*j, "state.receipt");
  in.Int("type", r.type, 0, 10);
  in.Bool("electronic", r.electronic);
  TagsFromJson(in, "tags", r.tags);
  if (const json* a = in.Array("positions"))
    for (size_t k = 0; k < a->size(); ++k) {
      In p((*a)[k], "state.receipt.positions[" + std::to_string(k) + "]");
      Position pos;
      p.Text("name", pos.name);
      p.Int("price", pos.price);
      p.Real("quantity", pos.quantity);
      p.Int("sum", pos.sum);
      p.Int("taxType", pos.taxType, 0, 255);
      p.Int("taxSum", pos.taxSum);
      p.Int("department", pos.department, 0, 255);
      TagsFromJson(p, "tags", pos.tags);
      r.positions.push_back(std::move(pos));
    }
  PairsFromJson(in, "taxes", r.taxes, 255);
  PairsFromJson(in, "payments", r.payments, 9);
  if (in.Find("total")) {
    Kopecks t = 0;
    in.Int("total", t);
    r.total = t;
  }
}

json TapeItemToJson(const TapeItem& t) {
  json j{{"k", static_cast<int>(t.kind)}};
  if (!t.text.empty()) j["text"] = t.text;
  if (t.font) j["font"] = t.font;
  if (t.doubleWidth) j["dw"] = true;
  if (t.doubleHeight) j["dh"] = true;
  if (t.alignment != Alignment::kLeft) j["align"] = static_cast<int>(t.alignment);
  if (t.wrap != Wrap::kNone) j["wrap"] = static_cast<int>(t.wrap);
  if (t.kind == TapeItem::Kind::kBarcode) {
    j["barcode"] = static_cast<int>(t.barcode);
    j["barcodeText"] = t.barcodeText;
  }
  if (t.scale) j["scale"] = t.scale;
  if (t.width) j["w"] = t.width;
  if (t.height) j["h"] = t.height;
  if (!t.pixels.empty()) j["pixels"] = Base64(t.pixels);
  if (t.lines) j["lines"] = t.lines;
  if (t.kind == TapeItem::Kind::kCut) j["full"] = t.fullCut;
  return j;
}

TapeItem TapeItemFromJson(const json& j, const std::string& where) {
  In in(j, where);
  TapeItem t;
  int kind = 0, align = 0, wrap = 0, barcode = static_cast<int>(t.barcode);
  in.Int("k", kind, 0, 6);
  t.kind = static_cast<TapeItem::Kind>(kind);
  in.Text("text", t.text);
  in.Int("font", t.font, 0, 100);
  in.Bool("dw", t.doubleWidth);
  in.Bool("dh", t.doubleHeight);
  in.Int("align", align, 0, 2);
  t.alignment = static_cast<Alignment>(align);
  in.Int("wrap", wrap, 0, 2);
  t.wrap = static_cast<Wrap>(wrap);
  in.Int("barcode", barcode, 0, 3);
  t.barcode = static_cast<BarcodeKind>(barcode);
  in.Bool("barcodeText", t.barcodeText);
  in.Int("scale", t.scale, 0, 1000);
  in.Int("w", t.width, 0, 100000);
  in.Int("h", t.height, 0, 1000000);
  in.Blob("pixels", t.pixels);
  in.Int("lines", t.lines, 0, 1000);
  in.Bool("full", t.fullCut);
  return t;
}

json StateToJson(const DeviceState& s) {
  json tape = json::array();
  for (const auto& t : s.tape.items()) tape.push_back(TapeItemToJson(t));
  json activities = json::object();
  for (const auto& [k, v] : s.registration.activities) activities[k] = v;
  return json{
      {"clockOffset", s.clockOffset},
      {"shiftOpen", s.shiftOpen},
      {"shiftNumber", s.shiftNumber},
      {"shiftOpenedAt", s.shiftOpenedAt},
      {"receiptNumber", s.receiptNumber},
      {"cashierName", s.cashierName},
      {"cashierInn", s.cashierInn},
      {"cash", s.cash},
      {"shiftCounters", CountersToJson(s.shiftCounters)},
      {"totalCounters", CountersToJson(s.totalCounters)},
      {"receipt", ReceiptToJson(s.receipt)},
      {"nonfiscalOpen", s.nonfiscalOpen},
      {"lastDocumentPrinted", s.lastDocumentPrinted},
      {"fiscal", s.fiscal},
      {"fnPhase", s.fnPhase},
      {"fnSerial", s.fnSerial},
      {"registrationsCount", s.registrationsCount},
      {"lastRegistrationNumber", s.lastRegistrationNumber},
      {"lastRegistrationTime", s.lastRegistrationTime},
      {"ffdVersion", s.ffdVersion},
      {"registration", {{"tags", TagsToJson(s.registration.tags)}, {"activities", activities}}},
      {"tape", tape}};
}

void StateFromJson(const json& j, DeviceState& s, std::vector<FiscalDocument>* documents) {
  In in(j, "state");
  in.Int("clockOffset", s.clockOffset, -100LL * 365 * 86400, 100LL * 365 * 86400);
  in.Bool("shiftOpen", s.shiftOpen);
  in.Int("shiftNumber", s.shiftNumber, 0, 0xFFFFFFFFLL);
  in.Int("shiftOpenedAt", s.shiftOpenedAt, 0, 0xFFFFFFFFLL);
  in.Int("receiptNumber", s.receiptNumber, 0, 0xFFFFFFFFLL);
  in.Text("cashierName", s.cashierName);
  in.Text("cashierInn", s.cashierInn);
  in.Int("cash", s.cash, -1000000000000000LL, 1000000000000000LL);
  CountersFromJson(in, "shiftCounters", s.shiftCounters);
  CountersFromJson(in, "totalCounters", s.totalCounters);
  ReceiptFromJson(in, s.receipt);
  in.Bool("nonfiscalOpen", s.nonfiscalOpen);
  in.Bool("lastDocumentPrinted", s.lastDocumentPrinted);
  in.Bool("fiscal", s.fiscal);
  in.Int("fnPhase", s.fnPhase, 0, 255);
  in.Text("fnSerial", s.fnSerial);
  in.Int("registrationsCount", s.registrationsCount, 0, 1000000);
  in.Int("lastRegistrationNumber", s.lastRegistrationNumber, 0, 0xFFFFFFFFLL);
  in.Int("lastRegistrationTime", s.lastRegistrationTime, 0, 0xFFFFFFFFLL);
  in.Int("ffdVersion", s.ffdVersion);
  CheckFfd(s.ffdVersion, "state.ffdVersion");
  if (const json* r = in.Object("registration")) {
    In reg(*r, "state.registration");
    TagsFromJson(reg, "tags", s.registration.tags);
    if (const json* a = reg.Object("activities")) {
      s.registration.activities.clear();
      for (auto it = a->begin(); it != a->end(); ++it) {
        if (!it.value().is_boolean())
          Bad("state.registration.activities." + it.key(), "not a Boolean");
        s.registration.activities[it.key()] = it.value().get<bool>();
      }
    }
  }
  if (const json* a = in.Array("documents"); a && documents) {
    documents->clear();
    for (size_t k = 0; k < a->size(); ++k) {
      In d((*a)[k], "state.documents[" + std::to_string(k) + "]");
      FiscalDocument doc;
      d.Int("number", doc.number, 1, 0xFFFFFFFFLL);
      d.Int("type", doc.type, 0, 255);
      d.Int("time", doc.wallTime, 0, 0xFFFFFFFFLL);
      d.Int("fiscalSign", doc.fiscalSign);
      d.Bool("sent", doc.sent);
      TagsFromJson(d, "tags", doc.tags);
      if (!documents->empty() && doc.number <= documents->back().number)
        Bad(d.where(), "document numbers must increase");
      documents->push_back(std::move(doc));
    }
  }
  if (const json* a = in.Array("tape")) {
    s.tape.Clear();
    for (size_t k = 0; k < a->size(); ++k)
      s.tape.Add(TapeItemFromJson((*a)[k], "state.tape[" + std::to_string(k) + "]"));
  }
}

json ParseText(std::string_view text) {
  if (text.size() > kMaxFileSize) Bad("file", "too large");
  CheckNesting(text);
  try {
    return json::parse(text.begin(), text.end());
  } catch (const json::exception& e) {
    Bad("file", std::string("not valid JSON (") + e.what() + ")");
  }
}

std::string ReadFile(const std::filesystem::path& file, bool& exists) {
  std::error_code ec;
  exists = std::filesystem::exists(file, ec);
  if (!exists) return {};
  const auto size = std::filesystem::file_size(file, ec);
  if (ec) throw StateFileError("virtual register state file cannot be read: " + file.string());
  if (size > kMaxFileSize) Bad(file.string(), "too large");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw StateFileError("virtual register state file cannot be opened: " + file.string());
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteAtomically(const std::filesystem::path& file, const std::string& text) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  auto tmp = file;
  tmp += ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw StateFileError("virtual register state cannot be written: " + tmp.string());
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) throw StateFileError("virtual register state cannot be written: " + tmp.string());
  }
  std::filesystem::rename(tmp, file, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    throw StateFileError("virtual register state cannot be saved: " + file.string());
  }
}

}  // namespace

std::string Base64(const automation::Bytes& b) {
  std::string out;
  out.reserve((b.size() + 2) / 3 * 4);
  for (size_t i = 0; i < b.size(); i += 3) {
    const std::uint32_t n = (static_cast<std::uint32_t>(b[i]) << 16) |
                            (i + 1 < b.size() ? static_cast<std::uint32_t>(b[i + 1]) << 8 : 0) |
                            (i + 2 < b.size() ? static_cast<std::uint32_t>(b[i + 2]) : 0);
    out += kB64[(n >> 18) & 63];
    out += kB64[(n >> 12) & 63];
    out += i + 1 < b.size() ? kB64[(n >> 6) & 63] : '=';
    out += i + 2 < b.size() ? kB64[n & 63] : '=';
  }
  return out;
}

std::filesystem::path StateDirectory() {
  if (const char* dir = std::getenv("VANTOREL_VREG_DIR"); dir && *dir)
    return std::filesystem::path(dir);
#ifdef _WIN32
  const char* base = std::getenv("LOCALAPPDATA");
  std::filesystem::path root =
      base && *base ? std::filesystem::path(base) : std::filesystem::temp_directory_path();
  return root / "Norvander" / "vantorel" / "vregister";
#else
  std::filesystem::path root;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    root = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    root = std::filesystem::path(home) / ".local" / "share";
  } else {
    root = std::filesystem::temp_directory_path();
  }
  return root / "Norvander" / "vantorel" / "vregister";
#endif
}

std::string StateToJsonText(const DeviceState& state) {
  json j{
      {"format", kFormat}, {"config", ConfigToJson(state.config)}, {"state", StateToJson(state)}};
  return j.dump(1, ' ', false, json::error_handler_t::replace);
}

DeviceState StateFromJsonText(std::string_view text, std::int64_t wallNow,
                              std::vector<FiscalDocument>* documents) {
  const json j = ParseText(text);
  try {
    In top(j, "file");
    int format = kFormat;
    top.Int("format", format);
    if (format != kFormat) Bad("file.format", "unsupported format " + std::to_string(format));
    Config config;
    if (const json* c = top.Object("config")) config = ConfigFromJson(*c);
    const json* st = top.Object("state");
    if (documents) documents->clear();
    if (!st) return NewDeviceState(config, wallNow, documents);
    DeviceState s;
    s.config = config;
    StateFromJson(*st, s, documents);
    s.tape.SetLimit(config.tapeLimit);
    return s;
  } catch (const json::exception& e) {
    Bad("file", e.what());
  }
}

std::string ConfigToJsonText(const Config& config) { return ConfigToJson(config).dump(1); }

Config ConfigFromJsonText(std::string_view text) {
  const json j = ParseText(text);
  try {
    return ConfigFromJson(j);
  } catch (const json::exception& e) {
    Bad("config", e.what());
  }
}

std::string CoreStateToJsonText(const DeviceState& state) {
  json j = StateToJson(state);
  j.erase("tape");
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

void CoreStateFromJsonText(std::string_view text, DeviceState& state) {
  const json j = ParseText(text);
  try {
    StateFromJson(j, state, nullptr);
  } catch (const json::exception& e) {
    Bad("state", e.what());
  }
}

std::string TagsToJsonText(const std::vector<Tag>& tags) {
  return TagsToJson(tags).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::vector<Tag> TagsFromJsonText(std::string_view text, const std::string& where) {
  const json j = ParseText(text);
  if (!j.is_array()) Bad(where, "not a list");
  std::vector<Tag> out;
  try {
    for (size_t k = 0; k < j.size(); ++k)
      out.push_back(TagFromJson(j[k], where + "[" + std::to_string(k) + "]", 0));
  } catch (const json::exception& e) {
    Bad(where, e.what());
  }
  return out;
}

std::string TapeItemToJsonText(const TapeItem& item) {
  return TapeItemToJson(item).dump(-1, ' ', false, json::error_handler_t::replace);
}

TapeItem TapeItemFromJsonText(std::string_view text, const std::string& where) {
  const json j = ParseText(text);
  try {
    return TapeItemFromJson(j, where);
  } catch (const json::exception& e) {
    Bad(where, e.what());
  }
}

std::string ReadStateFile(const std::filesystem::path& file, bool& exists) {
  return ReadFile(file, exists);
}

std::string LibraryVersion() {
  bool exists = false;
  const auto file = StateDirectory() / "library.json";
  const std::string text = ReadFile(file, exists);
  if (!exists) return "10.10.6.0";
  const json j = ParseText(text);
  In in(j, "library");
  std::string version = "10.10.6.0";
  in.Text("version", version);
  return version;
}

void WriteLibraryVersion(const std::string& version) {
  WriteAtomically(StateDirectory() / "library.json", json{{"version", version}}.dump(1));
}

}  // namespace vantorel::emulator
