#include "vreg_fixture.h"

namespace vantorel::emulator::testing {
namespace {

TEST_F(VregTest, OperationsNeedAnOpenConnection) {
  Reg r;
  EXPECT_EQ(r.Query("LIBFPTR_DT_STATUS"), errc::kNotConnected);
  EXPECT_EQ(r.ErrorCode(), errc::kNotConnected);
  EXPECT_EQ(r.ErrorText(), "Соединение не установлено");
  // errorCode answers the same as a property and as a call without arguments.
  EXPECT_EQ(r.obj->call("errorCode").asInt(), errc::kNotConnected);
  EXPECT_EQ(r.obj->get("Version").asText(), "10.10.6.0");
  EXPECT_EQ(r.obj->call("version").asText(), "10.10.6.0");

  ASSERT_EQ(r.Connect(), 0);
  EXPECT_EQ(r.ErrorCode(), 0);
  EXPECT_EQ(r.Query("LIBFPTR_DT_STATUS"), 0);
  EXPECT_EQ(r.Text("LIBFPTR_PARAM_MODEL_NAME"), "ВР-10 виртуальная ККТ");
  EXPECT_EQ(r.Call("Close"), 0);
  EXPECT_EQ(r.Query("LIBFPTR_DT_STATUS"), errc::kNotConnected);
}

TEST_F(VregTest, LibraryVersionComesFromTheLibraryFile) {
  WriteLibraryVersion("10.10.4.99");
  Reg r;
  EXPECT_EQ(r.obj->get("Version").asText(), "10.10.4.99");
}

TEST_F(VregTest, NamesAndArgumentsAreChecked) {
  Reg r;
  // Names are matched without regard to letter case; unknown names and wrong argument counts are
  // automation errors, as late binding reports them.
  EXPECT_EQ(r.obj->get("libfptr_param_text").asInt(), C("LIBFPTR_PARAM_TEXT"));
  EXPECT_THROW(r.obj->get("LIBFPTR_NO_SUCH_NAME"), automation::AutomationError);
  EXPECT_THROW(r.obj->call("noSuchMethod"), automation::AutomationError);
  EXPECT_THROW(r.obj->call("setParam", Value(std::int32_t{1})), automation::AutomationError);
  EXPECT_THROW(r.obj->call("openReceipt", Value(std::int32_t{1})), automation::AutomationError);
  EXPECT_THROW(r.obj->call("setParam", Value("not a number"), Value(1)),
               automation::AutomationError);
  // The trace shows what was asked, failures included.
  const auto trace = r.obj->Trace();
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back().name, "setParam");
  EXPECT_FALSE(trace.back().exception.empty());
}

TEST_F(VregTest, EveryNameTheDriverReadsHasAValueDistinctInItsFamily) {
  // Families whose members the driver compares or passes back must not collide.
  const char* families[] = {"LIBFPTR_PARAM_", "LIBFPTR_SETTING_", "LIBFPTR_DT_", "LIBFPTR_FNDT_",
                            "LIBFPTR_TAX_",   "LIBFPTR_PT_",      "LIBFPTR_BT_", "LIBFPTR_MCT12_",
                            "LIBFPTR_FNOP_",  "LIBFPTR_AT_"};
  for (const char* family : families) {
    std::map<std::int32_t, std::string_view> seen;
    for (const auto& c : AllConstants()) {
      if (c.name.rfind(family, 0) != 0) continue;
      auto [it, fresh] = seen.emplace(c.value, c.name);
      EXPECT_TRUE(fresh) << c.name << " and " << it->second;
    }
  }
  // Parameter ids stay clear of fiscal tag numbers, which share setParam's id space.
  for (const auto& c : AllConstants()) {
    if (c.name.rfind("LIBFPTR_PARAM_", 0) == 0) {
      EXPECT_GT(c.value, 65535) << c.name;
    }
  }
}

struct BadSettingsCase {
  const char* port;
  std::string address;
};

TEST_F(VregTest, SettingsThatNameNoRegisterAreRefused) {
  for (const auto& c :
       {BadSettingsCase{"LIBFPTR_PORT_COM", ""}, BadSettingsCase{"LIBFPTR_PORT_TCPIP", ""},
        BadSettingsCase{"LIBFPTR_PORT_BLUETOOTH", "not a mac"}}) {
    Reg r;
    EXPECT_EQ(r.Connect(c.port, c.address), errc::kBadSettings) << c.port;
    EXPECT_EQ(r.Query("LIBFPTR_DT_STATUS"), errc::kNotConnected);
  }
}

TEST_F(VregTest, StagedInputsAreConsumedByTheNextOperationEvenWhenItFails) {
  Reg r;
  ASSERT_EQ(r.Connect(), 0);
  r.SetK("LIBFPTR_PARAM_RECEIPT_TYPE", "LIBFPTR_RT_SELL");
  EXPECT_EQ(r.Call("openReceipt"), errc::kShiftClosed);  // the shift is closed
  ASSERT_EQ(r.OpenShift(), 0);
  // The receipt type staged before the failure is gone.
  EXPECT_EQ(r.Call("openReceipt"), errc::kMissingParam);
  // Outputs stay readable until the next operation, then go.
  ASSERT_EQ(r.Query("LIBFPTR_DT_RECEIPT_LINE_LENGTH"), 0);
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_RECEIPT_LINE_LENGTH"), 48);
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_RECEIPT_LINE_LENGTH"), 48);
  ASSERT_EQ(r.Query("LIBFPTR_DT_CASH_SUM"), 0);
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_RECEIPT_LINE_LENGTH"), 0);
  EXPECT_EQ(r.obj->MissedOutputs(), std::vector<int>{C("LIBFPTR_PARAM_RECEIPT_LINE_LENGTH")});
}

TEST_F(VregTest, InjectedFaultFailsTheNthCallOnly) {
  Reg r;
  ASSERT_EQ(r.Connect(), 0);
  r.obj->device()->AddFault({"queryData", 1, 1, 777, "Сбой для проверки"});
  EXPECT_EQ(r.Query("LIBFPTR_DT_CASH_SUM"), 0);
  EXPECT_EQ(r.Query("LIBFPTR_DT_CASH_SUM"), 777);
  EXPECT_EQ(r.ErrorText(), "Сбой для проверки");
  EXPECT_EQ(r.Query("LIBFPTR_DT_CASH_SUM"), 0);
  EXPECT_TRUE(r.obj->device()->config().faults.empty());
}

// A late error: the operation is carried out and the planned error reported afterwards. A lost
// answer: carried out, the call fails as a broken link does, and so do the next calls of any
// operation. Both survive the configuration's round trip through its file.
TEST_F(VregTest, InjectedFaultsMayComeAfterTheOperationAndLoseTheLink) {
  Reg r;
  ASSERT_EQ(r.Connect(), 0);
  r.obj->device()->AddFault({"openShift", 0, 1, 44, "Нет бумаги", true, 0});
  EXPECT_EQ(r.OpenShift(), 44);
  EXPECT_EQ(r.ErrorText(), "Нет бумаги");
  EXPECT_TRUE(r.obj->device()->Snapshot().shiftOpen) << "the shift was opened all the same";

  r.obj->device()->AddFault({"queryData", 0, 1, 999, "", true, 2});
  EXPECT_EQ(r.Query("LIBFPTR_DT_CASH_SUM"), errc::kNotConnected);
  EXPECT_EQ(r.Query("LIBFPTR_DT_SHIFT_STATE"), errc::kNotConnected) << "the link stays down";
  EXPECT_EQ(r.Call("checkDocumentClosed"), errc::kNotConnected);
  EXPECT_EQ(r.Query("LIBFPTR_DT_SHIFT_STATE"), 0);
  EXPECT_TRUE(r.obj->device()->config().faults.empty());

  Config c;
  c.faults = {{"closeReceipt", 2, 1, 44, "Нет бумаги", true, 0},
              {"payment", 0, 3, 999, "", true, 5}};
  EXPECT_EQ(ConfigFromJsonText(ConfigToJsonText(c)).faults, c.faults);
}

TEST_F(VregTest, HardwareConditionsStopPrinting) {
  Reg r;
  ASSERT_EQ(r.Connect(), 0);
  ASSERT_EQ(r.OpenShift(), 0);
  auto config = r.obj->device()->config();
  config.paperPresent = false;
  r.obj->device()->SetConfig(config);
  r.Set("LIBFPTR_PARAM_TEXT", Value("строка"));
  EXPECT_EQ(r.Call("printText"), errc::kNoPaper);
  EXPECT_EQ(r.OpenReceipt(), errc::kNoPaper);
  // An electronic receipt needs no paper.
  EXPECT_EQ(r.OpenReceipt("LIBFPTR_RT_SELL", true), 0);
  ASSERT_EQ(r.Query("LIBFPTR_DT_SHORT_STATUS"), 0);
  EXPECT_FALSE(r.Bool("LIBFPTR_PARAM_RECEIPT_PAPER_PRESENT"));
  config.paperPresent = true;
  config.coverOpen = true;
  r.obj->device()->SetConfig(config);
  EXPECT_EQ(r.Call("cancelReceipt"), 0);
  r.Set("LIBFPTR_PARAM_TEXT", Value("строка"));
  EXPECT_EQ(r.Call("printText"), errc::kCoverOpen);
}

TEST_F(VregTest, TwoThreadsMayShareOneObject) {
  Reg r;
  ASSERT_EQ(r.Connect(), 0);
  std::atomic<bool> stop{false};
  std::thread poller([&] {
    const Value ready(C("LIBFPTR_PARAM_MARKING_CODE_VALIDATION_READY"));
    while (!stop) {
      r.obj->call("getMarkingCodeValidationStatus");
      r.obj->call("getParamBool", ready);
    }
  });
  for (int i = 0; i < 300; ++i) {
    r.Query("LIBFPTR_DT_STATUS");
    r.obj->call("getParamString", Value(C("LIBFPTR_PARAM_SERIAL_NUMBER")));
  }
  stop = true;
  poller.join();
  EXPECT_GT(r.obj->Trace().size(), 600u);
}

}  // namespace
}  // namespace vantorel::emulator::testing
