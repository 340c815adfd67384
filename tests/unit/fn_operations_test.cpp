// The table of registration parameters and the fiscal storage operations, against the virtual
// register.
#include "driver_fixture.h"
#include "support/equipment_errors.h"
#include "vregister/constants.h"
#include "vregister/persistence.h"
#include "vregister/storage.h"

namespace vantorel::testing {
namespace {

class FNOperations : public DriverOnVirtualRegister {
 protected:
  pugi::xml_document Table() {
    pugi::xml_document out;
    driver.GetDataKKT(out);
    return out;
  }
  static std::string Attr(const pugi::xml_document& table, const char* name) {
    return table.child("Parameters").attribute(name).value();
  }
  static std::string Fiscal(const std::string& attributes) {
    return "<ParametersFiscal " + attributes + "/>";
  }
  static std::string Valid(const std::string& version, const std::string& extra = {}) {
    return "FFDVersion=\"" + version +
           "\" INN=\"7701234567\" KKTNumber=\"0000000002012345\" CompanyName=\"ООО Ромашка\" "
           "SaleAddress=\"г. Тверь\" SaleLocation=\"Касса 1\" TaxationSystems=\"0,3\" "
           "AgentTypes=\"13\" FNSURL=\"www.nalog.gov.ru\" SenderEmail=\"a@b.ru\" "
           "OFDCompany=\"ОФД\" OFDCompanyINN=\"7704211201\" AutomaticNumber=\"  \" "
           "IsMarking=\"True\" IsOffline=\"yes\" CashierName=\"Петров\" " +
           extra;
  }
  // The values staged with setParam by the last call, by id, in order (after the receipt check).
  std::vector<std::pair<std::int64_t, automation::Value>> Staged() const {
    std::vector<std::pair<std::int64_t, automation::Value>> out;
    for (const auto& e : reg->Trace()) {
      if (e.kind != emulator::TraceEntry::Kind::kCall) continue;
      if (e.name == "queryData") out.clear();  // the receipt check comes first
      if (e.name == "setParam" && e.args.size() == 2)
        out.emplace_back(e.args[0].asInt(), e.args[1]);
    }
    return out;
  }
  static std::vector<std::int64_t> Ids(
      const std::vector<std::pair<std::int64_t, automation::Value>>& s) {
    std::vector<std::int64_t> ids;
    for (const auto& [id, v] : s) ids.push_back(id);
    return ids;
  }
  static const automation::Value* Find(
      const std::vector<std::pair<std::int64_t, automation::Value>>& s, std::int64_t id) {
    for (const auto& [k, v] : s)
      if (k == id) return &v;
    return nullptr;
  }
  std::string Operation(std::uint8_t type, const std::string& attributes) {
    reg->ClearTrace();
    try {
      driver.OperationFN(type, Xml(Fiscal(attributes)));
    } catch (const std::exception& e) {
      return e.what();
    }
    return {};
  }
};

using emulator::C;

TEST_F(FNOperations, TableOfTheRegisteredRegister) {
  Connect();
  const auto table = Table();
  std::vector<std::string> names;
  for (auto a : table.child("Parameters").attributes()) names.push_back(a.name());
  EXPECT_EQ(names, (std::vector<std::string>{"Fiscal",
                                             "KKTSerialNumber",
                                             "KKTNumber",
                                             "CompanyName",
                                             "INN",
                                             "SaleLocation",
                                             "SaleAddress",
                                             "TaxationSystems",
                                             "IsEncrypted",
                                             "IsOffline",
                                             "IsAutomatic",
                                             "IsService",
                                             "IsOnline",
                                             "AgentTypes",
                                             "IsLottery",
                                             "IsGambling",
                                             "IsExcisable",
                                             "BSOSing",
                                             "AutomaticNumber",
                                             "IsAutomaticPrinter",
                                             "OFDCompany",
                                             "OFDCompanyINN",
                                             "FNSURL",
                                             "SenderEmail",
                                             "IsMarking",
                                             "IsPawnshop",
                                             "IsAssurance",
                                             "IsCateringServices",
                                             "IsWholesaleTrade",
                                             "IsVendingMachine",
                                             "PermissiveMarking",
                                             "FirmwareVersion",
                                             "FNSerialNumber",
                                             "FFDVersionKKT",
                                             "FFDVersionFN",
                                             "FFDVersion",
                                             "DocumentNumber",
                                             "DateTime"}));
  EXPECT_EQ(Attr(table, "Fiscal"), "true");
  EXPECT_EQ(Attr(table, "KKTSerialNumber"), "00106100000001");
  EXPECT_EQ(Attr(table, "KKTNumber"), "0000000001012345");
  EXPECT_EQ(Attr(table, "CompanyName"), "ООО \"Образец\"");
  EXPECT_EQ(Attr(table, "TaxationSystems"), "0");
  EXPECT_EQ(Attr(table, "AgentTypes"), "");
  EXPECT_EQ(Attr(table, "IsOffline"), "false");
  EXPECT_EQ(Attr(table, "IsMarking"), "true");
  EXPECT_EQ(Attr(table, "PermissiveMarking"), "true");
  EXPECT_EQ(Attr(table, "FirmwareVersion"), "");
  EXPECT_EQ(Attr(table, "FNSerialNumber"), "9960440300000001");
  EXPECT_EQ(Attr(table, "FFDVersionKKT"), "1.2");
  EXPECT_EQ(Attr(table, "DocumentNumber"), "1");
  EXPECT_EQ(Attr(table, "DateTime").size(), 19u);
  EXPECT_EQ(Attr(table, "DateTime")[10], 'T');

  // Version texts: 100, 105 and 120 have their own; 110 and anything else read as 1.1.
  for (const auto& [version, expected] : std::vector<std::pair<int, std::string>>{
           {100, "1.0"}, {105, "1.0.5"}, {110, "1.1"}, {130, "1.1"}}) {
    Configure([&](emulator::Config& c) { c.deviceFfdVersion = version; });
    EXPECT_EQ(Attr(Table(), "FFDVersionKKT"), expected) << version;
  }
}

TEST_F(FNOperations, TableSetsTheOfflineMark) {
  Connect();
  reg->device()->Edit([](emulator::DeviceState& s) {
    for (auto& t : s.registration.tags)
      if (t.number == 1002) t.integer = 1;
    for (auto& t : s.registration.tags)
      if (t.number == 1057) t.integer = 0x45;  // bits 0, 2, 6
  });
  EXPECT_FALSE(driver.Instance().IsOffline);
  const auto table = Table();
  EXPECT_EQ(Attr(table, "IsOffline"), "true");
  EXPECT_EQ(Attr(table, "AgentTypes"), "0,2,6");
  EXPECT_TRUE(driver.Instance().IsOffline);
}

TEST_F(FNOperations, RegistrationSendsTheParametersInOrderAndReadsBack) {
  emulator::Config config;
  config.registerOnCreate = false;
  emulator::WriteRegisterConfig(emulator::RegisterFile("usb"), config);
  Connect();
  ASSERT_FALSE(Register()->Snapshot().fiscal);

  ASSERT_EQ(Operation(1, Valid("1.2")), "");
  const auto staged = Staged();
  EXPECT_EQ(Ids(staged), (std::vector<std::int64_t>{C("LIBFPTR_PARAM_FN_OPERATION_TYPE"),
                                                    1018,
                                                    1037,
                                                    1062,
                                                    1057,
                                                    1060,
                                                    1009,
                                                    1048,
                                                    1117,
                                                    1187,
                                                    1209,
                                                    C("LIBFPTR_PARAM_TRADE_MARKED_PRODUCTS"),
                                                    C("LIBFPTR_PARAM_PAWN_SHOP_ACTIVITY"),
                                                    C("LIBFPTR_PARAM_INSURANCE_ACTIVITY"),
                                                    1001,
                                                    1002,
                                                    1056,
                                                    1108,
                                                    1109,
                                                    1110,
                                                    1126,
                                                    1193,
                                                    1207,
                                                    1221,
                                                    1017,
                                                    1046,
                                                    C("LIBFPTR_PARAM_REPORT_ELECTRONICALLY")}))
      << "no 1036 for a blank automatic number, no cashier";
  EXPECT_EQ(Find(staged, C("LIBFPTR_PARAM_FN_OPERATION_TYPE"))->asInt(),
            C("LIBFPTR_FNOP_REGISTRATION"));
  EXPECT_EQ(Find(staged, 1062)->asInt(), 9) << "digits 0 and 3";
  EXPECT_EQ(Find(staged, 1057)->asInt(), 10) << "digits 1 and 3 of \"13\"";
  EXPECT_EQ(Find(staged, 1209)->asInt(), C("LIBFPTR_FFD_1_2"));
  EXPECT_EQ(Find(staged, 1002)->asBool(), false) << "only True in any letter case is true";
  EXPECT_EQ(Find(staged, C("LIBFPTR_PARAM_TRADE_MARKED_PRODUCTS"))->asBool(), true);
  EXPECT_EQ(reg->CallNames().back(), "fnOperation");

  const auto table = Table();
  EXPECT_EQ(Attr(table, "Fiscal"), "true");
  EXPECT_EQ(Attr(table, "INN"), "7701234567");
  EXPECT_EQ(Attr(table, "KKTNumber"), "0000000002012345");
  EXPECT_EQ(Attr(table, "CompanyName"), "ООО Ромашка");
  EXPECT_EQ(Attr(table, "TaxationSystems"), "0,3");
  EXPECT_EQ(Attr(table, "AgentTypes"), "1,3");
  EXPECT_EQ(Attr(table, "IsMarking"), "true");
  EXPECT_EQ(Attr(table, "FFDVersion"), "1.2");
  EXPECT_EQ(Attr(table, "DocumentNumber"), std::to_string(Register()->LastDocument()->number));

  // Format 1.1 sends its version and none of the 1.2 activities.
  ASSERT_EQ(Operation(2, Valid("1.1", "RegistrationLabelCodes=\"2\"")), "");
  const auto again = Staged();
  EXPECT_EQ(Find(again, 1209)->asInt(), C("LIBFPTR_FFD_1_1"));
  EXPECT_EQ(Find(again, C("LIBFPTR_PARAM_TRADE_MARKED_PRODUCTS")), nullptr);
}

TEST_F(FNOperations, FormatVersionIsCheckedFirst) {
  Connect();
  for (const std::string version : {"1.05", "1.2 ", "", "1.0"}) {
    for (std::uint8_t type : {1, 2, 3}) {
      EXPECT_EQ(Operation(type, Valid(version)),
                "Регистрация/Перерегистрация c данной версией ФФД невозможна")
          << version;
      for (const auto& name : reg->CallNames()) EXPECT_NE(name, "fnOperation");
    }
  }
}

TEST_F(FNOperations, ReregistrationReasons) {
  Connect();
  const struct {
    const char* codes;
    std::int64_t reasons;  // tag 1205; 0: not sent
    const char* operation;
    const char* error;  // the beginning of the failure, or nullptr
  } cases[] = {
      {"2", 2, "LIBFPTR_FNOP_CHANGE_PARAMETERS", nullptr},
      {"2. 5", 18, "LIBFPTR_FNOP_CHANGE_PARAMETERS", nullptr},
      {"1,4", 9, "LIBFPTR_FNOP_CHANGE_FN", nullptr},
      // No reason given: the register is asked without one and refuses by itself.
      {"  ", 0, "LIBFPTR_FNOP_CHANGE_PARAMETERS", "[7] - "},
      {"1,,4", 0, nullptr, "Некорректный код причины перерегистрации"},
      {"x", 0, nullptr, "Некорректный код причины перерегистрации"},
      {"0", 0, nullptr, "Некорректный код причины перерегистрации"},
      {"33", 0, nullptr, "Некорректный код причины перерегистрации"},
  };
  for (const auto& c : cases) {
    const std::string error =
        Operation(2, Valid("1.2", std::string("RegistrationLabelCodes=\"") + c.codes + "\""));
    if (c.error)
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.codes << ": " << error;
    else
      EXPECT_EQ(error, "") << c.codes;
    const auto staged = Staged();
    const automation::Value* reasons = Find(staged, 1205);
    EXPECT_EQ(reasons ? reasons->asInt() : 0, c.reasons) << c.codes;
    const automation::Value* operation = Find(staged, C("LIBFPTR_PARAM_FN_OPERATION_TYPE"));
    if (c.operation)
      EXPECT_EQ(operation ? operation->asInt() : -1, C(c.operation)) << c.codes;
    else
      EXPECT_EQ(reg->CallNames().back(), "queryData") << c.codes << ": nothing sent";
  }
}

TEST_F(FNOperations, ClosingTheStorageSendsNoRegistrationData) {
  Connect();
  ASSERT_EQ(Operation(3, Valid("1.2")), "");
  const auto staged = Staged();
  EXPECT_EQ(Ids(staged), (std::vector<std::int64_t>{C("LIBFPTR_PARAM_FN_OPERATION_TYPE")}));
  EXPECT_EQ(staged[0].second.asInt(), C("LIBFPTR_FNOP_CLOSE_ARCHIVE"));
  EXPECT_EQ(Register()->Snapshot().fnPhase, 7);
  EXPECT_EQ(Register()->LastDocument()->type, 6);
}

TEST_F(FNOperations, UnreadableParametersAreAnInputError) {
  Connect();
  pugi::xml_document empty;
  try {
    driver.OperationFN(1, empty);
    FAIL();
  } catch (const EquException& e) {
    EXPECT_EQ(e.Code(), errors::kInputParameters);
    EXPECT_STREQ(e.what(), "Ошибка входных параметров команды");
  }
}

}  // namespace
}  // namespace vantorel::testing
