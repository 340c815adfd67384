// Receipts from check packages on the virtual register: the order of the steps, the values the
// package gives, what reaches the register, and the failures the host reads.
#include <chrono>
#include <cstdio>

#include "check_flow.h"
#include "platform/platform.h"
#include "support/datetime.h"

namespace vantorel::testing {
namespace {

using Check = ReceiptFlow;

const char* const kSale = R"(<CheckPackage>
  <Parameters OperationType="1" CashierName="Иванова А. А." CashierINN="500100732259"
              TaxationSystem="0" ReceiptText="Спасибо за покупку! Приходите ещё"/>
  <Positions>
    <FiscalString Name="Молоко 3,2%" Quantity="2" PriceWithDiscount="89,90" AmountWithDiscount="179.80"
                  DiscountAmount="0" VATRate="10" VATAmount="16,35" Department="1"
                  CalculationSubject="1" PaymentMethod="4"/>
    <TextString Text="Скидка по карте"/>
    <Barcode Type="ean13" Value="4601234567893" ValueBase64="MTIz"/>
    <fiscalstring Name="Хлеб" Quantity="1" PriceWithDiscount="45" AmountWithDiscount="45"
                  DiscountAmount="5" VATRate="20" VATAmount="7.5" CalculationSubject="1" PaymentMethod="4"/>
  </Positions>
  <Payments Cash="100" ElectronicPayment="124.80"/>
</CheckPackage>)";

std::string WithParameters(const std::string& attributes, const std::string& positions = {},
                           const std::string& payments = "Cash=\"1\"",
                           const std::string& parameterChildren = {}) {
  return "<CheckPackage><Parameters " + attributes + ">" + parameterChildren +
         "</Parameters><Positions>" + positions + "</Positions><Payments " + payments +
         "/></CheckPackage>";
}

TEST_F(Check, ClosedShiftStopsAtTheShiftQuery) {
  Connect();
  reg->ClearTrace();
  const Outcome o = Receipt(kSale);
  EXPECT_EQ(o.code, 3005);
  EXPECT_EQ(o.message, "Смена закрыта");
  EXPECT_EQ(Calls(), std::vector<std::string>{"queryData"});
}

TEST_F(Check, MalformedPackagesFailBeforeTheReceiptIsTouched) {
  OpenShift();
  const std::string cases[] = {
      "<CheckPackage/>",
      "<CheckPackage><Parameters OperationType=\"1\"/><Positions/></CheckPackage>",
      "<CheckPackage><Positions/><Payments/></CheckPackage>",
      "<CheckPackage><Parameters OperationType=\"1\"/><Payments/></CheckPackage>",
      // Parts are looked up directly under the root, by exact name.
      "<CheckPackage><X><Parameters "
      "OperationType=\"1\"/><Positions/><Payments/></X></CheckPackage>",
      "<CheckPackage><parameters OperationType=\"1\"/><Positions/><Payments/></CheckPackage>",
      WithParameters("OperationType=\"0\""),
      WithParameters("OperationType=\"5\""),
      WithParameters("OperationType=\"261\""),  // low byte 5
      WithParameters("OperationType=\"abc\""),
      WithParameters(""),
  };
  for (const auto& package : cases) {
    reg->ClearTrace();
    const Outcome o = Receipt(package);
    EXPECT_EQ(o.code, 1004) << package;
    EXPECT_EQ(o.message, "Ошибка входных параметров команды") << package;
    EXPECT_EQ(Calls(), std::vector<std::string>{"queryData"}) << package;
  }
  // A document without an element at all (the host may send an empty text).
  pugi::xml_document empty, out;
  try {
    driver.ProcessCheck(false, empty, out, false);
    ADD_FAILURE();
  } catch (const EquException& e) {
    EXPECT_EQ(e.Code(), 1004);
  }
}

TEST_F(Check, CancelsAnOpenReceiptThenLogsTheCashierIn) {
  OpenShift();
  driver.Device().SetParam("LIBFPTR_PARAM_RECEIPT_TYPE", driver.Device().Const("LIBFPTR_RT_SELL"));
  driver.Device().Call("openReceipt");
  reg->ClearTrace();

  Receipt(WithParameters(R"(OperationType="1" CashierName="Петров" CashierINN="  7707083893 ")"));
  auto steps = Steps();
  ASSERT_GE(steps.size(), 6u);
  steps.resize(6);
  EXPECT_EQ(steps,
            (std::vector<std::string>{"queryData", "queryData", "cancelReceipt", "1021=Петров",
                                      "1203=7707083893", "operatorLogin"}))
      << "the INN is sent trimmed";

  // Blank names: the login goes without them.
  driver.Device().CancelReceipt();  // whatever the first package left open
  reg->ClearTrace();
  Receipt(WithParameters(R"(OperationType="2" CashierName="   " CashierINN="")"));
  steps = Steps();
  ASSERT_GE(steps.size(), 3u);
  steps.resize(3);
  EXPECT_EQ(steps, (std::vector<std::string>{"queryData", "queryData", "operatorLogin"}))
      << "no receipt was open: nothing to cancel";
}

TEST_F(Check, CorrectionBasisComesFromCorrectionData) {
  OpenShift();
  const auto run = [&](const std::string& data, bool correction) {
    reg->ClearTrace();
    const Outcome o =
        Receipt(WithParameters(R"(OperationType="1")", {}, "Cash=\"1\"", data), false, correction);
    return std::make_pair(o, Steps());
  };
  {
    const auto [o, steps] =
        run(R"(<CorrectionData Type="1" Date="2024-03-05T14:07:09+03:00" Number="ПР-7"/>)", true);
    const double utc = datetime::ToOleDate({2024, 3, 5, 11, 7, 9});
    const std::size_t login = IndexOf(steps, "operatorLogin");
    ASSERT_LT(login + 3, steps.size()) << o.message;
    EXPECT_EQ(steps[login + 1], "1178=date:" + std::to_string(utc));
    EXPECT_EQ(steps[login + 2], "1179=ПР-7");
    EXPECT_EQ(steps[login + 3], "utilFormTlv");
  }
  {
    const auto [o, steps] = run(R"(<CorrectionData Type="0" Number=""/>)", true);
    const platform::LocalTime now = platform::Now();
    const double today = datetime::ToOleDate({now.year, now.month, now.day, 0, 0, 0});
    const std::size_t login = IndexOf(steps, "operatorLogin");
    ASSERT_LT(login + 2, steps.size()) << o.message;
    EXPECT_EQ(steps[login + 1], "1178=date:" + std::to_string(today));
    EXPECT_EQ(steps[login + 2], "utilFormTlv") << "an empty number is not staged";
  }
  {
    const auto [o, steps] = run(R"(<CorrectionData Date="2024-02-30"/>)", true);
    EXPECT_EQ(o.code, 1004);
    EXPECT_EQ(steps.back(), "operatorLogin") << "the date is read after the login";
  }
  {
    const auto [o, steps] = run(R"(<CorrectionData Date="2024-02-30"/>)", false);
    EXPECT_FALSE(Has(steps, "utilFormTlv")) << "an ordinary receipt ignores CorrectionData";
    EXPECT_NE(o.code, 1004);
  }
}

// ---- Whole receipts: these need item registration and the receipt attribute steps.

TEST_F(Check, SaleGoesThroughInOrder) {
  OpenShift();
  const Outcome o = Receipt(kSale);
  SKIP_IF_NOT_YET(o);
  ASSERT_EQ(o.code, 0) << o.message;

  const auto steps = Steps();
  const std::size_t open = IndexOf(steps, "openReceipt");
  const std::size_t first = IndexOf(steps, "registration", open);
  const std::size_t text = IndexOf(steps, "printText", first);
  const std::size_t barcode = IndexOf(steps, "printBarcode", text);
  const std::size_t second = IndexOf(steps, "registration", barcode);
  const std::size_t firstPayment = IndexOf(steps, "payment", second);
  const std::size_t close = IndexOf(steps, "closeReceipt", firstPayment);
  EXPECT_LT(IndexOf(steps, "1055=1"), open) << "taxation system OSN";
  EXPECT_LT(close, steps.size());
  EXPECT_EQ(Count(steps, "registration"), 2u);
  EXPECT_EQ(Count(steps, "payment"), 2u);
  // The receipt text goes at the receipt's line length, between the positions and the payments.
  EXPECT_LT(IndexOf(steps, "printText", barcode), firstPayment);

  const auto s = State();
  const auto last = Register()->LastDocument();
  ASSERT_TRUE(last);
  const auto& doc = *last;
  EXPECT_EQ(doc.type, 3);
  const auto money = [&](int tag) {
    for (const auto& t : doc.tags)
      if (t.number == tag) return t.integer;
    return std::int64_t{-1};
  };
  EXPECT_EQ(money(1020), 22480) << "total in kopecks";
  EXPECT_EQ(money(1081), 12480);
  EXPECT_EQ(money(1031), 10000);
  EXPECT_EQ(s.receipt.type, 0) << "closed";

  const auto out = Xml(o.output);
  const auto p = out.child("DocumentOutputParameters").child("Parameters");
  EXPECT_EQ(p.attribute("ShiftNumber").as_int(), static_cast<int>(s.shiftNumber));
  EXPECT_EQ(p.attribute("CheckNumber").as_llong(), doc.number);
  EXPECT_FALSE(std::string(p.attribute("FiscalSign").value()).empty());
}

TEST_F(Check, ReceiptLevelTags) {
  OpenShift();
  const std::string position =
      R"(<FiscalString Name="A" Quantity="1" PriceWithDiscount="1" AmountWithDiscount="1" VATRate="none"/>)";
  const struct {
    std::string attributes;
    std::vector<std::string> present, absent;
  } cases[] = {
      {R"(CustomerEmail=" a@b.ru " CustomerPhone="+79990000000")",
       {"1008=a@b.ru", "1055=0"},
       {"1008=+79990000000"}},
      {R"(CustomerPhone="+79990000000" TaxationSystem="9")", {"1008=+79990000000"}, {"1055=0"}},
      {R"(TaxationSystem="0" SenderEmail="shop@x.ru" AdditionalAttribute="доп")",
       {"1055=" + Render(driver.Device().Const("LIBFPTR_TT_OSN")), "1117=shop@x.ru", "1192=доп"},
       {}},
      {R"(SenderEmail="  " AdditionalAttribute=" ")", {}, {"1117=  ", "1192= "}},
      // Sent trimmed: a register refuses an INN with blanks around it.
      {R"(CashierINN=" 500100732259 " SenderEmail=" shop@x.ru " AdditionalAttribute=" доп ")",
       {"1203=500100732259", "1117=shop@x.ru", "1192=доп"},
       {"1203= 500100732259 ", "1117= shop@x.ru ", "1192= доп "}},
  };
  for (const auto& c : cases) {
    reg->ClearTrace();
    const Outcome o = Receipt(WithParameters("OperationType=\"1\" " + c.attributes, position));
    SKIP_IF_NOT_YET(o);
    ASSERT_EQ(o.code, 0) << o.message;
    const auto steps = Steps();
    const std::size_t open = IndexOf(steps, "openReceipt");
    for (const auto& tag : c.present)
      EXPECT_LT(IndexOf(steps, tag), open) << c.attributes << " " << tag;
    for (const auto& tag : c.absent) EXPECT_FALSE(Has(steps, tag)) << c.attributes << " " << tag;
  }
}

TEST_F(Check, PrintingSettingDecidesTheElectronicReceipt) {
  const std::string package = WithParameters(
      R"(OperationType="1")",
      R"(<FiscalString Name="A" Quantity="1" PriceWithDiscount="1" AmountWithDiscount="1" VATRate="none"/>)");
  const struct {
    int enablePrinting;
    bool hostWish, electronic;
  } cases[] = {{0, true, false},  {0, false, false}, {1, true, true},
               {1, false, false}, {2, false, true},  {2, true, true}};
  for (const auto& c : cases) {
    OpenShift("<Parameter Name=\"EnablePrinting\" Value=\"" + std::to_string(c.enablePrinting) +
              "\"/>");
    const Outcome o = Receipt(package, c.hostWish);
    SKIP_IF_NOT_YET(o);
    ASSERT_EQ(o.code, 0) << o.message;
    EXPECT_EQ(Staged("LIBFPTR_PARAM_RECEIPT_ELECTRONICALLY"), automation::Value(c.electronic))
        << c.enablePrinting << " " << c.hostWish;
    CloseShift();
  }
}

TEST_F(Check, PositionValuesReachTheRegister) {
  OpenShift();
  // No payment: the closing fails and leaves the receipt open, positions in view.
  const Outcome o = Receipt(WithParameters(
      R"(OperationType="1")",
      R"(<FiscalString Name="Старый НДС" Quantity="1,5" PriceWithDiscount="10" AmountWithDiscount="15"
                       VATRate="18" VATAmount="2,5"/>
         <FiscalString Name="Без НДС" Quantity="1" PriceWithDiscount="5" AmountWithDiscount="5"
                       VATRate="NONE" VATAmount="5"/>
         <FiscalString Name="Без цены" Quantity="1" PriceWithDiscount=" " AmountWithDiscount="0,004"
                       VATRate="0"/>)",
      ""));
  SKIP_IF_NOT_YET(o);
  EXPECT_NE(o.code, 0);
  const auto r = State().receipt;
  ASSERT_EQ(r.positions.size(), 3u) << o.message;
  EXPECT_EQ(r.positions[0].quantity, 1.5);
  EXPECT_EQ(r.positions[0].sum, 1500);
  EXPECT_EQ(r.positions[0].taxType, driver.Device().Const("LIBFPTR_TAX_VAT20").asInt())
      << "18 % is sent as 20 %";
  EXPECT_EQ(r.positions[0].taxSum, 250);
  EXPECT_EQ(r.positions[1].taxType, driver.Device().Const("LIBFPTR_TAX_NO").asInt());
  EXPECT_EQ(r.positions[1].taxSum, 0) << "no tax sum without VAT";
  EXPECT_EQ(r.positions[2].price, 0) << "a blank price keeps its default";
}

