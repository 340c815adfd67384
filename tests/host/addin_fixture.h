// What the tests through the real add-in share: one host (the add-in loaded as 1C loads it) for
// a suite, a folder of the test's own for the virtual register and the log, and the host's memory
// ledger checked when the add-in object ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "component.h"

namespace hosttest {

inline void SetEnv(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

class AddinTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    host = new kkthost::Host(kkthost::BesideExecutable(VANTOREL_ADDIN_FILE));
  }
  static void TearDownTestSuite() {
    delete host;
    host = nullptr;
  }

  // `folder`, emptied, with vreg/ for the virtual register and data/ for the log; the two
  // variables point there until the test ends.
  void UseFolder(const std::filesystem::path& folder) {
    root = folder;
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "vreg");
    std::filesystem::create_directories(root / "data");
    if (!savedDataHome) {
      const char* old = std::getenv("XDG_DATA_HOME");
      oldDataHome = old ? old : "";
      savedDataHome = true;
    }
    SetEnv("VANTOREL_VREG_DIR", (root / "vreg").string());
    SetEnv("XDG_DATA_HOME", (root / "data").string());
  }

  // Ends the add-in object: every fault the host's memory ledger found fails the test.
  void CloseDriver() {
    if (!driver) return;
    for (const auto& f : driver->Close()) ADD_FAILURE() << f.Describe();
    driver.reset();
  }

  void TearDown() override {
    CloseDriver();
    if (savedDataHome) SetEnv("XDG_DATA_HOME", oldDataHome);
    std::error_code ec;
    if (!root.empty()) std::filesystem::remove_all(root, ec);
  }

  static inline kkthost::Host* host = nullptr;
  std::unique_ptr<kkthost::Component> driver;
  std::filesystem::path root;

 private:
  std::string oldDataHome;
  bool savedDataHome = false;
};

}  // namespace hosttest
