#include "support/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <utility>

#include "platform/platform.h"
#include "support/text.h"

namespace vantorel::log {

namespace {

constexpr const char* kVendorFolder = "Norvander";
constexpr const char* kDefaultBaseName = "vantorel";
constexpr const char* kEol = "\r\n";

// Mode and started flag are read on every host call without the lock; atomics keep those reads
// well-defined when a marking-check worker logs at the same time.
std::atomic<int> g_mode{0};
std::atomic<bool> g_started{false};
std::atomic<detail::Clock> g_clock{nullptr};

// Serialises appending, so lines from different threads never interleave, and makes the start
// banner decision once.
std::mutex g_appendLock;

std::mutex g_troubleLock;
std::string g_trouble;

// Keeps the first trouble until the host-call layer takes it, and switches logging off for the
// rest of the call: a file held by another process would otherwise be waited for on every line.
void NoteTrouble(std::string_view what) {
  {
    std::lock_guard<std::mutex> guard(g_troubleLock);
    if (g_trouble.empty()) g_trouble = what.empty() ? std::string("unknown error") : what;
  }
  int mode = g_mode.load();
  if (mode != 0 && mode != 4) g_mode.compare_exchange_strong(mode, 4);
}

// Runs one piece of log work; whatever fails in it is log trouble.
template <typename F>
void Safely(F&& work) noexcept {
  try {
    work();
  } catch (const std::bad_alloc&) {
    NoteTrouble("out of memory");
  } catch (const std::exception& e) {
    NoteTrouble(e.what());
  } catch (...) {
    NoteTrouble("unknown error");
  }
}

std::mutex g_nameLock;
std::string& BaseNameStorage() {
  static std::string name = kDefaultBaseName;
  return name;
}

std::string BaseName() {
  std::lock_guard<std::mutex> guard(g_nameLock);
  return BaseNameStorage();
}

platform::LocalTime CurrentTime() {
  detail::Clock clock = g_clock.load();
  return clock ? clock() : platform::Now();
}

bool IsOn(int mode) { return mode != 0 && mode != 4; }

bool Admits(int mode, Level level) {
  switch (mode) {
    case 1:
      return level == Level::Error;
    case 2:
      return level == Level::Info || level == Level::Error;
    case 3:
      return true;
    default:
      return false;
  }
}

const char* LevelWord(Level level) {
  switch (level) {
    case Level::Info:
      return "INFO";
    case Level::Debug:
      return "DEBUG";
    case Level::Error:
      return "ERROR";
  }
  return "ERROR";
}

std::string FormatDate(const platform::LocalTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d.%02d.%02d", t.year, t.month, t.day);
  return buf;
}

std::string FormatTimestamp(const platform::LocalTime& t) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d.%02d.%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return buf;
}

// The file of the day the time falls on; the same time stamps the line, so a line written at
// 23:59:59.999 never lands in the next day's file.
std::string FileNameFor(const platform::LocalTime& t) {
  return GetLogDirectory() + BaseName() + "_" + FormatDate(t) + ".log";
}

// Appends under the lock. The file must lie in the log folder below the data folder with no
// link on the way (Windows; the POSIX folder is private to the user anyway).
void Append(const std::string& path, std::string_view bytes) {
  const std::string root = platform::CommonDataFolder();
  std::lock_guard<std::mutex> guard(g_appendLock);
  platform::AppendToFile(path, bytes, root);
}

std::string FileNameOnly(const std::string& path) {
  std::size_t pos = path.find_last_of("/\\");
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string StartBanner() {
  const std::string blanks(40, ' ');
  platform::FileVersion v = platform::ModuleVersion();
  char version[64];
  std::snprintf(version, sizeof version, "%d.%d.%d.%d", v.major, v.minor, v.release, v.build);
  std::string out;
  out += blanks + kEol;
  out += std::string("============Start log=============") + kEol;
  out += "OS version:\t" + platform::OsDescription() + kEol;
  out += "Application:\t" + FileNameOnly(platform::ModuleFileName()) + kEol;
  out += std::string("App. version:\t") + version + kEol;
  out += blanks + kEol;
  return out;
}

void WriteStopBanner() {
  Safely([] {
    Append(FileNameFor(CurrentTime()),
           std::string("============Stop log===============") + kEol + kEol);
  });
}

}  // namespace

void WriteLog(std::string_view message, std::string_view detail, Level level) {
  if (!Admits(g_mode.load(), level)) return;
  StartLog();
  if (!Admits(g_mode.load(), level)) return;  // the banner met trouble: off for this call
  Safely([&] {
    platform::LocalTime now = CurrentTime();
    std::string line = FormatTimestamp(now);
    line += '\t';
    line += LevelWord(level);
    line += '\t';
    line += text::Trim(message);
    std::string trimmedDetail = text::Trim(detail);
    if (!trimmedDetail.empty()) {
      line += ": \t";
      line += trimmedDetail;
    }
    line += kEol;
    Append(FileNameFor(now), line);
  });
}

void SetLogLevel(int mode) {
  if (mode == 4) {
    g_mode.store(4);
    return;
  }
  // The new mode is stored before the stop banner is written: a log that cannot be written
  // (disk full, file held by another writer) must still be possible to switch off.
  int previous = g_mode.exchange(mode);
  if (mode == 0 && previous != 0) {
    bool wasStarted = g_started.exchange(false);
    if (IsOn(previous) && wasStarted) WriteStopBanner();
  }
}

int LogLevel() { return g_mode.load(); }

bool Writes(Level level) { return Admits(g_mode.load(), level); }

void SetLogBaseName(std::string_view name) {
  std::lock_guard<std::mutex> guard(g_nameLock);
  BaseNameStorage() = name.empty() ? std::string(kDefaultBaseName) : std::string(name);
}

void StartLog() {
  if (!IsOn(g_mode.load()) || g_started.load()) return;
  Safely([] {
    const std::string path = FileNameFor(CurrentTime());
    const std::string banner = StartBanner();
    const std::string root = platform::CommonDataFolder();
    std::lock_guard<std::mutex> guard(g_appendLock);
    if (g_started.load()) return;  // another thread wrote it meanwhile
    platform::AppendToFile(path, banner, root);
    g_started.store(true);
  });
}

// The library is being unloaded: nobody is left to tell of trouble.
void StopLog() {
  if (!IsOn(g_mode.load()) || !g_started.exchange(false)) return;
  WriteStopBanner();
}

std::string GetLogDirectory() {
  const char sep = platform::PathSeparator();
  std::string folder = platform::CommonDataFolder() + sep + kVendorFolder + sep + BaseName();
  if (!platform::DirectoryExists(folder)) {
    platform::CreateDirectories(folder);
    platform::GrantEveryoneAccess(folder);
  }
  return folder + sep;
}

std::string LogDirectoryName() {
  try {
    return GetLogDirectory();
  } catch (const std::exception& e) {
    NoteTrouble(e.what());
  }
  try {
    const char sep = platform::PathSeparator();
    return platform::CommonDataFolder() + sep + kVendorFolder + sep + BaseName() + sep;
  } catch (const std::exception&) {
    return {};  // the trouble already says why
  }
}

std::string GetLogFileName() { return FileNameFor(CurrentTime()); }

std::string TakeTrouble() {
  std::lock_guard<std::mutex> guard(g_troubleLock);
  return std::exchange(g_trouble, std::string());
}

bool HasTrouble() {
  std::lock_guard<std::mutex> guard(g_troubleLock);
  return !g_trouble.empty();
}

namespace detail {
void SetClockForTesting(Clock clock) { g_clock.store(clock); }
}  // namespace detail

}  // namespace vantorel::log