TEST_F(Check, UnknownRateStopsAfterEarlierPositionsAndTheNextReceiptCancels) {
  OpenShift();
  const std::string good =
      R"(<FiscalString Name="A" Quantity="1" PriceWithDiscount="1" AmountWithDiscount="1" VATRate="10"/>)";
  const Outcome o = Receipt(WithParameters(
      R"(OperationType="1")",
      good + good +
          R"(<FiscalString Name="B" Quantity="1" PriceWithDiscount="1" AmountWithDiscount="1" VATRate="20%"/>)"));
  SKIP_IF_NOT_YET(o);
  EXPECT_EQ(o.code, 3010);
  EXPECT_EQ(o.message, "Налоговая группа вне допустимого диапазона");
  EXPECT_EQ(State().receipt.positions.size(), 2u);
  EXPECT_NE(State().receipt.type, 0) << "left open";

  reg->ClearTrace();
  const Outcome next = Receipt(WithParameters(R"(OperationType="1")", good, R"(Cash="100")"));
  ASSERT_EQ(next.code, 0) << next.message;
  EXPECT_TRUE(Has(Steps(), "cancelReceipt"));
  EXPECT_EQ(Count(Steps(), "payment"), 1u) << "cash only";
}

}  // namespace
}  // namespace vantorel::testing

