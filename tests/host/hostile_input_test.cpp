// Hostile documents and a log folder that cannot be written, through the real add-in as the host
// loads it. Whatever comes in, the call returns to the host with a clean result or a clear error
// (1001/1004 in the last error), in bounded time, and the host's memory ledger stays clean.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "addin_fixture.h"
#include "vregister/storage.h"

namespace {

using kkthost::Value;
namespace fs = std::filesystem;

class HostileInput : public hosttest::AddinTest {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    GTEST_SKIP() << "the Windows add-in reaches registers through DTO10's COM object; these run "
                    "on the Linux add-in's built-in virtual register";
#endif
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    UseFolder(fs::temp_directory_path() / "vantorel-hostile" / info->name());
    driver = host->Create("vantorel");
  }

  static std::string Settings(const std::string& extra = {}) {
    return "<Parameters><Parameter Name=\"PortNumber\" Value=\"0\"/>"
           "<Parameter Name=\"RibbonWidth\" Value=\"48\"/>" +
           extra + "</Parameters>";
  }
  std::string Connect(const std::string& extra = {}) {
    auto out = driver->Call("ConnectEquipment",
                            {Value::Empty(), Value::Empty(), Value::Text(Settings(extra))});
    EXPECT_TRUE(out.hostResult);
    EXPECT_TRUE(out.result && out.result->boolean) << driver->GetLastError().description;
    const std::string id = out.params[0].text;
    // Receipts and marking codes need an open shift, so that their documents are read at all.
    driver->Call(
        "OpenShift",
        {Value::Text(id),
         Value::Text("<InputParameters><Parameters CashierName=\"Кассир\"/></InputParameters>"),
         Value::Empty()});
    return id;
  }

  // The call returns to the host in bounded time with a Boolean result that agrees with the last
  // error, no AddError and no memory fault. Returns the last error.
  kkthost::LastError Survives(std::string_view method, std::vector<Value> params) {
    const auto start = std::chrono::steady_clock::now();
    auto out = driver->Call(method, std::move(params));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(20)) << method;
    EXPECT_TRUE(out.hostResult) << method;
    EXPECT_TRUE(out.addErrors.empty())
        << method << ": " << (out.addErrors.empty() ? "" : out.addErrors[0].description);
    for (const auto& f : out.memoryFaults) ADD_FAILURE() << f.Describe();
    EXPECT_TRUE(out.result && out.result->vt == kkthost::abi::VTYPE_BOOL) << method;
    auto last = driver->GetLastError();
    if (out.result && out.result->boolean) {
      EXPECT_EQ(last.code, 0) << method << ": " << last.description;
    } else {
      // A general or input error, or the register's own code for what the document asked.
      EXPECT_TRUE(last.code == 1001 || last.code == 1004 || (last.code > 3000 && last.code < 4000))
          << method << ": " << last.code << " " << last.description;
      EXPECT_FALSE(last.description.empty()) << method;
    }
    return last;
  }

  // Everything the virtual register printed so far, one text line per printText.
  std::string Tape() {
    const auto storage = vantorel::emulator::Storage::Open(root / "vreg" / "usb.db", false);
    std::string out;
    if (!storage) return out;
    for (const auto& item : storage->Tape())
      if (item.kind == vantorel::emulator::TapeItem::Kind::kText) out += item.text + "\n";
    return out;
  }

  static std::string TextDocument(const std::string& lines) {
    return "<Document><Positions>" + lines + "</Positions></Document>";
  }
};

