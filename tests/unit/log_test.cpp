// The log facility writes real files. On Linux every test gets its own data folder through
// XDG_DATA_HOME; on Windows (under Wine) the folder is the common data folder, and every test
// uses its own base name, so its folder is its own either way.
#include "support/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first: aclapi.h and winioctl.h rely on its types.
#include <aclapi.h>
#include <winioctl.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
namespace vlog = vantorel::log;
namespace platform = vantorel::platform;

namespace {

const std::string kBlanks(40, ' ');
const std::string kStartLine = "============Start log=============";
const std::string kStopLine = "============Stop log===============";

platform::LocalTime g_now;
platform::LocalTime FixedClock() { return g_now; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Splits on CR LF; a bare LF or CR anywhere fails the test.
std::vector<std::string> Lines(const std::string& content) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t end = content.find("\r\n", pos);
    EXPECT_NE(end, std::string::npos) << "last line is not ended by CR LF";
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(pos, end - pos);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "bare line break in: " << line;
    out.push_back(line);
    pos = end + 2;
  }
  return out;
}

// Switches logging off without a stop banner and forgets the start banner.
void ResetMode() {
  vlog::SetLogLevel(4);
  vlog::SetLogLevel(0);
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    if (const char* old = std::getenv("XDG_DATA_HOME")) oldXdg_ = old;
    std::string tmpl = (fs::temp_directory_path() / "vantorel-log-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dataHome_ = tmpl;
    setenv("XDG_DATA_HOME", dataHome_.c_str(), 1);
#endif
    ResetMode();
    vlog::TakeTrouble();
    UseBase("logtest_" + platform::NewGuid().substr(0, 8));
  }

  void TearDown() override {
    vlog::TakeTrouble();
    vlog::detail::SetClockForTesting(nullptr);
    ResetMode();
    vlog::SetLogBaseName("vantorel");
    std::error_code ec;
    for (const auto& folder : folders_) fs::remove_all(fs::path(folder), ec);
#ifndef _WIN32
    fs::remove_all(dataHome_, ec);
    if (oldXdg_.empty())
      unsetenv("XDG_DATA_HOME");
    else
      setenv("XDG_DATA_HOME", oldXdg_.c_str(), 1);
#endif
  }

  void UseBase(const std::string& base) {
    base_ = base;
    vlog::SetLogBaseName(base_);
    folders_.push_back(Folder());
  }

  // The folder the log should use, computed without creating it.
  std::string Folder() const {
    const char sep = platform::PathSeparator();
    return platform::CommonDataFolder() + sep + "Norvander" + sep + base_;
  }

  std::string FileOf(const std::string& date) const {
    return Folder() + platform::PathSeparator() + base_ + "_" + date + ".log";
  }

  void SetClock(platform::LocalTime t) {
    g_now = t;
    vlog::detail::SetClockForTesting(&FixedClock);
  }

  std::string base_;
  std::vector<std::string> folders_;
  std::string dataHome_, oldXdg_;
};

TEST_F(LogTest, ModeAdmitsLevels) {
  struct Case {
    int mode;
    std::set<std::string> written;
  };
  const Case cases[] = {
      {0, {}}, {1, {"ERROR"}}, {2, {"INFO", "ERROR"}}, {3, {"INFO", "DEBUG", "ERROR"}}, {4, {}},
  };
  SetClock({2024, 3, 5, 7, 8, 9, 42});
  for (const Case& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode));
    ResetMode();
    UseBase("logtest_" + platform::NewGuid().substr(0, 8));
    vlog::SetLogLevel(c.mode);
    EXPECT_EQ(vlog::LogLevel(), c.mode);
    vlog::WriteLog("INFO", "", vlog::Level::Info);
    vlog::WriteLog("DEBUG", "", vlog::Level::Debug);
    vlog::WriteLog("ERROR", "", vlog::Level::Error);

    if (c.written.empty()) {
      // Nothing at all is touched while logging is off.
      EXPECT_FALSE(platform::DirectoryExists(Folder()));
      continue;
    }
    std::vector<std::string> lines = Lines(ReadFile(FileOf("2024.03.05")));
    ASSERT_EQ(lines.size(), 6 + c.written.size());
    std::set<std::string> written;
    for (std::size_t i = 6; i < lines.size(); ++i) {
      std::size_t tab = lines[i].find('\t');
      std::string level = lines[i].substr(tab + 1, lines[i].find('\t', tab + 1) - tab - 1);
      EXPECT_EQ(lines[i].substr(lines[i].rfind('\t') + 1), level);  // the message is the level
      written.insert(level);
    }
    EXPECT_EQ(written, c.written);
  }
}