namespace vantorel::testing {
namespace {

// The driver's own time on a long receipt, apart from the time the register spends answering.
class CheckTiming : public ReceiptFlow {
 protected:
  struct Timed final : automation::Object {
    explicit Timed(CheckTiming& owner)
        : owner(owner), inner(std::make_unique<emulator::VirtualRegister>()) {}
    ~Timed() override {
      if (owner.reg == inner.get()) owner.reg = nullptr;
    }
    template <typename F>
    automation::Value Measure(F&& f) {
      const auto start = std::chrono::steady_clock::now();
      automation::Value v = f();
      owner.registerTime += std::chrono::steady_clock::now() - start;
      ++owner.registerCalls;
      if (auto d = inner->device()) owner.lastDevice_ = std::move(d);
      return v;
    }
    automation::Value get(std::string_view name) override {
      return Measure([&] { return inner->get(name); });
    }
    automation::Value call(std::string_view name,
                           std::span<const automation::Value> args) override {
      return Measure([&] { return inner->call(name, args); });
    }
    CheckTiming& owner;
    std::unique_ptr<emulator::VirtualRegister> inner;
  };

  void SetUp() override {
    ReceiptFlow::SetUp();
    TDriver::SetDeviceFactory([this] {
      auto t = std::make_unique<Timed>(*this);
      reg = t->inner.get();
      return std::unique_ptr<automation::Object>(std::move(t));
    });
  }

