// One receipt position on the virtual register: what is staged, in which order, and what the
// register stored; the product code of the older formats; tax rate texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "protocol/device_driver.h"
#include "staging_fixture.h"
#include "support/equipment_errors.h"

namespace vantorel {
namespace {

using automation::Bytes;
using Lines = std::vector<std::string>;

class ItemRegistration : public testing::StagingOnVirtualRegister {
 protected:
  static TDevice::TItem Item() {
    TDevice::TItem item;
    item.Name = "Хлеб";
    item.PriceWithDiscount = 1000000;  // 100.00
    item.Quantity = 2;
    item.SumWithDiscount = 2000000;
    item.Tax = 2;
    item.TaxSum = 181800;
    item.SignCalculationObject = 1;
    item.SignMethodCalculation = 4;
    return item;
  }
  static Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
  // 01 <GTIN 04601234567890> 21 <serial ABC123> GS 91EE06
  static std::string Code() {
    return "010460123456789021ABC123\x1d"
           "91EE06";
  }
};

TEST_F(ItemRegistration, PositionStagesItsValuesInOrder) {
  StartReceipt();
  TDevice::TItem item = Item();
  Dev().RegisterItem(item);  // nothing optional: department 0, no excise, no agent sign
  EXPECT_EQ(Steps(),
            (Lines{"setParam(POSITION_SUM, 200.00c)", "setParam(COMMODITY_NAME, \"Хлеб\")",
                   "setParam(PRICE, 100.00c)", "setParam(QUANTITY, 2)",
                   "setParam(TAX_TYPE, LIBFPTR_TAX_VAT10)", "setParam(TAX_SUM, 18.18c)",
                   "setParam(INFO_DISCOUNT_SUM, 0.00c)", "setParam(USE_ONLY_TAX_TYPE, false)",
                   "setParam(1212, 1)", "setParam(1214, 4)", "setParam(2108, 0)", "registration"}));

  reg->ClearTrace();
  item.Department = 3;
  item.DiscountSum = 50000;
  item.MeasureOfQuantity = 11;
  item.GoodCodeData = "4601234567890";
  item.AdditionalAttribute = " доп ";
  item.ExciseAmount = 50000;
  item.CountryOfOrigin = "643";
  item.CustomsDeclaration = "10702010/010124/0000001";
  item.MeasurementUnit = "шт";  // an older-format tag: never in format 1.2
  item.SignSubjectCalculationAgent = 5;
  Dev().RegisterItem(item);
  EXPECT_EQ(Steps(),
            (Lines{"setParam(DEPARTMENT, 3)", "setParam(POSITION_SUM, 200.00c)",
                   "setParam(COMMODITY_NAME, \"Хлеб\")", "setParam(PRICE, 100.00c)",
                   "setParam(QUANTITY, 2)", "setParam(TAX_TYPE, LIBFPTR_TAX_VAT10)",
                   "setParam(TAX_SUM, 18.18c)", "setParam(INFO_DISCOUNT_SUM, 5.00c)",
                   "setParam(USE_ONLY_TAX_TYPE, false)", "setParam(1212, 1)", "setParam(1214, 4)",
                   "setParam(2108, 11)", "setParam(PRODUCT_CODE, \"4601234567890\")",
                   "setParam(1191, \" доп \")", "setParam(1229, 5.00c)", "setParam(1230, \"643\")",
                   "setParam(1231, \"10702010/010124/0000001\")",
                   "setParam(1222, LIBFPTR_AT_COMMISSION_AGENT)", "registration"}));
  const auto s = Register()->Snapshot();
  ASSERT_EQ(s.receipt.positions.size(), 2u);
  EXPECT_EQ(s.receipt.positions[1].department, 3);
  const auto code = Find(PositionTags(), 1163);
  ASSERT_TRUE(code);
  EXPECT_EQ(code->children.at(0).text, "4601234567890");
}

TEST_F(ItemRegistration, TaxCodesAndAgentSignsBecomeDtoTypes) {
  StartReceipt();
  const char* taxes[] = {"LIBFPTR_TAX_VAT20",  "LIBFPTR_TAX_VAT10", "LIBFPTR_TAX_VAT120",
                         "LIBFPTR_TAX_VAT110", "LIBFPTR_TAX_VAT0",  "LIBFPTR_TAX_NO",
                         "LIBFPTR_TAX_VAT5",   "LIBFPTR_TAX_VAT7",  "LIBFPTR_TAX_VAT105",
                         "LIBFPTR_TAX_VAT107"};
  const char* agents[] = {"LIBFPTR_AT_BANK_PAYING_AGENT",
                          "LIBFPTR_AT_BANK_PAYING_SUBAGENT",
                          "LIBFPTR_AT_PAYING_AGENT",
                          "LIBFPTR_AT_PAYING_SUBAGENT",
                          "LIBFPTR_AT_ATTORNEY",
                          "LIBFPTR_AT_COMMISSION_AGENT",
                          "LIBFPTR_AT_ANOTHER"};
  for (int tax = 1; tax <= 10; ++tax) {
    reg->ClearTrace();
    TDevice::TItem item = Item();
    item.Tax = tax;
    item.TaxSum = 0;
    item.SignSubjectCalculationAgent = tax - 2;  // -1 (none) to 8
    if (tax - 2 > 6) {
      try {
        Dev().RegisterItem(item);
        ADD_FAILURE() << tax;
      } catch (const EquException& e) {
        EXPECT_EQ(e.Code(), 3023);
        EXPECT_STREQ(e.what(), errors::kAgentSignOutOfRangeText);
      }
      EXPECT_EQ(Steps(), Lines{}) << "refused before anything is staged";
      continue;
    }
    Dev().RegisterItem(item);
    Lines want{"setParam(TAX_TYPE, " + std::string(taxes[tax - 1]) + ")"};
    if (tax > 1) want.push_back("setParam(1222, " + std::string(agents[tax - 2]) + ")");
    want.push_back("registration");
    EXPECT_EQ(StepsOf({"TAX_TYPE", "1222"}), want) << tax;
  }
  for (int tax : {0, 11}) {
    reg->ClearTrace();
    TDevice::TItem item = Item();
    item.Tax = tax;
    try {
      Dev().RegisterItem(item);
      ADD_FAILURE() << tax;
    } catch (const EquException& e) {
      EXPECT_EQ(e.Code(), 3010);
    }
    EXPECT_EQ(Steps(), Lines{});
  }
}

TEST_F(ItemRegistration, MarkedPositionSendsCodeStatusAndFraction) {
  const struct {
    int numerator, denominator, measure;
    double quantity;
    const char* fraction;  // nullptr: none staged
  } cases[] = {{1, 4, 0, 1, "1/4"},   {1, 4, 0, 2, nullptr}, {1, 4, 11, 1, nullptr},
               {0, 4, 0, 1, nullptr}, {4, 4, 0, 1, nullptr}, {3, 10, 0, 1, "3/10"}};
  StartReceipt();
  for (const auto& c : cases) {
    reg->ClearTrace();
    TDevice::TItem item = Item();
    item.Quantity = c.quantity;
    item.SumWithDiscount = static_cast<std::int64_t>(item.PriceWithDiscount * c.quantity);
    item.MeasureOfQuantity = c.measure;
    item.Numerator = c.numerator;
    item.Denominator = c.denominator;
    item.MarkingCode = B(Code());
    item.GoodCodeData = "4601234567890";  // a marked position sends its code instead
    Dev().RegisterItem(item);
    Lines want;
    if (c.fraction)
      want.push_back("setParam(MARKING_FRACTIONAL_QUANTITY, \"" + std::string(c.fraction) + "\")");
    // Never checked in this marking session: sent with status and result 0.
    want.insert(want.end(),
                {"setParam(MARKING_CODE, \"" + Code() + "\")", "setParam(MARKING_CODE_STATUS, 0)",
                 "setParam(MARKING_CODE_ONLINE_VALIDATION_RESULT, 0)",
                 "setParam(MARKING_PROCESSING_MODE, 0)", "registration"});
    EXPECT_EQ(StepsOf({"MARKING_FRACTIONAL_QUANTITY", "MARKING_CODE", "MARKING_CODE_STATUS",
                       "MARKING_CODE_ONLINE_VALIDATION_RESULT", "MARKING_PROCESSING_MODE",
                       "PRODUCT_CODE"}),
              want)
        << c.numerator << "/" << c.denominator << " x" << c.quantity;
  }
}

TEST_F(ItemRegistration, OlderFormatsSendProductCodeAndUnit) {
  StartReceipt(105);
  const struct {
    const char* goodCode;
    const char* markingCode;  // nullptr: not marked
    const char* unit;
    const char* tag1162;  // hex, nullptr: not staged
    bool unitStaged;
  } cases[] = {
      // The good-code text wins; the marking code (not one GetTag1162 could read) is not used.
      {"ABC", "garbage", " шт ", "41 42 43", true},
      {"",
       "010460123456789021ABC123\x1d"
       "91EE06",
       "   ", "44 4D 04 2F 4E F3 B2 D2 41 42 43 31 32 33", false},
      {"", nullptr, "кг", nullptr, true},
  };
  for (const auto& c : cases) {
    reg->ClearTrace();
    TDevice::TItem item = Item();
    item.GoodCodeData = c.goodCode;
    if (c.markingCode) item.MarkingCode = B(c.markingCode);
    item.MeasurementUnit = c.unit;
    item.IndustryIdentifierFOIV = "003";  // no industry attribute in the older formats
    item.MeasureOfQuantity = 11;          // nor tag 2108
    Dev().RegisterItem(item);
    Lines want;
    if (c.tag1162) want.push_back("setParam(1162, [" + std::string(c.tag1162) + "])");
    if (c.unitStaged) want.push_back("setParam(1197, \"" + std::string(c.unit) + "\")");
    want.push_back("registration");
    EXPECT_EQ(StepsOf({"1162", "1197", "2108", "1262", "1260", "MARKING_CODE", "PRODUCT_CODE"}),
              want)
        << c.goodCode;
    const auto stored = Find(PositionTags(), 1162);
    if (c.tag1162) {
      ASSERT_TRUE(stored);
      EXPECT_EQ(Hex(stored->bytes), c.tag1162);
    }
  }
}

TEST_F(ItemRegistration, IndustryAttributeIsComposedIntoTag1260) {
  StartReceipt();
  TDevice::TItem item = Item();
  item.IndustryIdentifierFOIV = "003";
  Dev().RegisterItem(item);
  EXPECT_EQ(StepsOf({"1262", "1263", "1264", "1265", "1260"}),
            (Lines{"setParam(1262, \"003\")", "utilFormTlv",
                   "setParam(1260, [EE 04 03 00 30 30 33])", "registration"}));

  reg->ClearTrace();
  item.IndustryDocumentDate = "5.3.2024";
  item.IndustryDocumentNumber = "12/7";
  item.IndustryAttributeValue = "a=1";
  Dev().RegisterItem(item);
  const auto steps = StepsOf({"1262", "1263", "1264", "1265"});
  EXPECT_EQ(steps, (Lines{"setParam(1263, \"05.03.2024\")", "setParam(1262, \"003\")",
                          "setParam(1264, \"12/7\")", "setParam(1265, \"a=1\")", "utilFormTlv",
                          "registration"}));
  const auto industry = Find(PositionTags(), 1260);
  ASSERT_TRUE(industry);
  EXPECT_EQ(Numbers(industry->children), (std::vector<int>{1263, 1262, 1264, 1265}));
  EXPECT_EQ(Numbers(PositionTags()).back(), 1260) << "only the composed tag, no loose parts";

  for (const char* bad :
       {"31.02.2024", "29.02.2023", "2024-03-05", "05.03.24", "05.03.2024 10:00", "5..2024", "x"}) {
    reg->ClearTrace();
    item.IndustryDocumentDate = bad;
    try {
      Dev().RegisterItem(item);
      ADD_FAILURE() << bad;
    } catch (const EquException& e) {
      EXPECT_EQ(e.Code(), 1004);
      EXPECT_STREQ(e.what(),
                   "Ошибка входных параметров команды. Некорректная дата документа основания");
    }
    EXPECT_EQ(Steps(), Lines{}) << bad;
  }
  EXPECT_EQ(Register()->Snapshot().receipt.positions.size(), 2u);
  EXPECT_NE(Register()->Snapshot().receipt.type, 0) << "the receipt stays open";
}

TEST_F(ItemRegistration, PositionAgentDataKeepsOutOfTheIndustryAttribute) {
  StartReceipt();
  auto doc =
      Xml("<F><AgentData AgentOperation=\"Приём\" AgentPhone=\"+7 (912) 000-11-22\"/>"
          "<VendorData VendorINN=\" 7701234567 \" VendorName=\"ООО Поставщик\"/></F>");
  Dev().StageAgentData(false, doc.child("F").child("AgentData"), doc.child("F").child("VendorData"),
                       -1);
  TDevice::TItem item = Item();
  item.IndustryIdentifierFOIV = "003";
  Dev().RegisterItem(item);
  const auto tags = PositionTags();
  for (int own : {1223, 1224, 1226, 1260}) EXPECT_TRUE(Find(tags, own)) << own;
  EXPECT_EQ(Numbers(Find(tags, 1260)->children), std::vector<int>{1262});
  EXPECT_EQ(Numbers(Find(tags, 1223)->children), (std::vector<int>{1044, 1073}));
  EXPECT_EQ(Find(tags, 1226)->text, "7701234567");

  // Taken once: the next position has no agent data of its own.
  Dev().RegisterItem(item);
  EXPECT_FALSE(Find(PositionTags(), 1223));
}

TEST_F(ItemRegistration, CheckedCodeSendsItsStoredResult) {
  Start();
  Configure([](emulator::Config& c) { c.markingDelayMs = 0; });
  Dev().SetTag(1021, automation::Value("Кассир"));
  Dev().Call("operatorLogin");
  Dev().Call("openShift");
  TKMInput input;
  input.GUID = "{1}";
  input.KM = Code();
  input.PlannedStatus = 1;
  input.Quantity = 1;
  TKMResult result;
  Dev().CheckMark(input, result, false);
  const auto stored = Dev().FindKMResult(Code());
  ASSERT_TRUE(stored);
  ASSERT_NE(stored->MarkingValidationResult, 0);
  Dev().OpenReceipt(1, false, false);
  reg->ClearTrace();

  TDevice::TItem item = Item();
  item.MarkingCode = B(Code());
  Dev().RegisterItem(item);
  EXPECT_EQ(StepsOf({"MARKING_CODE_STATUS", "MARKING_CODE_ONLINE_VALIDATION_RESULT"}),
            (Lines{"setParam(MARKING_CODE_STATUS, " + std::to_string(stored->PlannedStatus) + ")",
                   "setParam(MARKING_CODE_ONLINE_VALIDATION_RESULT, " +
                       std::to_string(stored->MarkingValidationResult) + ")",
                   "registration"}));
  EXPECT_EQ(stored->PlannedStatus, 1);
}

TEST_F(ItemRegistration, SaleByGtinIsCheckedOnTheRegisterAndAccepted) {
  StartReceipt();
  // ITF14 04601234567890, as the check package carries it (Base64).
  auto doc =
      Xml("<F><GoodCodeData ITF14=\"MDQ2MDEyMzQ1Njc4OTA=\"/><GoodCodeData EAN13=\"x\"/>"
          "<VendorData VendorINN=\"7701234567\"/></F>");
  const pugi::xml_node withItf = doc.child("F").child("GoodCodeData");
  const pugi::xml_node withoutItf = withItf.next_sibling("GoodCodeData");

  Dev().StageAgentData(false, pugi::xml_node(), doc.child("F").child("VendorData"), -1);
  TDevice::TItem item = Item();
  item.IndustryAttributeValue = "MODE=HoReCa";
  item.GoodCodeData = "04601234567890";
  item.GoodCodeDataNode = &withItf;
  Dev().RegisterItem(item);
  const auto calls = Calls();
  auto at = [&](const char* name) {
    return std::find(calls.begin(), calls.end(), name) - calls.begin();
  };
  EXPECT_LT(at("beginMarkingCodeValidation"), at("acceptMarkingCode"));
  EXPECT_LT(at("acceptMarkingCode"), at("utilFormTlv"));
  EXPECT_LT(at("utilFormTlv"), at("registration"));
  EXPECT_EQ(calls.back(), "registration");
  const auto notSent = StepsOf({"MARKING_NOT_SEND_TO_SERVER"});
  EXPECT_NE(std::find(notSent.begin(), notSent.end(), "setParam(MARKING_NOT_SEND_TO_SERVER, true)"),
            notSent.end());
  // The supplier INN is held back until the check and the composition are done.
  const auto steps = Steps();
  const auto inn = std::find(steps.begin(), steps.end(), "setParam(1226, \"7701234567\")");
  EXPECT_GT(inn - std::find(steps.begin(), steps.end(), "utilFormTlv"), 0);
  EXPECT_EQ(std::find(steps.begin(), steps.end(), "resetParams"), steps.end());
  const auto tags = PositionTags();
  ASSERT_TRUE(Find(tags, 1226));
  EXPECT_EQ(Numbers(Find(tags, 1260)->children), std::vector<int>{1265});
  EXPECT_EQ(Find(tags, 1163)->children.at(0).number, 1303);

  // Without an ITF14 there is nothing to check by GTIN.
  reg->ClearTrace();
  item.GoodCodeDataNode = &withoutItf;
  Dev().RegisterItem(item);
  EXPECT_EQ(Calls(), (Lines{"utilFormTlv", "registration"}));

  // A bad document date is refused before the register checks and accepts the code.
  reg->ClearTrace();
  item.GoodCodeDataNode = &withItf;
  item.IndustryDocumentDate = "31.02.2024";
  EXPECT_THROW(Dev().RegisterItem(item), EquException);
  EXPECT_EQ(Calls(), Lines{});
}

TEST_F(ItemRegistration, RegisterRefusalIsRaised) {
  StartReceipt();
  TDevice::TItem item = Item();
  item.Name = std::string(200, 'x');
  try {
    Dev().RegisterItem(item);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[6] - Слишком длинное наименование предмета расчета ");
  }
  EXPECT_TRUE(Register()->Snapshot().receipt.positions.empty());
}

TEST_F(ItemRegistration, Tag1162FromMarkingCode) {
  Start();
  const struct {
    std::string code;
    const char* bytes;  // hex; nullptr: fails
    const char* error;
  } cases[] = {
      {Code(), "44 4D 04 2F 4E F3 B2 D2 41 42 43 31 32 33", nullptr},
      {"]" + Code(), "44 4D 04 2F 4E F3 B2 D2 41 42 43 31 32 33",
       nullptr},  // one leading character
      {"010460123456789021ABC12392EE06", "44 4D 04 2F 4E F3 B2 D2 41 42 43 31 32 33", nullptr},
      {"0100000000000001215\x1d", "44 4D 00 00 00 00 00 01 35", nullptr},
      {"xx" + Code(), nullptr, nullptr},
      {"010460123456789017ABC123\x1d", nullptr, nullptr},  // no "21" after the GTIN
      {"010460123456789021ABC123", nullptr, nullptr},      // no end of the serial
      {"01046012345678901721ABC\x1d", nullptr, nullptr},   // "21" later on is no serial number
      {"01046012345678X021ABC123\x1d", nullptr, "'046012345678X0' is not a valid integer value"},
  };
  for (const auto& c : cases) {
    if (c.bytes) {
      EXPECT_EQ(Hex(Dev().GetTag1162(c.code)), c.bytes) << c.code;
      continue;
    }
    try {
      Dev().GetTag1162(c.code);
      ADD_FAILURE() << c.code;
    } catch (const EquException&) {
      ADD_FAILURE() << "a plain error: " << c.code;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.error ? std::string(c.error) : "Некорректный код маркировки " + c.code);
    }
  }
  EXPECT_EQ(Steps(), Lines{}) << "no device work";
}

TEST_F(ItemRegistration, AgentPhonesAreOneValueEach) {
  Start();
  Dev().SetAgentPhones(1073, "+79120001122;;88001002030;");
  EXPECT_EQ(Steps(),
            (Lines{"setParam(1073, \"+79120001122\")", "setParam(1073, \"88001002030\")"}));
}

TEST(TaxValues, RateTextsInListOrder) {
  const TTaxValues taxes;
  const struct {
    const char* text;
    int id;
  } cases[] = {{"20", 1},     {"18", 2},  {"0", 4},   {"NONE", 5}, {"none", 5},
               {"7/107", 12}, {"20%", 0}, {" 20", 0}, {"", 0}};
  for (const auto& c : cases) EXPECT_EQ(taxes.IDOfTax(c.text), c.id) << c.text;
}

}  // namespace
}  // namespace vantorel