TEST_F(HostileInput, EntitiesAreNeverExpandedNorFetched) {
  const std::string id = Connect();
  // An entity bomb and an external entity, both used in a printed line: neither is resolved.
  std::string bomb = "<!DOCTYPE Document [<!ENTITY a \"AAAAAAAAAA\">";
  for (char c = 'b'; c <= 'j'; ++c) {
    bomb += std::string("<!ENTITY ") + c + " \"";
    for (int i = 0; i < 10; ++i) bomb += std::string("&") + static_cast<char>(c - 1) + ";";
    bomb += "\">";
  }
  bomb +=
      "<!ENTITY file SYSTEM \"file:///etc/hostname\"><!ENTITY web SYSTEM "
      "\"http://127.0.0.1:9/x\">]>";
  const auto last = Survives(
      "PrintTextDocument",
      {Value::Text(id), Value::Text(bomb + TextDocument("<TextString Text=\"[&j;]\"/>"
                                                        "<TextString Text=\"[&file;&web;]\"/>"))});
  const std::string tape = Tape();
  EXPECT_EQ(tape.find("AAAAAAAAAA"), std::string::npos) << "an entity was expanded";
  std::ifstream hostname("/etc/hostname");
  std::string name;
  if (hostname && std::getline(hostname, name) && name.size() > 3) {
    EXPECT_EQ(tape.find(name), std::string::npos) << "an external entity was read";
  }
  if (last.code == 0) {
    EXPECT_NE(tape.find("[&j;]"), std::string::npos) << tape;
  }

  // The same in a settings document and a check package.
  Survives(
      "EquipmentTest",
      {Value::Empty(),
       Value::Text(bomb + "<Parameters><Parameter Name=\"CutString\" Value=\"&j;\"/></Parameters>"),
       Value::Empty(), Value::Empty()});
  Survives("ProcessCheck",
           {Value::Text(id), Value::Bool(false),
            Value::Text(bomb + "<CheckPackage><Parameters "
                               "CashierName=\"&j;&file;\"/><Positions/><Payments/></CheckPackage>"),
            Value::Empty()});
}

TEST_F(HostileInput, DeepNestingIsAnErrorForEveryDocument) {
  const std::string id = Connect();
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<Positions>";
  const struct {
    const char* method;
    std::vector<Value> params;
  } calls[] = {
      {"PrintTextDocument", {Value::Text(id), Value::Text("<Document>" + deep)}},
      {"ProcessCheck",
       {Value::Text(id), Value::Bool(false), Value::Text("<CheckPackage>" + deep), Value::Empty()}},
      {"ProcessCorrectionCheck",
       {Value::Text(id), Value::Bool(false), Value::Text(deep), Value::Empty()}},
      {"OperationFN", {Value::Text(id), Value::I4(2), Value::Text(deep)}},
      {"RequestKM", {Value::Text(id), Value::Text(deep), Value::Empty()}},
      {"OpenShift", {Value::Text(id), Value::Text(deep), Value::Empty()}},
      {"ConnectEquipment", {Value::Empty(), Value::Empty(), Value::Text("<Parameters>" + deep)}},
  };
  for (const auto& c : calls) {
    const auto last = Survives(c.method, c.params);
    EXPECT_NE(last.code, 0) << c.method;
  }
  // Just inside the limit the documents are read (and refused for what they say, not their depth).
  std::string ok;
  for (int i = 0; i < 200; ++i) ok += "<x>";
  for (int i = 0; i < 200; ++i) ok += "</x>";
  Survives("PrintTextDocument",
           {Value::Text(id), Value::Text(TextDocument("<TextString Text=\"ok\"/>" + ok))});
}

