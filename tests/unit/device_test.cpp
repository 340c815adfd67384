// The device session over a scripted DTO10 object: version rule, connection settings, result
// check, queries and readers.
#include "device/device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "support/equipment_errors.h"

namespace vantorel {
namespace {

using automation::Value;

// A DTO10 object that answers from a script and logs every access as text ("get Version",
// "call setParam(65536, 5)").
class FakeDto final : public automation::Object {
 public:
  struct Script {
    std::string version = "10.10.5.0";
    std::map<std::string, std::int32_t> constants;  // LIBFPTR_ names, upper case
    std::map<std::string, std::int64_t> returns;    // method -> return code (default 0)
    std::int32_t errorCode = 0;
    std::string errorDescription;
    std::map<std::int64_t, Value> outputs;  // getParam* by id
    std::vector<std::string> log;
  };
  explicit FakeDto(Script& s) : s_(s) {}

  Value get(std::string_view name) override {
    s_.log.push_back("get " + std::string(name));
    if (name == "Version") return Value(s_.version);
    if (name == "errorCode") return Value(s_.errorCode);
    if (name == "errorDescription") return Value(s_.errorDescription);
    auto it = s_.constants.find(std::string(name));
    if (it == s_.constants.end())
      throw automation::AutomationError("Unknown name: " + std::string(name));
    return Value(it->second);
  }

  Value call(std::string_view name, std::span<const Value> args) override {
    std::string entry = "call " + std::string(name) + "(";
    for (size_t i = 0; i < args.size(); ++i) {
      if (i) entry += ", ";
      entry += args[i].is<std::string>() ? "\"" + args[i].asText() + "\"" : args[i].asText();
    }
    s_.log.push_back(entry + ")");
    if (name.starts_with("getParam")) {
      auto it = s_.outputs.find(args[0].asInt());
      return it == s_.outputs.end() ? Value() : it->second;
    }
    auto it = s_.returns.find(std::string(name));
    return Value(std::int32_t(it == s_.returns.end() ? 0 : it->second));
  }

 private:
  Script& s_;
};

// Constants of the fake: every name its own number, so a wrong name shows in the log.
std::map<std::string, std::int32_t> Constants(std::initializer_list<const char*> names) {
  std::map<std::string, std::int32_t> m;
  std::int32_t next = 1000;
  for (const char* n : names) m[n] = next++;
  return m;
}

class DeviceTest : public ::testing::Test {
 protected:
  DeviceTest()
      : device([this] {
          ++created;
          return std::make_unique<FakeDto>(script);
        }) {}

  // The log without the version reads.
  std::vector<std::string> Calls() const {
    std::vector<std::string> out;
    for (const auto& e : script.log)
      if (e != "get Version") out.push_back(e);
    return out;
  }
  std::string C(const std::string& name) const { return std::to_string(script.constants.at(name)); }