TEST_F(LogTest, LineFormat) {
  struct Case {
    std::string message, detail, expectedTail;
  };
  const Case cases[] = {
      {"  > Open  ", "", "> Open"},
      {"\t\r\n msg \x01", " \r\n\t", "msg"},  // a blank detail adds nothing
      {"< Open", "  Params: a, b\r\n", "< Open: \tParams: a, b"},
      {"", "only detail", ": \tonly detail"},
      {"inner  blanks\tkept", "Чек №1", "inner  blanks\tkept: \tЧек №1"},
  };
  SetClock({2024, 3, 5, 7, 8, 9, 42});
  vlog::SetLogLevel(3);
  for (const Case& c : cases) vlog::WriteLog(c.message, c.detail, vlog::Level::Debug);
  vlog::WriteLog("failed", "", vlog::Level::Error);

  EXPECT_EQ(vlog::GetLogFileName(), FileOf("2024.03.05"));
  std::string content = ReadFile(FileOf("2024.03.05"));
  ASSERT_EQ(content.substr(0, 3), "   ") << "no byte-order mark";
  std::vector<std::string> lines = Lines(content);
  ASSERT_EQ(lines.size(), 6 + std::size(cases) + 1);
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(lines[6 + i], "2024.03.05 07:08:09.042\tDEBUG\t" + cases[i].expectedTail);
  EXPECT_EQ(lines.back(), "2024.03.05 07:08:09.042\tERROR\tfailed");
}

TEST_F(LogTest, StartAndStopBanners) {
  SetClock({2024, 3, 5, 10, 0, 0, 0});
  const std::string file = FileOf("2024.03.05");
  auto lines = [&] { return Lines(ReadFile(file)); };
  auto expectStartBanner = [](const std::vector<std::string>& l, std::size_t at) {
    ASSERT_GE(l.size(), at + 6);
    EXPECT_EQ(l[at], kBlanks);
    EXPECT_EQ(l[at + 1], kStartLine);
    EXPECT_EQ(l[at + 2], "OS version:\t" + platform::OsDescription());
    EXPECT_TRUE(std::regex_match(l[at + 3], std::regex("Application:\t[^/\\\\]+"))) << l[at + 3];
    EXPECT_TRUE(
        std::regex_match(l[at + 4], std::regex("App\\. version:\t\\d+\\.\\d+\\.\\d+\\.\\d+")))
        << l[at + 4];
    EXPECT_EQ(l[at + 5], kBlanks);
  };

  // Nothing is written until a line is admitted.
  vlog::SetLogLevel(3);
  vlog::SetLogLevel(0);
  EXPECT_FALSE(platform::DirectoryExists(Folder()));

  // Once per run of logging, and the per-call switch through mode 4 keeps it.
  vlog::SetLogLevel(3);
  vlog::WriteLog("one", "", vlog::Level::Debug);
  vlog::SetLogLevel(4);
  vlog::WriteLog("hidden", "", vlog::Level::Error);
  vlog::SetLogLevel(3);
  vlog::WriteLog("two", "", vlog::Level::Debug);
  std::vector<std::string> l = lines();
  ASSERT_EQ(l.size(), 8u);
  expectStartBanner(l, 0);
  EXPECT_EQ(l[7].substr(l[7].rfind('\t') + 1), "two");

  // Switching off from 3: stop line and an empty line, then a new start banner.
  vlog::SetLogLevel(0);
  l = lines();
  ASSERT_EQ(l.size(), 10u);
  EXPECT_EQ(l[8], kStopLine);
  EXPECT_EQ(l[9], "");
  vlog::SetLogLevel(3);
  vlog::WriteLog("three", "", vlog::Level::Debug);
  l = lines();
  ASSERT_EQ(l.size(), 17u);
  expectStartBanner(l, 10);

  // Switching off from 4 writes nothing, but the next admitted line still starts anew.
  vlog::SetLogLevel(4);
  vlog::SetLogLevel(0);
  EXPECT_EQ(lines().size(), 17u);
  vlog::SetLogLevel(3);
  vlog::WriteLog("four", "", vlog::Level::Debug);
  l = lines();
  ASSERT_EQ(l.size(), 24u);
  expectStartBanner(l, 17);

  // StartLog on its own writes the banner only when due.
  vlog::SetLogLevel(0);
  vlog::SetLogLevel(3);
  vlog::StartLog();
  vlog::StartLog();
  EXPECT_EQ(lines().size(), 26u + 6u);
}

