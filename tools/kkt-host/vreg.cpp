// `kkt-host vreg`: status, tape, doc, set, fault, reset and list for the virtual register's
// databases.
#include "vreg.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "component.h"
#include "scenario.h"
#include "vregister/constants.h"
#include "vregister/persistence.h"
#include "vregister/register.h"
#include "vregister/state.h"
#include "vregister/storage.h"
#include "vregister/tape_render.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kkthost {

namespace {

namespace fs = std::filesystem;
using nlohmann::ordered_json;
using vantorel::emulator::Config;
using vantorel::emulator::DeviceState;
using vantorel::emulator::Fault;
using vantorel::emulator::Storage;
using vantorel::emulator::TapeItem;

constexpr const char* kVregUsage =
    "usage: kkt-host [--json] vreg [--register NAME] [COMMAND]\n"
    "  status (default)          shift, receipt, counters, storage, format version, platform\n"
    "  tape [--html FILE] [--pictures DIR] [--last N] [--clear]\n"
    "                            what the register printed (the last N documents); --clear\n"
    "                            tears the paper off after showing it\n"
    "  set KEY=VALUE...          change the configuration (keys: vreg set --list)\n"
    "  fault OPERATION [code=N] [skip=N] [times=N] [text=TEXT] [after=true] [lost=N]\n"
    "                            make the register fail an operation (e.g. closeReceipt);\n"
    "                            after=true: carry it out first, then fail (a late error);\n"
    "                            lost=N: the link breaks, the next N calls fail too\n"
    "  fault clear               forget every planned fault\n"
    "  doc [N]                   stored document N (the last one without N), tag by tag\n"
    "  reset [--keep-config]     a fresh register: new storage, no shifts, no paper\n"
    "  list                      the registers in the state folder\n"
    "NAME is the register's database name without .db: usb (the default connection), com-com3,\n"
    "tcp-192.168.0.10-5555... The folder is $VANTOREL_VREG_DIR, else the user's data folder.\n"
    "Status, tape, set and fault work while a program is connected to the register; it sees a\n"
    "change at its next operation.\n";

class VregError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

bool StdoutIsTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stdout)) != 0;
#else
  return ::isatty(STDOUT_FILENO) != 0;
#endif
}

std::string Money(std::int64_t k) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s%lld.%02lld", k < 0 ? "-" : "",
                static_cast<long long>(k < 0 ? -k : k) / 100,
                static_cast<long long>(k < 0 ? -k : k) % 100);
  return buf;
}

std::string Wall(std::int64_t t) { return vantorel::emulator::FormatWall(t); }

std::string FfdText(int v) {
  switch (v) {
    case 100:
      return "1.0";
    case 105:
      return "1.05";
    case 110:
      return "1.1";
    case 120:
      return "1.2";
  }
  return std::to_string(v);
}

// 1 sell, 2 sell return, 3 buy, 4 buy return for a LIBFPTR_RT_ receipt type (corrections too).
int ReceiptKindOf(int type) {
  using vantorel::emulator::C;
  for (const char* suffix : {"", "_CORRECTION"}) {
    const std::string s = suffix;
    if (type == C("LIBFPTR_RT_SELL" + s)) return 1;
    if (type == C("LIBFPTR_RT_SELL_RETURN" + s)) return 2;
    if (type == C("LIBFPTR_RT_BUY" + s)) return 3;
    if (type == C("LIBFPTR_RT_BUY_RETURN" + s)) return 4;
  }
  return 0;
}

const char* KindName(int kind) {
  static const char* kNames[] = {"sell", "sell return", "buy", "buy return"};
  return kind >= 1 && kind <= 4 ? kNames[kind - 1] : "?";
}

const char* DocumentTypeName(int type) {
  switch (type) {
    case 1:
      return "registration";
    case 11:
      return "re-registration";
    case 2:
      return "shift opening";
    case 3:
      return "receipt";
    case 31:
      return "correction receipt";
    case 5:
      return "shift closing";
    case 6:
      return "storage closing";
    case 21:
      return "settlements report";
  }
  return "document";
}

// ---- which register

struct Target {
  fs::path folder;
  std::string name;  // file stem
  fs::path file;
  bool chosen = false;  // named with --register
};