  FakeDto::Script script;
  int created = 0;
  TDevice device;
};

const std::string kHint =
    "Драйвер доступен по ссылке https://vantorel.norvander.example/dto10, раздел - "
    "Программное обеспечение\\ДТО\\10.x\\";

TEST(DtoVersionTest, ReadsFourNumbersTheLibraryWay) {
  struct Case {
    const char* text;
    std::array<std::uint16_t, 4> parts;
  } cases[] = {
      {"10.10.5.0", {10, 10, 5, 0}},
      {"10.10.5", {10, 10, 5, 0}},
      {"10.10", {10, 0, 0, 0}},
      {"10", {0, 0, 0, 0}},
      {"", {0, 0, 0, 0}},
      {"10.10.5.0.1", {10, 10, 5, 0}},
      {"10.x.5.7", {10, 0, 5, 7}},
      {"11.0.0.0", {11, 0, 0, 0}},
      {"-1.10.5.0", {0, 10, 5, 0}},
      {"99999.0.0.0", {65535, 0, 0, 0}},
      {"10.10.4.99", {10, 10, 4, 99}},
  };
  for (const auto& c : cases) {
    const auto v = TDtoVersion::Parse(c.text);
    EXPECT_EQ((std::array{v.part[0], v.part[1], v.part[2], v.part[3]}), c.parts) << c.text;
  }
}

TEST_F(DeviceTest, AcceptsOnlyVersionsFrom10_10_5) {
  struct Case {
    const char* version;
    bool accepted;
  } cases[] = {
      {"10.10.5.0", true},   {"10.10.5", true},    {"11.0.0.0", true}, {"10.10.5.0.1", true},
      {"10.10.4.99", false}, {"10.9.12.0", false}, {"10.10", false},   {"", false}};
  for (const auto& c : cases) {
    script.version = c.version;
    if (c.accepted) {
      EXPECT_NO_THROW(device.DtoDrv()) << c.version;
      continue;
    }
    try {
      device.DtoDrv();
      ADD_FAILURE() << c.version << " accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), "Необходимо обновить библиотеку ДТО10.\r\nТекущая установленная версия " +
                              std::string(c.version) +
                              ".\r\nМинимальная необходимая версия 10.10.5.0.\r\n" + kHint);
    }
  }
  // One object for the whole session, whatever the checks said.
  EXPECT_EQ(created, 1);
}

TEST(DeviceSessionTest, MissingLibraryGivesTheInstallText) {
  const std::string expected =
      "Не установлена библиотека ДТО10. Необходимо использовать ДТО 64-разрядной версии.\r\n" +
      kHint;
  TDevice throwing([]() -> std::unique_ptr<automation::Object> {
    throw automation::AutomationError("Class not registered");
  });
  TDevice empty([] { return std::unique_ptr<automation::Object>(); });
  for (TDevice* d : {&throwing, &empty}) {
    try {
      d->Call("open");
      ADD_FAILURE() << "no error";
    } catch (const EquException&) {
      ADD_FAILURE() << "must be a plain error";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), expected);
    }
    EXPECT_FALSE(d->HasDtoDrv());
  }
}

TEST_F(DeviceTest, ReadsTheVersionBeforeEveryAccess) {
  script.constants =
      Constants({"LIBFPTR_PARAM_DATA_TYPE", "LIBFPTR_DT_DATE_TIME", "LIBFPTR_PARAM_DATE_TIME"});
  device.GetDateTime();
  device.SetDateTime(automation::Date{45000.5});
  ASSERT_GT(script.log.size(), 8u);
  for (size_t i = 0; i < script.log.size(); i += 2) {
    EXPECT_EQ(script.log[i], "get Version") << "before " << script.log[i + 1];
    EXPECT_NE(script.log[i + 1], "get Version");
  }
  EXPECT_EQ(
      Calls(),
      (std::vector<std::string>{
          "get LIBFPTR_PARAM_DATA_TYPE", "get LIBFPTR_DT_DATE_TIME",
          "call setParam(" + C("LIBFPTR_PARAM_DATA_TYPE") + ", " + C("LIBFPTR_DT_DATE_TIME") + ")",
          "call queryData()", "get LIBFPTR_PARAM_DATE_TIME",
          "call getParamDateTime(" + C("LIBFPTR_PARAM_DATE_TIME") + ")",
          "get LIBFPTR_PARAM_DATE_TIME",
          "call setParam(" + C("LIBFPTR_PARAM_DATE_TIME") + ", 45000.5)", "call writeDateTime()"}));
}

TEST_F(DeviceTest, OldLibraryStopsTheOperationAndIsCheckedAgainNextTime) {
  script.version = "10.9.0.0";
  EXPECT_THROW(device.Call("openShift"), std::runtime_error);
  EXPECT_EQ(Calls(), std::vector<std::string>{});
  script.version = "10.10.6.0";  // updated while the session lives
  device.Call("openShift");
  EXPECT_EQ(Calls(), std::vector<std::string>{"call openShift()"});
  EXPECT_EQ(created, 1);
}

TEST_F(DeviceTest, GetResultReportsWhatTheLibrarySays) {
  device.GetResult(0);
  EXPECT_TRUE(script.log.empty());
  EXPECT_FALSE(device.HasDtoDrv());

  script.errorCode = 69;
  script.errorDescription = "Смена закрыта";
  try {
    device.GetResult(-1);
    ADD_FAILURE() << "no error";
  } catch (const EquException&) {
    ADD_FAILURE() << "must be a plain error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[69] - Смена закрыта ");
  }
}

