// A driver working on a virtual register in this process, with the register's trace and state
// at hand. Each test gets its own register folder and log folder.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <pugixml.hpp>
#include <string>

#include "protocol/driver.h"
#include "support/text.h"
#include "support/xml.h"
#include "vregister/register.h"

namespace vantorel::testing {

inline void SetEnv(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// A fresh folder under the temporary folder, removed with the object.
class TempFolder {
 public:
  explicit TempFolder(const std::string& tag) {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = tag + "-" + (info ? std::string(info->test_suite_name()) + "." + info->name() : "x") +
                       "-" + std::to_string(counter++);
    for (auto& c : name)
      if (c == '/' || c == '\\') c = '_';
    path_ = std::filesystem::temp_directory_path() / "vantorel-tests" / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class DriverOnVirtualRegister : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEnv("VANTOREL_VREG_DIR", registers_.path().string());
    SetEnv("XDG_DATA_HOME", data_.path().string());
    TDriver::SetDeviceFactory([this] {
      auto r = std::make_unique<Tracked>(*this);
      reg = r->inner.get();
      return std::unique_ptr<automation::Object>(std::move(r));
    });
  }
  void TearDown() override { TDriver::SetDeviceFactory({}); }

  static std::string Settings(const std::string& extra = {}) {
    return "<Parameters><Parameter Name=\"PortNumber\" Value=\"0\"/>"
           "<Parameter Name=\"RibbonWidth\" Value=\"78\"/>"
           "<Parameter Name=\"CutString\" Value=\"[cut]\"/>" +
           extra + "</Parameters>";
  }
  // Connects the register with the page's defaults plus `extra` parameters; returns the DeviceID.
  std::u16string Connect(const std::string& extra = {}) {
    pugi::xml_document settings;
    xml::ParseInputUtf8(Settings(extra), settings);
    driver.ConnectEquipment(settings);
    const std::u16string id = text::ToUtf16(DeviceId());
    driver.SelectInstance(id);
    return id;
  }
  std::string DeviceId() const {
    return text::ToUtf8(driver.CurrentDeviceIdForTests());
  }
  static pugi::xml_document Xml(const std::string& text) {
    pugi::xml_document doc;
    xml::ParseInputUtf8(text, doc);
    return doc;
  }
  // The register's configuration, changed before the first connection or between calls.
  void Configure(const std::function<void(emulator::Config&)>& edit) {
    auto dev = reg ? reg->device() : nullptr;
    ASSERT_TRUE(dev) << "connect first";
    auto c = dev->config();
    edit(c);
    dev->SetConfig(c);
  }
  // The register of the last connection, also after the driver let its session go.
  std::shared_ptr<emulator::Device> Register() {
    if (reg && reg->device()) lastDevice_ = reg->device();
    return lastDevice_;
  }
  std::vector<std::string> Calls(bool withParams = false) const {
    return reg->CallNames(withParams);
  }

  // The register as the driver holds it; `reg` is cleared when the driver releases it, and the
  // register it was connected to stays at hand through Register().
  struct Tracked final : automation::Object {
    explicit Tracked(DriverOnVirtualRegister& owner)
        : owner(owner), inner(std::make_unique<emulator::VirtualRegister>()) {}
    ~Tracked() override {
      if (owner.reg == inner.get()) owner.reg = nullptr;
    }
    automation::Value get(std::string_view name) override { return inner->get(name); }
    automation::Value call(std::string_view name, std::span<const automation::Value> args) override {
      // DTO10 takes 32-bit integers; a 64-bit one may be refused by the real library.
      for (const auto& a : args)
        if (a.is<std::int64_t>()) ADD_FAILURE() << name << " given a 64-bit integer " << a.asText();
      auto result = inner->call(name, args);
      if (auto d = inner->device()) owner.lastDevice_ = std::move(d);
      return result;
    }
    DriverOnVirtualRegister& owner;
    std::unique_ptr<emulator::VirtualRegister> inner;
  };

  TempFolder registers_{"vreg"};
  TempFolder data_{"data"};
  // Declared before the driver, which releases its registers (and updates these) when it goes.
  emulator::VirtualRegister* reg = nullptr;  // the register object of the last connection
  std::shared_ptr<emulator::Device> lastDevice_;
  TDriver driver;
};

}  // namespace vantorel::testing