std::vector<std::pair<std::string, fs::file_time_type>> RegisterFiles(const fs::path& folder) {
  std::vector<std::pair<std::string, fs::file_time_type>> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    // Databases, and state files of the older form still to be imported.
    const auto ext = e.path().extension();
    if (!e.is_regular_file(ec) || (ext != ".db" && ext != ".json")) continue;
    const std::string stem = PathToUtf8(e.path().stem());
    if (stem == "library") continue;
    auto time = e.last_write_time(ec);
    if (ext == ".db") {
      // A database's latest writes are in its write-ahead log.
      const auto wal = fs::last_write_time(fs::path(e.path()) += "-wal", ec);
      if (!ec && wal > time) time = wal;
    }
    auto known =
        std::find_if(out.begin(), out.end(), [&](const auto& f) { return f.first == stem; });
    if (known == out.end())
      out.emplace_back(stem, time);
    else
      known->second = std::max(known->second, time);
  }
  std::sort(out.begin(), out.end(),
            [](const auto& a, const auto& b) { return a.second > b.second; });
  return out;
}

Target Resolve(const std::string& name) {
  Target t;
  t.folder = vantorel::emulator::StateDirectory();
  if (!name.empty()) {
    if (name.find_first_of("/\\:") != std::string::npos || name == "." || name == "..")
      throw VregError("--register takes a register name such as usb or com-com3, not a path");
    t.name = name;
    if (t.name.size() > 5 && t.name.ends_with(".json")) t.name.resize(t.name.size() - 5);
    if (t.name.size() > 3 && t.name.ends_with(".db")) t.name.resize(t.name.size() - 3);
    t.chosen = true;
  } else {
    // The register used last; the driver's default connection (USB) when there is none yet.
    const auto files = RegisterFiles(t.folder);
    t.name = files.empty() ? "usb" : files.front().first;
  }
  t.file = t.folder / PathFromUtf8(t.name + ".db");
  return t;
}

std::int64_t WallNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The register's database. `mustExist`: a missing register is an error that says how to make
// one; otherwise it is created (empty: the driver makes the register at its first connection).
std::unique_ptr<Storage> OpenRegister(const Target& t, bool mustExist) {
  std::unique_ptr<Storage> storage;
  try {
    storage = Storage::Open(t.file, !mustExist);
  } catch (const vantorel::emulator::StateFileError& e) {
    throw VregError(std::string(e.what()) + "\n  file: " + PathToUtf8(t.file) +
                    "\n  fix it by hand, or start afresh with: kkt-host vreg --register " + t.name +
                    " reset");
  }
  if (!storage) {
    std::string msg = "no virtual register '" + t.name + "' in " + PathToUtf8(t.folder);
    const auto files = RegisterFiles(t.folder);
    if (!files.empty()) {
      msg += "\n  registers there:";
      for (const auto& f : files) msg += " " + f.first;
    }
    msg +=
        "\n  connect the driver to it once (kkt-host demo, or 1C), or create it with: "
        "kkt-host vreg --register " +
        t.name + " reset";
    throw VregError(msg);
  }
  return storage;
}

// The register's state as the driver would meet it (a register still to be made: its factory
// state). `existed` tells which.
DeviceState LoadState(Storage& storage, bool* existed = nullptr) {
  DeviceState s;
  const Config config = storage.ReadConfig().value_or(Config{});
  const bool found = storage.ReadState(s);
  if (existed) *existed = found;
  if (!found) s = vantorel::emulator::NewDeviceState(config, WallNow(), nullptr);
  s.config = config;
  return s;
}

// An edit of the configuration in one transaction, so a driver's own change made meanwhile
// (a fault it used up) is not lost.
void EditConfig(Storage& storage, const std::function<void(Config&)>& edit) {
  storage.Begin();
  try {
    Config config = storage.ReadConfig().value_or(Config{});
    edit(config);
    storage.WriteConfig(config);
    storage.Commit();
  } catch (...) {
    storage.Rollback();
    throw;
  }
}

// ---- status

struct Summary {
  ordered_json json;
  std::vector<std::pair<std::string, std::string>> lines;  // label, value; label "" = heading
};