TEST_F(LogTest, LinesAroundMidnightGoToTheirOwnDays) {
  vlog::SetLogLevel(3);
  SetClock({2024, 12, 31, 23, 59, 59, 999});
  vlog::WriteLog("before", "", vlog::Level::Debug);
  SetClock({2025, 1, 1, 0, 0, 0, 0});
  vlog::WriteLog("after", "", vlog::Level::Debug);

  std::vector<std::string> old = Lines(ReadFile(FileOf("2024.12.31")));
  ASSERT_EQ(old.size(), 7u);
  EXPECT_EQ(old[6], "2024.12.31 23:59:59.999\tDEBUG\tbefore");
  std::vector<std::string> fresh = Lines(ReadFile(FileOf("2025.01.01")));
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_EQ(fresh[0], "2025.01.01 00:00:00.000\tDEBUG\tafter");
}

TEST_F(LogTest, DirectoryIsCreatedOnce) {
  const char sep = platform::PathSeparator();
  EXPECT_FALSE(platform::DirectoryExists(Folder()));
  std::string dir = vlog::GetLogDirectory();
  EXPECT_EQ(dir, Folder() + sep);
  EXPECT_TRUE(platform::DirectoryExists(Folder()));
  EXPECT_EQ(vlog::GetLogDirectory(), dir);
#ifndef _WIN32
  // Both folders we created are private to the user.
  for (const std::string& path : {dataHome_ + "/Norvander", Folder()}) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << path;
  }
#endif
}

TEST_F(LogTest, ConcurrentWritersProduceWholeLines) {
  constexpr int kThreads = 4, kLinesEach = 150;
  const std::string padding(2000, 'x');
  SetClock({2024, 3, 5, 7, 8, 9, 42});
  vlog::SetLogLevel(3);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &padding, &failures] {
      try {
        for (int i = 0; i < kLinesEach; ++i)
          vlog::WriteLog("T" + std::to_string(t) + "-" + std::to_string(i), padding,
                         vlog::Level::Debug);
      } catch (const std::exception& e) {
        ++failures;
        std::fprintf(stderr, "writer %d: %s\n", t, e.what());
      }
    });
  for (auto& th : threads) th.join();
  ASSERT_EQ(failures.load(), 0);

  std::vector<std::string> lines = Lines(ReadFile(FileOf("2024.03.05")));
  ASSERT_EQ(lines.size(), 6u + kThreads * kLinesEach) << "one start banner, every line once";
  EXPECT_EQ(lines[1], kStartLine);
  const std::regex shape("2024\\.03\\.05 07:08:09\\.042\tDEBUG\t(T\\d+-\\d+): \tx{2000}");
  std::set<std::string> seen;
  for (std::size_t i = 6; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, shape)) << "line " << i << " is torn";
    seen.insert(m[1]);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLinesEach));
}

// Keeps the day's file as another process would: Windows, open without sharing writes; POSIX,
// its lock taken (flock locks belong to the open file, so this process's own appends wait too).
class FileHolder {
 public:
  explicit FileHolder(const std::string& path) {
#ifdef _WIN32
    h_ = CreateFileW(fs::path(path).wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h_, INVALID_HANDLE_VALUE);
#else
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_GE(fd_, 0);
    EXPECT_EQ(flock(fd_, LOCK_EX), 0);
#endif
  }
  ~FileHolder() { Release(); }
  void Release() {
#ifdef _WIN32
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
#else
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
#endif
  }

 private:
#ifdef _WIN32
  HANDLE h_ = INVALID_HANDLE_VALUE;
#else
  int fd_ = -1;
#endif
};

