#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;
namespace platform = vantorel::platform;

namespace {

TEST(PlatformTest, NewGuidIsRandomVersion4InUpperCase) {
  const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string guid = platform::NewGuid();
    ASSERT_TRUE(std::regex_match(guid, shape)) << guid;
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(PlatformTest, NowIsTheLocalTime) {
  platform::LocalTime now = platform::Now();
  std::time_t t = std::time(nullptr);
  std::tm expected = *std::localtime(&t);
  EXPECT_EQ(now.year, expected.tm_year + 1900);
  EXPECT_EQ(now.month, expected.tm_mon + 1);
  EXPECT_EQ(now.day, expected.tm_mday);
  EXPECT_EQ(now.hour, expected.tm_hour);
  int seconds = now.minute * 60 + now.second,
      expectedSeconds = expected.tm_min * 60 + expected.tm_sec;
  EXPECT_LE(std::abs(seconds - expectedSeconds), 2);
  EXPECT_GE(now.millisecond, 0);
  EXPECT_LE(now.millisecond, 999);
}

TEST(PlatformTest, OsDescriptionEndsWithVersionInParentheses) {
  std::string d = platform::OsDescription();
#ifdef _WIN32
  EXPECT_TRUE(std::regex_match(d, std::regex("[A-Za-z0-9. ]+ \\(\\d+\\.\\d+\\.\\d+\\)"))) << d;
#else
  EXPECT_TRUE(std::regex_match(d, std::regex("\\S+ \\S+ \\(\\S+\\)"))) << d;
#endif
}

TEST(PlatformTest, FoldersAndAppending) {
  const char sep = platform::PathSeparator();
  const std::string root =
      (fs::temp_directory_path() / ("vantorel-platform-" + platform::NewGuid())).string();
  const std::string nested = root + sep + "a" + sep + "b";
  EXPECT_FALSE(platform::DirectoryExists(root));
  platform::CreateDirectories(nested);
  EXPECT_TRUE(platform::DirectoryExists(nested));
  EXPECT_NO_THROW(platform::CreateDirectories(nested));  // an existing folder is fine

  const std::string file = nested + sep + "f.log";
  platform::AppendToFile(file, "one\r\n", root);
  platform::AppendToFile(file, std::string("two\0\r\n", 6), root);
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            std::string("one\r\ntwo\0\r\n", 11));
  in.close();
  EXPECT_FALSE(platform::DirectoryExists(file));

  // A file where a folder should be is an error naming the path.
  const std::string blocked = file + sep + "c";
  try {
    platform::CreateDirectories(blocked);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(blocked), std::string::npos) << e.what();
  }
  std::error_code ec;
  fs::remove_all(root, ec);
}

#ifndef _WIN32

class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v, had_ = true;
  }
  ~EnvGuard() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }
  void Set(const char* value) {
    if (value)
      setenv(name_, value, 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

TEST(PlatformTest, DataFolderFollowsXdgThenHome) {
  struct Case {
    const char* xdg;
    const char* home;
    const char* expected;
  };
  const Case cases[] = {
      {"/data/xdg", "/home/u", "/data/xdg"},
      {"relative/xdg", "/home/u", "/home/u/.local/share"},  // relative values are ignored
      {"", "/home/u/", "/home/u/.local/share"},
      {nullptr, "/", "/.local/share"},
  };
  EnvGuard xdg("XDG_DATA_HOME"), home("HOME");
  for (const Case& c : cases) {
    xdg.Set(c.xdg);
    home.Set(c.home);
    EXPECT_EQ(platform::CommonDataFolder(), c.expected) << (c.xdg ? c.xdg : "(unset)");
  }
  // Without either the user database still knows the home folder (or it is an error).
  xdg.Set(nullptr);
  home.Set(nullptr);
  try {
    std::string folder = platform::CommonDataFolder();
    EXPECT_EQ(folder.front(), '/');
    EXPECT_EQ(folder.substr(folder.size() - 13), "/.local/share");
  } catch (const std::runtime_error&) {
  }
}

#endif

}  // namespace