Summary Summarise(const Target& t, Storage& storage, const DeviceState& s) {
  const std::int64_t now = vantorel::emulator::HostWallClock() + s.clockOffset;
  const auto& c = s.config;
  const bool platform5 = !c.configurationVersion.empty() && c.configurationVersion[0] == '5';
  Summary out;
  auto& j = out.json;
  auto add = [&](const std::string& label, const std::string& value) {
    out.lines.emplace_back(label, value);
  };
  j["register"] = t.name;
  j["file"] = PathToUtf8(t.file);
  j["model"] = c.modelName;
  j["model_number"] = c.modelNumber;
  j["serial_number"] = c.serialNumber;
  j["configuration_version"] = c.configurationVersion;
  j["platform"] = platform5 ? "5" : "older";
  j["ffd_version"] = FfdText(s.ffdVersion);
  j["device_ffd_version"] = FfdText(c.deviceFfdVersion);
  j["clock"] = Wall(now);
  add("", "register");
  add("file", PathToUtf8(t.file));
  add("model",
      c.modelName + " (model " + std::to_string(c.modelNumber) + "), serial " + c.serialNumber);
  add("platform", std::string(platform5 ? "5" : "older than 5") + " (configuration " +
                      c.configurationVersion + ", firmware " + c.firmwareVersion + ")");
  add("format version",
      FfdText(s.ffdVersion) + " registered, " + FfdText(c.deviceFfdVersion) + " supported");
  add("clock", Wall(now) + (s.clockOffset ? " (" + std::to_string(s.clockOffset) +
                                                " s from this computer's clock)"
                                          : ""));
  add("line",
      std::to_string(c.lineLength) + " characters, " + std::to_string(c.lineLengthPix) + " dots");

  // Shift.
  const bool expired = s.shiftOpen && now - s.shiftOpenedAt > 24 * 3600;
  j["shift"] = {{"open", s.shiftOpen},
                {"number", s.shiftNumber},
                {"opened_at", s.shiftOpen ? ordered_json(Wall(s.shiftOpenedAt)) : ordered_json()},
                {"expired", expired},
                {"receipts", s.receiptNumber}};
  add("", "shift");
  if (s.shiftOpen)
    add("shift", std::to_string(s.shiftNumber) + " open since " + Wall(s.shiftOpenedAt) +
                     (expired ? ", OVER 24 HOURS: close it (CloseShift) before selling" : ""));
  else
    add("shift", s.shiftNumber ? std::to_string(s.shiftNumber) + " closed" : "none yet");
  add("receipts in shift", std::to_string(s.receiptNumber));
  if (!s.cashierName.empty())
    add("cashier", s.cashierName + (s.cashierInn.empty() ? "" : ", INN " + s.cashierInn));

  // Document in progress.
  const auto& r = s.receipt;
  if (r.type != 0) {
    const int kind = ReceiptKindOf(r.type);
    std::int64_t sum = 0, paid = 0;
    for (const auto& p : r.positions) sum += p.sum;
    for (const auto& p : r.payments) paid += p.second;
    j["receipt"] = {{"open", true},
                    {"kind", KindName(kind)},
                    {"electronic", r.electronic},
                    {"positions", r.positions.size()},
                    {"sum", Money(r.total.value_or(sum))},
                    {"paid", Money(paid)}};
    add("receipt", std::string("OPEN: ") + KindName(kind) + (r.electronic ? ", electronic" : "") +
                       ", " + std::to_string(r.positions.size()) + " positions, " +
                       Money(r.total.value_or(sum)) + ", paid " + Money(paid) +
                       " (the next receipt the driver prints cancels it)");
  } else {
    j["receipt"] = {{"open", false}};
    add("receipt", s.nonfiscalOpen ? "a non-fiscal document is open" : "none open");
  }

  // Money and counters.
  j["cash"] = Money(s.cash);
  add("", "money");
  add("cash in drawer", Money(s.cash));
  auto counters = [&](const vantorel::emulator::Counters& k, const std::string& label) {
    ordered_json cj = ordered_json::object();
    std::string text;
    for (int i = 0; i < 4; ++i) {
      cj[KindName(i + 1)] = {{"count", k.receipts[static_cast<size_t>(i)].count},
                             {"sum", Money(k.receipts[static_cast<size_t>(i)].sum)}};
      if (k.receipts[static_cast<size_t>(i)].count)
        text += std::string(text.empty() ? "" : "; ") + KindName(i + 1) + " " +
                std::to_string(k.receipts[static_cast<size_t>(i)].count) + " / " +
                Money(k.receipts[static_cast<size_t>(i)].sum);
    }
    cj["cash_in"] = {{"count", k.cashIn.count}, {"sum", Money(k.cashIn.sum)}};
    cj["cash_out"] = {{"count", k.cashOut.count}, {"sum", Money(k.cashOut.sum)}};
    if (k.cashIn.count)
      text += (text.empty() ? "" : "; ") + std::string("cash in ") + Money(k.cashIn.sum);
    if (k.cashOut.count)
      text += (text.empty() ? "" : "; ") + std::string("cash out ") + Money(k.cashOut.sum);
    add(label, text.empty() ? "nothing yet" : text);
    return cj;
  };
  j["shift_counters"] = counters(s.shiftCounters, "this shift");
  j["total_counters"] = counters(s.totalCounters, "all time");

  // Storage.
  const std::int64_t unsent = storage.UnsentDocuments().count;
  const std::int64_t count = storage.DocumentCount();
  const auto last = storage.LastDocument();
  j["storage"] = {{"serial", s.fnSerial},
                  {"registered", s.fiscal},
                  {"phase", s.fnPhase},
                  {"documents", count},
                  {"last_document", last ? last->number : 0},
                  {"unsent", unsent}};
  add("", "fiscal storage");
  add("storage", s.fnSerial + (s.fnPhase == 7 ? ", archive closed"
                               : s.fiscal     ? ", registered"
                                              : ", not registered (ready for registration)"));
  if (last) {
    const auto& d = *last;
    add("documents", std::to_string(count) + ", last №" + std::to_string(d.number) + " " +
                         DocumentTypeName(d.type) + " at " + Wall(d.wallTime) + ", sign " +
                         std::to_string(d.fiscalSign) + " (kkt-host vreg doc)");
  } else {
    add("documents", "none");
  }
  add("not sent to the operator", std::to_string(unsent));

  // Conditions and plans.
  std::vector<std::string> conditions;
  if (!c.paperPresent) conditions.push_back("NO PAPER (vreg set paperPresent=true)");
  if (c.paperNearEnd) conditions.push_back("paper near end");
  if (c.paperEndsInNextDocument) conditions.push_back("paper runs out in the next document");
  if (c.coverOpen) conditions.push_back("COVER OPEN (vreg set coverOpen=false)");
  if (c.printerError) conditions.push_back("PRINTER FAULT (vreg set printerError=false)");
  if (c.fnMemoryOverflow) conditions.push_back("storage full");
  if (c.fnNeedReplacement) conditions.push_back("storage needs replacement");
  if (c.fnResourceExhausted) conditions.push_back("storage resource exhausted");
  if (c.fnCriticalError) conditions.push_back("storage critical error");
  if (c.fnOfdTimeout) conditions.push_back("operator exchange overdue");
  if (!c.ofdConfirmsAtOnce) conditions.push_back("the operator does not confirm documents");
  static const char* kMarking[] = {"online", "silent", "offline", "failing"};
  const std::string marking = kMarking[static_cast<int>(c.markingService)];
  j["conditions"] = conditions;
  j["marking_service"] = marking;
  ordered_json faults = ordered_json::array();
  add("", "conditions");
  add("hardware", conditions.empty() ? "all well" : "");
  for (const auto& cond : conditions) add("", "  " + cond);
  if (!conditions.empty()) out.lines.back().first = "-";
  add("marking service", marking + (c.markingService == vantorel::emulator::MarkingService::kOnline
                                        ? ", answers in " + std::to_string(c.markingDelayMs) + " ms"
                                        : ""));
  for (const auto& f : c.faults) {
    faults.push_back({{"operation", f.operation},
                      {"skip", f.skip},
                      {"times", f.times},
                      {"code", f.code},
                      {"description", f.description},
                      {"after", f.after},
                      {"lost", f.lost}});
    add("planned fault",
        (f.operation == "*" ? std::string("any operation") : f.operation) + ": " +
            (f.skip ? "after " + std::to_string(f.skip) + " calls, " : "") +
            (f.times == 0 ? "every call" : std::to_string(f.times) + " call(s)") +
            (f.after ? " carried out, then" : "") + " fail with " +
            (f.lost ? "a lost link (and the next " + std::to_string(f.lost) + ")"
                    : std::to_string(f.code) +
                          (f.description.empty() ? "" : " \"" + f.description + "\"")));
  }
  j["faults"] = faults;
  const std::int64_t items = storage.TapeCount(), documents = storage.TapeCount(true);
  j["tape"] = {{"items", items}, {"documents", documents}};
  add("paper tape", std::to_string(items) + " items, " + std::to_string(documents) +
                        " documents (kkt-host vreg tape)");
  const bool held = storage.PortHeld();
  j["connected"] = held;
  add("connected", held ? "yes: a program holds the register's port" : "no");
  return out;
}

