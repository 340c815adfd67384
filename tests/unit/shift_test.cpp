// Shifts, cash documents, reports and the status documents, against the virtual register.
#include <algorithm>

#include "driver_fixture.h"
#include "register_sale.h"
#include "support/equipment_errors.h"
#include "vregister/fiscal_data.h"

namespace vantorel::testing {
namespace {

class Shifts : public DriverOnVirtualRegister {
 protected:
  static std::string Input(const std::string& attributes) {
    return "<InputParameters><Parameters " + attributes + "/></InputParameters>";
  }
  static pugi::xml_node Params(const pugi::xml_document& out) {
    return out.child("OutputParameters").child("Parameters");
  }
  static std::string Attr(const pugi::xml_document& out, const char* name) {
    return Params(out).attribute(name).value();
  }
  static std::vector<std::string> AttrNames(pugi::xml_node n) {
    std::vector<std::string> names;
    for (auto a : n.attributes()) names.push_back(a.name());
    return names;
  }
  static std::vector<std::string> ChildNames(pugi::xml_node n) {
    std::vector<std::string> names;
    for (auto c : n.children()) names.push_back(c.name());
    return names;
  }
  pugi::xml_document OpenShift(const std::string& attributes = "CashierName=\"Иванов И.И.\"") {
    pugi::xml_document out;
    driver.OpenShift(Xml(Input(attributes)), out);
    return out;
  }
  pugi::xml_document CloseShift(const std::string& attributes = "CashierName=\"Иванов И.И.\"") {
    pugi::xml_document out;
    driver.CloseShift(Xml(Input(attributes)), out);
    return out;
  }
  pugi::xml_document Status(bool counters) {
    pugi::xml_document out;
    driver.GetCurrentStatus(Xml(Input(counters ? "GetCounters=\"TRUE\"" : "")), out);
    return out;
  }
  // The code of the equipment error `body` raises; 0 when it raises none.
  template <typename Body>
  static int ErrorCode(Body&& body) {
    try {
      body();
    } catch (const EquException& e) {
      return e.Code();
    }
    return 0;
  }
  bool Called(const std::string& name) const {
    const auto calls = Calls();
    return std::find(calls.begin(), calls.end(), name) != calls.end();
  }
};

TEST_F(Shifts, DayFromOpeningToZReport) {
  Connect();
  auto opened = OpenShift("CashierName=\"Иванов И.И.\" CashierINN=\"500100732259\"");
  EXPECT_EQ(AttrNames(Params(opened)),
            (std::vector<std::string>{"FNError", "FNFail", "FNOverflow", "ShiftNumber", "DateTime",
                                      "ShiftState"}));
  EXPECT_EQ(Attr(opened, "ShiftNumber"), "1");
  EXPECT_EQ(Attr(opened, "ShiftState"), "2");
  EXPECT_EQ(Attr(opened, "FNError"), "false");
  EXPECT_EQ(Attr(opened, "DateTime").size(), 19u);
  EXPECT_EQ(Register()->Snapshot().cashierInn, "500100732259");

  driver.CashInOutcome(Xml("<x/>"), 10000000);  // 1000
  driver.CashInOutcome(Xml("<x/>"), -1502500);  // 150.25
  ASSERT_NO_FATAL_FAILURE(
      MakeReceipt(*reg, "LIBFPTR_RT_SELL", {{"Хлеб", 45.5, 2}}, {{"LIBFPTR_PT_CASH", 100}}));
  ASSERT_NO_FATAL_FAILURE(MakeReceipt(*reg, "LIBFPTR_RT_SELL_RETURN", {{"Хлеб", 45.5, 1}},
                                      {{"LIBFPTR_PT_ELECTRONICALLY", 45.5}}));
  reg->ClearTrace();
  driver.PrintXReport(Xml("<x/>"));
  EXPECT_TRUE(Called("report"));
  EXPECT_NE(Register()->RenderTape().find("ОТЧЕТ БЕЗ ГАШЕНИЯ"), std::string::npos);

  auto closed = CloseShift();
  const auto p = Params(closed);
  EXPECT_EQ(AttrNames(p), (std::vector<std::string>{
                              "FNError", "FNFail", "FNOverflow", "CashBalance", "ShiftNumber",
                              "DateTime", "ShiftState", "BacklogDocumentsCounter",
                              "BacklogDocumentFirstNumber", "BacklogDocumentFirstDateTime"}));
  EXPECT_EQ(Attr(closed, "CashBalance"), "940.75");  // 1000 - 150.25 + 91
  EXPECT_EQ(Attr(closed, "ShiftNumber"), "1");
  EXPECT_EQ(Attr(closed, "ShiftState"), "1");
  EXPECT_EQ(Attr(closed, "BacklogDocumentsCounter"), "0");
  EXPECT_EQ(ChildNames(p),
            (std::vector<std::string>{"CountersOperationType1", "CountersOperationType2",
                                      "CountersOperationType3", "CountersOperationType4"}));
  const auto sells = p.child("CountersOperationType1");
  EXPECT_EQ(AttrNames(sells),
            (std::vector<std::string>{"CheckCount", "TotalChecksAmount", "CorrectionCheckCount",
                                      "TotalCorrectionChecksAmount"}));
  EXPECT_STREQ(sells.attribute("CheckCount").value(), "1");
  EXPECT_STREQ(sells.attribute("TotalChecksAmount").value(), "91");
  EXPECT_STREQ(p.child("CountersOperationType2").attribute("TotalChecksAmount").value(), "45.5");
  EXPECT_STREQ(p.child("CountersOperationType3").attribute("CheckCount").value(), "0");
  // The Z report's document is the last one in the storage.
  EXPECT_EQ(Register()->LastDocument()->type, 5);
  EXPECT_FALSE(Register()->Snapshot().shiftOpen);
}

TEST_F(Shifts, ShiftStateErrorsTouchNothing) {
  Connect();
  try {
    CloseShift();
    FAIL();
  } catch (const EquException& e) {
    EXPECT_EQ(e.Code(), errors::kShiftClosed);
    EXPECT_STREQ(e.what(), "Смена закрыта");
  }
  OpenShift();
  const auto documents = Register()->DocumentCount();
  reg->ClearTrace();
  EXPECT_EQ(ErrorCode([&] { OpenShift(); }), errors::kShiftOpen);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"queryData", "queryData"}))
      << "the receipt check and the shift check only";
  EXPECT_EQ(Register()->DocumentCount(), documents);

  // Over 24 hours: opening says so, closing closes it.
  Register()->AdvanceClock(25 * 3600);
  EXPECT_EQ(ErrorCode([&] { OpenShift(); }), errors::kShiftOver24Hours);
  pugi::xml_document status = Status(false);
  EXPECT_EQ(Attr(status, "ShiftState"), "3");
  EXPECT_EQ(Attr(CloseShift(), "ShiftState"), "1");
}