TEST_F(HostileInput, MegabyteAttributesAndDocuments) {
  const std::string id = Connect();
  const std::string mb(1 << 20, 'W');
  Survives("PrintTextDocument",
           {Value::Text(id), Value::Text(TextDocument("<TextString Text=\"" + mb + "\"/>"))});
  Survives(
      "PrintTextDocument",
      {Value::Text(id), Value::Text(TextDocument("<Barcode Type=\"QR\" Value=\"" + mb + "\"/>"))});
  Survives("PrintTextDocument",
           {Value::Text(id),
            Value::Text(TextDocument("<Barcode Type=\"EAN13\" ValueBase64=\"" + mb + "\"/>"))});
  Survives("ProcessCheck",
           {Value::Text(id), Value::Bool(false),
            Value::Text("<CheckPackage><Parameters OperationType=\"1\" CashierName=\"" + mb +
                        "\"/><Positions><FiscalString Name=\"" + mb + "\" Quantity=\"" + mb +
                        "\" PriceWithDiscount=\"1\" AmountWithDiscount=\"1\" VATRate=\"" + mb +
                        "\" MarkingCode=\"" + mb + "\"/></Positions><Payments Cash=\"" + mb +
                        "\"/></CheckPackage>"),
            Value::Empty()});
  Survives("RequestKM", {Value::Text(id),
                         Value::Text("<RequestKM GUID=\"" + mb + "\" MarkingCode=\"" + mb + "\"/>"),
                         Value::Empty()});
  Survives("EquipmentTest",
           {Value::Empty(),
            Value::Text(Settings("<Parameter Name=\"CutString\" Value=\"" + mb + "\"/>")),
            Value::Empty(), Value::Empty()});
  // Many small elements: a wide document, not a deep one.
  std::string wide;
  for (int i = 0; i < 20000; ++i) wide += "<TextString Text=\"\"/><Other/>";
  Survives("PrintTextDocument", {Value::Text(id), Value::Text(TextDocument(wide))});
  // Still working afterwards.
  const auto last =
      Survives("PrintTextDocument",
               {Value::Text(id), Value::Text(TextDocument("<TextString Text=\"after\"/>"))});
  EXPECT_EQ(last.code, 0) << last.description;
}

TEST_F(HostileInput, InvalidCharactersAndSurrogatesAreDropped) {
  const std::string id = Connect();
  // Control characters, lone and reversed surrogates, U+FFFE/U+FFFF and a valid pair outside the
  // basic plane: everything XML 1.0 cannot carry is dropped from the text, in names and values.
  std::u16string doc = u"<Docu\x0001ment><Positions><TextString Text=\"a";
  doc += std::u16string{0x0001, 'b',    0xD800, 'c',    0xDC00, 'd', 0xDC00, 0xD800, 'e',
                        0xFFFE, 0xFFFF, 'f',    0xD83D, 0xDE00, 'g', 0x001F, 'h'};
  doc += u"\"/></Positions></Document>";
  auto last = Survives("PrintTextDocument", {Value::Text(id), Value::Utf16(doc)});
  EXPECT_EQ(last.code, 0) << last.description;
  EXPECT_NE(Tape().find("abcdefgh"), std::string::npos) << Tape();

  // A text that is nothing but such characters, and a character reference to one.
  Survives("PrintTextDocument",
           {Value::Text(id), Value::Utf16(std::u16string{0xD800, 0xDFFF, 0xFFFF, 0x0002})});
  Survives(
      "PrintTextDocument",
      {Value::Text(id), Value::Text(TextDocument("<TextString Text=\"&#0;&#xD800;&#x1;x\"/>"))});
  Survives("ConnectEquipment",
           {Value::Empty(), Value::Empty(),
            Value::Utf16(
                u"<Parameters><Parameter Name=\"Port\xD800Number\" Value=\"0\"/></Parameters>")});
}

