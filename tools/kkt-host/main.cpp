// kkt-host: plays the 1C:Enterprise host for a Native API add-in, from the command line.
// Usage in docs/kkt-host.md. Exit status: 0 all well, 1 a call returned false to the host,
// a memory fault, or the add-in could not be loaded; 2 a usage error.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "component.h"
#include "demo.h"
#include "hints.h"
#include "progress.h"
#include "scenario.h"
#include "vreg.h"

#if defined(_WIN32)
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>

#include "support/text.h"
#else
#include <unistd.h>
#endif

namespace {

using namespace kkthost;

constexpr const char* kUsage =
    "usage: kkt-host [--addin PATH] [--class NAME] [--json] COMMAND\n"
    "  info                     classes, attach type, methods and properties\n"
    "  call [--proc] METHOD ARG...\n"
    "                           one CallAsFunc (CallAsProc with --proc), then GetLastError\n"
    "  getprop NAME             read a property\n"
    "  setprop NAME ARG         write a property\n"
    "  run FILE                 a scenario: one command per line, shared variables (- for stdin)\n"
    "  demo                     a day at the till on the virtual register (docs/kkt-host.md)\n"
    "  vreg [COMMAND]           the virtual register: status, tape [--html FILE], set,\n"
    "                           fault, reset, list (kkt-host vreg --help)\n"
    "ARG: s:TEXT s@FILE i:N l:N d:X b:true|false t:YYYY-MM-DDTHH:MM:SS e n x:HEX $NAME >NAME\n"
    "The add-in defaults to the library beside kkt-host.\n";

// What the add-in is doing, for the message when it crashes.
char g_activity[512] = "loading the add-in";

void SetActivity(const std::string& what) {
  std::snprintf(g_activity, sizeof g_activity, "%s", what.c_str());
}

#if defined(_WIN32)
LONG WINAPI OnCrash(EXCEPTION_POINTERS* e) {
  std::fprintf(stderr, "\nkkt-host: the process crashed (exception 0x%08lx) during: %s\n",
               static_cast<unsigned long>(e->ExceptionRecord->ExceptionCode), g_activity);
  return EXCEPTION_CONTINUE_SEARCH;
}
#else
extern "C" void OnCrash(int sig) {
  const char* prefix = "\nkkt-host: the process crashed (signal) during: ";
  [[maybe_unused]] auto a = ::write(2, prefix, std::strlen(prefix));
  [[maybe_unused]] auto b = ::write(2, g_activity, std::strlen(g_activity));
  [[maybe_unused]] auto c = ::write(2, "\n", 1);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}
#endif

bool StderrIsTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return ::isatty(STDERR_FILENO) != 0;
#endif
}

// Width of a UTF-8 text in code points, for lining up columns.
std::size_t Width(const std::string& s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

std::string Pad(const std::string& s, std::size_t width) {
  const std::size_t w = Width(s);
  return w >= width ? s + " " : s + std::string(width - w, ' ');
}

void ReportCloseFaults(const std::vector<MemoryFault>& faults, std::size_t seen) {
  for (std::size_t i = seen; i < faults.size(); ++i) {
    std::cerr << "kkt-host: memory fault: " << faults[i].Describe() << "\n";
  }
}

// The class the commands create; the first of GetClassNames when empty.
std::string g_className;

int Info(Host& host, bool json) {
  const auto names = host.ClassNames();
  const int attach = host.AttachType();
  SetActivity("creating the object");
  auto c = host.Create(g_className);
  SetActivity("listing methods and properties");
  const auto methods = c->Methods();
  const auto props = c->Properties();
  SetActivity("Done/DestroyObject");
  const auto faults = c->Close();

  if (json) {
    nlohmann::ordered_json j;
    j["addin"] = PathToUtf8(host.Path());
    j["class_names"] = names;
    j["attach_type"] = attach;
    j["platform_capabilities"] =
        host.Capabilities() ? nlohmann::ordered_json(*host.Capabilities()) : nullptr;
    j["info"] = c->Info();
    j["extension_name"] = c->ExtensionName();
    j["methods"] = nlohmann::ordered_json::array();
    for (const auto& m : methods) {
      j["methods"].push_back({{"index", m.index},
                              {"name", m.name},
                              {"local_name", m.localName},
                              {"params", m.paramCount},
                              {"has_ret_val", m.hasRetVal}});
    }
    j["properties"] = nlohmann::ordered_json::array();
    for (const auto& p : props) {
      j["properties"].push_back({{"index", p.index},
                                 {"name", p.name},
                                 {"local_name", p.localName},
                                 {"readable", p.readable},
                                 {"writable", p.writable}});
    }
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& f : faults) list.push_back(ToJson(f));
    j["memory_faults"] = list;
    std::cout << DumpLine(j) << "\n";
  } else {
    std::cout << "add-in: " << PathToUtf8(host.Path()) << "\n";
    std::cout << "class names:";
    for (const auto& n : names) std::cout << " " << n;
    std::cout << "\nattach type: " << attach
              << (attach == 1   ? " (not isolated)"
                  : attach == 2 ? " (isolated)"
                  : attach == 3 ? " (any)"
                                : "")
              << "\n";
    std::cout << "SetPlatformCapabilities: "
              << (host.Capabilities() ? std::to_string(*host.Capabilities()) : "not exported")
              << "\n";
    std::cout << "GetInfo: " << c->Info() << "\n";
    std::cout << "RegisterExtensionAs: " << c->ExtensionName() << "\n";
    std::size_t wName = 4, wLocal = 10;
    for (const auto& m : methods) {
      wName = std::max(wName, Width(m.name));
      wLocal = std::max(wLocal, Width(m.localName));
    }
    for (const auto& p : props) {
      wName = std::max(wName, Width(p.name));
      wLocal = std::max(wLocal, Width(p.localName));
    }
    std::cout << "methods: " << methods.size() << "\n";
    std::cout << "  " << Pad("#", 4) << Pad("name", wName + 1) << Pad("local name", wLocal + 1)
              << "params  returns\n";
    for (const auto& m : methods) {
      std::cout << "  " << Pad(std::to_string(m.index), 4) << Pad(m.name, wName + 1)
                << Pad(m.localName, wLocal + 1) << Pad(std::to_string(m.paramCount), 8)
                << (m.hasRetVal ? "yes" : "no") << "\n";
    }
    std::cout << "properties: " << props.size() << "\n";
    for (const auto& p : props) {
      std::cout << "  " << Pad(std::to_string(p.index), 4) << Pad(p.name, wName + 1)
                << Pad(p.localName, wLocal + 1) << (p.readable ? "readable" : "-") << " "
                << (p.writable ? "writable" : "-") << "\n";
    }
    PrintMemoryFaults(std::cout, faults);
  }
  return faults.empty() ? 0 : 1;
}

