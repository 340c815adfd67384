// The log as the host meets it, through the real add-in: trouble with the log file reaches the
// host only as a message (AddError with status 0, which 1C shows without raising it in the
// calling code) and never decides a call's outcome; the register's passwords never reach the
// file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <pugixml.hpp>
#include <string>

#include "addin_fixture.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

using kkthost::CallOutcome;
using kkthost::Value;
namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const char* const kSale =
    "<CheckPackage><Parameters OperationType=\"1\" CashierName=\"Кассир\" TaxationSystem=\"0\"/>"
    "<Positions><FiscalString Name=\"Кофе молотый\" Quantity=\"2\" PriceWithDiscount=\"349,99\" "
    "AmountWithDiscount=\"699.98\" DiscountAmount=\"0.02\" VATRate=\"20\" VATAmount=\"116,66\" "
    "CalculationSubject=\"1\" PaymentMethod=\"4\"/></Positions>"
    "<Payments Cash=\"%CASH%\" ElectronicPayment=\"0\"/></CheckPackage>";

std::string Sale(const std::string& cash) {
  std::string s = kSale;
  s.replace(s.find("%CASH%"), 6, cash);
  return s;
}

const char* const kShiftInput =
    "<InputParameters><Parameters CashierName=\"Кассир\"/></InputParameters>";

class Logging : public hosttest::AddinTest {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    UseFolder(fs::temp_directory_path() / "vantorel-logging" / info->name());
    driver = host->Create("vantorel");
  }

  static std::string Settings(const std::string& extra) {
    return "<Parameters><Parameter Name=\"PortNumber\" Value=\"0\"/>" + extra + "</Parameters>";
  }
  static std::string LogOn() { return "<Parameter Name=\"LogEnabled\" Value=\"true\"/>"; }

  // A register connection with its log on; its first log lines are written.
  std::string Connect(const std::string& extra = {}) {
    auto out = driver->Call("ConnectEquipment", {Value::Empty(), Value::Empty(),
                                                 Value::Text(Settings(LogOn() + extra))});
    EXPECT_TRUE(out.result && out.result->boolean) << driver->GetLastError().description;
    EXPECT_TRUE(out.addErrors.empty()) << out.addErrors[0].description;
    return out.params[0].text;
  }

  // The folder the driver description names.
  fs::path LogFolder() {
    pugi::xml_document doc;
    auto out = driver->Call("GetDescription", {Value::Empty()});
    EXPECT_TRUE(doc.load_string(out.params[0].text.c_str()));
    return fs::path(doc.document_element().attribute("LogPath").value());
  }

  // Today's log file, named as the driver names it.
  static std::string TodaysFileName() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
#if defined(_WIN32)
    localtime_s(&t, &now);
#else
    localtime_r(&now, &t);
#endif
    char name[64];
    std::strftime(name, sizeof name, "vantorel_%Y.%m.%d.log", &t);
    return name;
  }

  // Every log file of the folder, joined.
  static std::string AllLogs(const fs::path& folder) {
    std::string all;
    for (const auto& e : fs::directory_iterator(folder))
      if (e.path().extension() == ".log") all += ReadFile(e.path());
    return all;
  }

  // The call reported the log's trouble as exactly one message with status 0.
  static void ExpectOneLogMessage(const CallOutcome& out, const std::string& mentions) {
    ASSERT_EQ(out.addErrors.size(), 1u) << out.method;
    EXPECT_EQ(out.addErrors[0].scode, 0) << out.method;
    EXPECT_EQ(out.addErrors[0].code, 1004) << out.method;
    EXPECT_NE(out.addErrors[0].description.find("log"), std::string::npos)
        << out.addErrors[0].description;
    EXPECT_NE(out.addErrors[0].description.find(mentions), std::string::npos)
        << out.addErrors[0].description;
  }
};

// The log folder becomes unwritable while registers are connected with their logs on: every
// call still does its own work and returns its own result, succeeding or failing, and the host
// hears of the log once per device, as a message.
TEST_F(Logging, UnwritableLogNeverDecidesAnOutcome) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs the Linux add-in's built-in virtual register";
#endif
  const std::string shift = Connect(), sale = Connect(), refused = Connect(), close = Connect();
  const fs::path blocked = root / "blocked";
  std::ofstream(blocked) << "not a folder";
  hosttest::SetEnv("XDG_DATA_HOME", blocked.string());

  const struct {
    const char* what;
    const char* method;
    std::vector<Value> params;
    bool result;
  } calls[] = {
      {"shift opened",
       "OpenShift",
       {Value::Text(shift), Value::Text(kShiftInput), Value::Empty()},
       true},
      {"sale",
       "ProcessCheck",
       {Value::Text(sale), Value::Bool(false), Value::Text(Sale("699.98")), Value::Empty()},
       true},
      {"sale paid short",
       "ProcessCheck",
       {Value::Text(refused), Value::Bool(false), Value::Text(Sale("1")), Value::Empty()},
       false},
      {"shift closed",
       "CloseShift",
       {Value::Text(close), Value::Text(kShiftInput), Value::Empty()},
       true},
      {"connection test",
       "EquipmentTest",
       {Value::Empty(), Value::Text(Settings(LogOn())), Value::Empty(), Value::Empty()},
       true},
  };
  for (const auto& c : calls) {
    SCOPED_TRACE(c.what);
    auto out = driver->Call(c.method, c.params);
    EXPECT_TRUE(out.hostResult);
    ASSERT_TRUE(out.result.has_value());
    const auto last = driver->GetLastError();
    EXPECT_EQ(out.result->boolean, c.result) << last.code << " " << last.description;
    EXPECT_EQ(last.description.find("blocked"), std::string::npos) << last.description;
    ExpectOneLogMessage(out, blocked.string());
    for (const auto& f : out.memoryFaults) ADD_FAILURE() << f.Describe();
    if (!c.result) {
      EXPECT_NE(last.code, 0);
    }
  }
  const auto again =
      driver->Call("OpenShift", {Value::Text(shift), Value::Text(kShiftInput), Value::Empty()});
  EXPECT_TRUE(again.result->boolean) << driver->GetLastError().description;
  EXPECT_TRUE(again.addErrors.empty()) << "logging is off for that device now";

  // The driver description still names the folder, and says why it cannot be made.
  auto described = driver->Call("GetDescription", {Value::Empty()});
  EXPECT_TRUE(described.result->boolean) << driver->GetLastError().description;
  ExpectOneLogMessage(described, blocked.string());
}

