// Receipt attributes and agent data on the virtual register: the staged tags in order, the
// composed tags as the register stores them, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "staging_fixture.h"
#include "support/equipment_errors.h"

namespace vantorel {
namespace {

using Lines = std::vector<std::string>;

class ReceiptAttributes : public testing::StagingOnVirtualRegister {
 protected:
  // Steps with the composed values' bytes left out.
  Lines Short() const {
    Lines out;
    for (auto s : Steps()) {
      const auto open = s.find('['), close = s.rfind(']');
      if (open != std::string::npos && close != std::string::npos && close > open)
        s.replace(open, close - open + 1, "[..]");
      out.push_back(s);
    }
    return out;
  }
  TDevice::TReceiptAttributes Stage(const std::string& parameters) {
    auto doc = Xml("<Parameters>" + parameters + "</Parameters>");
    return Dev().StageReceiptAttributes(doc.child("Parameters"));
  }
  void StageAgent(bool forReceipt, const std::string& xml, int agentType = -1) {
    auto doc = Xml("<P>" + xml + "</P>");
    Dev().StageAgentData(forReceipt, doc.child("P").child("AgentData"),
                         doc.child("P").child("VendorData"), agentType);
  }
  // Opens a sale receipt with whatever is staged and hands back its receipt-level tags.
  std::vector<emulator::Tag> OpenedReceiptTags() {
    Dev().OpenReceipt(1, true, false);
    return Register()->Snapshot().receipt.tags;
  }
  void OpenShift() {
    Dev().SetTag(1021, automation::Value("Кассир"));
    Dev().Call("operatorLogin");
    Dev().Call("openShift");
    reg->ClearTrace();
  }
};

TEST_F(ReceiptAttributes, Format12ComposesEachAttribute) {
  Start();
  OpenShift();
  const auto result = Stage(
      "<UserAttribute Name=\"Карта\" Value=\" 123 \"/>"
      "<CustomerDetail Info=\" Иванов \" INN=\" 7701234567 \" Citizenship=\"643\" "
      "Address=\"Москва\""
      " DateOfBirth=\"01.02.1990\" DocumentTypeCode=\"21\"/>"
      "<OperationalAttribute DateTime=\"2024-03-05T14:07:09+03:00\" OperationID=\" 7 \""
      " OperationData=\"x\"/>"
      "<IndustryAttribute DocumentDate=\"5.3.2024\" IdentifierFOIV=\"003\" DocumentNumber=\"12\""
      " AttributeValue=\"v\"/>");
  EXPECT_EQ(Short(),
            (Lines{"setParam(1085, \"Карта\")", "setParam(1086, \" 123 \")", "utilFormTlv",
                   // with an INN the birth date and identity document are not sent
                   "setParam(1227, \"Иванов\")", "setParam(1228, \"7701234567\")",
                   "setParam(1244, \"643\")", "setParam(1254, \"Москва\")", "utilFormTlv",
                   "setParam(1273, 2024-03-05T11:07:09)", "setParam(1271, 7)",
                   "setParam(1272, \"x\")", "utilFormTlv", "setParam(1263, \"05.03.2024\")",
                   "setParam(1262, \"003\")", "setParam(1264, \"12\")", "setParam(1265, \"v\")",
                   "utilFormTlv", "setParam(1256, [..])", "setParam(1270, [..])",
                   "setParam(1261, [..])", "setParam(1084, [..])"}));
  EXPECT_EQ(result.CustomerINN, "7701234567");
  ASSERT_TRUE(result.IndustryValue);

  const auto tags = OpenedReceiptTags();
  EXPECT_EQ(Numbers(tags), (std::vector<int>{1256, 1270, 1261, 1084}));
  EXPECT_EQ(Numbers(Find(tags, 1256)->children), (std::vector<int>{1227, 1228, 1244, 1254}));
  EXPECT_EQ(Numbers(Find(tags, 1261)->children), (std::vector<int>{1263, 1262, 1264, 1265}));
  EXPECT_EQ(Find(tags, 1084)->children.at(1).text, " 123 ");
}

TEST_F(ReceiptAttributes, CustomerAndUserAttributeCases) {
  const struct {
    int ffd;
    const char* xml;
    Lines steps;
  } cases[] = {
      {105,
       "<CustomerDetail Info=\"Иванов\" INN=\"7701234567\" DateOfBirth=\"01.02.1990\""
       " Citizenship=\"643\"/>",
       {"setParam(1227, \"Иванов\")", "setParam(1228, \"7701234567\")"}},
      {120,
       "<CustomerDetail INN=\"7701234567\" DateOfBirth=\"01.02.1990\" DocumentTypeCode=\"21\"/>",
       {"setParam(1228, \"7701234567\")", "utilFormTlv", "setParam(1256, [..])"}},
      {120,
       "<CustomerDetail DateOfBirth=\"1.2.1990\" DocumentTypeCode=\"21\" DocumentData=\"4500 1\""
       " Citizenship=\"643\"/>",
       {"setParam(1243, \"01.02.1990\")", "setParam(1245, \"21\")", "setParam(1246, \"4500 1\")",
        "setParam(1244, \"643\")", "utilFormTlv", "setParam(1256, [..])"}},
      {120, "<CustomerDetail Info=\"  \" INN=\" \"/>", {}},
      {120, "<UserAttribute Name=\"Карта\" Value=\"\"/>", {}},
      {100,
       "<UserAttribute Name=\"Карта\" Value=\"1\"/>",
       {"setParam(1085, \"Карта\")", "setParam(1086, \"1\")", "utilFormTlv",
        "setParam(1084, [..])"}},
      // The older formats have no operational or industry attribute.
      {110,
       "<OperationalAttribute DateTime=\"bad\" OperationID=\"1\" OperationData=\"x\"/>"
       "<IndustryAttribute DocumentDate=\"01.01.2024\" IdentifierFOIV=\"1\" DocumentNumber=\"1\""
       " AttributeValue=\"1\"/>",
       {}},
  };
  for (const auto& c : cases) {
    Start(c.ffd);
    Stage(c.xml);
    EXPECT_EQ(Short(), c.steps) << c.xml;
  }
}

TEST_F(ReceiptAttributes, InvalidTextsAreRefusedBeforeAnythingIsStaged) {
  const struct {
    int ffd;
    const char* xml;
    int code;  // 0: a plain error
    const char* message;
  } cases[] = {
      {105, "<CustomerDetail INN=\"1\" DateOfBirth=\"30.02.1990\"/>", 1004,
       "Ошибка входных параметров команды. Некорректная дата рождения покупателя"},
      {120, "<UserAttribute Name=\"a\" Value=\"b\"/><CustomerDetail DateOfBirth=\"1990-02-01\"/>",
       1004, "Ошибка входных параметров команды. Некорректная дата рождения покупателя"},
      {120, "<OperationalAttribute DateTime=\"2024-02-30T10:00:00\" OperationID=\"1\"/>", 1004,
       "Ошибка входных параметров команды. Некорректные дата, время операции"},
      {120, "<OperationalAttribute DateTime=\"05.03.2024\"/>", 1004,
       "Ошибка входных параметров команды. Некорректные дата, время операции"},
      {120, "<OperationalAttribute OperationID=\"7a\"/>", 0, "'7a' is not a valid integer value"},
      {120, "<IndustryAttribute DocumentDate=\"32.01.2024\"/>", 1004,
       "Ошибка входных параметров команды. Некорректная дата документа основания"},
  };
  for (const auto& c : cases) {
    Start(c.ffd);
    try {
      Stage(c.xml);
      ADD_FAILURE() << c.xml;
    } catch (const EquException& e) {
      EXPECT_EQ(e.Code(), c.code) << c.xml;
      EXPECT_STREQ(e.what(), c.message);
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(c.code, 0) << c.xml;
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(Steps(), Lines{}) << c.xml;
  }
}

TEST_F(ReceiptAttributes, IncompleteAttributesStayOutOfComposedTags) {
  Start();
  OpenShift();
  const auto result = Stage(
      "<OperationalAttribute DateTime=\"2024-03-05T14:07:09Z\"/>"
      "<IndustryAttribute DocumentDate=\"05.03.2024\" IdentifierFOIV=\"003\" DocumentNumber=\"12\""
      " AttributeValue=\"v\"/>");
  // The operational attribute's lone part is staged after the industry attribute is composed.
  EXPECT_EQ(Short(), (Lines{"setParam(1263, \"05.03.2024\")", "setParam(1262, \"003\")",
                            "setParam(1264, \"12\")", "setParam(1265, \"v\")", "utilFormTlv",
                            "setParam(1273, 2024-03-05T14:07:09)", "setParam(1261, [..])"}));
  ASSERT_TRUE(result.IndustryValue);
  auto tags = OpenedReceiptTags();
  EXPECT_EQ(Numbers(tags), (std::vector<int>{1273, 1261}));
  EXPECT_EQ(Numbers(Find(tags, 1261)->children), (std::vector<int>{1263, 1262, 1264, 1265}));

  // Three of four industry parts: staged, nothing composed, no value for the sales notice.
  Dev().CancelReceipt();
  reg->ClearTrace();
  const auto partial = Stage(
      "<IndustryAttribute IdentifierFOIV=\"003\" DocumentNumber=\"12\" AttributeValue=\"v\"/>");
  EXPECT_FALSE(partial.IndustryValue);
  EXPECT_EQ(Short(),
            (Lines{"setParam(1262, \"003\")", "setParam(1264, \"12\")", "setParam(1265, \"v\")"}));
}

TEST_F(ReceiptAttributes, AgentDataOfReceiptAndPosition) {
  const std::string agent =
      "<AgentData AgentOperation=\" Приём \" AgentPhone=\"+7 (912) 000-11-22, 8 800 100-20-30\""
      " PaymentProcessorPhone=\"8-800\" AcquirerOperatorPhone=\"+7 495\""
      " AcquirerOperatorName=\"Банк\" AcquirerOperatorAddress=\"Москва\""
      " AcquirerOperatorINN=\"7700000000\"/>";
  const Lines plain{"setParam(1005, \"Москва\")",      "setParam(1016, \"7700000000\")",
                    "setParam(1026, \"Банк\")",        "setParam(1075, \"+7495\")",
                    "setParam(1044, \"Приём\")",       "setParam(1073, \"+79120001122\")",
                    "setParam(1073, \"88001002030\")", "setParam(1074, \"8800\")"};
  const std::string vendor =
      "<VendorData VendorPhone=\"+7 912 1; 8 800 2\" VendorName=\"ООО Поставщик\""
      " VendorINN=\" 7701234567 \"/>";
  auto with = [](Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const struct {
    int ffd;
    bool forReceipt;
    std::string xml;
    int agentType;
    Lines steps;
  } cases[] = {
      // Format 1.2 sends agent data per position only.
      {120, true, agent + vendor, 2, {}},
      {105, true, agent + vendor, 2,
       with(plain,
            {"setParam(1057, LIBFPTR_AT_PAYING_AGENT)", "setParam(1171, \"+79121;88002\")"})},
      {105, true, vendor, -1, {}},
      {120, false, agent + vendor, -1,
       with(plain,
            {"utilFormTlv", "setParam(1225, \"ООО Поставщик\")", "setParam(1171, \"+79121\")",
             "setParam(1171, \"88002\")", "utilFormTlv", "setParam(1226, \"7701234567\")",
             "setParam(1223, [..])", "setParam(1224, [..])"})},
      {105, false, "<VendorData VendorINN=\"7701234567\"/>", 5, {"setParam(1226, \"7701234567\")"}},
      // Blank or phone-less texts stage nothing, so nothing is composed.
      {120,
       false,
       "<AgentData AgentOperation=\"  \" AgentPhone=\"()\"/><VendorData VendorPhone=\"-\"/>",
       -1,
       {}},
      {120, false, "<VendorData VendorName=\" \t \"/>", -1, {}},
      {120,
       false,
       "<VendorData VendorName=\" ООО Поставщик \"/>",
       -1,
       {"setParam(1225, \"ООО Поставщик\")", "utilFormTlv", "setParam(1224, [..])"}},
  };
  for (const auto& c : cases) {
    if (c.forReceipt) {
      Start(c.ffd);
      StageAgent(true, c.xml, c.agentType);
      EXPECT_EQ(Short(), c.steps) << c.ffd << " " << c.xml;
      continue;
    }
    // A position's data is complete once its registration has begun.
    StartReceipt(c.ffd);
    StageAgent(false, c.xml, c.agentType);
    TDevice::TItem item;
    item.Name = "x";
    item.PriceWithDiscount = item.SumWithDiscount = 10000;
    item.Quantity = 1;
    item.Tax = 6;
    Dev().RegisterItem(item);
    Lines steps = Short();
    steps.erase(
        std::find_if(steps.begin(), steps.end(),
                     [](const std::string& s) { return s.starts_with("setParam(POSITION_SUM,"); }),
        steps.end());
    EXPECT_EQ(steps, c.steps) << c.ffd << " position " << c.xml;
  }

  for (int bad : {7, -2}) {
    Start(105);
    try {
      StageAgent(true, agent, bad);
      ADD_FAILURE() << bad;
    } catch (const EquException& e) {
      EXPECT_EQ(e.Code(), 3023);
      EXPECT_STREQ(e.what(), errors::kAgentSignOutOfRangeText);
    }
    EXPECT_EQ(Steps(), Lines{});
  }
}

}  // namespace
}  // namespace vantorel