int Status(const Target& t, bool json) {
  const auto storage = OpenRegister(t, true);
  const DeviceState s = LoadState(*storage);
  const Summary sum = Summarise(t, *storage, s);
  if (json) {
    std::cout << DumpLine(sum.json) << "\n";
    return 0;
  }
  std::size_t width = 0;
  for (const auto& [k, v] : sum.lines) width = std::max(width, k.size());
  for (const auto& [k, v] : sum.lines) {
    if (k.empty() && !v.starts_with("  ")) {
      std::cout << (v == "register" ? "" : "\n") << v << "\n";
    } else if (k.empty() || k == "-") {
      std::cout << "  " << std::string(width + 2, ' ') << v.substr(2) << "\n";
    } else {
      std::cout << "  " << k << ":" << std::string(width - k.size() + 1, ' ') << v << "\n";
    }
  }
  return 0;
}

// ---- tape

int Tape(const Target& t, const std::vector<std::string>& args, bool json) {
  std::string html, pictures;
  long last = 0;
  bool clear = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--html") {
      if (i + 1 >= args.size()) throw UsageError("--html needs a file name, e.g. --html tape.html");
      html = args[++i];
    } else if (args[i] == "--last") {
      if (i + 1 >= args.size()) throw UsageError("--last needs a number of documents");
      try {
        std::size_t used = 0;
        last = std::stol(args[++i], &used);
        if (used != args[i].size() || last < 1) throw std::invalid_argument("");
      } catch (const std::exception&) {
        throw UsageError("--last takes a whole number of documents, 1 or more, not '" + args[i] +
                         "'");
      }
    } else if (args[i] == "--clear") {
      clear = true;
    } else if (args[i] == "--pictures") {
      if (i + 1 >= args.size())
        throw UsageError("--pictures needs a folder for the PNG files, e.g. --pictures pictures");
      pictures = args[++i];
    } else {
      throw UsageError("vreg tape: unknown argument '" + args[i] + "'");
    }
  }
  const auto storage = OpenRegister(t, true);
  const DeviceState s = LoadState(*storage);
  const auto items = storage->Tape(last);
  vantorel::emulator::TapeView view;
  view.lineLength = s.config.lineLength;
  view.lineLengthPix = s.config.lineLengthPix;
  view.title = "Paper tape: " + s.config.modelName + " (" + t.name + ")";
  view.facts = {{"register", s.config.modelName + ", serial " + s.config.serialNumber},
                {"database", PathToUtf8(t.file)},
                {"line", std::to_string(view.lineLength) + " characters, " +
                             std::to_string(view.lineLengthPix) + " dots"},
                {"printed at", Wall(vantorel::emulator::HostWallClock() + s.clockOffset)}};
  if (!vantorel::emulator::BarcodesDrawable())
    view.facts.emplace_back("barcodes", "shown as text (built without zint)");
  if (!pictures.empty()) {
    // Graphic text and other pictures as PNG files, for a person to look at.
    std::vector<fs::path> files;
    try {
      files = vantorel::emulator::WritePicturesPng(items, PathFromUtf8(pictures));
    } catch (const std::exception& e) {
      throw VregError(std::string("cannot write the pictures: ") + e.what() +
                      "; check the folder is writable");
    }
    for (const auto& f : files) std::cerr << "kkt-host: picture " << PathToUtf8(f) << "\n";
    if (files.empty()) std::cerr << "kkt-host: no pictures on the tape\n";
  }
  if (!html.empty()) {
    const fs::path out = PathFromUtf8(html);
    std::ofstream f(out, std::ios::binary | std::ios::trunc);
    if (!f) throw VregError("cannot write " + html + ": check the folder exists and is writable");
    f << vantorel::emulator::RenderTapeHtml(items, view);
    f.close();
    if (!f) throw VregError("writing " + html + " failed (disk full?)");
    std::error_code ec;
    const fs::path abs = fs::absolute(out, ec);
    if (json) {
      std::cout << DumpLine(
                       ordered_json{{"html", PathToUtf8(ec ? out : abs)}, {"items", items.size()}})
                << "\n";
    } else {
      std::cerr << "kkt-host: the tape page is " << PathToUtf8(ec ? out : abs)
                << " (open it in a browser)\n";
    }
  } else if (json) {
    ordered_json lines = ordered_json::array();
    std::istringstream in(vantorel::emulator::RenderTapeText(items, view, false));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    std::cout << DumpLine(ordered_json{{"register", t.name}, {"lines", lines}}) << "\n";
  } else {
    if (items.empty()) std::cerr << "kkt-host: the tape of '" << t.name << "' is empty\n";
    std::cout << vantorel::emulator::RenderTapeText(items, view, StdoutIsTerminal());
  }
  if (clear) {
    storage->Begin();
    storage->ClearTape();
    storage->Commit();
    if (!json) std::cerr << "kkt-host: the tape was torn off (cleared)\n";
  }
  return 0;
}