// Runs the commands on one object. Usage errors stop the run (exit 2) after closing the object.
// `next` gives the commands one at a time (false at the end), so that lines read from a pipe run
// as soon as they arrive; `total` is their number when known beforehand (0: not known).
int RunCommands(Host& host, const std::function<bool(ScenarioLine&)>& next, std::size_t total,
                bool json, const std::filesystem::path& baseDir, bool scenario) {
  SetActivity("creating the object");
  auto c = host.Create(g_className);
  // Each block is printed when its call is over, so that a progress line on the terminal can be
  // cleared first.
  std::ostringstream block;
  Session session(*c, block, json ? OutputFormat::Json : OutputFormat::Human);
  session.SetBaseDirectory(baseDir);
  const bool progress = scenario && StderrIsTerminal();
  std::size_t progressWidth = 0;
  auto clearProgress = [&] {
    if (progressWidth == 0) return;
    std::cerr << "\r" << std::string(progressWidth, ' ') << "\r" << std::flush;
    progressWidth = 0;
  };
  bool ok = true;
  int status = 0;
  ScenarioLine line;
  for (std::size_t i = 0;; ++i) {
    try {
      if (!next(line)) break;
    } catch (const UsageError& e) {
      clearProgress();
      std::cerr << "kkt-host: " << e.what() << "\n";
      status = 2;
      break;
    }
    const std::string where = scenario
                                  ? "line " + std::to_string(line.number) + ": " + line.command.name
                                  : line.command.name;
    SetActivity(where);
    std::string text = line.command.name;
    if (progress) {
      text = "line " + std::to_string(line.number) + " (" + std::to_string(i + 1) +
             (total ? " of " + std::to_string(total) : std::string()) + "): " + line.command.name;
      std::cerr << "\r" << text << std::flush;
      progressWidth = Width(text);
    }
    try {
      // A call that takes a while (a receipt of a thousand positions) says so on a terminal.
      Ticker ticker(text, StderrIsTerminal());
      ok = session.Run(line.command) && ok;
    } catch (const UsageError& e) {
      clearProgress();
      std::cout << block.str() << std::flush;
      std::cerr << "kkt-host: " << (scenario ? "line " + std::to_string(line.number) + ": " : "")
                << e.what() << "\n";
      if (const auto hint = HintFor(e.what()); !hint.empty()) std::cerr << "  " << hint << "\n";
      status = 2;
      break;
    }
    clearProgress();
    std::cout << block.str() << std::flush;
    block.str({});
  }
  clearProgress();
  SetActivity("Done/DestroyObject");
  const std::size_t seen = c->Memory().FaultCount();
  const auto faults = c->Close();
  ReportCloseFaults(faults, seen);
  if (status != 0) return status;
  return ok && faults.size() == seen ? 0 : 1;
}