  // The register goes (and says its last words through Timed) while this object still exists: the
  // base's driver would release it after these members are gone.
  void TearDown() override {
    try {
      driver.DisconnectEquipment(driver.CurrentDeviceIdForTests());
    } catch (const std::exception&) {
      // Nothing was connected.
    }
    ReceiptFlow::TearDown();
  }

  std::chrono::steady_clock::duration registerTime{};
  std::size_t registerCalls = 0;
};

TEST_F(CheckTiming, ThousandPositions) {
  OpenShift();
  Configure([](emulator::Config& c) { c.traceLimit = 0; });  // the trace is test bookkeeping
  std::string positions;
  for (int i = 1; i <= 1000; ++i)
    positions += "<FiscalString Name=\"Товар " + std::to_string(i) +
                 "\" Quantity=\"1\" PriceWithDiscount=\"1,10\" AmountWithDiscount=\"1,10\" "
                 "DiscountAmount=\"0\" VATRate=\"20\" VATAmount=\"0,18\" CalculationSubject=\"1\" "
                 "PaymentMethod=\"4\"/>";
  const std::string package =
      "<CheckPackage><Parameters OperationType=\"1\" CashierName=\"Кассир\"/><Positions>" +
      positions + "</Positions><Payments Cash=\"1100\"/></CheckPackage>";

  registerTime = {};
  registerCalls = 0;
  const auto start = std::chrono::steady_clock::now();
  const Outcome o = Receipt(package);
  const auto total = std::chrono::steady_clock::now() - start;
  SKIP_IF_NOT_YET(o);
  ASSERT_EQ(o.code, 0) << o.message;
  const auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
  const double driverMs = ms(total - registerTime);
  std::printf(
      "1000 positions: %.1f ms in all, %.1f ms in the virtual register (%zu calls), "
      "%.1f ms in the driver, parsing the package included\n",
      ms(total), ms(registerTime), registerCalls, driverMs);
  RecordProperty("driver_ms", std::to_string(driverMs));
  // Generous: catches work that grows with the square of the positions, not a slow machine.
  EXPECT_LT(driverMs, 2000.0);
}

}  // namespace
}  // namespace vantorel::testing