TEST_F(DeviceTest, FailedCallStopsTheOperation) {
  script.constants = Constants({"LIBFPTR_PARAM_SETTING_ID", "LIBFPTR_PARAM_SETTING_VALUE"});
  script.returns["readDeviceSetting"] = -1;
  script.errorCode = 120;
  script.errorDescription = "Неизвестная настройка";
  EXPECT_THROW(device.ReadSetting(Value(std::int32_t{55})), std::runtime_error);
  EXPECT_EQ(Calls().back(), "get errorDescription");
  for (const auto& e : Calls()) EXPECT_EQ(e.find("getParam"), std::string::npos);

  script.returns.clear();
  script.outputs[script.constants["LIBFPTR_PARAM_SETTING_VALUE"]] = Value("1");
  EXPECT_EQ(device.ReadSetting(Value(std::int32_t{55})), "1");
}

TConnectionSettings Settings(std::int32_t type,
                             const std::function<void(TConnectionSettings&)>& fill = {}) {
  TConnectionSettings s;
  s.ConnectionType = type;
  if (fill) fill(s);
  return s;
}

class ConnectTest : public DeviceTest {
 protected:
  ConnectTest() {
    script.constants = Constants({"LIBFPTR_SETTING_MODEL",
                                  "LIBFPTR_MODEL_ATOL_AUTO",
                                  "LIBFPTR_SETTING_ACCESS_PASSWORD",
                                  "LIBFPTR_SETTING_USER_PASSWORD",
                                  "LIBFPTR_SETTING_OFD_CHANNEL",
                                  "LIBFPTR_OFD_CHANNEL_PROTO",
                                  "LIBFPTR_OFD_CHANNEL_NONE",
                                  "LIBFPTR_SETTING_PORT",
                                  "LIBFPTR_PORT_COM",
                                  "LIBFPTR_PORT_TCPIP",
                                  "LIBFPTR_PORT_USB",
                                  "LIBFPTR_PORT_BLUETOOTH",
                                  "LIBFPTR_SETTING_COM_FILE",
                                  "LIBFPTR_SETTING_BAUDRATE",
                                  "LIBFPTR_PORT_BR_9600",
                                  "LIBFPTR_PORT_BR_115200",
                                  "LIBFPTR_SETTING_BITS",
                                  "LIBFPTR_PORT_BITS_8",
                                  "LIBFPTR_SETTING_STOPBITS",
                                  "LIBFPTR_PORT_SB_1",
                                  "LIBFPTR_SETTING_PARITY",
                                  "LIBFPTR_PORT_PARITY_NO",
                                  "LIBFPTR_SETTING_IPADDRESS",
                                  "LIBFPTR_SETTING_IPPORT",
                                  "LIBFPTR_SETTING_MACADDRESS"});
  }
  // The settings sent, as "SETTING_NAME=value" with named values shown by name.
  std::vector<std::string> Sent() const {
    std::map<std::string, std::string> byNumber;
    for (const auto& [name, v] : script.constants) byNumber[std::to_string(v)] = name;
    std::vector<std::string> out;
    for (const auto& e : Calls()) {
      if (!e.starts_with("call ")) continue;
      if (!e.starts_with("call setSingleSetting(")) {
        out.push_back(e.substr(5));
        continue;
      }
      const auto comma = e.find(", ");
      const std::string id = e.substr(22, comma - 22);
      std::string value = e.substr(comma + 3, e.size() - comma - 5);  // inside the quotes
      if (byNumber.contains(value) && id != C("LIBFPTR_SETTING_IPPORT")) value = byNumber[value];
      out.push_back(byNumber.at(id).substr(16) + "=" + value);
    }
    return out;
  }
};