TEST_F(Shifts, AnOpenReceiptIsCancelledFirst) {
  Connect();
  OpenShift();
  reg->call("setParam", automation::Value(emulator::C("LIBFPTR_PARAM_RECEIPT_TYPE")),
            automation::Value(emulator::C("LIBFPTR_RT_SELL")));
  ASSERT_EQ(reg->call("openReceipt").asInt(), 0);
  driver.CashInOutcome(Xml("<x/>"), 5000000);
  EXPECT_EQ(Register()->Snapshot().receipt.type, 0);
  EXPECT_EQ(Register()->Snapshot().cash, 50000) << "500.00 in kopecks";
}

TEST_F(Shifts, PrintRequiredDecidesForTheFollowingReports) {
  Connect();
  OpenShift("PrintRequired=\"false\"");
  Register()->ClearTape();
  reg->ClearTrace();
  driver.PrintXReport(Xml("<x/>"));
  EXPECT_FALSE(Called("report")) << "an electronic X report is not made at all";
  driver.CashInOutcome(Xml("<x/>"), 1000000);
  EXPECT_EQ(Register()->Snapshot().cash, 10000);
  pugi::xml_document settlements;
  driver.ReportCurrentStatusOfSettlements(Xml("<x/>"), settlements);
  EXPECT_EQ(Register()->RenderTape().find("ВНЕСЕНИЕ"), std::string::npos);
  EXPECT_EQ(Register()->RenderTape().find("ОТЧЕТ О ТЕКУЩЕМ"), std::string::npos);

  // No PrintRequired: the device setting decides again (reports printed here).
  CloseShift("PrintRequired=\"maybe\"");
  EXPECT_EQ(driver.Instance().PrintRequired, -1);
  EXPECT_NE(Register()->RenderTape().find("ОТЧЕТ О ЗАКРЫТИИ СМЕНЫ"), std::string::npos);
  OpenShift("PrintRequired=\"TRUE\"");
  EXPECT_FALSE(driver.Device().PrintReportElectronically);

  // A device set not to print reports: without PrintRequired they are electronic.
  Connect("<Parameter Name=\"EnableReportPrinting\" Value=\"2\"/>");
  EXPECT_TRUE(driver.Device().PrintReportElectronically);
  Register()->ClearTape();
  CloseShift("");
  EXPECT_EQ(Register()->RenderTape().find("ОТЧЕТ О ЗАКРЫТИИ СМЕНЫ"), std::string::npos);
}

