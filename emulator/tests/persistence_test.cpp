#include <fstream>

#include "vreg_fixture.h"
#include "vregister/storage.h"

namespace vantorel::emulator::testing {
namespace {

void WriteText(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

TEST_F(VregTest, SameSettingsReachTheSameRegisterAcrossObjects) {
  {
    Reg a;
    ASSERT_EQ(a.Connect("LIBFPTR_PORT_TCPIP", "192.168.0.10"), 0);
    ASSERT_EQ(a.OpenShift(), 0);
    a.Set("LIBFPTR_PARAM_SUM", Reg::Money(300));
    ASSERT_EQ(a.Call("cashIncome"), 0);
    ASSERT_EQ(a.Call("Close"), 0);
  }
  EXPECT_TRUE(std::filesystem::exists(File("tcp-192.168.0.10-5555")));
  // A later object, as after a restart: the registry has let go of the register, so the state
  // comes from the file.
  Reg b;
  ASSERT_EQ(b.Connect("LIBFPTR_PORT_TCPIP", "192.168.0.10"), 0);
  EXPECT_EQ(b.ShiftState(), 1);
  EXPECT_DOUBLE_EQ(b.Cash(), 300);
  // Other settings are another register.
  Reg c;
  ASSERT_EQ(c.Connect("LIBFPTR_PORT_COM", "COM3"), 0);
  EXPECT_EQ(c.ShiftState(), 0);
  EXPECT_DOUBLE_EQ(c.Cash(), 0);
  EXPECT_TRUE(std::filesystem::exists(File("com-com3")));
  // Two live objects on one register see each other's work at once.
  Reg d;
  ASSERT_EQ(d.Connect("LIBFPTR_PORT_TCPIP", "192.168.0.10"), 0);
  d.Set("LIBFPTR_PARAM_SUM", Reg::Money(100));
  ASSERT_EQ(d.Call("cashOutcome"), 0);
  EXPECT_DOUBLE_EQ(b.Cash(), 200);
}

TEST_F(VregTest, StateRoundTripsThroughItsTextForm) {
  Reg r;
  ASSERT_EQ(r.Connect(), 0);
  ASSERT_EQ(r.OpenShift(), 0);
  ASSERT_EQ(r.OpenReceipt(), 0);
  ASSERT_EQ(r.Item("Товар", 10, 1.5, 15), 0);
  ASSERT_EQ(r.Pay("LIBFPTR_PT_CASH", 20), 0);
  ASSERT_EQ(r.Call("closeReceipt"), 0);
  automation::Bytes pixels(16, 1);
  r.Set("LIBFPTR_PARAM_PIXEL_BUFFER", Value(pixels));
  r.Set("LIBFPTR_PARAM_WIDTH", Value(std::int32_t{8}));
  ASSERT_EQ(r.Call("printPixelBuffer"), 0);
  ASSERT_EQ(r.OpenReceipt(), 0);  // an open receipt is kept too
  ASSERT_EQ(r.Item("Второй", 5, 1, 5), 0);
  const DeviceState before = r.obj->device()->Snapshot();
  const DeviceState after = StateFromJsonText(StateToJsonText(before), 0);
  EXPECT_TRUE(after == before);
}

TEST_F(VregTest, ConfigSectionPreparesANewRegister) {
  Config config;
  config.configurationVersion = "3.0.8";
  config.deviceFfdVersion = 105;
  config.lineLength = 32;
  config.registerOnCreate = false;
  WriteRegisterConfig(File("usb"), config);
  Reg r;
  ASSERT_EQ(r.Connect(), 0);
  r.SetK("LIBFPTR_PARAM_UNIT_TYPE", "LIBFPTR_UT_CONFIGURATION");
  ASSERT_EQ(r.Query("LIBFPTR_DT_UNIT_VERSION"), 0);
  EXPECT_EQ(r.Text("LIBFPTR_PARAM_UNIT_VERSION"), "3.0.8");
  ASSERT_EQ(r.Query("LIBFPTR_DT_RECEIPT_LINE_LENGTH"), 0);
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_RECEIPT_LINE_LENGTH"), 32);
  EXPECT_EQ(r.OpenShift(), errc::kNotFiscal);
  // Registration through the storage operation makes it fiscal.
  r.SetK("LIBFPTR_PARAM_FN_OPERATION_TYPE", "LIBFPTR_FNOP_REGISTRATION");
  r.Tag(1018, Value("7701234567"));
  r.Tag(1037, Value("0000000002012345"));
  r.Tag(1048, Value("ИП Образцов"));
  r.Tag(1062, Value(std::int32_t{2}));
  r.Tag(1209, Value(r.K("LIBFPTR_FFD_1_1")));
  EXPECT_EQ(r.Call("fnOperation"), errc::kBadParam);  // the register supports 1.05 only
  r.SetK("LIBFPTR_PARAM_FN_OPERATION_TYPE", "LIBFPTR_FNOP_REGISTRATION");
  r.Tag(1018, Value("7701234567"));
  r.Tag(1037, Value("0000000002012345"));
  r.Tag(1062, Value(std::int32_t{2}));
  r.Tag(1209, Value(std::int32_t{105}));
  ASSERT_EQ(r.Call("fnOperation"), 0);
  EXPECT_EQ(r.OpenShift(), 0);
}

TEST_F(VregTest, DamagedStateFileFailsOpenWithAClearError) {
  struct Case {
    const char* what;
    std::string text;
  };
  const Case cases[] = {
      {"not JSON", "{\"format\": 1, \"state\": "},
      {"wrong type", R"({"format": 1, "state": {"shiftNumber": "three"}})"},
      {"out of range", R"({"format": 1, "state": {"shiftNumber": -5}})"},
      {"bad tag",
       R"({"format": 1, "state": {"documents": [{"number": 1, "tags": [{"n": 0, "t": 1}]}]}})"},
      {"hostile nesting", std::string(100000, '[') + std::string(100000, ']')},
      {"bad config", R"({"format": 1, "config": {"markingService": "sometimes"}})"},
      {"unknown format", R"({"format": 99})"},
  };
  // A damaged state file of the older form is met when the register imports it.
  for (const auto& c : cases) {
    WriteText(dir_ / "usb.json", c.text);
    Reg r;
    EXPECT_EQ(r.Connect(), errc::kStateFile) << c.what;
    EXPECT_NE(r.ErrorText().find("damaged"), std::string::npos) << c.what << ": " << r.ErrorText();
    EXPECT_EQ(r.Query("LIBFPTR_DT_STATUS"), errc::kNotConnected) << c.what;
  }
}

TEST_F(VregTest, HostileAddressesStayInsideTheStateFolder) {
  Reg r;
  ASSERT_EQ(r.Connect("LIBFPTR_PORT_TCPIP", "../../etc/passwd"), 0);
  EXPECT_EQ(r.obj->device()->file().parent_path(), dir_);
  EXPECT_EQ(r.obj->device()->file().filename().string(), "tcp-.._.._etc_passwd-5555.db");
}

}  // namespace
}  // namespace vantorel::emulator::testing
