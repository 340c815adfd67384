// What a host call costs. Three kinds of figures:
//   HostCall           a cheap method (GetInterfaceRevision) through the add-in's function tables;
//   TextDocument/Receipt  a document through the full host boundary (kkt-host loading the add-in,
//                      XML text in host memory, the driver, the virtual register inside the
//                      add-in), with the device's log off and on;
//   *Floor             the same DTO10 call sequence, recorded once from the driver, replayed
//                      straight on a virtual register: what the register itself costs;
//   ReceiptDepth       a three-position sale through the host on one register filled (through the
//                      register's own calls) to 100, 10,000, 100,000 and 250,000 documents, with
//                      the ratio to the first: the cost of a document must not grow with the
//                      storage (wall time, the median of three runs: the database writes are part
//                      of it).
// At the end a summary gives, per size, the processor time per line/position and the ratio to the
// floor (processor time: on a shared machine the wall time mostly measures the neighbours; the
// register's database writes are the same on both sides).
//
//   build/linux/bin/host_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "component.h"
#include "protocol/driver.h"
#include "support/xml.h"
#include "vregister/register.h"

namespace {

namespace fs = std::filesystem;
namespace automation = vantorel::automation;
using kkthost::Value;

const fs::path& Work() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / "vantorel-bench";
    fs::remove_all(d);
    fs::create_directories(d / "vreg");
    fs::create_directories(d / "data");
    setenv("VANTOREL_VREG_DIR", (d / "vreg").c_str(), 1);
    setenv("XDG_DATA_HOME", (d / "data").c_str(), 1);
    return d;
  }();
  return dir;
}

// Each benchmark starts on a register of its own (the tape keeping 100 items), so a figure does
// not depend on what ran before; the depth family below is the one that measures a full storage.
void FreshRegister() {
  const fs::path dir = Work() / "vreg";
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "usb.json") << R"({"config": {"tapeLimit": 100}})";
}

std::string Settings(bool log) {
  return std::string(
             "<Parameters><Parameter Name=\"PortNumber\" Value=\"0\"/>"
             "<Parameter Name=\"RibbonWidth\" Value=\"48\"/>"
             "<Parameter Name=\"LogEnabled\" Value=\"") +
         (log ? "true" : "false") + "\"/></Parameters>";
}

std::string TextDocument(int lines) {
  std::string d = "<Document><Positions>";
  for (int i = 0; i < lines; ++i)
    d += "<TextString Text=\"Строка " + std::to_string(i) + " текстового документа\"/>";
  return d + "</Positions></Document>";
}

std::string Receipt(int positions) {
  std::string d =
      "<CheckPackage><Parameters OperationType=\"1\" CashierName=\"Кассир\" TaxationSystem=\"0\"/>"
      "<Positions>";
  for (int i = 0; i < positions; ++i)
    d += "<FiscalString Name=\"Товар " + std::to_string(i) +
         "\" Quantity=\"1\" PriceWithDiscount=\"1.00\" AmountWithDiscount=\"1.00\" "
         "DiscountAmount=\"0\" VATRate=\"20\" VATAmount=\"0.17\" PaymentMethod=\"4\" "
         "CalculationSubject=\"1\" Department=\"1\"/>";
  return d + "</Positions><Payments Cash=\"" + std::to_string(positions) + "\"/></CheckPackage>";
}

const char* const kOpenShift =
    "<InputParameters><Parameters CashierName=\"Кассир\"/></InputParameters>";

// ---- through the host boundary ----------------------------------------------------------------

kkthost::Host& TheHost() {
  static kkthost::Host* host = [] {
    Work();
    return new kkthost::Host(kkthost::BesideExecutable(kkthost::DefaultAddinFileName()));
  }();
  return *host;
}