// ---- set

// A value typed like the setting it replaces.
ordered_json ParseSetting(const std::string& key, const std::string& text,
                          const ordered_json& current) {
  auto bad = [&](const std::string& what) {
    return UsageError("vreg set " + key + ": '" + text + "' is not " + what);
  };
  if (current.is_boolean()) {
    if (text == "true" || text == "1" || text == "yes" || text == "on") return true;
    if (text == "false" || text == "0" || text == "no" || text == "off") return false;
    throw bad("true or false");
  }
  if (current.is_number()) {
    try {
      std::size_t used = 0;
      const long long v = std::stoll(text, &used);
      if (used != text.size()) throw std::invalid_argument("");
      return v;
    } catch (const std::exception&) {
      throw bad("a whole number");
    }
  }
  if (current.is_string()) return text;
  const auto parsed = ordered_json::parse(text, nullptr, false);
  if (parsed.is_discarded() || parsed.type() != current.type())
    throw bad(current.is_array() ? "a JSON array, e.g. [2106,2109]"
                                 : "a JSON object, e.g. {\"66\":\"1\"}");
  return parsed;
}

int Set(const Target& t, const std::vector<std::string>& args) {
  ordered_json config = ordered_json::parse(vantorel::emulator::ConfigToJsonText(Config{}));
  if (args.size() == 1 && args[0] == "--list") {
    std::cout << "settings and their defaults (vreg set KEY=VALUE; deviceSettings.66=0 for one "
                 "device setting):\n";
    for (const auto& [k, v] : config.items()) std::cout << "  " << k << "=" << v.dump() << "\n";
    return 0;
  }
  if (args.empty())
    throw UsageError(
        "vreg set needs KEY=VALUE, e.g. vreg set paperPresent=false (list the keys "
        "with: vreg set --list)");
  const auto storage = OpenRegister(t, false);
  bool existed = false;
  LoadState(*storage, &existed);
  std::vector<std::pair<std::string, std::string>> changes;
  for (const auto& a : args) {
    const auto eq = a.find('=');
    if (eq == std::string::npos || eq == 0)
      throw UsageError("vreg set: '" + a + "' is not KEY=VALUE, e.g. coverOpen=true");
    std::string key = a.substr(0, eq);
    const std::string value = a.substr(eq + 1);
    changes.emplace_back(key, value);
  }
  // Applied to the configuration as it is inside the transaction.
  EditConfig(*storage, [&](Config& current) {
    config = ordered_json::parse(vantorel::emulator::ConfigToJsonText(current));
    for (auto [key, value] : changes) {
      std::string sub;
      if (const auto dot = key.find('.'); dot != std::string::npos) {
        sub = key.substr(dot + 1);
        key.resize(dot);
      }
      if (!config.contains(key)) {
        std::string known;
        for (const auto& [k, v] : config.items()) known += " " + k;
        throw UsageError("vreg set: no setting '" + key + "'; the settings are:" + known);
      }
      if (!sub.empty()) {
        if (!config[key].is_object())
          throw UsageError("vreg set: '" + key + "' has no parts; write " + key + "=VALUE");
        config[key][sub] = value;
      } else {
        config[key] = ParseSetting(key, value, config[key]);
      }
    }
    try {
      current = vantorel::emulator::ConfigFromJsonText(config.dump());
    } catch (const vantorel::emulator::StateFileError& e) {
      std::string what = e.what();
      const std::string prefix = "virtual register state file is damaged: ";
      if (what.starts_with(prefix)) what = what.substr(prefix.size());
      throw UsageError("vreg set: the register does not accept it: " + what);
    }
  });
  // A register still to be made keeps only its configuration, so what is fixed at making
  // (storage serial, registration, format) follows the settings given here.
  std::cerr << "kkt-host: " << (existed ? "" : "new register, ") << "configuration of '" << t.name
            << "' saved; a program connected to it sees the change at its next operation\n";
  return 0;
}

