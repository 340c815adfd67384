// Documents read back from the fiscal storage, and copies of stored documents, against the
// virtual register.
#include "driver_fixture.h"
#include "register_sale.h"
#include "support/encoding.h"
#include "vregister/constants.h"

namespace vantorel::testing {
namespace {

class StoredDocuments : public DriverOnVirtualRegister {
 protected:
  pugi::xml_document Read(std::int32_t number) {
    pugi::xml_document out;
    driver.GetDocumentInformation(number, out);
    return out;
  }
  void OpenShift() {
    pugi::xml_document out;
    driver.OpenShift(Xml("<In><Parameters CashierName=\"Сидоров\"/></In>"), out);
  }
  static std::vector<std::string> Names(pugi::xml_node n) {
    std::vector<std::string> names;
    for (auto c : n.children()) names.push_back(c.name());
    return names;
  }
};

TEST_F(StoredDocuments, LastReceiptAsACheckPackage) {
  Connect();
  OpenShift();
  ASSERT_NO_FATAL_FAILURE(
      MakeReceipt(*reg, "LIBFPTR_RT_SELL",
                  {{"Молоко 3,2%", 89.9, 2, "LIBFPTR_TAX_VAT10"},
                   {"Хлеб", 45.5, 1, "LIBFPTR_TAX_VAT20"},
                   {"Гвозди", 150.5, 0.25, "LIBFPTR_TAX_NO"}},
                  {{"LIBFPTR_PT_ELECTRONICALLY", 100}, {"LIBFPTR_PT_CASH", 200}}));
  const auto stored = *Register()->LastDocument();

  const auto doc = Read(0);
  const auto root = doc.child("CheckPackage");
  ASSERT_TRUE(root);
  EXPECT_EQ(Names(root), (std::vector<std::string>{"Parameters", "Positions", "Payments"}));
  const auto p = root.child("Parameters");
  EXPECT_STREQ(p.attribute("DocumentType").value(), "3");
  EXPECT_EQ(p.attribute("DocNumber").value(), std::to_string(stored.number));
  EXPECT_STREQ(p.attribute("OperationType").value(), "1");
  EXPECT_STREQ(p.attribute("TaxationSystem").value(), "0") << "the package's code of ОСН";
  EXPECT_STREQ(p.attribute("CashierName").value(), "Сидоров");
  EXPECT_EQ(p.attribute("FiscalSign").value(), std::to_string(stored.fiscalSign));
  std::string when = emulator::FormatWall(stored.wallTime);
  when[10] = 'T';
  EXPECT_EQ(p.attribute("DateTime").value(), when);

  std::vector<std::string> positions;
  for (auto f : root.child("Positions").children("FiscalString"))
    positions.push_back(
        std::string(f.attribute("Name").value()) + "|" + f.attribute("PriceWithDiscount").value() +
        "|" + f.attribute("Quantity").value() + "|" + f.attribute("AmountWithDiscount").value() +
        "|" + f.attribute("VATRate").value() + "|" + f.attribute("VATAmount").value() + "|" +
        f.attribute("CalculationSubject").value() + "|" + f.attribute("PaymentMethod").value());
  EXPECT_EQ(positions, (std::vector<std::string>{"Молоко 3,2%|89.9|2|179.8|10|16.35|1|4",
                                                 "Хлеб|45.5|1|45.5|20|7.58|1|4",
                                                 "Гвозди|150.5|0.25|37.63|none||1|4"}));
  const auto pay = root.child("Payments");
  EXPECT_STREQ(pay.attribute("Cash").value(), "162.93");  // 200 less the change
  EXPECT_STREQ(pay.attribute("ElectronicPayment").value(), "100");
  EXPECT_FALSE(pay.attribute("PrePayment"));
}

TEST_F(StoredDocuments, EachReadHoldsOnlyItsOwnDocument) {
  Connect();
  OpenShift();
  const auto opening = Register()->LastDocument()->number;
  ASSERT_NO_FATAL_FAILURE(
      MakeReceipt(*reg, "LIBFPTR_RT_SELL", {{"Сок", 100, 1}}, {{"LIBFPTR_PT_CASH", 100}}));
  ASSERT_TRUE(Read(-5).child("CheckPackage").child("Positions")) << "below 1: the last document";

  const auto doc = Read(static_cast<std::int32_t>(opening));
  const auto root = doc.child("CheckPackage");
  EXPECT_EQ(Names(root), (std::vector<std::string>{"Parameters"}))
      << "no positions and no payments in a shift opening";
  EXPECT_STREQ(root.child("Parameters").attribute("DocumentType").value(), "2");
  EXPECT_EQ(root.child("Parameters").attribute("DocNumber").value(), std::to_string(opening));
  for (const auto& r : driver.Device().RecordFNList) EXPECT_NE(r.TagNumber, 1059);

  try {
    Read(9999);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[110] - Документ не найден в ФН ");
  }
}

TEST_F(StoredDocuments, NestedTagsFiscalSignAndMarkingCode) {
  Connect();
  OpenShift();
  const std::string code =
      "010460406000600021N4N57RSCBUZTQ\x1d"
      "2403004002910161218\x1d"
      "1724010191ffd0\x1d"
      "92tIAF/YVoU4roQS3M/m4z78yFq0fc/WsSmLeX5QkF/YVWwy8IMYAeiQ91Xa2z/fFSJcOkb2N+uUUmfr4n0mOX0Q==";
  ASSERT_NO_FATAL_FAILURE(MakeReceipt(*reg, "LIBFPTR_RT_SELL",
                                      {{"Ботинки", 2500, 1, "LIBFPTR_TAX_VAT20", code}},
                                      {{"LIBFPTR_PT_CASH", 2500}}));
  // A fiscal sign whose bytes are known.
  Register()->EditDocument(Register()->LastDocument()->number, [](emulator::FiscalDocument& d) {
    for (auto& t : d.tags)
      if (t.number == 1077) t.bytes = {0x00, 0x00, 0x12, 0x34, 0x56, 0x78};
  });

  const auto doc = Read(0);
  const auto root = doc.child("CheckPackage");
  EXPECT_STREQ(root.child("Parameters").attribute("FiscalSign").value(), "305419896");
  const auto position = root.child("Positions").child("FiscalString");
  const std::string marking = position.attribute("MarkingCode").value();
  EXPECT_NE(marking.find("\r\n"), std::string::npos) << "a line break after 76 characters";
  EXPECT_EQ(marking.find("\r\n"), 76u);
  const auto decoded = encoding::Base64Decode(marking);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(std::string(decoded->begin(), decoded->end()), code);

  // The code sits in tag 1163 inside the position: both are kept with their sections.
  const auto& list = driver.Device().RecordFNList;
  auto at = [&](int tag) {
    for (const auto& r : list)
      if (r.TagNumber == tag) return &r;
    return static_cast<const TDevice::TRecordFN*>(nullptr);
  };
  ASSERT_TRUE(at(1059) && at(1163) && at(1305) && at(1030));
  EXPECT_EQ(at(1059)->TagSection, TDevice::TTagSection::tsMain);
  EXPECT_EQ(at(1059)->TagType, TDevice::TTagType::tpSTLV);
  EXPECT_EQ(at(1163)->TagSection, TDevice::TTagSection::tsGoodPosition);
  EXPECT_EQ(at(1305)->TagSection, TDevice::TTagSection::tsGoodPosition);
  EXPECT_EQ(at(1030)->TagSection, TDevice::TTagSection::tsGoodPosition);
  EXPECT_EQ(at(1030)->TagName.empty(), false);
  EXPECT_LT(at(1059) - list.data(), at(1030) - list.data()) << "parents before their children";
}

// A library that cannot take a complex tag apart and still reports the selection id it gave last
// (the document's own): the driver keeps the tag whole instead of reading the document's remaining
// records as the tag's children.
TEST_F(StoredDocuments, ComplexTagThatCannotBeParsedIsKeptWhole) {
  Connect();
  OpenShift();
  ASSERT_NO_FATAL_FAILURE(MakeReceipt(*reg, "LIBFPTR_RT_SELL", {{"Сыр", 300, 1}, {"Мёд", 200, 1}},
                                      {{"LIBFPTR_PT_CASH", 500}}));

  struct NestedBeginFails final : automation::Object {
    std::unique_ptr<emulator::VirtualRegister> inner =
        std::make_unique<emulator::VirtualRegister>();
    bool parsing = false, failed = false;
    std::string documentId;
    automation::Value get(std::string_view name) override { return inner->get(name); }
    automation::Value call(std::string_view name,
                           std::span<const automation::Value> args) override {
      using automation::Value;
      if (name == "setParam" && args[0].asInt() == emulator::C("LIBFPTR_PARAM_RECORDS_TYPE"))
        parsing = args[1].asInt() == emulator::C("LIBFPTR_RT_PARSE_COMPLEX_ATTR");
      if (name == "beginReadRecords" && parsing) {
        failed = true;
        return Value(std::int32_t{5});
      }
      if (name == "getParamString" && failed &&
          args[0].asInt() == emulator::C("LIBFPTR_PARAM_RECORDS_ID"))
        return Value(documentId);
      Value result = inner->call(name, args);
      if (name == "beginReadRecords")
        documentId =
            inner->call("getParamString", Value(emulator::C("LIBFPTR_PARAM_RECORDS_ID"))).asText();
      return result;
    }
  };
  TDriver::SetDeviceFactory([] { return std::make_unique<NestedBeginFails>(); });
  Connect();

  const auto doc = Read(0);
  const auto root = doc.child("CheckPackage");
  EXPECT_EQ(Names(root), (std::vector<std::string>{"Parameters", "Positions", "Payments"}));
  EXPECT_STREQ(root.child("Payments").attribute("Cash").value(), "500");
  EXPECT_EQ(Names(root.child("Positions")),
            (std::vector<std::string>{"FiscalString", "FiscalString"}));
  EXPECT_FALSE(root.child("Positions").child("FiscalString").first_attribute());
}

// A host that builds a return from a stored receipt gets back the package's own codes: the
// taxation system it sent (the storage keeps it as one bit) and the rate text of every position.
TEST_F(StoredDocuments, TaxationSystemComesBackAsSent) {
  Connect();
  OpenShift();
  Register()->Edit([](emulator::DeviceState& s) {
    for (auto& t : s.registration.tags)
      if (t.number == 1062) t.integer = 63;  // every taxation system
  });
  for (int code = 0; code <= 5; ++code) {
    pugi::xml_document out;
    driver.ProcessCheck(
        false,
        Xml("<CheckPackage><Parameters OperationType=\"1\" TaxationSystem=\"" +
            std::to_string(code) +
            "\"/><Positions><FiscalString Name=\"A\" Quantity=\"1\" PriceWithDiscount=\"105\" "
            "AmountWithDiscount=\"105\" VATRate=\"5/105\" VATAmount=\"5\"/></Positions>"
            "<Payments Cash=\"105\"/></CheckPackage>"),
        out, false);
    const auto doc = Read(0);
    const auto root = doc.child("CheckPackage");
    EXPECT_EQ(root.child("Parameters").attribute("TaxationSystem").value(), std::to_string(code));
    const auto f = root.child("Positions").child("FiscalString");
    EXPECT_STREQ(f.attribute("VATRate").value(), "5/105");
    EXPECT_STREQ(f.attribute("VATAmount").value(), "5");
  }
}

TEST_F(StoredDocuments, CheckCopyByNumberOrTheLast) {
  Connect();
  OpenShift();
  const auto opening = Register()->LastDocument()->number;
  const struct {
    std::u16string text;
    const char* reportType;
    std::int64_t number;  // 0: no number sent
  } cases[] = {
      {u"abc", "LIBFPTR_RT_LAST_DOCUMENT", 0},
      {u"", "LIBFPTR_RT_LAST_DOCUMENT", 0},
      {u"0", "LIBFPTR_RT_LAST_DOCUMENT", 0},
      {u"1", "LIBFPTR_RT_FN_DOC_BY_NUMBER", 1},
      {u"+1", "LIBFPTR_RT_FN_DOC_BY_NUMBER", 1},
      {u"+", "LIBFPTR_RT_LAST_DOCUMENT", 0},
      {u"1x", "LIBFPTR_RT_LAST_DOCUMENT", 0},
      {u" " + text::ToUtf16(std::to_string(opening)), "LIBFPTR_RT_FN_DOC_BY_NUMBER", opening}};
  for (const auto& c : cases) {
    Register()->ClearTape();
    reg->ClearTrace();
    driver.PrintCheckCopy(c.text);
    std::int64_t reportType = -1, number = 0;
    for (const auto& e : reg->Trace()) {
      if (e.name != "setParam" || e.args.size() != 2) continue;
      if (e.args[0].asInt() == emulator::C("LIBFPTR_PARAM_REPORT_TYPE"))
        reportType = e.args[1].asInt();
      if (e.args[0].asInt() == emulator::C("LIBFPTR_PARAM_DOCUMENT_NUMBER"))
        number = e.args[1].asInt();
    }
    EXPECT_EQ(reportType, emulator::C(c.reportType)) << text::ToUtf8(c.text);
    EXPECT_EQ(number, c.number) << text::ToUtf8(c.text);
    EXPECT_NE(Register()->RenderTape().find("КОПИЯ"), std::string::npos);
    EXPECT_EQ(reg->CallNames().back(), "report") << "no feed or cut after the copy";
  }
  try {
    driver.PrintCheckCopy(u"15");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[110] - Документ не найден в ФН ");
  }
}

}  // namespace
}  // namespace vantorel::testing