TEST_F(ConnectTest, SendsTheSettingsOfEachConnectionType) {
  const std::vector<std::string> common = {"MODEL=LIBFPTR_MODEL_ATOL_AUTO", "ACCESS_PASSWORD=0",
                                           "USER_PASSWORD=30"};
  struct Case {
    TConnectionSettings settings;
    std::string ofd;
    std::vector<std::string> port;
  } cases[] = {
      {Settings(0,
                [](auto& s) {
                  s.PortNumber = 128;
                  s.BaudRate = 9600;
                }),
       "LIBFPTR_OFD_CHANNEL_NONE",
       {"PORT=LIBFPTR_PORT_COM", "COM_FILE=COM128", "BAUDRATE=LIBFPTR_PORT_BR_9600",
        "BITS=LIBFPTR_PORT_BITS_8", "STOPBITS=LIBFPTR_PORT_SB_1", "PARITY=LIBFPTR_PORT_PARITY_NO"}},
      {Settings(1,
                [](auto& s) {
                  s.IPAddress = "192.0.2.7";
                  s.TCPPort = 5555;
                  s.OFDChannel = 2;
                }),
       "LIBFPTR_OFD_CHANNEL_PROTO",
       {"PORT=LIBFPTR_PORT_TCPIP", "IPADDRESS=192.0.2.7", "IPPORT=5555"}},
      {Settings(2, [](auto& s) { s.OFDChannel = 1; }),
       "LIBFPTR_OFD_CHANNEL_PROTO",
       {"PORT=LIBFPTR_PORT_USB"}},
      {Settings(3, [](auto& s) { s.MACAddress = "00:11:22:33:44:55"; }),
       "LIBFPTR_OFD_CHANNEL_NONE",
       {"PORT=LIBFPTR_PORT_BLUETOOTH", "MACADDRESS=00:11:22:33:44:55"}},
      {Settings(7), "LIBFPTR_OFD_CHANNEL_NONE", {}},
  };
  for (auto& c : cases) {
    script.log.clear();
    c.settings.AccessPassword = "0";
    c.settings.OperatorPassword = "30";
    device.Connect(c.settings);
    std::vector<std::string> expected = common;
    expected.push_back("OFD_CHANNEL=" + c.ofd);
    expected.insert(expected.end(), c.port.begin(), c.port.end());
    expected.push_back("applySingleSettings()");
    expected.push_back("open()");
    EXPECT_EQ(Sent(), expected) << "connection type " << c.settings.ConnectionType;
  }
}

TEST_F(ConnectTest, RefusesUnknownBaudRatesBeforeSendingAnything) {
  for (int rate : {0, 1234, 230400}) {
    script.log.clear();
    try {
      device.Connect(Settings(0, [rate](auto& s) { s.BaudRate = rate; }));
      ADD_FAILURE() << rate;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(std::to_string(rate)), std::string::npos) << e.what();
    }
    EXPECT_TRUE(script.log.empty());
  }
  // A rate the settings allow but the library does not name fails on reading the name.
  EXPECT_THROW(device.Connect(Settings(0, [](auto& s) { s.BaudRate = 4800; })),
               automation::AutomationError);
}

TEST_F(ConnectTest, FailedApplyStopsBeforeOpen) {
  script.returns["applySingleSettings"] = -1;
  script.errorCode = 3;
  script.errorDescription = "Неверные настройки связи";
  EXPECT_THROW(device.Connect(Settings(2)), std::runtime_error);
  for (const auto& e : Calls()) EXPECT_NE(e, "call open()");
  EXPECT_TRUE(device.HasDtoDrv());
}

TEST_F(DeviceTest, DisconnectClosesWithoutChecking) {
  device.Disconnect();
  EXPECT_TRUE(script.log.empty());  // no object yet: nothing to close
  device.DtoDrv();
  script.returns["Close"] = -1;
  device.Disconnect();
  EXPECT_EQ(Calls(), std::vector<std::string>{"call Close()"});
}

TEST(DeviceSessionTest, EndingTheSessionClosesTheConnection) {
  FakeDto::Script script;
  {
    TDevice device([&] { return std::make_unique<FakeDto>(script); });
    device.Call("open");
  }
  EXPECT_EQ(script.log.back(), "call Close()");
}