// One add-in object with a connected register. The host keeps every freed block until the object
// ends, so long runs renew it (outside the timing).
struct HostSession {
  explicit HostSession(bool log) : log(log) {
    FreshRegister();
    Open();
  }
  void Open() {
    object = TheHost().Create("vantorel");
    auto c = object->Call("ConnectEquipment",
                          {Value::Empty(), Value::Empty(), Value::Text(Settings(log))});
    if (!c.result || !c.result->boolean)
      throw std::runtime_error(object->GetLastError().description);
    id = c.params[0].text;
    object->Call("OpenShift", {Value::Text(id), Value::Text(kOpenShift), Value::Empty()});
    calls = 0;
  }
  void RenewEvery(int n, benchmark::State& state) {
    if (++calls < n) return;
    state.PauseTiming();
    object->Close();
    Open();
    state.ResumeTiming();
  }
  bool log;
  std::unique_ptr<kkthost::Component> object;
  std::string id;
  int calls = 0;
};

void HostCall(benchmark::State& state) {
  HostSession s(false);
  const long index = s.object->FindMethod("GetInterfaceRevision");
  for (auto _ : state) {
    auto out = s.object->CallIndex(index, {}, kkthost::CallKind::Function, "GetInterfaceRevision");
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(HostCall);

void HostDocument(benchmark::State& state, const char* method, std::string (*make)(int)) {
  const int n = static_cast<int>(state.range(0));
  HostSession s(state.range(1) != 0);
  const std::string doc = make(n);
  const bool receipt = std::string(method) == "ProcessCheck";
  for (auto _ : state) {
    auto out = receipt ? s.object->Call(method, {Value::Text(s.id), Value::Bool(false),
                                                 Value::Text(doc), Value::Empty()})
                       : s.object->Call(method, {Value::Text(s.id), Value::Text(doc)});
    if (!out.result || !out.result->boolean) {
      state.SkipWithError(
          (std::string(method) + ": " + s.object->GetLastError().description).c_str());
      break;
    }
    s.RenewEvery(std::max(4, 20000 / (n + 1)), state);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void TextDocumentHost(benchmark::State& state) {
  HostDocument(state, "PrintTextDocument", TextDocument);
}
void ReceiptHost(benchmark::State& state) { HostDocument(state, "ProcessCheck", Receipt); }
BENCHMARK(TextDocumentHost)->ArgNames({"lines", "log"})->ArgsProduct({{1, 10, 100, 1000}, {0, 1}});
BENCHMARK(ReceiptHost)->ArgNames({"positions", "log"})->ArgsProduct({{1, 10, 100, 1000}, {0, 1}});

// ---- the floor: the driver's DTO10 calls replayed on the register -----------------------------

struct Access {
  bool call = true;
  std::string name;
  std::vector<automation::Value> args;
};

// The register as the driver holds it, writing down every access while `recording` is set.
struct Recorder final : automation::Object {
  automation::Value get(std::string_view name) override {
    if (log) log->push_back({false, std::string(name), {}});
    return inner.get(name);
  }
  automation::Value call(std::string_view name, std::span<const automation::Value> args) override {
    if (log) log->push_back({true, std::string(name), {args.begin(), args.end()}});
    return inner.call(name, args);
  }
  vantorel::emulator::VirtualRegister inner;
  std::vector<Access>* log = nullptr;
};

// The accesses of connecting (with an open shift) and of one document, as the driver makes them.
struct Recording {
  std::vector<Access> connect, document;
};

Recording Record(bool receipt, int n) {
  FreshRegister();
  Recording r;
  Recorder* current = nullptr;
  vantorel::TDriver::SetDeviceFactory([&] {
    auto rec = std::make_unique<Recorder>();
    current = rec.get();
    rec->log = &r.connect;
    return std::unique_ptr<automation::Object>(std::move(rec));
  });
  {
    vantorel::TDriver driver;
    pugi::xml_document settings, shiftIn, shiftOut, doc, out;
    vantorel::xml::ParseInputUtf8(Settings(false), settings);
    driver.ConnectEquipment(settings);
    driver.SelectInstance(driver.CurrentDeviceIdForTests());
    vantorel::xml::ParseInputUtf8(kOpenShift, shiftIn);
    try {
      driver.OpenShift(shiftIn, shiftOut);
    } catch (const std::exception&) {
      // Already open from an earlier run.
    }
    current->log = &r.document;
    vantorel::xml::ParseInputUtf8(receipt ? Receipt(n) : TextDocument(n), doc);
    if (receipt)
      driver.ProcessCheck(false, doc, out, false);
    else
      driver.PrintTextDocument(doc);
    current->log = nullptr;
  }
  vantorel::TDriver::SetDeviceFactory({});
  return r;
}

void Replay(vantorel::emulator::VirtualRegister& reg, const std::vector<Access>& accesses) {
  for (const auto& a : accesses) {
    try {
      auto v = a.call ? reg.call(a.name, a.args) : reg.get(a.name);
      benchmark::DoNotOptimize(v);
    } catch (const std::exception&) {
      // As the driver met it when recording.
    }
  }
}

void Floor(benchmark::State& state, bool receipt) {
  const int n = static_cast<int>(state.range(0));
  Recording r;
  try {
    r = Record(receipt, n);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    for (auto _ : state) {
    }
    return;
  }
  vantorel::emulator::VirtualRegister reg;
  Replay(reg, r.connect);
  for (auto _ : state) Replay(reg, r.document);
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["accesses"] = static_cast<double>(r.document.size());
}

void TextDocumentFloor(benchmark::State& state) { Floor(state, false); }
void ReceiptFloor(benchmark::State& state) { Floor(state, true); }
BENCHMARK(TextDocumentFloor)->ArgName("lines")->Arg(1)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(ReceiptFloor)->ArgName("positions")->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

// ---- depth: the same sale on a register holding more and more documents ----------------------

// The register of the depth family, kept across its sizes and filled further for each: through
// the register's own calls (the Device API), three-position sales with a shift closed every
// thousand, so that the storage holds `documents` documents.
void FillTo(std::int64_t documents) {
  namespace em = vantorel::emulator;
  em::VirtualRegister reg;
  auto K = [&](const char* name) { return reg.get(name); };
  auto set = [&](const char* param, automation::Value v) { reg.call("setParam", K(param), v); };
  auto call = [&](const char* name) {
    if (reg.call(name).asInt() != 0)
      throw std::runtime_error(std::string(name) + ": " + reg.get("errorDescription").asText());
  };
  reg.call("setSingleSetting", K("LIBFPTR_SETTING_PORT"),
           automation::Value(std::to_string(K("LIBFPTR_PORT_USB").asInt())));
  call("applySingleSettings");
  call("open");
  auto openShift = [&] {
    reg.call("setParam", automation::Value(std::int32_t{1021}), automation::Value("Кассир"));
    call("operatorLogin");
    call("openShift");
  };
  if (!reg.device()->Snapshot().shiftOpen) openShift();
  std::int64_t have = reg.device()->LastDocument()->number;
  for (std::int64_t i = have; i < documents; ++i) {
    if (i % 1000 == 999) {
      set("LIBFPTR_PARAM_REPORT_TYPE", K("LIBFPTR_RT_CLOSE_SHIFT"));
      call("report");
      openShift();
      ++i;
      if (i >= documents) break;
    }
    set("LIBFPTR_PARAM_RECEIPT_TYPE", K("LIBFPTR_RT_SELL"));
    call("openReceipt");
    for (int p = 0; p < 3; ++p) {
      set("LIBFPTR_PARAM_COMMODITY_NAME", automation::Value("Товар " + std::to_string(p)));
      set("LIBFPTR_PARAM_PRICE", automation::Value(1.0));
      set("LIBFPTR_PARAM_QUANTITY", automation::Value(1.0));
      set("LIBFPTR_PARAM_POSITION_SUM", automation::Value(1.0));
      set("LIBFPTR_PARAM_TAX_TYPE", K("LIBFPTR_TAX_VAT20"));
      call("registration");
    }
    set("LIBFPTR_PARAM_PAYMENT_TYPE", K("LIBFPTR_PT_CASH"));
    set("LIBFPTR_PARAM_PAYMENT_SUM", automation::Value(3.0));
    call("payment");
    call("closeReceipt");
  }
  call("close");
}

void ReceiptDepth(benchmark::State& state) {
  static bool fresh = true;
  if (fresh) {
    // One register for the whole family, with the default configuration (tape of 20,000 items).
    const fs::path dir = Work() / "vreg";
    fs::remove_all(dir);
    fs::create_directories(dir);
    fresh = false;
  }
  const auto documents = state.range(0);
  try {
    FillTo(documents);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    for (auto _ : state) {
    }
    return;
  }
  auto object = TheHost().Create("vantorel");
  auto c = object->Call("ConnectEquipment",
                        {Value::Empty(), Value::Empty(), Value::Text(Settings(false))});
  if (!c.result || !c.result->boolean) {
    state.SkipWithError(object->GetLastError().description.c_str());
    for (auto _ : state) {
    }
    return;
  }
  const std::string id = c.params[0].text;
  const std::string doc = Receipt(3);
  for (auto _ : state) {
    auto out = object->Call(
        "ProcessCheck", {Value::Text(id), Value::Bool(false), Value::Text(doc), Value::Empty()});
    if (!out.result || !out.result->boolean) {
      state.SkipWithError(("ProcessCheck: " + object->GetLastError().description).c_str());
      break;
    }
  }
  object->Call("DisconnectEquipment", {Value::Text(id)});
}
// Each size runs long enough for a steady figure, three times (the summary takes the median: a
// database checkpoint or a neighbour falls into one run, not into all three), and adds that many
// documents: small against the next size.
BENCHMARK(ReceiptDepth)
    ->ArgName("documents")
    ->Arg(100)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(250000)
    ->MinTime(1.0)
    ->Repetitions(3)
    ->UseRealTime();

// ---- summary ----------------------------------------------------------------------------------

// The console report, then per size: time per line/position through the host (log off, log on),
// on the floor, and the ratio host/floor.
class Summary : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      if (r.error_occurred) continue;
      if (r.run_name.function_name == "ReceiptDepth") {
        if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
          depth_[r.run_name.args] =
              r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e9;
      } else if (r.iterations > 0) {
        times_[r.benchmark_name()] =
            r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e9;
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    Table("TextDocument", "lines");
    Table("Receipt", "positions");
    const auto base = depth_.find("documents:100");
    if (base != depth_.end()) {
      std::printf(
          "\nA three-position sale through the host on a register holding N documents: wall "
          "milliseconds (median of three runs) and ratio to 100 documents\n");
      for (const char* n : {"100", "10000", "100000", "250000"}) {
        const auto t = depth_.find(std::string("documents:") + n);
        if (t != depth_.end())
          std::printf("  %7s documents  %8.3f ms  x%.2f\n", n, t->second / 1e6,
                      t->second / base->second);
      }
    }
  }

 private:
  // ns per iteration of the named run, or -1.
  double Ns(const std::string& name) const {
    auto it = times_.find(name);
    return it == times_.end() ? -1 : it->second;
  }
  void Table(const std::string& kind, const std::string& unit) {
    bool any = false;
    for (int n : {1, 10, 100, 1000}) {
      const std::string size = "/" + unit + ":" + std::to_string(n);
      const double off = Ns(kind + "Host" + size + "/log:0");
      const double on = Ns(kind + "Host" + size + "/log:1");
      const double floor = Ns(kind + "Floor" + size);
      if (off < 0) continue;
      if (!any) {
        std::printf(
            "\n%s: CPU microseconds per %s (host boundary, log off / log on; floor) and ratio "
            "host/floor\n",
            kind.c_str(), unit.substr(0, unit.size() - 1).c_str());
        any = true;
      }
      std::printf("  %5d %-9s  %9.2f  %9.2f  %9.2f  x%.1f\n", n, unit.c_str(), off / n / 1000,
                  on < 0 ? -1.0 : on / n / 1000, floor < 0 ? -1.0 : floor / n / 1000,
                  floor > 0 ? off / floor : 0.0);
    }
  }
  std::map<std::string, double> times_;
  std::map<std::string, double> depth_;  // by the arguments ("documents:100"): median wall ns
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Summary summary;
  benchmark::RunSpecifiedBenchmarks(&summary);
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(Work(), ec);
  return 0;
}
