// Exactly one fiscal document whatever the register does: the add-in loaded as the host loads it,
// a virtual register that fails one call of a document's sequence (refused; carried out and then
// failed; carried out and its answer lost with the link down for two more calls), and a host that
// retries while it is told False (at most three attempts, reconnecting in between). The document
// must be in the storage exactly once, and the host's last answer must be success with its data.
// Faults are planned through the virtual register's Device API on its state while the register is
// disconnected (and once with `kkt-host vreg fault`, as a person would plan them).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <pugixml.hpp>

#include "addin_fixture.h"
#include "vregister/register.h"
#include "vregister/storage.h"

namespace {

namespace fs = std::filesystem;
using kkthost::Value;

// The register's operations a document may call; the register refuses faults of other names.
const char* const kOperations[] = {"queryData",
                                   "fnQueryData",
                                   "operatorLogin",
                                   "openReceipt",
                                   "registration",
                                   "payment",
                                   "closeReceipt",
                                   "cancelReceipt",
                                   "printText",
                                   "printBarcode",
                                   "openShift",
                                   "report",
                                   "cashIncome",
                                   "cashOutcome",
                                   "receiptTotal",
                                   "receiptTax",
                                   "checkDocumentClosed",
                                   "lineFeed",
                                   "cut",
                                   "writeSalesNotice",
                                   "openDrawer",
                                   "readDeviceSetting",
                                   "printPixelBuffer"};

const char* const kSale =
    "<CheckPackage><Parameters OperationType=\"1\" CashierName=\"Кассир\" TaxationSystem=\"0\"/>"
    "<Positions><FiscalString Name=\"Хлеб\" Quantity=\"2\" PriceWithDiscount=\"40.5\""
    " AmountWithDiscount=\"81\" DiscountAmount=\"0\" VATRate=\"10\" VATAmount=\"7.36\""
    " CalculationSubject=\"1\" PaymentMethod=\"4\"/>"
    "<TextString Text=\"Спасибо за покупку\"/><Barcode Type=\"EAN13\" Value=\"4601234567893\"/>"
    "</Positions><Payments Cash=\"50\" ElectronicPayment=\"31\"/></CheckPackage>";

const char* const kCorrection =
    "<CheckPackage><Parameters OperationType=\"1\" CashierName=\"Кассир\" TaxationSystem=\"0\">"
    "<CorrectionData Type=\"0\" Date=\"2026-01-15\" Number=\"17\"/></Parameters>"
    "<Positions><FiscalString Name=\"Молоко\" Quantity=\"1\" PriceWithDiscount=\"90\""
    " AmountWithDiscount=\"90\" DiscountAmount=\"0\" VATRate=\"20\" VATAmount=\"15\""
    " CalculationSubject=\"1\" PaymentMethod=\"4\"/></Positions>"
    "<Payments Cash=\"90\"/></CheckPackage>";

// What the register holds, read through the add-in.
struct Counts {
  long long lastDocument = 0, sales = 0, corrections = 0, cashIn = 0, shiftState = 0;
};

class DocumentFaults : public hosttest::AddinTest {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    GTEST_SKIP() << "on Windows the paper-out and late-error cases run as kkt-host scenarios "
                    "through COM";
#endif
    UseFolder(fs::temp_directory_path() / "vantorel-document-faults");
    // A short paper tape: what the cases print is of no interest here.
    std::ofstream(root / "vreg" / "usb.json") << R"({"format": 1, "config": {"tapeLimit": 200}})";
    driver = host->Create("vantorel");
    Fresh();
  }
  // A register with an open shift; with `newStorage`, on a new storage with the same
  // configuration (the matrix takes one every few cases, so no case inherits much of another's).
  void Fresh(bool newStorage = false) {
    if (newStorage) {
      // A new register with the same configuration in place of the old one (nothing holds it
      // between connections).
      const auto config = Register()->config();
      const auto file = vantorel::emulator::RegisterFile(
          port != 0 ? "com-com" + std::to_string(port) : std::string("usb"));
      for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(fs::path(file) += suffix);
      vantorel::emulator::WriteRegisterConfig(file, config);
    }
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(Ok(Call("OpenShift", {Value::Text(id),
                                      Value::Text("<InputParameters><Parameters "
                                                  "CashierName=\"Кассир\"/></InputParameters>"),
                                      Value::Empty()})));
    Disconnect();
  }
  void TearDown() override {
    if (driver && !id.empty()) Disconnect();
    AddinTest::TearDown();
  }