// A file held by another process is waited for briefly: a short hold costs a short wait and the
// line is written; a long one gives up well within a second, as log trouble.
TEST_F(LogTest, BusyFileIsWaitedForBriefly) {
  using Clock = std::chrono::steady_clock;
  using std::chrono::milliseconds;
  SetClock({2024, 3, 5, 7, 8, 9, 42});
  vlog::SetLogLevel(3);
  vlog::WriteLog("first", "", vlog::Level::Debug);
  const std::string file = FileOf("2024.03.05");

  {
    FileHolder holder(file);
    std::thread release([&] {
      std::this_thread::sleep_for(milliseconds(80));
      holder.Release();
    });
    const auto start = Clock::now();
    vlog::WriteLog("after a short hold", "", vlog::Level::Debug);
    const auto took = Clock::now() - start;
    release.join();
    EXPECT_FALSE(vlog::HasTrouble()) << vlog::TakeTrouble();
    EXPECT_GE(took, milliseconds(60));
    EXPECT_NE(ReadFile(file).find("after a short hold"), std::string::npos);
  }

  FileHolder holder(file);
  const auto start = Clock::now();
  vlog::WriteLog("while held", "", vlog::Level::Debug);
  const auto took = Clock::now() - start;
  const std::string trouble = vlog::TakeTrouble();
  EXPECT_NE(trouble.find("another process"), std::string::npos) << trouble;
  EXPECT_GE(took, milliseconds(platform::kBusyWaitMs));
  EXPECT_LT(took, milliseconds(1000));
  std::printf("a held log file gave up after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
  holder.Release();
  EXPECT_EQ(ReadFile(file).find("while held"), std::string::npos);
}

#ifdef _WIN32

// Every user of the machine shares the log folder: Everyone gets full access, inherited by the
// files, and a second call adds no duplicate entry.
TEST_F(LogTest, FolderGrantsEveryoneFullAccess) {
  auto everyoneEntries = [&] {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::wstring path = fs::path(Folder()).wstring();
    EXPECT_EQ(GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    int found = 0;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
      void* ace = nullptr;
      if (!GetAce(dacl, i, &ace)) continue;
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      // Wine keeps no access lists of its own: it maps them to the Unix mode, and GENERIC_ALL
      // comes back as the file rights it stands for.
      const DWORD readWrite = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE;
      if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
          EqualSid(&allowed->SidStart, everyone) &&
          (allowed->Mask == GENERIC_ALL || (allowed->Mask & readWrite) == readWrite)) {
        EXPECT_EQ(allowed->Header.AceFlags & (CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE),
                  CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE);
        ++found;
      }
    }
    FreeSid(everyone);
    LocalFree(sd);
    return found;
  };
  vlog::GetLogDirectory();
  EXPECT_EQ(everyoneEntries(), 1);
  platform::GrantEveryoneAccess(Folder());
  EXPECT_EQ(everyoneEntries(), 1);
}

// Links under Wine. Wine 8 does not make symbolic links (CreateSymbolicLinkW answers success and
// makes nothing) nor junctions (FSCTL_SET_REPARSE_POINT: not supported); it does make hard links.
// It follows links of the Unix side without showing a reparse point, which only the final path
// gives away: those stand in for the links Wine cannot make. Wine runs Unix programs on request.
std::string WineUnixPath(const std::string& path) {
  using Fn = char*(__cdecl*)(LPCWSTR);
  FARPROC proc = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
  if (proc == nullptr) return {};
  Fn fn;
  static_assert(sizeof fn == sizeof proc);
  std::memcpy(&fn, &proc, sizeof fn);
  char* unix = fn(fs::path(path).wstring().c_str());
  const std::string out = unix ? unix : "";
  if (unix) HeapFree(GetProcessHeap(), 0, unix);
  return out;
}

