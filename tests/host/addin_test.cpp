// The add-in as the host sees it: loaded from its file, driven through its function tables.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <pugixml.hpp>

#include "component.h"

namespace {

using kkthost::CallOutcome;
using kkthost::Component;
using kkthost::Host;
using kkthost::Value;
namespace abi = vantorel::abi;

// Logs of these tests go to a private folder, not the user's.
void PrivateDataFolder() {
  static const bool done = [] {
    const auto dir = std::filesystem::temp_directory_path() / "vantorel-host-tests";
    std::filesystem::create_directories(dir);
#if defined(_WIN32)
    _putenv_s("XDG_DATA_HOME", dir.string().c_str());
#else
    setenv("XDG_DATA_HOME", dir.c_str(), 1);
#endif
    return true;
  }();
  (void)done;
}

class AddIn : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PrivateDataFolder();
    host = new Host(kkthost::BesideExecutable(VANTOREL_ADDIN_FILE));
  }
  static void TearDownTestSuite() {
    delete host;
    host = nullptr;
  }
  void SetUp() override { driver = host->Create("vantorel"); }
  void TearDown() override {
    const auto faults = driver->Close();
    for (const auto& f : faults) ADD_FAILURE() << f.Describe();
  }

  static std::string Text(const Value& v) {
    EXPECT_EQ(v.vt, abi::VTYPE_PWSTR);
    return v.text;
  }
  static pugi::xml_node Root(pugi::xml_document& doc, const std::string& text) {
    EXPECT_TRUE(doc.load_string(text.c_str())) << text;
    return doc.document_element();
  }

  static inline Host* host = nullptr;
  std::unique_ptr<Component> driver;
};

TEST_F(AddIn, ExportsAndObjectSetUp) {
  EXPECT_EQ(host->ClassNames(), std::vector<std::string>{"vantorel"});
  EXPECT_EQ(host->AttachType(), 3);
  EXPECT_EQ(driver->Info(), 2000);
  EXPECT_EQ(driver->ExtensionName(), "vantorel");
  EXPECT_THROW(host->Create("Vantorel"), kkthost::HostError) << "class names are case-sensitive";
}

TEST_F(AddIn, MethodTableInRegistrationOrder) {
  const auto methods = driver->Methods();
  ASSERT_EQ(methods.size(), 37u);
  const struct {
    int index;
    const char* name;
    const char* local;
    long params;
  } expected[] = {
      {0, "GetInterfaceRevision", "ПолучитьРевизиюИнтерфейса", 0},
      {1, "GetDataKKT", "ПолучитьПараметрыККТ", 2},
      {5, "ProcessCheck", "СформироватьЧек", 4},
      {8, "CashInOutcome", "НапечататьЧекВнесенияВыемки", 3},
      {13, "GetLineLength", "ПолучитьШиринуСтроки", 2},
      {18, "GetProcessingKMResult", "ПолучитьРезультатыЗапросаКМ", 3},
      {22, "GetDocumentInformation", "ПолучитьИнформациюПоДокументу", 3},
      {23, "GetInterfaceRevision", "ПолучитьРевизиюИнтерфейса", 0},
      {25, "GetLastError", "ПолучитьОшибку", 1},
      {26, "ConnectEquipment", "ПодключитьОборудование", 3},
      {30, "EquipmentTest", "ТестированиеОборудования", 4},
      {33, "EquipmentAutoSetup", "АвтонастройкаОборудования", 5},
      {36, "SetLocalization", "УстановитьЛокализацию", 2},
  };
  for (const auto& e : expected) {
    const auto& m = methods[e.index];
    EXPECT_EQ(m.name, e.name) << e.index;
    EXPECT_EQ(m.localName, e.local) << e.index;
    EXPECT_EQ(m.paramCount, e.params) << e.name;
  }
  for (const auto& m : methods) {
    EXPECT_TRUE(m.hasRetVal) << m.name;
    for (long p = 0; p < m.paramCount; ++p) EXPECT_FALSE(driver->ParamDefault(m.index, p));
  }
  EXPECT_EQ(driver->FindMethod("GetInterfaceRevision"), 0) << "the concrete driver's entry wins";
  EXPECT_EQ(driver->FindMethod("ПолучитьОшибку"), driver->FindMethod("GetLastError"));
  EXPECT_EQ(driver->FindMethod("getlasterror"), -1);
}