  kkthost::CallOutcome Call(std::string_view method, std::vector<Value> params) {
    return driver->Call(method, std::move(params));
  }
  static bool Ok(const kkthost::CallOutcome& out) {
    return out.hostResult && out.result && out.result->boolean;
  }
  // A host reconnecting: a connection that fails is tried again, three times at most.
  bool Connect() {
    for (int i = 0; i < 3; ++i) {
      auto out =
          Call("ConnectEquipment",
               {Value::Empty(), Value::Empty(),
                Value::Text(R"(<Parameters><Parameter Name="PortNumber" Value=")" +
                            std::to_string(port) +
                            R"("/><Parameter Name="BaudRate" Value="115200"/></Parameters>)")});
      if (Ok(out)) {
        id = out.params[0].text;
        return true;
      }
    }
    return false;
  }
  void Disconnect() {
    Call("DisconnectEquipment", {Value::Text(id)});
    id.clear();
  }

  // The register's own state, through its Device API (only while no connection is open: the add-in
  // has its own copy of the register, which writes the state when the connection closes).
  std::shared_ptr<vantorel::emulator::Device> Register() const {
    vantorel::emulator::ConnectionSettings settings;
    if (port != 0) settings.values = {{"Port", "COM"}, {"ComFile", "COM" + std::to_string(port)}};
    return vantorel::emulator::Device::ForSettings(settings);
  }
  void Plan(vantorel::emulator::Fault fault) const { Register()->AddFault(std::move(fault)); }
  void ClearFaults() const {
    auto r = Register();
    auto c = r->config();
    c.faults.clear();
    r->SetConfig(c);
  }

  // kkt-host vreg with these arguments (while no connection is open); its standard output.
  std::string Vreg(const std::string& args) {
    const std::string command =
        "\"" + kkthost::BesideExecutable("kkt-host").string() + "\" vreg " + args + " 2>/dev/null";
    std::string out;
#if !defined(_WIN32)  // the tests run on the Linux add-in only
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    pclose(p);
#else
    (void)command;
#endif
    return out;
  }

  Counts Read() {
    Counts c;
    auto out =
        Call("GetCurrentStatus", {Value::Text(id),
                                  Value::Text(R"(<InputParameters><Parameters GetCounters="true"/>)"
                                              R"(</InputParameters>)"),
                                  Value::Empty()});
    EXPECT_TRUE(Ok(out));
    pugi::xml_document doc;
    doc.load_string(out.params[2].text.c_str());
    const auto p = doc.child("OutputParameters").child("Parameters");
    c.lastDocument = p.attribute("CheckNumber").as_llong();
    c.shiftState = p.attribute("ShiftState").as_llong();
    c.sales = p.child("CountersOperationType1").attribute("CheckCount").as_llong();
    c.corrections = p.child("CountersOperationType1").attribute("CorrectionCheckCount").as_llong();
    c.cashIn = p.child("CashIn").attribute("Count").as_llong();
    return c;
  }
  Counts ReadDisconnected() {
    EXPECT_TRUE(Connect());
    const Counts c = Read();
    Disconnect();
    return c;
  }

  // How often each operation is called while `during` runs (starting disconnected): every
  // operation gets a fault that never fires, and the calls it counted are read back.
  std::map<std::string, int> CountCalls(const std::function<void()>& during) {
    constexpr int kNever = 1000000;
    for (const char* op : kOperations)
      if (vantorel::emulator::IsDeviceOperation(op)) Plan({op, kNever, 1, 999, ""});
    during();
    std::map<std::string, int> calls;
    for (const auto& f : Register()->config().faults)
      if (const int n = kNever - f.skip; n > 0) calls[f.operation] = n;
    ClearFaults();
    return calls;
  }

  // One kind of document: how the host asks for it, and whether the register holds it once with
  // the answer matching it.
  struct Document {
    const char* name;
    std::function<kkthost::CallOutcome()> make;
    std::function<bool(const Counts& before, const Counts& after, const kkthost::CallOutcome&)>
        holds;
    // Brings the register where the document starts; true when it changed anything.
    std::function<bool(const Counts&)> prepare;
  };

  // The receipt the answer names is the storage's last document, with the same fiscal sign
  // (connected).
  bool AnswerNamesLastReceipt(const kkthost::CallOutcome& out, const Counts& after,
                              std::string* why) {
    pugi::xml_document doc;
    doc.load_string(out.params[3].text.c_str());
    const auto p = doc.child("DocumentOutputParameters").child("Parameters");
    if (p.attribute("CheckNumber").as_llong() != after.lastDocument) {
      *why = "CheckNumber " + std::string(p.attribute("CheckNumber").value()) + ", storage " +
             std::to_string(after.lastDocument);
      return false;
    }
    auto read =
        Call("GetDocumentInformation",
             {Value::Text(id), Value::I4(static_cast<int>(after.lastDocument)), Value::Empty()});
    pugi::xml_document stored;
    stored.load_string(read.params[2].text.c_str());
    const std::string sign =
        stored.child("CheckPackage").child("Parameters").attribute("FiscalSign").value();
    if (sign.empty() || sign != p.attribute("FiscalSign").value()) {
      *why = "FiscalSign " + std::string(p.attribute("FiscalSign").value()) + ", storage " + sign;
      return false;
    }
    return true;
  }

  // The whole matrix for one document; returns {held, cases}.
  std::pair<int, int> Matrix(const Document& d) {
    const auto connectCalls = CountCalls([&] {
      EXPECT_TRUE(Connect());
      Disconnect();
    });
    d.prepare(ReadDisconnected());
    auto docCalls = CountCalls([&] {
      EXPECT_TRUE(Connect());
      EXPECT_TRUE(Ok(d.make()));
      Disconnect();
    });
    for (auto& [op, n] : docCalls) n -= connectCalls.count(op) ? connectCalls.at(op) : 0;

    const struct {
      const char* name;
      bool after;
      int lost;
    } kinds[] = {{"refused", false, 0}, {"late error", true, 0}, {"lost answer", true, 2}};
    int held = 0, cases = 0;
    Counts before = ReadDisconnected();
    for (const auto& kind : kinds)
      for (const auto& [op, n] : docCalls)
        for (int k = 0; k < n; ++k) {
          const std::string label =
              std::string(d.name) + ", " + kind.name + " at " + op + " #" + std::to_string(k + 1);
          SCOPED_TRACE(label);
          if (++cases % 16 == 0) {
            Fresh(true);
            before = ReadDisconnected();
          }
          if (d.prepare(before)) before = ReadDisconnected();
          const int skip = (connectCalls.count(op) ? connectCalls.at(op) : 0) + k;
          Plan({op, skip, 1, 999, "Сбой для проверки", kind.after, kind.lost});
          kkthost::CallOutcome last;
          bool ok = false;
          for (int attempt = 0; attempt < 3 && !ok; ++attempt) {
            if (attempt > 0) Disconnect();
            if (!Connect()) continue;
            last = d.make();
            ok = Ok(last);
          }
          if (!id.empty()) Disconnect();
          ClearFaults();  // what the calls never reached
          EXPECT_TRUE(Connect());
          const Counts after = Read();
          const Counts was = before;
          before = after;
          if (!ok)
            ADD_FAILURE() << "three attempts, all told False: "
                          << driver->GetLastError().description;
          else if (d.holds(was, after, last))
            ++held;
          else
            ADD_FAILURE() << "documents before " << was.lastDocument << ", after "
                          << after.lastDocument;
          Disconnect();
        }
    std::cout << "[ matrix  ] " << d.name << ": " << held << " / " << cases << " cases held\n";
    return {held, cases};
  }

  std::string id;
  int port = 0;  // 0 USB (a register of format 1.2), else COMn
};

TEST_F(DocumentFaults, EveryCallOfEveryDocumentFailingInEveryWayLeavesOneDocument) {
  const auto noop = [](const Counts&) { return false; };
  const auto receipt = [&](const char* package, bool correction) {
    return [this, package, correction] {
      return Call(correction ? "ProcessCorrectionCheck" : "ProcessCheck",
                  {Value::Text(id), Value::Bool(false), Value::Text(package), Value::Empty()});
    };
  };
  const Document documents[] = {
      {"sale receipt", receipt(kSale, false),
       [&](const Counts& b, const Counts& a, const kkthost::CallOutcome& out) {
         std::string why;
         const bool held = a.sales == b.sales + 1 && a.lastDocument == b.lastDocument + 1 &&
                           AnswerNamesLastReceipt(out, a, &why);
         if (!why.empty()) ADD_FAILURE() << why;
         return held;
       },
       noop},
      {"correction receipt", receipt(kCorrection, true),
       [&](const Counts& b, const Counts& a, const kkthost::CallOutcome& out) {
         std::string why;
         const bool held = a.corrections == b.corrections + 1 &&
                           a.lastDocument == b.lastDocument + 1 &&
                           AnswerNamesLastReceipt(out, a, &why);
         if (!why.empty()) ADD_FAILURE() << why;
         return held;
       },
       noop},
      {"cash deposit",
       [&] {
         return Call("CashInOutcome",
                     {Value::Text(id), Value::Text("<InputParameters/>"), Value::R8(100)});
       },
       [](const Counts& b, const Counts& a, const kkthost::CallOutcome&) {
         return a.cashIn == b.cashIn + 1 && a.lastDocument == b.lastDocument;
       },
       noop},
      {"shift closing",
       [&] {
         return Call("CloseShift",
                     {Value::Text(id),
                      Value::Text(R"(<InputParameters><Parameters CashierName="Кассир"/>)"
                                  R"(</InputParameters>)"),
                      Value::Empty()});
       },
       // One Z report: one more document, and the shift closed (state 1).
       [](const Counts& b, const Counts& a, const kkthost::CallOutcome&) {
         return a.lastDocument == b.lastDocument + 1 && a.shiftState == 1;
       },
       [&](const Counts& now) {
         if (now.shiftState != 1) return false;
         EXPECT_TRUE(Connect());
         EXPECT_TRUE(Ok(Call(
             "OpenShift",
             {Value::Text(id), Value::Text(R"(<InputParameters><Parameters/></InputParameters>)"),
              Value::Empty()})));
         Disconnect();
         return true;
       }},
  };
  int held = 0, cases = 0;
  for (const auto& d : documents) {
    const auto [h, c] = Matrix(d);
    held += h;
    cases += c;
  }

  // The older correction receipt (a total and tax sums, no positions) on a register of format
  // 1.05 at COM3.
  port = 3;
  {
    // A register made with that configuration at its first connection.
    vantorel::emulator::Config config;
    config.deviceFfdVersion = config.fnFfdVersion = 105;
    config.tapeLimit = 200;
    const auto file = vantorel::emulator::RegisterFile("com-com3");
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(fs::path(file) += suffix);
    vantorel::emulator::WriteRegisterConfig(file, config);
  }
  Fresh();
  const auto [h, c] =
      Matrix({"older correction receipt", receipt(kCorrection, true),
              [&](const Counts& b, const Counts& a, const kkthost::CallOutcome& out) {
                std::string why;
                const bool held = a.corrections == b.corrections + 1 &&
                                  a.lastDocument == b.lastDocument + 1 &&
                                  AnswerNamesLastReceipt(out, a, &why);
                if (!why.empty()) ADD_FAILURE() << why;
                return held;
              },
              noop});
  held += h;
  cases += c;
  std::cout << "[ matrix  ] all documents: " << held << " / " << cases << " cases held\n";
  EXPECT_EQ(held, cases);
  EXPECT_GT(cases, 100);
}

}  // namespace