TEST_F(HostileInput, UnwritableLogFolderIsReportedOnceAndCallsGoOn) {
  // The data folder is a file: the log folder cannot be created under it.
  const fs::path blocked = root / "data" / "blocked";
  std::ofstream(blocked) << "not a folder";
  hosttest::SetEnv("XDG_DATA_HOME", blocked.string());

  // A connection that fails with its log on reports its own error, not the log's.
  auto refused =
      driver->Call("ConnectEquipment",
                   {Value::Empty(), Value::Empty(),
                    Value::Text("<Parameters><Parameter Name=\"PortNumber\" Value=\"COM\"/>"
                                "<Parameter Name=\"LogEnabled\" Value=\"true\"/></Parameters>")});
  EXPECT_TRUE(refused.hostResult);
  EXPECT_FALSE(refused.result->boolean);
  EXPECT_EQ(driver->GetLastError().description.find("blocked"), std::string::npos)
      << driver->GetLastError().description;

  auto connect =
      driver->Call("ConnectEquipment",
                   {Value::Empty(), Value::Empty(),
                    Value::Text(Settings("<Parameter Name=\"LogEnabled\" Value=\"true\"/>"))});
  EXPECT_TRUE(connect.hostResult) << "the connection was made; a missing log line must not undo it";
  ASSERT_TRUE(connect.result && connect.result->boolean);
  ASSERT_EQ(connect.addErrors.size(), 1u);
  EXPECT_EQ(connect.addErrors[0].code, 1004);
  EXPECT_EQ(connect.addErrors[0].scode, 0) << "a message: the host must not raise it as an error";
  EXPECT_NE(connect.addErrors[0].description.find("log"), std::string::npos);
  EXPECT_NE(connect.addErrors[0].description.find("blocked"), std::string::npos)
      << connect.addErrors[0].description;
  const std::string id = connect.params[0].text;

  // The next calls run and report nothing about the log.
  for (int i = 0; i < 3; ++i) {
    auto out =
        driver->Call("PrintTextDocument",
                     {Value::Text(id), Value::Text(TextDocument("<TextString Text=\"next\"/>"))});
    EXPECT_TRUE(out.hostResult);
    EXPECT_TRUE(out.addErrors.empty());
    EXPECT_TRUE(out.result->boolean) << driver->GetLastError().description;
  }
  EXPECT_NE(Tape().find("next"), std::string::npos);

  // Switched on again by the host once the folder is writable, logging works again.
  hosttest::SetEnv("XDG_DATA_HOME", (root / "data").string());
  fs::remove(blocked);
  auto on = driver->Call("SetParameter", {Value::Text("LogEnabled"), Value::Bool(true)});
  EXPECT_TRUE(on.hostResult);
  auto reconnect =
      driver->Call("ConnectEquipment",
                   {Value::Empty(), Value::Empty(),
                    Value::Text(Settings("<Parameter Name=\"LogEnabled\" Value=\"true\"/>"))});
  EXPECT_TRUE(reconnect.hostResult);
  EXPECT_TRUE(reconnect.addErrors.empty());
  EXPECT_TRUE(fs::exists(root / "data" / "Norvander" / "vantorel"));
}

// XML allows an attribute only once per element. A document that repeats one is malformed, in
// every kind of document the host sends, and nothing of it reaches the register.
TEST_F(HostileInput, RepeatedAttributeIsMalformedInEveryDocument) {
  const std::string id = Connect();
  const std::string package =
      "<CheckPackage><Parameters OperationType=\"1\"/><Positions><FiscalString Name=\"Дубль\" "
      "Quantity=\"1\" PriceWithDiscount=\"10\" AmountWithDiscount=\"10\" "
      "AmountWithDiscount=\"1000\" VATRate=\"none\"/></Positions><Payments Cash=\"1000\"/>"
      "</CheckPackage>";
  const std::string input =
      "<InputParameters><Parameters CashierName=\"Кассир\" "
      "CashierName=\"Другой\"/></InputParameters>";
  const struct {
    const char* method;
    std::vector<Value> params;
  } calls[] = {
      {"ConnectEquipment",
       {Value::Empty(), Value::Empty(),
        Value::Text("<Parameters><Parameter Name=\"PortNumber\" Name=\"IPPort\" Value=\"0\"/>"
                    "</Parameters>")}},
      {"EquipmentTest",
       {Value::Empty(),
        Value::Text("<Parameters><Parameter Name=\"PortNumber\" Value=\"0\" Value=\"1\"/>"
                    "</Parameters>"),
        Value::Empty(), Value::Empty()}},
      {"ProcessCheck", {Value::Text(id), Value::Bool(false), Value::Text(package), Value::Empty()}},
      {"ProcessCorrectionCheck",
       {Value::Text(id), Value::Bool(false), Value::Text(package), Value::Empty()}},
      {"PrintTextDocument",
       {Value::Text(id), Value::Text(TextDocument("<TextString Text=\"Дубль\" Text=\"x\"/>"))}},
      {"OperationFN",
       {Value::Text(id), Value::I4(2),
        Value::Text("<ParametersFiscal CashierName=\"a\" CashierName=\"b\"/>")}},
      {"OpenShift", {Value::Text(id), Value::Text(input), Value::Empty()}},
      {"CloseShift", {Value::Text(id), Value::Text(input), Value::Empty()}},
      {"CashInOutcome", {Value::Text(id), Value::Text(input), Value::R8(10)}},
      {"PrintXReport", {Value::Text(id), Value::Text(input)}},
      {"GetCurrentStatus", {Value::Text(id), Value::Text(input), Value::Empty()}},
      {"ReportCurrentStatusOfSettlements", {Value::Text(id), Value::Text(input), Value::Empty()}},
      {"RequestKM",
       {Value::Text(id), Value::Text("<RequestKM GUID=\"a\" GUID=\"b\" MarkingCode=\"AQID\"/>"),
        Value::Empty()}},
  };
  for (const auto& c : calls) {
    const auto last = Survives(c.method, c.params);
    EXPECT_EQ(last.code, 1001) << c.method << ": " << last.description;
    EXPECT_EQ(last.description.rfind("XML parse error: Duplicate attribute '", 0), 0u)
        << c.method << ": " << last.description;
  }
  EXPECT_EQ(Tape().find("Дубль"), std::string::npos) << Tape();
}

