// Connecting registers from settings documents, selecting them, the shift check, the clock and
// the connection test, against the virtual register.
#include <algorithm>

#include "driver_fixture.h"
#include "support/equipment_errors.h"

namespace vantorel::testing {
namespace {

using Connection = DriverOnVirtualRegister;

std::string Setting(const std::string& name, const std::string& value) {
  return "<Parameter Name=\"" + name + "\" Value=\"" + value + "\"/>";
}

TEST_F(Connection, PortNumberChoosesTheLink) {
  const struct {
    std::string extra;
    std::map<std::string, std::string> expected;
  } cases[] = {
      {Setting("PortNumber", "9999") + Setting("IPAddress", "10.0.0.7") + Setting("IPPort", "5555"),
       {{"IPAddress", "10.0.0.7"}, {"IPPort", "5555"}}},
      {Setting("PortNumber", "9998") + Setting("MACAddress", "AA:BB:CC:DD:EE:FF"),
       {{"MACAddress", "AA:BB:CC:DD:EE:FF"}}},
      {Setting("portnumber", "5") + Setting("BaudRate", "9600"),
       {{"ComFile", "COM5"}, {"BaudRate", "9600"}}},
      // No rate, or 0: the settings page's default.
      {Setting("PortNumber", "3"), {{"ComFile", "COM3"}, {"BaudRate", "115200"}}},
      {Setting("PortNumber", "4") + Setting("BaudRate", "0"),
       {{"ComFile", "COM4"}, {"BaudRate", "115200"}}},
  };
  for (const auto& c : cases) {
    Connect(c.extra);
    for (const auto& [key, value] : c.expected)
      EXPECT_EQ(reg->settings().values.at(key), value) << c.extra;
    driver.DisconnectEquipment(driver.CurrentDeviceIdForTests());
  }
}

TEST_F(Connection, UnknownNamesAreSkippedAndBadValuesNamed) {
  Connect(Setting("Device", "x") + Setting("NoSuchSetting", "1") + Setting("DisableCut", "TRUE"));
  EXPECT_TRUE(driver.Instance().DisableCut);
  EXPECT_EQ(driver.Instance().LineLength, 48) << "the register's own line length";

  pugi::xml_document bad = Xml(Settings(Setting("IPPort", "abc")));
  try {
    driver.ConnectEquipment(bad);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("IPPort"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("abc"), std::string::npos) << e.what();
  }
  EXPECT_EQ(driver.InstanceCount(), 1u) << "a failed connection registers nothing";
  EXPECT_THROW(driver.ConnectEquipment(Xml("<Other/>")), std::runtime_error);
  EXPECT_EQ(driver.InstanceCount(), 1u);
}

TEST_F(Connection, InstancesAreIndependent) {
  const auto first = Connect();
  const auto second = Connect(Setting("PortNumber", "9999") + Setting("IPAddress", "127.0.0.1") +
                              Setting("IPPort", "5555"));
  EXPECT_NE(first, second);
  driver.DisconnectEquipment(first);
  EXPECT_THROW(driver.SelectInstance(first), std::runtime_error);
  driver.SelectInstance(second);
  EXPECT_EQ(driver.GetLineLength(), 48);
  EXPECT_THROW(driver.SelectInstance(u"  "), std::runtime_error);
}

TEST_F(Connection, PlatformFormatAndTimeoutFollowTheRegister) {
  Connect(Setting("TimeoutRequestKM", "0"));
  EXPECT_EQ(driver.Instance().PlatformVer, TPlatformVersion::pv5);
  EXPECT_EQ(driver.Device().TimeoutRequestKM, 5);
  EXPECT_EQ(driver.Device().FFDVersion, TFFDVersion::ffd12);
  EXPECT_EQ(driver.Device().RibbonWidth, 68);

  const struct {
    const char* configuration;
    int ffd;
    TPlatformVersion platform;
    TFFDVersion format;
  } cases[] = {{"3.0.8", 105, TPlatformVersion::pvOld, TFFDVersion::ffd105},
               {"15.0", 110, TPlatformVersion::pvOld, TFFDVersion::ffd11},
               {"5.8.1", 100, TPlatformVersion::pv5, TFFDVersion::ffd10}};
  for (const auto& c : cases) {
    reg->device()->Edit([&](emulator::DeviceState& s) {
      s.config.configurationVersion = c.configuration;
      s.config.deviceFfdVersion = c.ffd;
      s.config.fnFfdVersion = c.ffd;
      s.ffdVersion = c.ffd;
      for (auto& tag : s.registration.tags)
        if (tag.number == 1209) tag.integer = c.ffd;
    });
    Connect();
    EXPECT_EQ(driver.Instance().PlatformVer, c.platform) << c.configuration;
    EXPECT_EQ(driver.Device().FFDVersion, c.format) << c.ffd;
  }
}

TEST_F(Connection, ShiftCheck) {
  Connect();
  try {
    driver.CheckShiftState(false);
    FAIL();
  } catch (const EquException& e) {
    EXPECT_EQ(e.Code(), 3005);
    EXPECT_STREQ(e.what(), "Смена закрыта");
  }
  EXPECT_NO_THROW(driver.CheckShiftState(true));
}

TEST_F(Connection, ClockRoundTripsAndRefusesBadTexts) {
  Connect();
  driver.SetDateTime(u"2030-01-02T03:04:05");
  const std::string read = text::ToUtf8(driver.GetDateTime());
  EXPECT_EQ(read.substr(0, 16), "2030-01-02T03:04");
  try {
    driver.SetDateTime(u"02.01.2030");
    FAIL();
  } catch (const EquException& e) {
    EXPECT_EQ(e.Code(), 1004);
    EXPECT_STREQ(e.what(), "Ошибка входных параметров команды. Некорректный формат даты/времени");
  }
}

TEST_F(Connection, EquipmentTestDescribesPrintsAndAlwaysDisconnects) {
  std::string description, demo;
  driver.EquipmentTest(Xml(Settings()), description, demo);
  EXPECT_EQ(description.find("ВР-10 виртуальная ККТ, модель:93, Версия ПО:"), 0u) << description;
  EXPECT_EQ(demo, "");
  EXPECT_EQ(driver.InstanceCount(), 0u);
  const auto tape = Register()->RenderTape();
  EXPECT_NE(tape.find("модель:93"), std::string::npos) << tape;

  Register()->ClearTape();
  driver.EquipmentTest(Xml(Settings(Setting("EnablePrinting", "2"))), description, demo);
  EXPECT_EQ(Register()->RenderTape().find("модель"), std::string::npos);
  EXPECT_EQ(driver.InstanceCount(), 0u);
}

}  // namespace
}  // namespace vantorel::testing