class QueryTest : public DeviceTest {
 protected:
  QueryTest() {
    script.constants = Constants(
        {"LIBFPTR_PARAM_DATA_TYPE", "LIBFPTR_PARAM_FN_DATA_TYPE", "LIBFPTR_DT_STATUS",
         "LIBFPTR_DT_SHIFT_STATE", "LIBFPTR_FNDT_TAG_VALUE", "LIBFPTR_FNDT_REG_INFO",
         "LIBFPTR_FNDT_FN_INFO", "LIBFPTR_FNDT_FFD_VERSIONS", "LIBFPTR_FNDT_LAST_REGISTRATION",
         "LIBFPTR_PARAM_TAG_NUMBER", "LIBFPTR_PARAM_TAG_VALUE", "LIBFPTR_PARAM_SHIFT_STATE"});
    // Every output name a reader may ask for.
    std::int32_t next = 2000;
    for (const char* n : {"OPERATOR_ID",
                          "LOGICAL_NUMBER",
                          "DATE_TIME",
                          "FISCAL",
                          "FN_FISCAL",
                          "FN_PRESENT",
                          "CASHDRAWER_OPENED",
                          "RECEIPT_PAPER_PRESENT",
                          "COVER_OPENED",
                          "SERIAL_NUMBER",
                          "MODEL",
                          "MODE",
                          "SUBMODE",
                          "RECEIPT_NUMBER",
                          "DOCUMENT_NUMBER",
                          "SHIFT_NUMBER",
                          "RECEIPT_TYPE",
                          "RECEIPT_SUM",
                          "RECEIPT_LINE_LENGTH",
                          "RECEIPT_LINE_LENGTH_PIX",
                          "MODEL_NAME",
                          "UNIT_VERSION",
                          "PRINTER_CONNECTION_LOST",
                          "PRINTER_ERROR",
                          "CUT_ERROR",
                          "PRINTER_OVERHEAT",
                          "BLOCKED",
                          "FN_VERSION",
                          "FN_TYPE",
                          "FN_STATE",
                          "FN_FLAGS",
                          "FN_NEED_REPLACEMENT",
                          "FN_RESOURCE_EXHAUSTED",
                          "FN_MEMORY_OVERFLOW",
                          "FN_OFD_TIMEOUT",
                          "FN_CRITICAL_ERROR",
                          "DEVICE_FFD_VERSION",
                          "FN_FFD_VERSION",
                          "FFD_VERSION",
                          "REGISTRATIONS_COUNT",
                          "TRADE_MARKED_PRODUCTS",
                          "PAWN_SHOP_ACTIVITY",
                          "INSURANCE_ACTIVITY",
                          "CATERING",
                          "WHOLESALE",
                          "VENDING"})
      script.constants[std::string("LIBFPTR_PARAM_") + n] = next++;
  }
  std::int64_t Id(const std::string& name) const { return script.constants.at(name); }

  // The key types of a dictionary, as "KEY:type" in key order.
  static std::vector<std::string> Shape(const TDeviceData& data) {
    std::vector<std::string> out;
    for (const auto& [k, v] : data) {
      const char* t = v.is<std::int64_t>()       ? "int"
                      : v.is<double>()           ? "double"
                      : v.is<bool>()             ? "bool"
                      : v.is<std::string>()      ? "text"
                      : v.is<automation::Date>() ? "date"
                                                 : "other";
      out.push_back(k + ":" + t);
    }
    return out;
  }
};

TEST_F(QueryTest, RunQueryReadsOneValueOfTheRequestedType) {
  script.outputs[Id("LIBFPTR_PARAM_SHIFT_STATE")] = Value(std::int32_t{2});
  const Value v = device.RunQuery(
      device.Const("LIBFPTR_PARAM_DATA_TYPE"), device.Const("LIBFPTR_DT_SHIFT_STATE"),
      device.Const("LIBFPTR_PARAM_SHIFT_STATE"), TParamType::dtpInt, TMethodType::mtCommon);
  EXPECT_EQ(v, Value(std::int64_t{2}));
  const auto calls = Calls();
  EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
            (std::vector<std::string>{"call setParam(" + C("LIBFPTR_PARAM_DATA_TYPE") + ", " +
                                          C("LIBFPTR_DT_SHIFT_STATE") + ")",
                                      "call queryData()",
                                      "call getParamInt(" + C("LIBFPTR_PARAM_SHIFT_STATE") + ")"}));

  script.log.clear();
  script.outputs[Id("LIBFPTR_PARAM_SHIFT_STATE")] = Value("1");
  EXPECT_EQ(device.RunQuery(Value(std::int32_t{1}), Value(std::int32_t{2}),
                            Value(Id("LIBFPTR_PARAM_SHIFT_STATE")), TParamType::dtpString,
                            TMethodType::mtFN),
            Value("1"));
  EXPECT_EQ(Calls()[1], "call fnQueryData()");
}