// ---- fault

int FaultCommand(const Target& t, const std::vector<std::string>& args) {
  if (args.empty())
    throw UsageError(
        "vreg fault needs an operation, e.g. vreg fault closeReceipt code=44 "
        "text=\"Нет бумаги\" (or: vreg fault clear)");
  const auto storage = OpenRegister(t, true);
  if (args.size() == 1 && args[0] == "clear") {
    std::size_t n = 0;
    EditConfig(*storage, [&](Config& c) {
      n = c.faults.size();
      c.faults.clear();
    });
    std::cerr << "kkt-host: " << n << " planned fault(s) removed\n";
    return 0;
  }
  Fault f;
  f.operation = args[0];
  f.code = vantorel::emulator::errc::kInjected;
  if (!vantorel::emulator::IsDeviceOperation(f.operation))
    throw UsageError("vreg fault: '" + f.operation +
                     "' is not an operation of the register; use a DTO10 method name such as "
                     "openShift, openReceipt, registration, payment, closeReceipt, printText, "
                     "report, cashIncome, fnOperation, beginMarkingCodeValidation");
  for (std::size_t i = 1; i < args.size(); ++i) {
    const auto eq = args[i].find('=');
    const std::string key = eq == std::string::npos ? args[i] : args[i].substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : args[i].substr(eq + 1);
    auto number = [&](int lo, int hi) {
      try {
        std::size_t used = 0;
        const int v = std::stoi(value, &used);
        if (used == value.size() && v >= lo && v <= hi) return v;
      } catch (const std::exception&) {
      }
      throw UsageError("vreg fault: " + key + " takes a whole number from " + std::to_string(lo) +
                       " to " + std::to_string(hi) + ", not '" + value + "'");
    };
    if (key == "code")
      f.code = number(1, 1000000);
    else if (key == "skip")
      f.skip = number(0, 1000000);
    else if (key == "times")
      f.times = number(0, 1000000);
    else if (key == "text")
      f.description = value;
    else if (key == "after" && (value == "true" || value == "false"))
      f.after = value == "true";
    else if (key == "lost")
      f.lost = number(0, 1000000);
    else
      throw UsageError("vreg fault: unknown '" + args[i] +
                       "'; write code=N, skip=N, times=N (0 = every call), text=TEXT, "
                       "after=true|false or lost=N");
  }
  EditConfig(*storage, [&](Config& c) { c.faults.push_back(f); });
  std::cerr << "kkt-host: " << f.operation << " will fail with "
            << (f.lost ? "a lost link" : std::to_string(f.code))
            << (f.skip ? " after " + std::to_string(f.skip) + " good calls" : "") << " ("
            << (f.times == 0 ? "every call" : std::to_string(f.times) + " time(s)")
            << (f.after ? ", carried out first" : "")
            << (f.lost ? ", and the next " + std::to_string(f.lost) + " call(s) too" : "")
            << "); vreg fault clear takes it back\n";
  return 0;
}