TEST_F(AddIn, PropertyLogEnabled) {
  ASSERT_EQ(driver->PropCount(), 1);
  EXPECT_EQ(driver->FindProp("ЛогВключен"), 0);
  EXPECT_EQ(driver->FindProp("LogEnabled"), 0);
  EXPECT_EQ(driver->FindProp("logenabled"), -1);
  EXPECT_TRUE(driver->PropReadable(0));
  EXPECT_TRUE(driver->PropWritable(0));

  ASSERT_TRUE(driver->WriteProp("LogEnabled", Value::I4(1)).hostResult);
  auto got = driver->ReadProp("LogEnabled");
  EXPECT_EQ(got.value.vt, abi::VTYPE_BOOL);
  EXPECT_TRUE(got.value.boolean);
  ASSERT_TRUE(driver->WriteProp("LogEnabled", Value::Bool(false)).hostResult);
  EXPECT_FALSE(driver->ReadProp("LogEnabled").value.boolean);
}

TEST_F(AddIn, RevisionDescriptionAndLastError) {
  auto rev = driver->Call("GetInterfaceRevision", {});
  ASSERT_TRUE(rev.hostResult);
  EXPECT_EQ(rev.result->vt, abi::VTYPE_I4);
  EXPECT_EQ(rev.result->integer, 4004);

  auto d = driver->Call("ПолучитьОписание", {Value::Empty()});
  ASSERT_TRUE(d.hostResult);
  EXPECT_TRUE(d.result->boolean);
  pugi::xml_document doc;
  auto root = Root(doc, Text(d.params[0]));
  EXPECT_STREQ(root.name(), "DriverDescription");
  EXPECT_STREQ(root.attribute("Name").value(), "Драйвер ККТ Vantorel");
  EXPECT_STREQ(root.attribute("EquipmentType").value(), "ККТ");
  EXPECT_STREQ(root.attribute("IntegrationComponent").value(), "false");
  EXPECT_STREQ(root.attribute("MainDriverInstalled").value(), "false");
  EXPECT_STREQ(root.attribute("DriverVersion").value(),
               root.attribute("IntegrationComponentVersion").value());
  // The call ran with no device in its first parameter: the log mode of such a call is "off for
  // this call", which the description reports as on.
  EXPECT_STREQ(root.attribute("LogIsEnabled").value(), "true");
  EXPECT_NE(std::string(root.attribute("LogPath").value()).find("vantorel"), std::string::npos);
  const auto attrs = {"Name", "Description", "EquipmentType", "IntegrationComponent",
                      "MainDriverInstalled", "DriverVersion", "IntegrationComponentVersion",
                      "DownloadURL", "LogIsEnabled", "LogPath"};
  auto a = root.first_attribute();
  for (const char* name : attrs) {
    ASSERT_TRUE(a);
    EXPECT_STREQ(a.name(), name);
    a = a.next_attribute();
  }

  auto ok = driver->GetLastError();
  EXPECT_EQ(ok.code, 0);
  EXPECT_EQ(ok.description, "");

  auto bad = driver->Call("DoAdditionalAction", {Value::Text("viewlog")});
  EXPECT_TRUE(bad.hostResult);
  EXPECT_FALSE(bad.result->boolean);
  auto err = driver->GetLastError();
  EXPECT_EQ(err.code, 1001);
  EXPECT_EQ(err.description, "Action not found");
  EXPECT_EQ(driver->GetLastError().code, 1001) << "reading the last error does not change it";
}

TEST_F(AddIn, SettingsPageAndActions) {
  auto page = driver->Call("EquipmentParameters", {Value::Empty(), Value::Empty()});
  ASSERT_TRUE(page.result->boolean);
  pugi::xml_document doc;
  auto settings = Root(doc, Text(page.params[1]));
  EXPECT_STREQ(settings.name(), "Settings");
  std::vector<std::string> pages;
  for (auto p : settings.children("Page")) pages.push_back(p.attribute("Caption").value());
  EXPECT_EQ(pages, (std::vector<std::string>{"Параметры", "Общие",
                                             "Настройка проверки кодов маркировки",
                                             "Графический текст", "Настройка лога"}));

  auto actions = driver->Call("GetAdditionalActions", {Value::Empty()});
  pugi::xml_document adoc;
  auto root = Root(adoc, Text(actions.params[0]));
  std::vector<std::string> names;
  for (auto a : root.children("Action"))
    names.push_back(std::string(a.attribute("Name").value()) + "=" + a.attribute("Caption").value());
  EXPECT_EQ(names, (std::vector<std::string>{"ViewLog=Просмотр лога", "ShowHelp=Справка"}));
}

