#include <chrono>

#include "vreg_fixture.h"

namespace vantorel::emulator::testing {
namespace {

class ReceiptTest : public VregTest {
 protected:
  void SetUp() override {
    VregTest::SetUp();
    ASSERT_EQ(r.Connect(), 0);
    ASSERT_EQ(r.OpenShift(), 0);
  }
  Reg r;
};

TEST_F(ReceiptTest, SaleWithChangeUpdatesCashCountersAndStorage) {
  ASSERT_EQ(r.OpenReceipt(), 0);
  ASSERT_EQ(r.Item("Молоко", 80.5, 2, 161), 0);
  ASSERT_EQ(r.Item("Хлеб", 45, 1, 45, "LIBFPTR_TAX_VAT10"), 0);
  ASSERT_EQ(r.Pay("LIBFPTR_PT_ELECTRONICALLY", 100), 0);
  ASSERT_EQ(r.Pay("LIBFPTR_PT_CASH", 200), 0);
  EXPECT_DOUBLE_EQ(r.Real("LIBFPTR_PARAM_CHANGE"), 94);
  ASSERT_EQ(r.Call("closeReceipt"), 0);

  EXPECT_DOUBLE_EQ(r.Cash(), 106);  // 200 paid in cash, 94 given back
  r.SetK("LIBFPTR_PARAM_RECEIPT_TYPE", "LIBFPTR_RT_SELL");
  r.SetK("LIBFPTR_PARAM_FN_COUNTERS_TYPE", "LIBFPTR_FNCT_SHIFT");
  ASSERT_EQ(r.FnQuery("LIBFPTR_FNDT_TOTALS"), 0);
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_RECEIPTS_COUNT"), 1);
  EXPECT_DOUBLE_EQ(r.Real("LIBFPTR_PARAM_RECEIPTS_SUM"), 206);
  r.SetK("LIBFPTR_PARAM_RECEIPT_TYPE", "LIBFPTR_RT_SELL");
  r.SetK("LIBFPTR_PARAM_PAYMENT_TYPE", "LIBFPTR_PT_CASH");
  ASSERT_EQ(r.Query("LIBFPTR_DT_PAYMENT_SUM"), 0);
  EXPECT_DOUBLE_EQ(r.Real("LIBFPTR_PARAM_SUM"), 106);

  ASSERT_EQ(r.FnQuery("LIBFPTR_FNDT_LAST_RECEIPT"), 0);
  EXPECT_DOUBLE_EQ(r.Real("LIBFPTR_PARAM_RECEIPT_SUM"), 206);
  const std::string sign = r.Text("LIBFPTR_PARAM_FISCAL_SIGN");
  EXPECT_EQ(sign.size(), 10u);
  ASSERT_EQ(r.FnQuery("LIBFPTR_FNDT_SHIFT"), 0);
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_RECEIPT_NUMBER"), 1);

  // The printed receipt.
  const std::string tape = r.obj->device()->RenderTape();
  EXPECT_NE(tape.find("Молоко"), std::string::npos);
  EXPECT_NE(tape.find("=206.00"), std::string::npos);
  EXPECT_NE(tape.find("СДАЧА"), std::string::npos);
  EXPECT_NE(tape.find(sign), std::string::npos);
  EXPECT_NE(tape.find("- cut -"), std::string::npos);
}

TEST_F(ReceiptTest, RegisterRefusesWhatARealRegisterRefuses) {
  // Position outside a receipt.
  EXPECT_EQ(r.Item("Молоко", 10, 1, 10), errc::kReceiptClosed);
  EXPECT_EQ(r.Pay("LIBFPTR_PT_CASH", 10), errc::kReceiptClosed);
  EXPECT_EQ(r.Call("closeReceipt"), errc::kReceiptClosed);

  struct Case {
    const char* what;
    double cash, electronic;
    int expected;
  };
  for (const auto& c : {Case{"payment short of the total", 50, 0, errc::kPaymentShort},
                        Case{"change from a card payment", 0, 150, errc::kNonCashOver},
                        Case{"nothing paid", 0, 0, errc::kPaymentShort}}) {
    ASSERT_EQ(r.OpenReceipt(), 0) << c.what;
    ASSERT_EQ(r.Item("Сыр", 100, 1, 100), 0) << c.what;
    if (c.electronic > 0) {
      ASSERT_EQ(r.Pay("LIBFPTR_PT_ELECTRONICALLY", c.electronic), 0);
    }
    if (c.cash > 0) {
      ASSERT_EQ(r.Pay("LIBFPTR_PT_CASH", c.cash), 0);
    }
    EXPECT_EQ(r.Call("closeReceipt"), c.expected) << c.what;
    EXPECT_EQ(r.Call("cancelReceipt"), 0) << c.what;
  }
  // A position sum above price times quantity, an unknown tax and a second receipt.
  ASSERT_EQ(r.OpenReceipt(), 0);
  EXPECT_EQ(r.Item("Сыр", 100, 1, 150), errc::kBadParam);
  r.Set("LIBFPTR_PARAM_COMMODITY_NAME", Value("Сыр"));
  r.Set("LIBFPTR_PARAM_PRICE", Reg::Money(1));
  r.Set("LIBFPTR_PARAM_QUANTITY", Value(1.0));
  r.SetK("LIBFPTR_PARAM_TAX_TYPE", "LIBFPTR_PT_CASH");  // a constant of the wrong family
  EXPECT_EQ(r.Call("registration"), errc::kBadParam);
  EXPECT_EQ(r.OpenReceipt(), errc::kDocumentOpen);
  EXPECT_EQ(r.Call("cancelReceipt"), 0);
  // Nothing of it reached the storage or the drawer.
  EXPECT_DOUBLE_EQ(r.Cash(), 0);
  ASSERT_EQ(r.FnQuery("LIBFPTR_FNDT_LAST_DOCUMENT"), 0);
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_DOCUMENT_NUMBER"), 2);  // registration and shift opening
}

TEST_F(ReceiptTest, CashInAndOutKeepTheDrawerBalance) {
  r.Set("LIBFPTR_PARAM_SUM", Reg::Money(1000));
  ASSERT_EQ(r.Call("cashIncome"), 0);
  r.Set("LIBFPTR_PARAM_SUM", Reg::Money(150.25));
  ASSERT_EQ(r.Call("cashOutcome"), 0);
  r.Set("LIBFPTR_PARAM_SUM", Reg::Money(5000));
  EXPECT_EQ(r.Call("cashOutcome"), errc::kCashShort);
  EXPECT_DOUBLE_EQ(r.Cash(), 849.75);
  // A sale return pays out of the drawer and cannot pay more than it holds.
  ASSERT_EQ(r.OpenReceipt("LIBFPTR_RT_SELL_RETURN"), 0);
  ASSERT_EQ(r.Item("Возврат", 900, 1, 900), 0);
  ASSERT_EQ(r.Pay("LIBFPTR_PT_CASH", 900), 0);
  EXPECT_EQ(r.Call("closeReceipt"), errc::kCashShort);
  ASSERT_EQ(r.Call("cancelReceipt"), 0);
  ASSERT_EQ(r.Query("LIBFPTR_DT_CASHOUT_COUNT"), 0);
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_DOCUMENTS_COUNT"), 1);
  ASSERT_EQ(r.Query("LIBFPTR_DT_CASHIN_SUM"), 0);
  EXPECT_DOUBLE_EQ(r.Real("LIBFPTR_PARAM_SUM"), 1000);
}

TEST_F(ReceiptTest, ShiftLifeAndTheTwentyFourHourLimit) {
  EXPECT_EQ(r.ShiftState(), 1);
  EXPECT_EQ(r.OpenShift(), errc::kShiftOpen);
  r.obj->device()->AdvanceClock(25 * 3600);
  EXPECT_EQ(r.ShiftState(), 2);
  EXPECT_EQ(r.OpenReceipt(), errc::kShiftExpired);
  // An expired shift can still be closed; closing resets the shift counters.
  ASSERT_EQ(r.CloseShift(), 0);
  EXPECT_EQ(r.ShiftState(), 0);
  EXPECT_EQ(r.CloseShift(), errc::kShiftClosed);
  ASSERT_EQ(r.OpenShift(), 0);
  ASSERT_EQ(r.Query("LIBFPTR_DT_SHIFT_STATE"), 0);
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_SHIFT_NUMBER"), 2);
}

TEST_F(ReceiptTest, ClockCannotGoBehindTheLastDocument) {
  const std::int64_t now = r.obj->device()->Now();
  r.Set("LIBFPTR_PARAM_DATE_TIME", Value(WallToDate(now - 10 * 86400)));
  EXPECT_EQ(r.Call("writeDateTime"), errc::kDateBackwards);
  r.Set("LIBFPTR_PARAM_DATE_TIME", Value(WallToDate(now + 3600)));
  ASSERT_EQ(r.Call("writeDateTime"), 0);
  ASSERT_EQ(r.Query("LIBFPTR_DT_DATE_TIME"), 0);
  const auto read =
      DateToWall(r.obj->call("getParamDateTime", Value(C("LIBFPTR_PARAM_DATE_TIME"))).asDate());
  EXPECT_NEAR(static_cast<double>(read - now), 3600.0, 5.0);
}

TEST_F(ReceiptTest, PaperRunningOutLeavesTheReceiptMadeButNotPrinted) {
  auto config = r.obj->device()->config();
  config.paperEndsInNextDocument = true;
  r.obj->device()->SetConfig(config);
  ASSERT_EQ(r.OpenReceipt(), 0);
  ASSERT_EQ(r.Item("Сок", 99.9, 1, 99.9), 0);
  ASSERT_EQ(r.Pay("LIBFPTR_PT_CASH", 100), 0);
  EXPECT_EQ(r.Call("closeReceipt"), errc::kNoPaper);
  ASSERT_EQ(r.Call("checkDocumentClosed"), 0);
  EXPECT_TRUE(r.Bool("LIBFPTR_PARAM_DOCUMENT_CLOSED"));
  EXPECT_FALSE(r.Bool("LIBFPTR_PARAM_DOCUMENT_PRINTED"));
  // The receipt is in the storage and its money in the drawer.
  ASSERT_EQ(r.FnQuery("LIBFPTR_FNDT_LAST_RECEIPT"), 0);
  EXPECT_DOUBLE_EQ(r.Real("LIBFPTR_PARAM_RECEIPT_SUM"), 99.9);
  EXPECT_DOUBLE_EQ(r.Cash(), 99.9);
  EXPECT_EQ(r.OpenReceipt(), errc::kNoPaper);
}

TEST_F(ReceiptTest, ElectronicReceiptPrintsNothing) {
  r.obj->device()->ClearTape();
  ASSERT_EQ(r.OpenReceipt("LIBFPTR_RT_SELL", true), 0);
  ASSERT_EQ(r.Item("Услуга", 500, 1, 500, "LIBFPTR_TAX_NO"), 0);
  r.Set("LIBFPTR_PARAM_TEXT", Value("текст в чеке"));
  ASSERT_EQ(r.Call("printText"), 0);
  ASSERT_EQ(r.Pay("LIBFPTR_PT_ELECTRONICALLY", 500), 0);
  ASSERT_EQ(r.Call("closeReceipt"), 0);
  EXPECT_TRUE(r.obj->device()->TapeItems().empty());
}

TEST_F(ReceiptTest, PaperRecordsTextBarcodesPicturesAndCuts) {
  r.obj->device()->ClearTape();
  ASSERT_EQ(r.Call("beginNonfiscalDocument"), 0);
  r.Set("LIBFPTR_PARAM_TEXT", Value("Слово слово слово слово слово слово слово слово слово"));
  r.SetK("LIBFPTR_PARAM_TEXT_WRAP", "LIBFPTR_TW_WORDS");
  r.Set("LIBFPTR_PARAM_FONT_DOUBLE_WIDTH", Value(true));
  ASSERT_EQ(r.Call("printText"), 0);
  // EAN-13: a wrong check digit is refused, twelve digits get theirs.
  r.SetK("LIBFPTR_PARAM_BARCODE_TYPE", "LIBFPTR_BT_EAN_13");
  r.Set("LIBFPTR_PARAM_BARCODE", Value("4601234567890"));
  EXPECT_EQ(r.Call("printBarcode"), errc::kBadParam);
  r.SetK("LIBFPTR_PARAM_BARCODE_TYPE", "LIBFPTR_BT_EAN_13");
  r.Set("LIBFPTR_PARAM_BARCODE", Value("460123456789"));
  ASSERT_EQ(r.Call("printBarcode"), 0);
  automation::Bytes pixels(544 * 2, 0);
  pixels[0] = 1;
  r.Set("LIBFPTR_PARAM_PIXEL_BUFFER", Value(pixels));
  r.Set("LIBFPTR_PARAM_WIDTH", Value(std::int64_t{544}));
  ASSERT_EQ(r.Call("printPixelBuffer"), 0);
  r.Set("LIBFPTR_PARAM_PIXEL_BUFFER", Value(automation::Bytes(700, 0)));
  r.Set("LIBFPTR_PARAM_WIDTH", Value(std::int64_t{700}));
  EXPECT_EQ(r.Call("printPixelBuffer"), errc::kBadParam);  // wider than the paper
  r.Set("LIBFPTR_PARAM_PRINT_FOOTER", Value(false));
  ASSERT_EQ(r.Call("endNonfiscalDocument"), 0);
  EXPECT_EQ(r.Call("endNonfiscalDocument"), errc::kNoNonfiscal);
  ASSERT_EQ(r.Call("lineFeed"), 0);
  r.SetK("LIBFPTR_PARAM_CUT_TYPE", "LIBFPTR_CT_PART");
  ASSERT_EQ(r.Call("cut"), 0);

  const auto items = r.obj->device()->TapeItems();
  std::vector<TapeItem::Kind> kinds;
  for (const auto& i : items) kinds.push_back(i.kind);
  using K = TapeItem::Kind;
  EXPECT_EQ(kinds, (std::vector<K>{K::kDocumentBegin, K::kText, K::kBarcode, K::kPicture,
                                   K::kDocumentEnd, K::kCut, K::kFeed, K::kCut}));
  EXPECT_EQ(items[2].text, "4601234567893");
  EXPECT_EQ(items[3].height, 2);
  EXPECT_FALSE(items.back().fullCut);
  // Double width halves the characters per line: the text wraps at 24, at word boundaries.
  const auto lines = WrapText(items[1], 48);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Слово слово слово слово");
}

TEST_F(ReceiptTest, ThousandPositionReceiptIsQuick) {
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(r.OpenReceipt(), 0);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(r.Item("Позиция " + std::to_string(i), 1.5, 2, 3), 0);
  ASSERT_EQ(r.Pay("LIBFPTR_PT_CASH", 3000), 0);
  ASSERT_EQ(r.Call("closeReceipt"), 0);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  EXPECT_DOUBLE_EQ(r.Cash(), 3000);
}

}  // namespace
}  // namespace vantorel::emulator::testing