// ---- doc

const char* TagTypeName(vantorel::emulator::TagType t) {
  static const char* kNames[] = {"stlv", "string", "bytes",  "fvln",     "bits", "byte",
                                 "vln",  "uint16", "uint32", "unixtime", "bool"};
  const auto i = static_cast<std::size_t>(t);
  return i < std::size(kNames) ? kNames[i] : "?";
}

ordered_json TagsJson(const std::vector<vantorel::emulator::Tag>& tags) {
  ordered_json out = ordered_json::array();
  for (const auto& t : tags) {
    ordered_json j{{"tag", t.number},
                   {"name", vantorel::emulator::TagName(t.number)},
                   {"type", TagTypeName(t.type)}};
    if (t.type == vantorel::emulator::TagType::kStlv)
      j["children"] = TagsJson(t.children);
    else
      j["value"] = t.ToText();
    out.push_back(std::move(j));
  }
  return out;
}

void PrintTags(const std::vector<vantorel::emulator::Tag>& tags, int depth) {
  for (const auto& t : tags) {
    const std::string name = vantorel::emulator::TagName(t.number);
    std::cout << std::string(static_cast<std::size_t>(2 + 4 * depth), ' ') << t.number << "  "
              << (name.empty() ? "?" : name);
    if (t.type == vantorel::emulator::TagType::kStlv) {
      std::cout << ":\n";
      PrintTags(t.children, depth + 1);
    } else {
      std::cout << ": " << t.ToText() << "\n";
    }
  }
}

// A stored document as the storage keeps it: what an integrator looks at when a receipt looks
// wrong.
int Doc(const Target& t, const std::vector<std::string>& args, bool json) {
  if (args.size() > 1) throw UsageError("vreg doc takes one document number, e.g. vreg doc 5");
  std::int64_t number = 0;
  if (!args.empty()) {
    try {
      std::size_t used = 0;
      number = std::stoll(args[0], &used);
      if (used != args[0].size() || number < 1) throw std::invalid_argument("");
    } catch (const std::exception&) {
      throw UsageError("vreg doc takes a document number, 1 or more, not '" + args[0] + "'");
    }
  }
  const auto storage = OpenRegister(t, true);
  const auto last = storage->LastDocument();
  if (!last) throw VregError("the storage of '" + t.name + "' holds no documents yet");
  const auto doc = number ? storage->Document(number) : last;
  if (!doc)
    throw VregError("no document " + std::to_string(number) + " in the storage of '" + t.name +
                    "'; it holds numbers up to " + std::to_string(last->number));
  if (json) {
    std::cout << DumpLine(ordered_json{{"register", t.name},
                                       {"number", doc->number},
                                       {"type", doc->type},
                                       {"type_name", DocumentTypeName(doc->type)},
                                       {"time", Wall(doc->wallTime)},
                                       {"fiscal_sign", doc->fiscalSign},
                                       {"sent", doc->sent},
                                       {"tags", TagsJson(doc->tags)}})
              << "\n";
    return 0;
  }
  std::cout << "document " << doc->number << ": " << DocumentTypeName(doc->type) << " (type "
            << doc->type << "), " << Wall(doc->wallTime) << ", fiscal sign " << doc->fiscalSign
            << ", " << (doc->sent ? "sent to the operator" : "not sent to the operator") << "\n";
  PrintTags(doc->tags, 0);
  return 0;
}

