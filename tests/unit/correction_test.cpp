// Correction receipts: the older receipt of formats 1.0/1.05 (a total and tax sums, no positions)
// and the full receipt of formats 1.1/1.2.
#include "check_flow.h"
#include "platform/platform.h"
#include "support/datetime.h"

namespace vantorel::testing {
namespace {

class Correction : public ReceiptFlow {
 protected:
  // A register speaking format `ffd` (100, 105, 110, 120) with an open shift.
  void OpenShiftOnFormat(int ffd, const std::string& extra = {}) {
    Connect();
    reg->device()->Edit([&](emulator::DeviceState& s) {
      s.config.deviceFfdVersion = ffd;
      s.config.fnFfdVersion = ffd;
      s.ffdVersion = ffd;
      for (auto& tag : s.registration.tags)
        if (tag.number == 1209) tag.integer = ffd;
    });
    OpenShift(extra);
  }
  std::int64_t DocTag(int number) {
    const auto last = Register()->LastDocument();
    if (!last) return -1;
    for (const auto& t : last->tags)
      if (t.number == number) return t.integer;
    return -1;
  }
  std::string Const(const char* name) { return Render(driver.Device().Const(name)); }
};

std::string Package(const std::string& operationType, const std::string& correctionData,
                    const std::string& positions, const std::string& payments) {
  return "<CheckPackage><Parameters OperationType=\"" + operationType +
         "\" CashierName=\"Кассир\" TaxationSystem=\"0\">" + correctionData +
         "</Parameters><Positions>" + positions + "</Positions><Payments " + payments +
         "/></CheckPackage>";
}

const char* const kTwoTaxes =
    R"(<FiscalString VATRate="20" VATAmount="10" Name="ignored"/><TextString Text="ignored"/>
       <fiscalstring VATRate="10" VATAmount="5,5"/>)";

TEST_F(Correction, OlderFormatSendsTotalAndTaxSums) {
  OpenShiftOnFormat(105);
  const Outcome o =
      CorrectionReceipt(Package("1", R"(<CorrectionData Type="1" Date="2024-03-05" Number="7"/>)",
                                kTwoTaxes, R"(Cash="100" Payment6="50")"));
  ASSERT_EQ(o.code, 0) << o.message;
  const auto steps = Steps();
  const std::vector<std::string> expected = {
      "queryData",
      "queryData",
      "1021=Кассир",
      "operatorLogin",
      "1178=date:" + std::to_string(datetime::ToOleDate({2024, 3, 5, 0, 0, 0})),
      "1179=7",
      "utilFormTlv",
      "1173=1"};
  ASSERT_GT(steps.size(), expected.size() + 8);
  EXPECT_EQ(std::vector<std::string>(steps.begin(),
                                     steps.begin() + static_cast<std::ptrdiff_t>(expected.size())),
            expected);
  const std::vector<std::string> rest(steps.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                                      steps.end());
  EXPECT_EQ(rest[0].rfind("1174=bytes[", 0), 0u) << rest[0];
  // The storage's last document number is noted just before the receipt closes.
  const std::vector<std::string> tail = {"1055=" + Const("LIBFPTR_TT_OSN"),
                                         "openReceipt",
                                         "receiptTotal",
                                         "receiptTax",
                                         "receiptTax",
                                         "payment",
                                         "payment",
                                         "fnQueryData",
                                         "closeReceipt"};
  EXPECT_EQ(std::vector<std::string>(rest.begin() + 1, rest.begin() + 10), tail);

  EXPECT_EQ(Staged("LIBFPTR_PARAM_RECEIPT_TYPE"),
            driver.Device().Const("LIBFPTR_RT_SELL_CORRECTION"));
  EXPECT_EQ(Staged("LIBFPTR_PARAM_SUM"), automation::Value(automation::Currency{1500000}))
      << "a correction gives no change: every payment is in the total";
  EXPECT_EQ(Staged("LIBFPTR_PARAM_RECEIPT_ELECTRONICALLY"), automation::Value(false));
  EXPECT_EQ(Register()->LastDocument()->type, 31);
  EXPECT_EQ(DocTag(1020), 15000);
  EXPECT_EQ(DocTag(1031), 10000) << "all the cash stays in the drawer";
  EXPECT_EQ(DocTag(1102), 1000) << "VAT 20 %";
  EXPECT_EQ(DocTag(1103), 550) << "VAT 10 %";
  EXPECT_EQ(DocTag(1081), 5000) << "payment 6 registered at closing";
  const auto out = Xml(o.output);
  EXPECT_EQ(
      out.child("DocumentOutputParameters").child("Parameters").attribute("CheckNumber").as_llong(),
      Register()->LastDocument()->number);
}

TEST_F(Correction, OlderFormatWithoutCorrectionData) {
  OpenShiftOnFormat(100, "<Parameter Name=\"EnablePrinting\" Value=\"2\"/>");
  const Outcome o = CorrectionReceipt(
      Package("3", "", R"(<FiscalString VATRate="none"/>)", R"(ElectronicPayment="10")"), false);
  ASSERT_EQ(o.code, 0) << o.message;
  const platform::LocalTime now = platform::Now();
  const auto steps = Steps();
  EXPECT_TRUE(Has(steps, "1178=date:" + std::to_string(datetime::ToOleDate(
                                            {now.year, now.month, now.day, 0, 0, 0}))));
  EXPECT_TRUE(Has(steps, "1179=")) << "the number is staged even when empty";
  EXPECT_TRUE(Has(steps, "1173=0"));
  EXPECT_EQ(Staged("LIBFPTR_PARAM_RECEIPT_TYPE"),
            driver.Device().Const("LIBFPTR_RT_BUY_CORRECTION"));
  EXPECT_EQ(Staged("LIBFPTR_PARAM_RECEIPT_ELECTRONICALLY"), automation::Value(true))
      << "EnablePrinting 2 makes it electronic";
  EXPECT_EQ(Staged("LIBFPTR_PARAM_TAX_TYPE"), driver.Device().Const("LIBFPTR_TAX_NO"));
}

TEST_F(Correction, OlderFormatRefusals) {
  OpenShiftOnFormat(105);
  const struct {
    std::string package;
    int code;
    bool opened;  // the failure comes after the receipt was opened
  } cases[] = {
      {Package("2", "", kTwoTaxes, R"(Cash="1")"), 1004, false},
      {Package("4", "", kTwoTaxes, R"(Cash="1")"), 1004, false},
      {Package("1", R"(<CorrectionData Date="2024-02-30"/>)", kTwoTaxes, R"(Cash="1")"), 1004,
       false},
      {"<CheckPackage><Parameters OperationType=\"1\"/><Positions/></CheckPackage>", 1004, false},
      // Sums that are no number: refused before the receipt is opened.
      {Package("1", "", R"(<FiscalString VATRate="20" VATAmount="1,0,0"/>)", R"(Cash="1")"), 1004,
       false},
      {Package("1", "", kTwoTaxes, R"(Cash="1" Payment7="1 000")"), 1004, false},
      {Package("1", "", R"(<FiscalString VATRate="5" VATAmount="1"/>)", R"(Cash="1")"), 3010, true},
      {Package("1", "", R"(<FiscalString VATRate="20%" VATAmount="1"/>)", R"(Cash="1")"), 3010,
       true},
  };
  for (const auto& c : cases) {
    reg->ClearTrace();
    const Outcome o = CorrectionReceipt(c.package, true);
    EXPECT_EQ(o.code, c.code) << c.package << o.message;
    if (c.opened) {
      EXPECT_TRUE(Has(Steps(), "receiptTotal")) << c.package;
      EXPECT_NE(State().receipt.type, 0) << "left open for the next operation to cancel";
    } else {
      EXPECT_EQ(Calls(), std::vector<std::string>{"queryData"}) << c.package;
    }
  }
  // The next correction cancels what the last one left open.
  reg->ClearTrace();
  const Outcome next = CorrectionReceipt(Package("1", "", kTwoTaxes, R"(Cash="100")"));
  ASSERT_EQ(next.code, 0) << next.message;
  EXPECT_TRUE(Has(Steps(), "cancelReceipt"));

  CloseShift();
  reg->ClearTrace();
  EXPECT_EQ(CorrectionReceipt(Package("1", "", kTwoTaxes, R"(Cash="1")")).code, 3005);
  EXPECT_EQ(Calls(), std::vector<std::string>{"queryData"});
}

TEST_F(Correction, NewerFormatsTakeTheFullReceipt) {
  OpenShiftOnFormat(120);
  const Outcome o = CorrectionReceipt(Package(
      "2", R"(<CorrectionData Type="0" Date="2024-03-05" Number="1"/>)",
      R"(<FiscalString Name="A" Quantity="1" PriceWithDiscount="10" AmountWithDiscount="10" VATRate="5"/>)",
      R"(ElectronicPayment="10")"));
  const auto steps = Steps();
  EXPECT_TRUE(Has(steps, "utilFormTlv"));
  EXPECT_FALSE(Has(steps, "receiptTotal"));
  SKIP_IF_NOT_YET(o);
  ASSERT_EQ(o.code, 0) << o.message << " (5 % is accepted here)";
  EXPECT_EQ(Staged("LIBFPTR_PARAM_RECEIPT_TYPE"),
            driver.Device().Const("LIBFPTR_RT_SELL_RETURN_CORRECTION"));
  EXPECT_LT(IndexOf(steps, "1173=0"), IndexOf(steps, "openReceipt"));
  EXPECT_EQ(Register()->LastDocument()->type, 31);
}

}  // namespace
}  // namespace vantorel::testing