namespace {

// The cashier's view of the paper running out inside a receipt: the sale succeeds with a message
// that names the receipt and says what to do, and the copy prints once paper is back.
TEST_F(DocumentFaults, PaperRunningOutInsideAReceiptIsSuccessAndACopyPrintsLater) {
  {
    auto r = Register();
    auto c = r->config();
    c.paperEndsInNextDocument = true;
    r->SetConfig(c);
  }
  ASSERT_TRUE(Connect());
  const Counts before = Read();
  const auto sale = Call("ProcessCheck",
                         {Value::Text(id), Value::Bool(false), Value::Text(kSale), Value::Empty()});
  ASSERT_TRUE(Ok(sale)) << driver->GetLastError().description;
  const Counts after = Read();
  EXPECT_EQ(after.sales, before.sales + 1);
  std::string why;
  EXPECT_TRUE(AnswerNamesLastReceipt(sale, after, &why)) << why;
  const std::string number = std::to_string(after.lastDocument);
  ASSERT_EQ(sale.addErrors.size(), 1u);
  EXPECT_EQ(sale.addErrors[0].scode, 0) << "a message, not an exception";
  const std::string& message = sale.addErrors[0].description;
  for (const std::string& part : std::vector<std::string>{
           "«Чек» № " + number + " сформирован", "Нет бумаги", "заправьте бумагу",
           "копию документа № " + number, "Повторять операцию не нужно"})
    EXPECT_NE(message.find(part), std::string::npos) << part << " in: " << message;

  // Without paper the copy cannot print; with paper loaded it does, once, and makes no document.
  EXPECT_FALSE(Ok(Call("PrintCheckCopy", {Value::Text(id), Value::Text(number)})));
  Disconnect();
  {
    auto r = Register();
    r->ClearTape();
    auto c = r->config();
    c.paperPresent = true;  // the cashier loads paper
    r->SetConfig(c);
  }
  ASSERT_TRUE(Connect());
  EXPECT_TRUE(Ok(Call("PrintCheckCopy", {Value::Text(id), Value::Text(number)})))
      << driver->GetLastError().description;
  const Counts later = Read();
  EXPECT_EQ(later.lastDocument, after.lastDocument);
  EXPECT_EQ(later.sales, after.sales);
  Disconnect();
  std::size_t copies = 0;
  for (const auto& item : Register()->TapeItems())
    if (item.kind == vantorel::emulator::TapeItem::Kind::kDocumentBegin &&
        item.text.starts_with("КОПИЯ: "))
      ++copies;
  EXPECT_EQ(copies, 1u) << Register()->RenderTape();
}

// A lost answer at the closing call: the host hears that the receipt may have been made; the next
// call that is not the same receipt goes on and names the receipt the register made.
TEST_F(DocumentFaults, AnUndecidedReceiptIsNamedToTheNextOtherCall) {
  Vreg("fault closeReceipt after=true lost=2");
  ASSERT_TRUE(Connect());
  const Counts before = Read();
  const auto sale = Call("ProcessCheck",
                         {Value::Text(id), Value::Bool(false), Value::Text(kSale), Value::Empty()});
  ASSERT_FALSE(Ok(sale));
  EXPECT_NE(driver->GetLastError().description.find("мог быть сформирован"), std::string::npos)
      << driver->GetLastError().description;
  Disconnect();
  ASSERT_TRUE(Connect());  // the same register reconnected keeps the question
  const auto cash =
      Call("CashInOutcome", {Value::Text(id), Value::Text("<InputParameters/>"), Value::R8(10)});
  ASSERT_TRUE(Ok(cash)) << driver->GetLastError().description;
  const Counts after = Read();
  EXPECT_EQ(after.sales, before.sales + 1);
  EXPECT_EQ(after.cashIn, before.cashIn + 1);
  ASSERT_EQ(cash.addErrors.size(), 1u);
  EXPECT_EQ(cash.addErrors[0].scode, 0);
  EXPECT_NE(cash.addErrors[0].description.find("«Чек» № " + std::to_string(after.lastDocument) +
                                               " был сформирован"),
            std::string::npos)
      << cash.addErrors[0].description;
  // Settled: the same package now is a new sale.
  EXPECT_TRUE(Ok(Call("ProcessCheck",
                      {Value::Text(id), Value::Bool(false), Value::Text(kSale), Value::Empty()})));
  EXPECT_EQ(Read().sales, before.sales + 2);
}

}  // namespace