// ---- reset and list

int Reset(const Target& t, const std::vector<std::string>& args) {
  bool keep = false;
  for (const auto& a : args) {
    if (a == "--keep-config")
      keep = true;
    else
      throw UsageError("vreg reset: unknown argument '" + a + "' (only --keep-config)");
  }
  Config config;
  std::unique_ptr<Storage> storage;
  try {
    storage = Storage::Open(t.file, true);
    if (keep) config = storage->ReadConfig().value_or(Config{});
  } catch (const vantorel::emulator::StateFileError& e) {
    if (keep)
      throw VregError("the database of '" + t.name + "' is damaged (" + e.what() +
                      "), so its configuration cannot be kept; run reset without --keep-config");
    // Damaged beyond reading: a new database in its place.
    storage.reset();
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(fs::path(t.file) += suffix, ec);
    storage = OpenRegister(t, false);
  }
  config.faults.clear();
  if (storage->PortHeld())
    throw VregError("'" + t.name +
                    "' is connected: a program holds its port (1C, kkt-host). Disconnect it "
                    "there first; a register in use is not reset under it");
  std::vector<vantorel::emulator::FiscalDocument> documents;
  const DeviceState fresh = vantorel::emulator::NewDeviceState(config, WallNow(), &documents);
  storage->Begin();
  try {
    storage->ClearDocuments();
    storage->ClearTape();
    storage->WriteConfig(config);
    storage->WriteState(fresh);
    for (const auto& d : documents) storage->AddDocument(d);
    storage->Commit();
  } catch (...) {
    storage->Rollback();
    throw;
  }
  std::cerr << "kkt-host: '" << t.name << "' is a fresh register now ("
            << (config.registerOnCreate ? "registered, " : "not registered, ")
            << "shift closed, empty tape): " << PathToUtf8(t.file) << "\n";
  return 0;
}

int List(const Target& t, bool json) {
  const auto files = RegisterFiles(t.folder);
  if (json) {
    ordered_json names = ordered_json::array();
    for (const auto& f : files) names.push_back(f.first);
    std::cout << DumpLine(ordered_json{{"folder", PathToUtf8(t.folder)}, {"registers", names}})
              << "\n";
    return 0;
  }
  std::cout << "folder: " << PathToUtf8(t.folder) << "\n";
  if (files.empty()) std::cout << "no registers yet (the driver makes one when it connects)\n";
  for (const auto& f : files) std::cout << "  " << f.first << "\n";
  return 0;
}

}  // namespace

int RunVreg(const std::vector<std::string>& args, bool json) {
  std::string name;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    if (args[i] == "--register") {
      if (i + 1 >= args.size()) throw UsageError("--register needs a name, e.g. usb");
      name = args[++i];
    } else if (args[i] == "--help" || args[i] == "-h") {
      std::cout << kVregUsage;
      return 0;
    } else {
      break;
    }
  }
  const std::string command = i < args.size() ? args[i++] : "status";
  const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  try {
    const Target t = Resolve(name);
    if (command == "status") {
      if (!rest.empty()) throw UsageError("vreg status takes no arguments");
      return Status(t, json);
    }
    if (command == "tape") return Tape(t, rest, json);
    if (command == "set") return Set(t, rest);
    if (command == "fault") return FaultCommand(t, rest);
    if (command == "doc") return Doc(t, rest, json);
    if (command == "reset") return Reset(t, rest);
    if (command == "list") return List(t, json);
    throw UsageError("vreg: unknown command '" + command + "'");
  } catch (const UsageError& e) {
    std::cerr << "kkt-host: " << e.what() << "\n" << kVregUsage;
    return 2;
  } catch (const VregError& e) {
    std::cerr << "kkt-host: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "kkt-host: vreg " << command << ": " << e.what() << "\n";
    return 1;
  }
}

}  // namespace kkthost