TEST_F(QueryTest, RunQueryTagReadsTheTagValueAsText) {
  script.outputs[Id("LIBFPTR_PARAM_TAG_VALUE")] = Value("https://tax.example");
  EXPECT_EQ(device.RunQueryTag(device.Const("LIBFPTR_PARAM_FN_DATA_TYPE"),
                               device.Const("LIBFPTR_FNDT_TAG_VALUE"),
                               device.Const("LIBFPTR_PARAM_TAG_NUMBER"), Value(std::int32_t{1060})),
            "https://tax.example");
  const auto calls = Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(),
                      "call setParam(" + C("LIBFPTR_PARAM_TAG_NUMBER") + ", 1060)"),
            calls.end());
}

TEST_F(QueryTest, ReadersFillTheirKeysWithTheirTypes) {
  script.outputs[Id("LIBFPTR_PARAM_SERIAL_NUMBER")] = Value("00106700000001");
  script.outputs[Id("LIBFPTR_PARAM_RECEIPT_LINE_LENGTH_PIX")] = Value(std::int32_t{576});
  script.outputs[1062] = Value(std::int32_t{3});
  script.outputs[Id("LIBFPTR_PARAM_VENDING")] = Value(true);

  TDeviceData state;
  device.GetKKTState(state);
  EXPECT_EQ(Shape(state), (std::vector<std::string>{"BLOCKED:bool",
                                                    "CASHDRAWER_OPENED:bool",
                                                    "COVER_OPENED:bool",
                                                    "CUT_ERROR:bool",
                                                    "DATE_TIME:date",
                                                    "DOCUMENT_NUMBER:int",
                                                    "FISCAL:bool",
                                                    "FN_FISCAL:bool",
                                                    "FN_PRESENT:bool",
                                                    "LINE_LENGTH_PIX:int",
                                                    "LOGICAL_NUMBER:int",
                                                    "MODE:int",
                                                    "MODEL:int",
                                                    "MODEL_NAME:text",
                                                    "OPERATOR_ID:int",
                                                    "PRINTER_CONNECTION_LOST:bool",
                                                    "PRINTER_ERROR:bool",
                                                    "PRINTER_OVERHEAT:bool",
                                                    "RECEIPT_LINE_LENGTH:int",
                                                    "RECEIPT_NUMBER:int",
                                                    "RECEIPT_PAPER_PRESENT:bool",
                                                    "RECEIPT_SUM:double",
                                                    "RECEIPT_TYPE:int",
                                                    "SERIAL_NUMBER:text",
                                                    "SHIFT_NUMBER:int",
                                                    "SHIFT_STATE:int",
                                                    "SUBMODE:int",
                                                    "UNIT_VERSION:text"}));
  EXPECT_EQ(state.At("LINE_LENGTH_PIX"), Value(std::int64_t{576}));
  EXPECT_EQ(state.At("SERIAL_NUMBER"), Value("00106700000001"));
  EXPECT_EQ(Calls()[2],
            "call setParam(" + C("LIBFPTR_PARAM_DATA_TYPE") + ", " + C("LIBFPTR_DT_STATUS") + ")");

  script.log.clear();
  TDeviceData reg;
  device.GetRegInfo(reg);
  EXPECT_EQ(reg.size(), 29u);
  EXPECT_EQ(reg.At("TaxationSystems"), Value(std::int64_t{3}));
  EXPECT_EQ(reg.At("IsVendingMachine"), Value(true));
  EXPECT_EQ(reg.At("FNSURL"), Value(""));
  const auto calls = Calls();
  // Tags go by their numbers, not through a name.
  EXPECT_NE(std::find(calls.begin(), calls.end(), "call getParamInt(1209)"), calls.end());
  EXPECT_NE(std::find(calls.begin(), calls.end(), "call getParamBool(1221)"), calls.end());

  TDeviceData last;
  device.GetFNLastRegistration(last);
  EXPECT_EQ(Shape(last), (std::vector<std::string>{"DATE_TIME:date", "DOCUMENT_NUMBER:text",
                                                   "REGISTRATIONS_COUNT:text"}));
}