// Another process keeps the day's file: the call waits for it only briefly, then goes on.
TEST_F(Logging, BusyLogFileCostsAShortWaitOnly) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs the Linux add-in's built-in virtual register";
#else
  const std::string id = Connect();
  const fs::path file = LogFolder() / TodaysFileName();
  ASSERT_TRUE(fs::exists(file));
  // A lock of our own open file: the add-in's open of the same file waits for it.
  const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  auto out = driver->Call("GetLineLength", {Value::Text(id), Value::Empty()});
  const auto took = std::chrono::steady_clock::now() - start;
  close(fd);
  EXPECT_TRUE(out.result->boolean) << driver->GetLastError().description;
  ExpectOneLogMessage(out, "another process");
  EXPECT_GE(took, std::chrono::milliseconds(200));
  EXPECT_LT(took, std::chrono::seconds(3)) << "one bounded wait for the whole call";
#endif
}

// A link at the day's file (Linux: a symbolic link; Windows: a hard link, which Wine can make) is
// refused; the connection test returns its own result and the file linked to stays as it was.
TEST_F(Logging, LinkInPlaceOfTheLogIsRefused) {
  const fs::path folder = LogFolder();
  ASSERT_TRUE(fs::is_directory(folder)) << folder;
  const fs::path link = folder / TodaysFileName();
  const fs::path victim = root / "victim.txt";
  std::ofstream(victim) << "precious";
  fs::remove(link);
#if defined(_WIN32)
  ASSERT_TRUE(CreateHardLinkW(link.wstring().c_str(), victim.wstring().c_str(), nullptr));
#else
  fs::create_symlink(victim, link);
#endif
  auto out = driver->Call("EquipmentTest", {Value::Empty(), Value::Text(Settings(LogOn())),
                                            Value::Empty(), Value::Empty()});
  fs::remove(link);
  EXPECT_TRUE(out.hostResult);
  ExpectOneLogMessage(out, link.filename().string());
  // Its own outcome: the register's description, or (no register here) the connection's error.
  const auto last = driver->GetLastError();
  if (out.result->boolean) {
    EXPECT_NE(out.params[2].text.find("модель:"), std::string::npos) << out.params[2].text;
  } else {
    EXPECT_EQ(last.code, 1001);
    EXPECT_EQ(out.params[2].text, last.description);
    EXPECT_EQ(last.description.find(link.filename().string()), std::string::npos);
  }
  EXPECT_EQ(ReadFile(victim), "precious");
}

// Passwords given in the settings never reach the log, in whatever form the settings name them;
// the log still shows which settings came.
TEST_F(Logging, PasswordsNeverReachTheLog) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs the Linux add-in's built-in virtual register";
#endif
  const std::string secrets[] = {"Acc-5190x", "Op-77310y", "Op-4431z"};
  const std::string withPasswords = "<Parameter Name=\"AccessPassword\" Value=\"" + secrets[0] +
                                    "\"/>" + "<Parameter Value='" + secrets[1] +
                                    "' Name='operatorpassword'/>";
  const std::string id = Connect(withPasswords);
  driver->Call("GetLineLength", {Value::Text(id), Value::Empty()});
  auto test =
      driver->Call("EquipmentTest", {Value::Empty(), Value::Text(Settings(LogOn() + withPasswords)),
                                     Value::Empty(), Value::Empty()});
  EXPECT_TRUE(test.result->boolean) << driver->GetLastError().description;
  // A connection refused for a bad value still logs its failure.
  driver->Call("ConnectEquipment",
               {Value::Text(id), Value::Empty(),
                Value::Text(Settings(LogOn() + withPasswords +
                                     "<Parameter Name=\"BaudRate\" Value=\"fast\"/>"))});
  driver->Call("SetParameter", {Value::Text("OperatorPassword"), Value::Text(secrets[2])});
  driver->Call("DisconnectEquipment", {Value::Text(id)});

  const std::string logs = AllLogs(LogFolder());
  EXPECT_NE(logs.find("< ConnectEquipment"), std::string::npos) << logs;
  EXPECT_NE(logs.find("> EquipmentTest"), std::string::npos) << logs;
  EXPECT_NE(logs.find("Name=\"AccessPassword\" Value=\"***\""), std::string::npos) << logs;
  for (const auto& secret : secrets) EXPECT_EQ(logs.find(secret), std::string::npos) << secret;
}

}  // namespace