namespace vantorel::testing {
namespace {

using CheckCodes = ReceiptFlow;

// Format 1.2: GS1.M stands in for a missing marking code (and makes the receipt a marked one, so
// the sales notice goes out with the receipt's industry attribute and the customer's INN); the
// product code is the first non-empty of the good-code attributes, decoded.
TEST_F(CheckCodes, GoodCodeDataGivesMarkingAndProductCodes) {
  OpenShift();
  const std::string ean = "NDYwMTIzNDU2Nzg5Mw==";  // 4601234567893
  const std::string km = "MDEwNDYwMTIzNDU2Nzg5MzIxNVZhbnRvcmVsMDAxHTkzZEdWeg==";
  const std::string package =
      R"(<CheckPackage><Parameters OperationType="1" TaxationSystem="0">
           <CustomerDetail Info="ООО Покупатель" INN=" 7707083893 "/>
           <IndustryAttribute IdentifierFOIV="030" DocumentDate="05.03.2024" DocumentNumber="12" AttributeValue="x"/>
         </Parameters><Positions>
           <FiscalString Name="Штрихкод" Quantity="1" PriceWithDiscount="10" AmountWithDiscount="10" VATRate="20"
                         VATAmount="1.67" CalculationSubject="1" PaymentMethod="4">
             <GoodCodeData KMK="" EAN13=")" +
      ean + R"("/></FiscalString>
           <FiscalString Name="Маркированный" Quantity="1" PriceWithDiscount="20" AmountWithDiscount="20" VATRate="20"
                         VATAmount="3.33" CalculationSubject="33" PaymentMethod="4">
             <GoodCodeData GS1.M=")" +
      km + R"("/></FiscalString>
         </Positions><Payments ElectronicPayment="30"/></CheckPackage>)";
  const Outcome o = Receipt(package);
  SKIP_IF_NOT_YET(o);
  ASSERT_EQ(o.code, 0) << o.message;
  const auto steps = Steps();
  const std::size_t notice = IndexOf(steps, "writeSalesNotice");
  ASSERT_LT(notice, steps.size()) << "a marked position, an industry attribute and an INN";
  EXPECT_EQ(steps[notice - 1], "1228=7707083893") << "the trimmed INN";
  EXPECT_EQ(steps[notice - 2].rfind("1261=bytes[", 0), 0u) << steps[notice - 2];
  EXPECT_LT(IndexOf(steps, "registration"), notice);
  EXPECT_LT(notice, IndexOf(steps, "closeReceipt"));
  EXPECT_EQ(Staged("LIBFPTR_PARAM_PRODUCT_CODE"), automation::Value("4601234567893"))
      << "the decoded EAN-13 is the first position's product code";
}

}  // namespace
}  // namespace vantorel::testing