TEST_F(QueryTest, ReadersShareADictionaryOnlyWithDistinctKeys) {
  TDeviceData data;
  device.GetFNInfo(data);
  device.GetFFDVersions(data);
  EXPECT_EQ(Shape(data),
            (std::vector<std::string>{
                "FFD_VERSION:text", "FN_CRITICAL_ERROR:bool", "FN_FFD_VERSION:text", "FN_FLAGS:int",
                "FN_MEMORY_OVERFLOW:bool", "FN_NEED_REPLACEMENT:bool", "FN_OFD_TIMEOUT:bool",
                "FN_RESOURCE_EXHAUSTED:bool", "FN_STATE:int", "FN_TYPE:int", "FN_VERSION:text",
                "KKT_FFD_VERSION:text", "SERIAL_NUMBER:text"}));

  script.log.clear();
  try {
    device.GetFNInfo(data);
    ADD_FAILURE() << "repeated keys accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("SERIAL_NUMBER"), std::string::npos) << e.what();
  }
  EXPECT_EQ(data.size(), 13u);
  // It stopped at the first repeated key.
  EXPECT_EQ(Calls().back(), "call getParamString(" + C("LIBFPTR_PARAM_SERIAL_NUMBER") + ")");
}

TEST_F(QueryTest, FailedQueryAddsNothing) {
  script.returns["fnQueryData"] = 1;
  script.errorCode = 2;
  script.errorDescription = "Соединение не установлено";
  TDeviceData data;
  EXPECT_THROW(device.GetFFDVersions(data), std::runtime_error);
  EXPECT_TRUE(data.empty());
}

}  // namespace
}  // namespace vantorel

namespace vantorel {
namespace {

#ifndef _WIN32
// The session on the virtual register, created through the ProgID as in production.
class DeviceOnVirtualRegisterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("vantorel-device-test-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder_);
    ::setenv("VANTOREL_VREG_DIR", folder_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("VANTOREL_VREG_DIR");
    std::filesystem::remove_all(folder_);
  }
  std::filesystem::path folder_;
};

TEST_F(DeviceOnVirtualRegisterTest, ConnectsQueriesAndReportsFailures) {
  TDevice device;
  TConnectionSettings serial;
  serial.PortNumber = 3;
  serial.AccessPassword = "0";
  serial.OperatorPassword = "30";
  device.Connect(serial);

  const auto shift = [&] {
    return device.RunQuery(
        device.Const("LIBFPTR_PARAM_DATA_TYPE"), device.Const("LIBFPTR_DT_SHIFT_STATE"),
        device.Const("LIBFPTR_PARAM_SHIFT_STATE"), TParamType::dtpInt, TMethodType::mtCommon);
  };
  EXPECT_EQ(shift(), Value(std::int64_t{0}));

  const automation::Date later{device.GetDateTime().days + 1};
  device.SetDateTime(later);
  EXPECT_NEAR(device.GetDateTime().days, later.days, 1.0 / 86400);

  TDeviceData state;
  device.GetKKTState(state);
  EXPECT_EQ(state.At("SHIFT_STATE"), Value(std::int64_t{0}));
  TDeviceData storage;
  device.GetFNInfo(storage);
  device.GetFFDVersions(storage);
  EXPECT_FALSE(storage.At("FN_VERSION").asText().empty());
  TDeviceData reg;
  device.GetRegInfo(reg);
  EXPECT_GT(reg.At("FFDVersionKKT").asInt(), 0);

  // A refused operation gives the register's own code and text.
  try {
    device.Call("closeReceipt");
    ADD_FAILURE() << "closing a receipt that is not open succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[81] - Чек не открыт - операция невозможна ");
  }
  device.Disconnect();
  EXPECT_THROW(device.Call("openShift"), std::runtime_error);  // closed: not connected
}
#endif

}  // namespace
}  // namespace vantorel
