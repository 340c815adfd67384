// Value conversions of check packages: integers, numbers, position money, payment money, Base64.
#include "documents/check_package.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <pugixml.hpp>

#include "support/equipment_errors.h"

namespace vantorel::package {
namespace {

TEST(CheckPackage, IntegersAreTrimmedDecimalsWithinRange) {
  const struct {
    const char* text;
    std::int32_t expected;
  } cases[] = {
      {"", -9},
      {"  42 ", 42},
      {"\t5\r\n", 5},
      {"+7", 7},
      {"-1", -1},
      {"4.0", -9},
      {"12a", -9},
      {"-", -9},
      {"0x10", -9},
      {"1 2", -9},
      {"2147483647", INT32_MAX},
      {"2147483648", -9},
      {"-2147483648", INT32_MIN},
      {"-2147483649", -9},
      {"99999999999999999999", -9},
  };
  for (const auto& c : cases) EXPECT_EQ(VarToIntDef(c.text, -9), c.expected) << c.text;

  pugi::xml_document doc;
  doc.load_string(R"(<P OperationType="257" Minus="-1" Big="300"/>)");
  const auto p = doc.first_child();
  EXPECT_EQ(Byte(p, "OperationType"), 1) << "only the low 8 bits count";
  EXPECT_EQ(Byte(p, "Minus"), 255);
  EXPECT_EQ(Byte(p, "Big"), 44);
  EXPECT_EQ(Byte(p, "Missing"), 0);
  EXPECT_EQ(Int(p, "Missing", -1), -1);
}

TEST(CheckPackage, NumbersTakeCommaOrPoint) {
  const struct {
    const char* text;
    double expected;
  } cases[] = {
      {"1,5", 1.5},     {"1.5", 1.5},    {" 2 ", 2},       {"5.", 5},   {"+.5", 0.5},
      {"-0,25", -0.25}, {"1e3", 1000},   {"2,5E-1", 0.25}, {"abc", -7}, {"", -7},
      {".", -7},        {"1.000,5", -7}, {"1 000", -7},    {"inf", -7}, {"nan", -7},
      {"1e400", -7},    {"0x1p3", -7},   {"1e", -7},       {"--1", -7},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(VarToFloatDef(c.text, -7), c.expected) << c.text;
}

TEST(CheckPackage, PositionMoneyRoundsTiesToEven) {
  const struct {
    const char* text;
    std::int64_t units;
  } cases[] = {
      {"1,5", 15000},    {"1.5", 15000},   {"123.45678", 1234568},
      {" ", 0},          {"", 0},          {"0.00125", 12},
      {"0.00135", 14},   {"0.00025", 2},   {"2.00005", 20000},
      {"-0.00125", -12}, {"100", 1000000}, {"0.1", 1000},
  };
  for (const auto& c : cases) EXPECT_EQ(PositionMoney(c.text), c.units) << c.text;

  // Beyond the currency range, or no number at all: an input error naming the attribute and the
  // text, never a wrapped sum or a silent 0.
  for (const char* bad :
       {"1e300", "-1e16", "922337203685478", "1e400", "abc", "1 000,00", "1,000.5", "12руб"}) {
    try {
      PositionMoney(bad, "AmountWithDiscount");
      ADD_FAILURE() << bad << " must not read as a sum";
    } catch (const EquException& e) {
      EXPECT_EQ(e.Code(), errors::kInputParameters) << bad;
      EXPECT_NE(std::string(e.what()).find(std::string("AmountWithDiscount: \"") + bad + "\""),
                std::string::npos)
          << e.what();
    }
  }
}

TEST(CheckPackage, PaymentMoneyIsExactDecimal) {
  const struct {
    const char* text;
    std::int64_t units;
  } cases[] = {
      {"100", 1000000},
      {"0,5", 5000},
      {" 12.34 ", 123400},
      {"1.00005", 10000},  // a tie: the even neighbour
      {"1.00015", 10002},
      {"1.000051", 10001},
      {"1.00004999", 10000},
      {"0.00006", 1},
      {"0.000049", 0},
      {"1e2", 1000000},
      {"15E-1", 15000},
      {"-2.5", -25000},
      {"000123.4500", 1234500},
      {"922337203685477.5807", INT64_MAX},
      {"922337203685477.5808", 0},  // beyond the currency range
      {"12345678901234567890", 0},
      {"1e99999999", 0},
      {"0e99999999", 0},
      {"abc", 0},  // unreadable gives 0, not the default
      {"1.000,5", 0},
      {"", 42},  // empty gives the default
  };
  for (const auto& c : cases) EXPECT_EQ(VarToCurrDef(c.text, 42), c.units) << c.text;

  // A payment read from a package is strict where VarToCurrDef gives 0.
  EXPECT_EQ(ExactMoney("", "Cash"), 0);
  EXPECT_EQ(ExactMoney(" 0,5 ", "Cash"), 5000);
  for (const char* bad : {"abc", "1 000,00", "1.000,5", "922337203685477.5808", "1e99999999"}) {
    try {
      ExactMoney(bad, "Cash");
      ADD_FAILURE() << bad;
    } catch (const EquException& e) {
      EXPECT_EQ(e.Code(), errors::kInputParameters) << bad;
      EXPECT_NE(std::string(e.what()).find("Cash"), std::string::npos) << e.what();
    }
  }
}

TEST(CheckPackage, Base64MarkingCodesAndTexts) {
  pugi::xml_document doc;
  doc.load_string(R"(<F Blank="  " Code=" AQID " Bad="!!!" Name="0uXx8g==" Wrapped="0uXx
8g=="/>)");
  const auto f = doc.first_child();
  EXPECT_FALSE(Base64Bytes(f, "Blank"));
  EXPECT_FALSE(Base64Bytes(f, "Missing"));
  ASSERT_TRUE(Base64Bytes(f, "Code"));
  EXPECT_EQ(*Base64Bytes(f, "Code"), (automation::Bytes{1, 2, 3}));
  EXPECT_EQ(Base64Text(f, "Name"), "Тест") << "bytes are read in the Cyrillic code page";
  EXPECT_EQ(Base64Text(f, "Missing"), "");
  for (const char* name : {"Bad"}) {
    try {
      Base64Bytes(f, name);
      ADD_FAILURE();
    } catch (const EquException& e) {
      EXPECT_EQ(e.Code(), errors::kInputParameters);
      EXPECT_NE(std::string(e.what()).find("Bad"), std::string::npos) << e.what();
    }
    EXPECT_THROW(Base64Text(f, name), EquException);
  }
}

TEST(CheckPackage, TrimmedTextsAndElementNames) {
  pugi::xml_document doc;
  doc.load_string("<Positions><fiscalSTRING Name=\" \t a b \n\"/><!-- c --><Other/></Positions>");
  const auto first = doc.first_child().first_child();
  EXPECT_TRUE(IsElement(first, "FiscalString"));
  EXPECT_EQ(Trimmed(first, "Name"), "a b");
  EXPECT_FALSE(IsElement(first.next_sibling(), "FiscalString")) << "a comment";
  EXPECT_FALSE(IsElement(doc.first_child().last_child(), "FiscalString"));
}

}  // namespace
}  // namespace vantorel::package