namespace vantorel::testing {
namespace {

using CheckInput = ReceiptFlow;

// Values that cannot be what the host meant stop the receipt with 1004 naming the problem, instead
// of registering a wrapped sum or a marking code decoded from garbage.
TEST_F(CheckInput, UnusableValuesAreInputErrors) {
  OpenShift();
  const struct {
    std::string attributes;
    std::string named;
  } cases[] = {
      {R"(MarkingCode="не base64!")", "MarkingCode"},
      {R"(AmountWithDiscount="1e300")", "1e300"},
      {R"(PriceWithDiscount="-99999999999999999")", "-99999999999999999"},
  };
  for (const auto& c : cases) {
    const Outcome o = Receipt(
        "<CheckPackage><Parameters OperationType=\"1\"/><Positions><FiscalString Name=\"A\" "
        "Quantity=\"1\" VATRate=\"20\" " +
        c.attributes + "/></Positions><Payments Cash=\"1\"/></CheckPackage>");
    SKIP_IF_NOT_YET(o);
    EXPECT_EQ(o.code, 1004) << c.attributes;
    EXPECT_NE(o.message.find(c.named), std::string::npos) << o.message;
    EXPECT_TRUE(State().receipt.positions.empty()) << "nothing registered";
  }
}

// A sum is never silently 0: money that is present but no number fails the package with 1004
// naming the attribute and its text, before the register is asked for a receipt. Absent or
// blank money keeps its default.
TEST_F(CheckInput, MoneyThatIsNoNumberMakesNoReceipt) {
  OpenShift();
  const std::string position =
      R"(Name="A" Quantity="1" PriceWithDiscount="10" AmountWithDiscount="10" VATRate="20")";
  const struct {
    std::string position, payments, named;
  } cases[] = {
      {R"(DiscountAmount="1 000,00")", R"(Cash="10")", "DiscountAmount: \"1 000,00\""},
      {R"(VATAmount="1e400")", R"(Cash="10")", "VATAmount: \"1e400\""},
      {R"(ExciseAmount="x")", R"(Cash="10")", "ExciseAmount: \"x\""},
      {"", R"(Cash="1 000,00")", "Cash: \"1 000,00\""},
      {"", R"(Cash="5" ElectronicPayment="5,0,0")", "ElectronicPayment: \"5,0,0\""},
      {"", R"(Cash="10" Payment6="1e99999")", "Payment6: \"1e99999\""},
      {"", R"(Cash="12345678901234567890")", "Cash"},
  };
  for (const auto& c : cases) {
    reg->ClearTrace();
    const std::string package =
        "<CheckPackage><Parameters OperationType=\"1\"/><Positions><FiscalString " + position +
        " " + c.position + "/></Positions><Payments " + c.payments + "/></CheckPackage>";
    const Outcome o = Receipt(package);
    EXPECT_EQ(o.code, 1004) << package;
    EXPECT_NE(o.message.find(c.named), std::string::npos) << o.message;
    EXPECT_EQ(Calls(), std::vector<std::string>{"queryData"}) << "no receipt: " << package;
  }
  // Absent, empty and blank sums keep their defaults.
  const Outcome o = Receipt(
      "<CheckPackage><Parameters OperationType=\"1\"/><Positions><FiscalString " + position +
      R"( DiscountAmount="" VATAmount=" " ExciseAmount=""/></Positions><Payments Cash="10" )"
      R"(ElectronicPayment="" Payment6="  "/></CheckPackage>)");
  ASSERT_EQ(o.code, 0) << o.message;
  EXPECT_EQ(Register()->LastDocument()->type, 3);
}

}  // namespace
}  // namespace vantorel::testing