int Main(std::vector<std::string> args) {
  std::filesystem::path addin;
  bool json = false;
  bool proc = false;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--addin") {
      if (i + 1 >= args.size()) throw UsageError("--addin needs a path");
      addin = PathFromUtf8(args[++i]);
    } else if (a.starts_with("--addin=")) {
      addin = PathFromUtf8(a.substr(8));
    } else if (a == "--class") {
      if (i + 1 >= args.size()) throw UsageError("--class needs a name");
      g_className = args[++i];
    } else if (a == "--json") {
      json = true;
    } else if (a == "--proc") {
      proc = true;
    } else if (a == "--help" || a == "-h" || a == "help") {
      std::cout << kUsage;
      return 0;
    } else if (a.starts_with("-")) {
      throw UsageError("unknown option " + a);
    } else {
      break;
    }
  }
  if (i >= args.size()) throw UsageError("no command");
  const std::string command = args[i++];
  const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());

  // The virtual register's own files; no add-in is loaded.
  if (command == "vreg") return RunVreg(rest, json);

  std::vector<ScenarioLine> lines;
  std::filesystem::path baseDir;
  bool scenario = false;
  bool fromStdin = false;
  if (command == "info") {
    if (!rest.empty()) throw UsageError("info takes no arguments");
  } else if (command == "call") {
    Command c = ParseCommand(rest);
    if (proc) c.callKind = CallKind::Procedure;
    lines.push_back({0, c});
  } else if (command == "getprop" || command == "setprop") {
    std::vector<std::string> words{command};
    words.insert(words.end(), rest.begin(), rest.end());
    lines.push_back({0, ParseCommand(words)});
  } else if (command == "run") {
    if (rest.size() != 1) throw UsageError("usage: run FILE");
    std::string text;
    if (rest[0] == "-") {
#if defined(_WIN32)
      _setmode(_fileno(stdin), _O_BINARY);
#endif
      fromStdin = true;
    } else {
      const auto file = PathFromUtf8(rest[0]);
      std::ifstream in(file, std::ios::binary);
      if (!in) throw UsageError("cannot open scenario " + rest[0]);
      text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      baseDir = file.parent_path();
    }
    if (!fromStdin) lines = ParseScenario(text);
    scenario = true;
  } else if (command == "demo") {
    // Its own file (demo.cpp): it drives the object itself.
  } else {
    throw UsageError("unknown command '" + command + "'");
  }

  if (addin.empty()) addin = BesideExecutable(DefaultAddinFileName());
  SetActivity("loading the add-in");
  Host host(addin);
  if (command == "info") return Info(host, json);
  if (command == "demo") return RunDemo(host, g_className, rest);
  if (fromStdin) {
    // Each line runs as soon as it is read, and its answer is out before the next is read: a
    // person or a program can drive the object call by call.
    int number = 0;
    bool bom = true;
    const auto next = [&](ScenarioLine& line) {
      std::string raw;
      while (std::getline(std::cin, raw)) {
        ++number;
        if (bom && raw.starts_with("\xEF\xBB\xBF")) raw.erase(0, 3);
        bom = false;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        std::vector<ScenarioLine> parsed;
        try {
          parsed = ParseScenario(raw);
        } catch (const UsageError& e) {
          // ParseScenario counts this one line as line 1.
          std::string what = e.what();
          if (what.starts_with("line 1: ")) what.erase(0, 8);
          throw UsageError("line " + std::to_string(number) + ": " + what);
        }
        if (parsed.empty()) continue;
        line = std::move(parsed.front());
        line.number = number;
        return true;
      }
      return false;
    };
    return RunCommands(host, next, 0, json, baseDir, scenario);
  }
  std::size_t at = 0;
  const auto next = [&](ScenarioLine& line) {
    if (at >= lines.size()) return false;
    line = lines[at++];
    return true;
  };
  return RunCommands(host, next, lines.size(), json, baseDir, scenario);
}

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> out;
#if defined(_WIN32)
  // The ANSI argv cannot carry Russian method names; take the wide command line.
  (void)argc;
  (void)argv;
  int n = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  for (int k = 1; wide != nullptr && k < n; ++k) {
    const std::wstring w(wide[k]);
    out.push_back(vantorel::text::ToUtf8(std::u16string(w.begin(), w.end())));
  }
  if (wide != nullptr) ::LocalFree(wide);
#else
  for (int k = 1; k < argc; ++k) out.emplace_back(argv[k]);
#endif
  return out;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  ::SetConsoleOutputCP(CP_UTF8);
  ::SetUnhandledExceptionFilter(OnCrash);
  // Bytes as they are: XML texts carry their own line ends.
  _setmode(_fileno(stdout), _O_BINARY);
#else
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) std::signal(sig, OnCrash);
#endif
  try {
    return Main(Arguments(argc, argv));
  } catch (const UsageError& e) {
    // The advice when there is one; the whole usage otherwise.
    const auto hint = HintFor(e.what());
    std::cerr << "kkt-host: " << e.what() << "\n" << (hint.empty() ? kUsage : "  " + hint + "\n");
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "kkt-host: " << e.what() << "\n";
    if (const auto hint = HintFor(e.what()); !hint.empty()) std::cerr << "  " << hint << "\n";
    return 1;
  }
}