// Money that is present but no number is an input error naming the attribute and its text, and
// no receipt is made; the host never gets a receipt paid or priced at 0 by accident.
TEST_F(HostileInput, MoneyTextsNeverBecomeZero) {
  const std::string id = Connect();
  const struct {
    const char* position;
    const char* payments;
    const char* named;
  } cases[] = {
      {"AmountWithDiscount=\"1e400\"", "Cash=\"10\"", "AmountWithDiscount: \"1e400\""},
      {"AmountWithDiscount=\"10\"", "Cash=\"1 000,00\" ElectronicPayment=\"10\"",
       "Cash: \"1 000,00\""},
  };
  for (const auto& c : cases) {
    const std::string package =
        std::string(
            "<CheckPackage><Parameters OperationType=\"1\"/><Positions><FiscalString "
            "Name=\"Без суммы\" Quantity=\"1\" PriceWithDiscount=\"10\" VATRate=\"none\" ") +
        c.position + "/></Positions><Payments " + c.payments + "/></CheckPackage>";
    const auto last = Survives("ProcessCheck", {Value::Text(id), Value::Bool(false),
                                                Value::Text(package), Value::Empty()});
    EXPECT_EQ(last.code, 1004) << package;
    EXPECT_NE(last.description.find(c.named), std::string::npos) << last.description;
  }
  EXPECT_EQ(Tape().find("Без суммы"), std::string::npos) << "no receipt was opened";

  const auto cash =
      Survives("CashInOutcome",
               {Value::Text(id), Value::Text("<InputParameters><Parameters/></InputParameters>"),
                Value::Text("1 000")});
  EXPECT_EQ(cash.code, 1004);
  EXPECT_NE(cash.description.find("\"1 000\""), std::string::npos) << cash.description;
}

// Graphic text with nothing to draw prints nothing, and the document goes on.
TEST_F(HostileInput, EmptyGraphicTextPrintsNothing) {
  const std::string id = Connect();
  const auto last = Survives(
      "PrintTextDocument",
      {Value::Text(id), Value::Text(TextDocument(
                            "<GraphicText Text=\"\"/><TextString Text=\"[gt1][/gt1]\"/>"
                            "<TextString Text=\"[/gt3]до[gt3]\"/><TextString Text=\"после\"/>"))});
  EXPECT_EQ(last.code, 0) << last.description;
  EXPECT_NE(Tape().find("после"), std::string::npos) << Tape();
}

}  // namespace
