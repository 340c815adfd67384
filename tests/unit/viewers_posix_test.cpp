// Linux: the two actions hand their target to xdg-open. A stand-in xdg-open on PATH records
// what it was given and exits with a chosen code.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/viewers.h"
#include "test_zip.h"

namespace vantorel {
namespace {

namespace fs = std::filesystem;

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct FakeDesktop {
  testing::Sandbox box;
  fs::path bin = box.path() / "bin";
  fs::path record = box.path() / "opened.txt";
  std::optional<ScopedEnv> path, display, wayland;

  explicit FakeDesktop(int exitCode) {
    fs::create_directories(bin);
    std::ofstream(bin / "xdg-open")
        << "#!/bin/sh\nprintf '%s' \"$1\" > '" << record.string() << "'\nexit " << exitCode << "\n";
    chmod((bin / "xdg-open").c_str(), 0755);
    path.emplace("PATH", (bin.string() + ":/usr/bin:/bin").c_str());
    display.emplace("DISPLAY", ":99");
    wayland.emplace("WAYLAND_DISPLAY", nullptr);
  }
  // The opener runs detached: wait for its record.
  std::string Opened() const {
    for (int i = 0; i < 100 && !fs::exists(record); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ReadFile(record);
  }
};

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
    return {};
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

TEST(PosixViewers, ViewLogOpensTheLogFolder) {
  FakeDesktop desktop(0);
  EXPECT_EQ(ErrorOf([&] { platform::ShowLogViewer(desktop.box.str()); }), "");
  EXPECT_EQ(desktop.Opened(), desktop.box.str());
}

TEST(PosixViewers, FailuresAreReportedClearly) {
  {
    FakeDesktop desktop(3);
    std::string error = ErrorOf([&] { platform::ShowLogViewer("/var/log"); });
    EXPECT_NE(error.find("xdg-open exited with code 3"), std::string::npos) << error;
  }
  {
    FakeDesktop desktop(0);
    ScopedEnv noDisplay("DISPLAY", nullptr);
    std::string error = ErrorOf([&] { platform::ShowLogViewer("/var/log"); });
    EXPECT_NE(error.find("no graphical session"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(desktop.record));
  }
  {
    FakeDesktop desktop(0);
    ScopedEnv noOpener("PATH", desktop.box.str().c_str());
    std::string error = ErrorOf([&] { platform::ShowLogViewer("/var/log"); });
    EXPECT_NE(error.find("xdg-open was not found"), std::string::npos) << error;
  }
}

// The page outlives the renderer's folder: it is opened from a copy in the user's cache, which
// the next call replaces.
TEST(PosixViewers, ShowDocumentOpensACopyInTheCache) {
  FakeDesktop desktop(0);
  ScopedEnv cache("XDG_CACHE_HOME", (desktop.box.str() + "/cache").c_str());
  fs::path page = desktop.box.path() / "render" / "md.html";
  fs::create_directories(page.parent_path());
  std::ofstream(page) << "<p>page</p>";
  std::ofstream(page.parent_path() / "style.css") << "p{}";
  std::ofstream(page.parent_path() / "md.zip") << "PK";
  fs::path copy = desktop.box.path() / "cache" / "vantorel" / "help";
  fs::create_directories(copy);
  std::ofstream(copy / "stale.html") << "old";

  EXPECT_EQ(ErrorOf([&] { platform::ShowDocument(page.string(), "Справка"); }), "");
  EXPECT_EQ(desktop.Opened(), (copy / "md.html").string());
  EXPECT_EQ(ReadFile(copy / "md.html"), "<p>page</p>");
  EXPECT_EQ(ReadFile(copy / "style.css"), "p{}");
  EXPECT_FALSE(fs::exists(copy / "md.zip"));
  EXPECT_FALSE(fs::exists(copy / "stale.html"));
}

}  // namespace
}  // namespace vantorel

#endif
