// Receipts through the add-in as the host calls it: the four receipt kinds in formats 1.2 and 1.05
// on a fresh virtual register, each read back from the fiscal storage with GetDocumentInformation
// and compared with its package to the kopeck.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pugixml.hpp>

#include "addin_fixture.h"

namespace {

namespace fs = std::filesystem;
using kkthost::Value;

struct Position {
  const char* name;
  const char* quantity;
  const char* price;
  const char* amount;
  const char* discount;
  const char* rate;
  const char* vat;
};
const Position kPositions[] = {
    // Names reach the storage in its code page (866): no guillemets here.
    {"Сыр Российский 0,35 кг", "0,35", "612.40", "214,34", "0", "10", "19.49"},
    {"Кофе молотый", "2", "349,99", "699.98", "0.02", "20", "116,66"},
};

// Kopecks of a decimal text with a comma or a point.
long long Kopecks(std::string text) {
  for (char& c : text)
    if (c == ',') c = '.';
  return std::llround(std::strtod(text.c_str(), nullptr) * 100);
}

class Receipts : public hosttest::AddinTest {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    GTEST_SKIP() << "the Windows add-in reaches registers through DTO10's COM object; these run "
                    "on the Linux add-in's built-in virtual register";
#endif
  }
  void TearDown() override {
    if (driver) Close();
    AddinTest::TearDown();
  }

  // A fresh register speaking format `ffd`, connected, with an open shift.
  void Start(int ffd) {
    UseFolder(fs::temp_directory_path() / "vantorel-receipts");
    // A state file with only a configuration: the register is made with it at first use.
    std::ofstream(root / "vreg" / "usb.json") << R"({"format": 1, "config": {"deviceFfdVersion": )"
                                              << ffd << R"(, "fnFfdVersion": )" << ffd << "}}";
    driver = host->Create("vantorel");
    id = Call("ConnectEquipment",
              {Value::Empty(), Value::Empty(),
               Value::Text(R"(<Parameters><Parameter Name="PortNumber" Value="0"/></Parameters>)")})
             .params[0]
             .text;
    Call("OpenShift",
         {Value::Text(id),
          Value::Text(R"(<InputParameters><Parameters CashierName="Кассир"/></InputParameters>)"),
          Value::Empty()});
  }
  void Close() {
    Call("DisconnectEquipment", {Value::Text(id)});
    CloseDriver();
  }

  kkthost::CallOutcome Call(std::string_view method, std::vector<Value> params) {
    auto out = driver->Call(method, std::move(params));
    EXPECT_TRUE(out.hostResult && out.result && out.result->boolean)
        << method << ": " << driver->GetLastError().code << " "
        << driver->GetLastError().description;
    return out;
  }

  std::string id;
};

TEST_F(Receipts, FourKindsInBothFormatsReadBackToTheKopeck) {
  // Cash stays within the drawer: the sale brings 100, the return and the purchase pay some out.
  const struct {
    int operation;
    const char* cash;
    const char* card;
  } kinds[] = {{1, "100", "814.32"}, {2, "50", "864,32"}, {3, "30", "884.32"}, {4, "914.32", "0"}};
  for (int ffd : {120, 105}) {
    Start(ffd);
    for (const auto& kind : kinds) {
      SCOPED_TRACE("format " + std::to_string(ffd) + ", operation " +
                   std::to_string(kind.operation));
      std::string package = "<CheckPackage><Parameters OperationType=\"" +
                            std::to_string(kind.operation) +
                            "\" CashierName=\"Кассир\" TaxationSystem=\"0\"/><Positions>";
      for (const auto& p : kPositions)
        package += std::string("<FiscalString Name=\"") + p.name + "\" Quantity=\"" + p.quantity +
                   "\" PriceWithDiscount=\"" + p.price + "\" AmountWithDiscount=\"" + p.amount +
                   "\" DiscountAmount=\"" + p.discount + "\" VATRate=\"" + p.rate +
                   "\" VATAmount=\"" + p.vat + "\" CalculationSubject=\"1\" PaymentMethod=\"4\"/>";
      package += std::string("</Positions><Payments Cash=\"") + kind.cash +
                 "\" ElectronicPayment=\"" + kind.card + "\"/></CheckPackage>";

      const auto done = Call("ProcessCheck", {Value::Text(id), Value::Bool(false),
                                              Value::Text(package), Value::Empty()});
      pugi::xml_document result;
      ASSERT_TRUE(result.load_string(done.params[3].text.c_str())) << done.params[3].text;
      const int number = result.child("DocumentOutputParameters")
                             .child("Parameters")
                             .attribute("CheckNumber")
                             .as_int();
      ASSERT_GT(number, 0);

      const auto read =
          Call("GetDocumentInformation", {Value::Text(id), Value::I4(number), Value::Empty()});
      pugi::xml_document doc;
      ASSERT_TRUE(doc.load_string(read.params[2].text.c_str())) << read.params[2].text;
      const auto back = doc.child("CheckPackage");
      std::vector<pugi::xml_node> positions;
      for (auto p : back.child("Positions").children("FiscalString")) positions.push_back(p);
      ASSERT_EQ(positions.size(), std::size(kPositions)) << read.params[2].text;
      for (std::size_t i = 0; i < positions.size(); ++i) {
        const auto& p = kPositions[i];
        const auto& q = positions[i];
        EXPECT_STREQ(q.attribute("Name").value(), p.name);
        EXPECT_EQ(Kopecks(q.attribute("Quantity").value()), Kopecks(p.quantity));
        EXPECT_EQ(Kopecks(q.attribute("PriceWithDiscount").value()), Kopecks(p.price));
        EXPECT_EQ(Kopecks(q.attribute("AmountWithDiscount").value()), Kopecks(p.amount));
        EXPECT_EQ(Kopecks(q.attribute("VATAmount").value()), Kopecks(p.vat));
      }
      const auto payments = back.child("Payments");
      EXPECT_EQ(Kopecks(payments.attribute("Cash").value()), Kopecks(kind.cash))
          << read.params[2].text;
      EXPECT_EQ(Kopecks(payments.attribute("ElectronicPayment").value()), Kopecks(kind.card));
    }
    Close();
  }
}

}  // namespace