TEST_F(AddIn, SetParameterTouchesOnlyExportedProperties) {
  auto on = driver->Call("SetParameter", {Value::Text("LogEnabled"), Value::Bool(true)});
  EXPECT_TRUE(on.result->boolean);
  EXPECT_TRUE(driver->ReadProp("LogEnabled").value.boolean);
  driver->Call("SetParameter", {Value::Text("LogEnabled"), Value::Bool(false)});
  // Either name, without regard to letter case, Cyrillic included.
  for (const char* name : {"logenabled", "логвключен", "ЛОГВКЛЮЧЕН", "лОгВкЛюЧеН"}) {
    auto set = driver->Call("SetParameter", {Value::Text(name), Value::Bool(true)});
    EXPECT_TRUE(set.result->boolean) << name << ": " << driver->GetLastError().description;
    EXPECT_TRUE(driver->ReadProp("LogEnabled").value.boolean) << name;
    driver->Call("SetParameter", {Value::Text("LogEnabled"), Value::Bool(false)});
  }
  EXPECT_FALSE(
      driver->Call("SetParameter", {Value::Text("логвключён"), Value::Bool(true)}).result->boolean)
      << "another letter is not another case";

  auto port = driver->Call("SetParameter", {Value::Text("PortNumber"), Value::I4(5)});
  EXPECT_FALSE(port.result->boolean);
  auto err = driver->GetLastError();
  EXPECT_EQ(err.code, 1001);
  EXPECT_EQ(err.description, "Property not found: PortNumber");
}

TEST_F(AddIn, UnrenderableParameterReachesTheHostErrorList) {
  auto out = driver->Call("GetDescription", {Value::Null()});
  EXPECT_FALSE(out.hostResult);
  ASSERT_EQ(out.addErrors.size(), 1u);
  EXPECT_EQ(out.addErrors[0].code, 1006);
  EXPECT_EQ(out.addErrors[0].source, "Внешняя компонента");
  EXPECT_EQ(out.addErrors[0].description, "Unsupported data type - VTYPE_NULL");
  EXPECT_EQ(out.params[0].vt, abi::VTYPE_NULL) << "the method body did not run";
  EXPECT_TRUE(out.memoryFaults.empty());
}

TEST_F(AddIn, FiscalMethodsNeedADevice) {
  for (const char* id : {"", " "}) {
    auto out = driver->Call("OpenShift", {Value::Text(id), Value::Text("<a/>"), Value::Empty()});
    EXPECT_TRUE(out.hostResult);
    EXPECT_FALSE(out.result->boolean);
    auto err = driver->GetLastError();
    EXPECT_EQ(err.code, 1001);
    EXPECT_EQ(err.description, "Не передан идентификатор устройства");
    EXPECT_EQ(out.params[2].vt, abi::VTYPE_EMPTY) << "out parameters stay as passed on failure";
  }
  const std::string unknown = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  driver->Call("OpenCashDrawer", {Value::Text(unknown)});
  EXPECT_EQ(driver->GetLastError().description,
            "Экземпляр устройства c идентификатором " + unknown +
                " не существует или уже был отключен");
}

TEST_F(AddIn, ProcedureCallsRecordTheirOutcome) {
  auto out = driver->Call("DoAdditionalAction", {Value::Text("nothing")}, kkthost::CallKind::Procedure);
  EXPECT_TRUE(out.hostResult);
  EXPECT_FALSE(out.result.has_value());
  EXPECT_EQ(driver->GetLastError().description, "Action not found");
}

TEST_F(AddIn, ManyMixedCallsLeaveHostMemoryClean) {
  for (int i = 0; i < 1000; ++i) {
    switch (i % 6) {
      case 0:
        driver->Call("GetDescription", {Value::Text("previous text")});
        break;
      case 1:
        driver->Call("GetLastError", {Value::Text("x")});
        break;
      case 2:
        driver->Call("EquipmentParameters", {Value::Empty(), Value::I4(1)});
        break;
      case 3:
        driver->Call("GetDescription", {Value::Null()});
        break;
      case 4:
        driver->Call("ProcessCheck", {Value::Text(""), Value::Bool(false), Value::Text("<bad"),
                                      Value::Text("out")});
        break;
      case 5:
        driver->ReadProp("LogEnabled");
        break;
    }
  }
  EXPECT_TRUE(driver->MemoryFaults().empty());
}

TEST_F(AddIn, MalformedHostInputIsAnErrorNotACrash) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  auto out = driver->Call("EquipmentTest", {Value::Empty(), Value::Text(deep), Value::Empty(),
                                            Value::Empty()});
  EXPECT_TRUE(out.hostResult);
  EXPECT_FALSE(out.result->boolean);
  EXPECT_NE(Text(out.params[2]).find("nested"), std::string::npos);

  auto noRoot = driver->Call("EquipmentTest", {Value::Empty(), Value::Text("<Other/>"),
                                               Value::Empty(), Value::Empty()});
  EXPECT_FALSE(noRoot.result->boolean);
  EXPECT_EQ(driver->GetLastError().code, 1001);

  // Fewer parameters than the method takes: refused before the body runs.
  auto few = driver->CallIndex(driver->FindMethod("GetDescription"), {}, kkthost::CallKind::Function,
                               "GetDescription");
  EXPECT_FALSE(few.hostResult);
  EXPECT_EQ(few.addErrors.size(), 1u);
}

}  // namespace