// Starts a program of the Unix side (Wine starts it on request). Neither its end nor its exit
// code comes through: the caller waits for what it does.
void RunUnix(const wchar_t* program, const std::string& commandLine) {
  std::wstring cmd = fs::path(commandLine).wstring();
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(program, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return;
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
}

bool UnixSymlink(const std::string& target, const std::string& link) {
  const std::string t = WineUnixPath(target), l = WineUnixPath(link);
  if (t.empty() || l.empty()) return false;
  RunUnix(L"Z:\\bin\\ln", "ln -s \"" + t + "\" \"" + l + "\"");
  for (int i = 0; i < 500; ++i) {
    if (GetFileAttributesW(fs::path(link).wstring().c_str()) != INVALID_FILE_ATTRIBUTES)
      return true;
    Sleep(10);
  }
  return false;
}

// A junction (mount point) at `link`, an empty folder made here, to the folder `target`.
bool MakeJunction(const std::string& link, const std::string& target) {
  if (!CreateDirectoryW(fs::path(link).wstring().c_str(), nullptr)) return false;
  HANDLE h = CreateFileW(fs::path(link).wstring().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const std::wstring substitute = L"\\??\\" + fs::path(target).wstring();
  const std::wstring print = fs::path(target).wstring();
  struct {
    DWORD tag;
    WORD length, reserved, substituteOffset, substituteLength, printOffset, printLength;
    WCHAR path[1024];
  } buf{};
  buf.tag = IO_REPARSE_TAG_MOUNT_POINT;
  buf.substituteLength = static_cast<WORD>(substitute.size() * 2);
  buf.printOffset = static_cast<WORD>(buf.substituteLength + 2);
  buf.printLength = static_cast<WORD>(print.size() * 2);
  std::memcpy(buf.path, substitute.data(), buf.substituteLength);
  std::memcpy(reinterpret_cast<char*>(buf.path) + buf.printOffset, print.data(), buf.printLength);
  buf.length = static_cast<WORD>(8 + buf.printOffset + buf.printLength + 2);
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &buf, 8u + buf.length, nullptr, 0,
                                  &returned, nullptr);
  CloseHandle(h);
  if (!ok) RemoveDirectoryW(fs::path(link).wstring().c_str());
  return ok;
}

// The folder is open to every user, so anyone can put a link where the day's file or the folder
// itself should be. Each is refused as log trouble, and nothing is written through it.
TEST_F(LogTest, RefusesLinksInPlaceOfTheLogOrItsFolder) {
  SetClock({2024, 3, 5, 7, 8, 9, 42});
  const fs::path scratch = fs::temp_directory_path() / ("vantorel-victim-" + platform::NewGuid());
  fs::create_directories(scratch / "elsewhere");
  const std::string victim = (scratch / "victim.txt").string();
  const std::string elsewhere = (scratch / "elsewhere").string();
  std::ofstream(victim) << "precious";
  const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;

  struct Case {
    const char* what;
    bool inPlaceOfFolder;
    // Makes the link; false when this system cannot make it.
    bool (*make)(const std::string& at, const std::string& file, const std::string& folder);
  };
  const Case cases[] = {
      {"hard link", false,
       [](const std::string& at, const std::string& file, const std::string&) {
         return CreateHardLinkW(fs::path(at).wstring().c_str(), fs::path(file).wstring().c_str(),
                                nullptr) != 0;
       }},
      {"symbolic link", false,
       [](const std::string& at, const std::string& file, const std::string&) {
         CreateSymbolicLinkW(fs::path(at).wstring().c_str(), fs::path(file).wstring().c_str(),
                             0x2 /* allow unprivileged creation */);
         return GetFileAttributesW(fs::path(at).wstring().c_str()) != INVALID_FILE_ATTRIBUTES;
       }},
      {"junction in place of the folder", true,
       [](const std::string& at, const std::string&, const std::string& folder) {
         return MakeJunction(at, folder);
       }},
      {"Unix symbolic link", false,
       [](const std::string& at, const std::string& file, const std::string&) {
         return UnixSymlink(file, at);
       }},
      {"Unix symbolic link in place of the folder", true,
       [](const std::string& at, const std::string&, const std::string& folder) {
         return UnixSymlink(folder, at);
       }},
      {"folder", false,
       [](const std::string& at, const std::string&, const std::string&) {
         return CreateDirectoryW(fs::path(at).wstring().c_str(), nullptr) != 0;
       }},
  };
  int refused = 0;
  std::vector<std::string> unixFolderLinks;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string(c.what).find("Unix") != std::string::npos && !wine) continue;
    ResetMode();
    UseBase("logtest_" + platform::NewGuid().substr(0, 8));
    vlog::GetLogDirectory();
    const std::string file = FileOf("2024.03.05");
    if (c.inPlaceOfFolder) fs::remove_all(Folder());
    if (!c.make(c.inPlaceOfFolder ? Folder() : file, victim, elsewhere)) {
      std::printf("cannot be made on this system: %s\n", c.what);
      RecordProperty(std::string("not made: ") + c.what, "skipped");
      continue;
    }
    if (c.inPlaceOfFolder && wine) unixFolderLinks.push_back(Folder());
    vlog::SetLogLevel(3);
    vlog::WriteLog("redirected", "", vlog::Level::Error);
    const std::string trouble = vlog::TakeTrouble();
    EXPECT_NE(trouble.find(file), std::string::npos) << trouble;
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_TRUE(fs::is_empty(elsewhere));
    ++refused;
  }
  EXPECT_GE(refused, 3) << "too few kinds of links could be made to test";
  // The file API follows a Unix link in place of a folder, and cannot remove it.
  for (const auto& link : unixFolderLinks) {
    RunUnix(L"Z:\\bin\\rm", "rm -f \"" + WineUnixPath(link) + "\"");
    for (int i = 0; i < 500 && fs::exists(link); ++i) Sleep(10);
  }
  // The links first, while what they lead to is there: Wine cannot see a dangling one.
  std::error_code ec;
  for (const auto& folder : folders_) fs::remove_all(folder, ec);
  fs::remove_all(scratch, ec);
}