TEST_F(Shifts, CurrentStatusFieldsFollowThePlatform) {
  Connect();
  OpenShift();
  ASSERT_NO_FATAL_FAILURE(
      MakeReceipt(*reg, "LIBFPTR_RT_SELL", {{"Чай", 120, 1}},
                  {{"LIBFPTR_PT_ELECTRONICALLY", 20}, {"LIBFPTR_PT_CASH", 100}}));
  driver.CashInOutcome(Xml("<x/>"), 2500000);
  Configure([](emulator::Config& c) { c.paperNearEnd = true; });
  driver.OpenCashDrawer();

  const std::vector<std::string> plain{"CashBalance",
                                       "ShiftNumber",
                                       "CheckNumber",
                                       "ShiftClosingCheckNumber",
                                       "ShiftState",
                                       "BacklogDocumentsCounter",
                                       "BacklogDocumentFirstNumber",
                                       "BacklogDocumentFirstDateTime"};
  std::vector<std::string> pv5 = plain;
  for (const char* n : {"RecState", "DrawerState", "CoverOpen"}) pv5.push_back(n);

  auto without = Status(false);
  EXPECT_EQ(AttrNames(Params(without)), pv5);
  EXPECT_TRUE(ChildNames(Params(without)).empty());
  EXPECT_EQ(Attr(without, "CashBalance"), "350");
  EXPECT_EQ(Attr(without, "ShiftClosingCheckNumber"), "1");
  EXPECT_EQ(Attr(without, "CheckNumber"), std::to_string(Register()->LastDocument()->number));
  EXPECT_EQ(Attr(without, "RecState"), "1");
  EXPECT_EQ(Attr(without, "DrawerState"), "1");
  EXPECT_EQ(Attr(without, "CoverOpen"), "0");

  auto with = Status(true);
  EXPECT_EQ(AttrNames(Params(with)), pv5);
  EXPECT_EQ(ChildNames(Params(with)),
            (std::vector<std::string>{"CountersOperationType1", "CountersOperationType2",
                                      "CountersOperationType3", "CountersOperationType4", "CashIn",
                                      "CashOut"}));
  EXPECT_STREQ(Params(with).child("CashIn").attribute("Count").value(), "1");
  EXPECT_STREQ(Params(with).child("CashIn").attribute("TotalAmount").value(), "250");
  EXPECT_STREQ(Params(with).child("CashOut").attribute("Count").value(), "0");
  const auto payments = with.child("OutputParameters").child("Payments");
  EXPECT_EQ(ChildNames(payments),
            (std::vector<std::string>{"Cash", "NonCash", "Prepaid", "Credit", "Barter"}));
  EXPECT_STREQ(payments.child("Cash").attribute("Sell").value(), "100");
  EXPECT_STREQ(payments.child("NonCash").attribute("Sell").value(), "20");
  EXPECT_STREQ(payments.child("NonCash").attribute("SellReturn").value(), "0");

  // Paper out, no warning: 2; paper present: 0.
  Configure([](emulator::Config& c) {
    c.paperNearEnd = false;
    c.paperPresent = false;
  });
  EXPECT_EQ(Attr(Status(false), "RecState"), "2");

  // The older platform: the same fields with or without counters, none of the platform-5 ones.
  reg->device()->Edit([](emulator::DeviceState& s) { s.config.configurationVersion = "3.0.8"; });
  Connect();
  ASSERT_EQ(driver.Instance().PlatformVer, TPlatformVersion::pvOld);
  auto old = Status(true);
  EXPECT_EQ(AttrNames(Params(old)), plain);
  EXPECT_TRUE(ChildNames(Params(old)).empty());
  EXPECT_FALSE(old.child("OutputParameters").child("Payments"));
}

TEST_F(Shifts, SettlementsReportShowsTheBacklog) {
  Connect();
  Configure([](emulator::Config& c) { c.ofdConfirmsAtOnce = false; });
  OpenShift();
  ASSERT_NO_FATAL_FAILURE(
      MakeReceipt(*reg, "LIBFPTR_RT_SELL", {{"Соль", 30, 1}}, {{"LIBFPTR_PT_CASH", 30}}));
  const auto opening = *Register()->Document(Register()->LastDocument()->number - 1);
  pugi::xml_document out;
  driver.ReportCurrentStatusOfSettlements(Xml("<x/>"), out);
  EXPECT_EQ(
      AttrNames(Params(out)),
      (std::vector<std::string>{"CashBalance", "ShiftState", "BacklogDocumentsCounter",
                                "BacklogDocumentFirstNumber", "BacklogDocumentFirstDateTime"}));
  EXPECT_EQ(Attr(out, "BacklogDocumentsCounter"), "3") << "opening, receipt and the report itself";
  EXPECT_EQ(Attr(out, "BacklogDocumentFirstNumber"), std::to_string(opening.number));
  std::string when = emulator::FormatWall(opening.wallTime);
  when[10] = 'T';
  EXPECT_EQ(Attr(out, "BacklogDocumentFirstDateTime"), when);
  EXPECT_EQ(Register()->LastDocument()->type, 21);
}

TEST_F(Shifts, DeviceFailuresReportTheRegistersText) {
  Connect();
  Configure([](emulator::Config& c) { c.coverOpen = true; });
  try {
    OpenShift();
    FAIL();
  } catch (const EquException&) {
    FAIL() << "a register failure is not an equipment error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[45] - Открыта крышка ");
  }
  EXPECT_FALSE(Register()->Snapshot().shiftOpen);
  Configure([](emulator::Config& c) { c.coverOpen = false; });
  OpenShift();
  try {
    driver.CashInOutcome(Xml("<x/>"), -10000);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[84] - Не хватает наличности в денежном ящике ");
  }
}

}  // namespace
}  // namespace vantorel::testing
