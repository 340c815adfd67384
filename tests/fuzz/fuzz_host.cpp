#include "fuzz_host.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fuzzhost {

namespace fs = std::filesystem;

namespace {

std::unique_ptr<Session>& Current() {
  static std::unique_ptr<Session> s;
  return s;
}

fs::path g_work;

// At exit: the last object is closed (its leaks reported), then the folder goes.
void AtExit() {
  if (Current()) Current()->Close();
  std::error_code ec;
  if (!g_work.empty()) fs::remove_all(g_work, ec);
}

// A folder of this process for the register's state and the logs; nothing of the user's.
const fs::path& WorkFolder() {
  static const fs::path dir = [] {
    const char* shm = "/dev/shm";
    fs::path base = fs::is_directory(shm) ? fs::path(shm) : fs::temp_directory_path();
    fs::path d = base / ("vantorel-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(d / "vreg");
    fs::create_directories(d / "data");
    ::setenv("VANTOREL_VREG_DIR", (d / "vreg").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (d / "data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (d / "data").c_str(), 1);
    // No desktop: the additional actions fail at once instead of starting programs.
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    g_work = d;
    return d;
  }();
  return dir;
}

kkthost::Host& TheHost() {
  static kkthost::Host* host = [] {
    WorkFolder();
    return new kkthost::Host(kkthost::BesideExecutable(kkthost::DefaultAddinFileName()));
  }();
  return *host;
}

std::string Describe(const kkthost::CallOutcome& out) {
  std::string s = out.method + ":";
  for (const auto& f : out.memoryFaults) s += "\n  memory fault: " + f.Describe();
  for (const auto& e : out.addErrors)
    s += "\n  AddError " + std::to_string(e.code) + " " + e.source + ": " + e.description;
  return s;
}

}  // namespace

void Fail(const std::string& what) {
  std::fprintf(stderr, "\n==== host contract broken: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

Value TextFrom(const std::uint8_t* data, std::size_t size) {
  std::u16string units;
  units.reserve(size);
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t b0 = data[i];
    const int len = b0 < 0x80           ? 1
                    : (b0 >> 5) == 0x6  ? 2
                    : (b0 >> 4) == 0xE  ? 3
                    : (b0 >> 3) == 0x1E ? 4
                                        : 0;
    char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    bool ok = len > 0 && i + len <= size;
    for (int k = 1; ok && k < len; ++k) {
      if ((data[i + k] & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (data[i + k] & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      units += static_cast<char16_t>(0xDC00 + b0);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(cp);
    }
    i += len;
  }
  // A zero code unit would end the text early for the add-in: the host never sends one inside.
  for (auto& u : units)
    if (u == 0) u = u' ';
  return Value::Utf16(std::move(units));
}

Session& Session::Next() {
  static int used = 0;
  auto& s = Current();
  if (s && ++used >= kRenewEvery) {
    s->Close();
    s.reset();
  }
  if (!s) {
    used = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(WorkFolder() / "vreg", ec))
      fs::remove_all(e.path(), ec);
    s.reset(new Session());
    // Registered once the first object has worked (connected, opened a shift): the add-in's own
    // function-local statics it made by then outlive this handler, which still uses them.
    static const bool registered = (std::atexit(AtExit), true);
    (void)registered;
  }
  return *s;
}

Session::Session() : object_(TheHost().Create("vantorel")) {
  const std::string settings =
      "<Parameters><Parameter Name=\"PortNumber\" Value=\"0\"/>"
      "<Parameter Name=\"RibbonWidth\" Value=\"48\"/>"
      "<Parameter Name=\"TimeoutRequestKM\" Value=\"1\"/></Parameters>";
  auto c = Call("ConnectEquipment", {Value::Empty(), Value::Empty(), Value::Text(settings)});
  if (!c.result->boolean)
    Fail("the virtual register does not connect: " + object_->GetLastError().description);
  deviceId_ = c.params[0].text;
  Call("OpenShift",
       {Value::Text(deviceId_),
        Value::Text("<InputParameters><Parameters CashierName=\"Fuzz\"/></InputParameters>"),
        Value::Empty()});
}

Session::~Session() { Close(); }

void Session::Close() {
  if (!object_ || object_->Closed()) return;
  const auto faults = object_->Close();
  if (!faults.empty()) {
    std::string s = "memory faults when the object closed:";
    for (const auto& f : faults) s += "\n  " + f.Describe();
    Fail(s);
  }
}

kkthost::CallOutcome Session::Call(std::string_view method, std::vector<Value> params,
                                   bool hostValues) {
  auto out = object_->Call(method, std::move(params));
  Check(out, hostValues);
  return out;
}

kkthost::CallOutcome Session::CallIndex(long index, std::vector<Value> params,
                                        kkthost::CallKind kind, bool hostValues) {
  auto out = object_->CallIndex(index, std::move(params), kind, object_->MethodName(index, 0));
  Check(out, hostValues);
  return out;
}

void Session::Check(const kkthost::CallOutcome& out, bool hostValues) {
  if (!out.memoryFaults.empty()) Fail(Describe(out));
  if (!out.hostResult) {
    if (!hostValues || out.addErrors.empty()) Fail("false returned to the host: " + Describe(out));
    return;
  }
  if (!out.addErrors.empty()) Fail("AddError on a call that succeeded: " + Describe(out));
  if (out.kind == kkthost::CallKind::Procedure) return;
  if (!out.result || out.result->vt != kkthost::abi::VTYPE_BOOL) {
    // GetInterfaceRevision answers a number, GetLastError a code.
    if (out.method == "GetInterfaceRevision" || out.method == "GetLastError") return;
    Fail("the result is not a Boolean: " + Describe(out));
  }
  const auto last = object_->GetLastError();
  if (out.result->boolean && (last.code != 0 || !last.description.empty()))
    Fail("success with a last error " + std::to_string(last.code) + " " + last.description + ": " +
         Describe(out));
  if (!out.result->boolean && (last.code == 0 || last.description.empty()))
    Fail("failure without a code and a text (" + std::to_string(last.code) + " \"" +
         last.description + "\"): " + Describe(out));
}

}  // namespace fuzzhost