#else

// Whatever sits in place of the day's file that is not a plain file is refused, and nothing is
// written through it.
TEST_F(LogTest, RefusesSpecialFilesInPlaceOfTheLog) {
  SetClock({2024, 3, 5, 7, 8, 9, 42});
  const std::string victim = dataHome_ + "/victim";
  std::ofstream(victim) << "precious";
  struct Case {
    const char* what;
    void (*make)(const std::string& path, const std::string& victim);
  };
  const Case cases[] = {
      {"symbolic link",
       [](const std::string& p, const std::string& v) { fs::create_symlink(v, p); }},
      {"dangling link",
       [](const std::string& p, const std::string& v) { fs::create_symlink(v + ".new", p); }},
      {"FIFO",
       [](const std::string& p, const std::string&) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
      {"folder", [](const std::string& p, const std::string&) { fs::create_directory(p); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetMode();
    vlog::GetLogDirectory();
    const std::string file = FileOf("2024.03.05");
    fs::remove_all(file);
    c.make(file, victim);
    vlog::SetLogLevel(3);
    EXPECT_NO_THROW(vlog::WriteLog("redirected", "", vlog::Level::Error));
    const std::string trouble = vlog::TakeTrouble();
    EXPECT_NE(trouble.find(file), std::string::npos) << trouble;
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_FALSE(fs::exists(victim + ".new"));
  }
}

// Trouble is kept once, and logging is off for the rest of the host call, so a broken log is
// tried once per call, not once per line.
TEST_F(LogTest, FolderFailureIsTroubleNamingThePath) {
  const std::string blocker = dataHome_ + "/blocker";
  std::ofstream(blocker) << "not a folder";
  setenv("XDG_DATA_HOME", blocker.c_str(), 1);
  vlog::SetLogLevel(3);
  EXPECT_NO_THROW(vlog::WriteLog("x", "", vlog::Level::Error));
  EXPECT_TRUE(vlog::HasTrouble());
  EXPECT_EQ(vlog::LogLevel(), 4);
  vlog::SetLogLevel(3);
  vlog::WriteLog("y", "", vlog::Level::Error);  // a second trouble does not replace the first
  const std::string trouble = vlog::TakeTrouble();
  EXPECT_NE(trouble.find(Folder()), std::string::npos) << trouble;
  EXPECT_EQ(vlog::TakeTrouble(), "");
  EXPECT_FALSE(vlog::HasTrouble());

  // The folder's name for the driver description is still there; the viewer gets the error.
  EXPECT_EQ(vlog::LogDirectoryName(), Folder() + "/");
  EXPECT_NE(vlog::TakeTrouble().find(Folder()), std::string::npos);
  EXPECT_THROW(vlog::GetLogDirectory(), std::runtime_error);
}

// A log that cannot be written any more must still be possible to switch off, or every later
// host call would meet it.
TEST_F(LogTest, SwitchingOffWorksWhenTheStopBannerCannotBeWritten) {
  SetClock({2024, 3, 5, 7, 8, 9, 42});
  vlog::SetLogLevel(3);
  vlog::WriteLog("one", "", vlog::Level::Debug);
  const std::string file = FileOf("2024.03.05");
  fs::remove(file);
  fs::create_symlink(dataHome_ + "/elsewhere", file);
  EXPECT_NO_THROW(vlog::SetLogLevel(0));
  EXPECT_NE(vlog::TakeTrouble().find(file), std::string::npos);
  EXPECT_EQ(vlog::LogLevel(), 0);
  vlog::WriteLog("off", "", vlog::Level::Error);
  EXPECT_FALSE(vlog::HasTrouble());
}

#endif

}  // namespace
