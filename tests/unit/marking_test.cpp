// Marking-code checks against the virtual register's marking service: the polling worker and its
// timeout, the offline fallback, the request state of a device instance, and what reaches the
// register in which order.
#include <chrono>
#include <map>

#include "driver_fixture.h"
#include "support/encoding.h"
#include "support/equipment_errors.h"
#include "vregister/constants.h"

namespace vantorel::testing {
namespace {

using Clock = std::chrono::steady_clock;

// A GS1 code with serial and crypto tail: the fiscal storage checks it as valid (3).
const std::string kCode =
    "010460123456789021ABC123\x1d"
    "91EE06\x1d"
    "92abcdefgh";
const std::string kOtherCode =
    "010460123456789021XYZ789\x1d"
    "91EE06\x1d"
    "92abcdefgh";

const std::string kChecked =
    "<?xml version=\"1.0\"?><RequestKMResult Checking=\"true\" CheckingResult=\"true\"/>";

std::string Base64(const std::string& s) {
  return encoding::Base64Encode(std::vector<std::uint8_t>(s.begin(), s.end()), false);
}

class Marking : public DriverOnVirtualRegister {
 protected:
  // Connects with the given timeout, sets the marking service up and opens the shift.
  void Start(emulator::MarkingService service, int delayMs, int timeoutSeconds = 5) {
    Connect("<Parameter Name=\"TimeoutRequestKM\" Value=\"" + std::to_string(timeoutSeconds) +
            "\"/>");
    Configure([&](emulator::Config& c) {
      c.markingService = service;
      c.markingDelayMs = delayMs;
    });
    driver.Device().Call("openShift");
    driver.OpenSessionRegistrationKM();
    reg->ClearTrace();
  }

  static std::string Request(const std::string& code, int plannedStatus = 2,
                             const std::string& more = " Quantity=\"1\"",
                             const std::string& children = {}) {
    return "<RequestKM GUID=\"g-1\" MarkingCode=\"" + Base64(code) + "\" PlannedStatus=\"" +
           std::to_string(plannedStatus) + "\"" + more + ">" + children + "</RequestKM>";
  }
  // RequestKM as the adapter runs it; the output document's text.
  std::string RequestKM(const std::string& request) {
    pugi::xml_document in = Xml(request), out;
    xml::NewOutput(out);
    driver.RequestKM(in, out);
    return xml::ToUtf8Text(out);
  }
  std::string ProcessingResult(std::int32_t& status) {
    pugi::xml_document out;
    xml::NewOutput(out);
    driver.GetProcessingKMResult(out, status);
    return xml::ToUtf8Text(out);
  }
  const std::map<std::string, TKMResult>& List() { return driver.Device().KMListResult(); }

  // The register's trace: calls by name; setParam as "NAME=value"; getParam* as "get NAME" (fiscal
  // tags by number). The worker's repeated polling is folded into one round.
  std::vector<std::string> Steps() const {
    std::map<std::int64_t, std::string> names;
    for (const auto& c : emulator::AllConstants())
      if (c.name.rfind("LIBFPTR_PARAM_", 0) == 0) names[c.value] = std::string(c.name.substr(14));
    const auto name = [&](const automation::Value& id) {
      const auto it = names.find(id.asInt());
      return it != names.end() ? it->second : std::to_string(id.asInt());
    };
    std::vector<std::string> out;
    for (const auto& e : reg->Trace()) {
      if (e.kind != emulator::TraceEntry::Kind::kCall) continue;
      std::string step = e.name;
      if (e.name == "setParam") {
        const auto& v = e.args[1];
        step = name(e.args[0]) + "=" +
               (v.is<bool>()     ? (v.get<bool>() ? "true" : "false")
                : v.is<double>() ? "d" + v.asText()
                                 : v.asText());
      } else if (e.name.rfind("getParam", 0) == 0) {
        step = "get " + name(e.args[0]);
      }
      out.push_back(step);
      // One polling round is the status call and the readiness read.
      const std::size_t n = out.size();
      if (n >= 4 && out[n - 1] == "get MARKING_CODE_VALIDATION_READY" &&
          out[n - 2] == "getMarkingCodeValidationStatus" && out[n - 3] == out[n - 1] &&
          out[n - 4] == out[n - 2])
        out.resize(n - 2);
    }
    return out;
  }
  static std::vector<std::string> Staging(const std::string& code, const std::string& more = {}) {
    std::vector<std::string> s = {"MARKING_CODE_TYPE=1000", "MARKING_CODE=" + code,
                                  "MARKING_CODE_STATUS=2",  "MARKING_NOT_SEND_TO_SERVER=false",
                                  "MEASUREMENT_UNIT=0",     "QUANTITY=d1"};
    if (!more.empty()) s.push_back(more);
    s.push_back("MARKING_PROCESSING_MODE=0");
    return s;
  }
  static std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  }
  // The begin of a check and the reads of the fiscal storage's own verdict.
  static const inline std::vector<std::string> kBegin = {
      "beginMarkingCodeValidation", "get MARKING_CODE_VALIDATION_RESULT",
      "get MARKING_CODE_OFFLINE_VALIDATION_ERROR"};
  static const inline std::vector<std::string> kPoll = {"getMarkingCodeValidationStatus",
                                                        "get MARKING_CODE_VALIDATION_READY"};
  static const inline std::vector<std::string> kShiftQuery = {"DATA_TYPE=102", "queryData",
                                                              "get SHIFT_STATE"};
};

TEST_F(Marking, AnswerWithinTheTimeoutGivesTheServiceResult) {
  Start(emulator::MarkingService::kOnline, 200);
  const auto t0 = Clock::now();
  EXPECT_EQ(RequestKM(Request(kCode)), kChecked);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));

  std::int32_t status = -1;
  EXPECT_EQ(ProcessingResult(status),
            "<?xml version=\"1.0\"?><ProcessingKMResult GUID=\"g-1\" Result=\"true\" "
            "ResultCode=\"15\" StatusInfo=\"1\" HandleCode=\"0\"/>");
  EXPECT_EQ(status, 0);

  ASSERT_EQ(List().count(kCode), 1u);
  const TKMResult& r = List().at(kCode);
  EXPECT_EQ(r.GUID, "g-1");
  EXPECT_EQ(r.LocalValidationResult, 3);
  EXPECT_EQ(r.PlannedStatus, 2);
  EXPECT_EQ(r.ProcessingResult, 3);
  EXPECT_EQ(r.KMType, 1);
  EXPECT_NE(r.RequestDate, 0);
  EXPECT_EQ(r.TLVList, "2106;2109;2005;2105;2100;2114");
  EXPECT_EQ(driver.Device().FindKMResult(kCode)->MarkingValidationResult, 15);

  EXPECT_EQ(Steps(), Join({kShiftQuery,
                           Staging(kCode),
                           kBegin,
                           kPoll,
                           {"get MARKING_CODE_ONLINE_VALIDATION_ERROR", "get 2106", "get TLV_LIST",
                            "get 2109", "get 2005", "get 2105", "get 2100", "get 2114"}}));
  EXPECT_EQ(reg->MissedOutputs(), std::vector<int>{});

  // Accepted, the same code checked again keeps its first result.
  driver.ConfirmKM(u"any", 0);
  EXPECT_EQ(reg->CallNames().back(), "acceptMarkingCode");
  Configure([](emulator::Config& c) { c.markingValidationResult = 99; });
  RequestKM(Request(kCode));
  EXPECT_EQ(List().at(kCode).MarkingValidationResult, 15);
  ProcessingResult(status);
  EXPECT_EQ(driver.Instance().FKMResult.MarkingValidationResult, 99) << "the last request's own";
}

TEST_F(Marking, SilentServiceTimesOutAndTheStorageChecksAlone) {
  Start(emulator::MarkingService::kSilent, 0, 1);
  const auto t0 = Clock::now();
  EXPECT_EQ(RequestKM(Request(kCode)), kChecked);
  const auto elapsed = Clock::now() - t0;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));

  std::int32_t status = -1;
  ProcessingResult(status);
  EXPECT_EQ(status, 1);
  ASSERT_EQ(List().count(kCode), 1u);
  EXPECT_EQ(List().at(kCode).RequestStatus, 1);
  EXPECT_EQ(List().at(kCode).MarkingValidationResult, 0) << "no answer to read";

  EXPECT_EQ(
      Steps(),
      Join({kShiftQuery,
            Staging(kCode),
            kBegin,
            kPoll,
            {"cancelMarkingCodeValidation", "MARKING_PROCESSING_MODE=0", "MARKING_CODE_STATUS=2",
             "MARKING_CODE=" + kCode, "MARKING_NOT_SEND_TO_SERVER=true",
             "MARKING_WAIT_FOR_VALIDATION_RESULT=false", "beginMarkingCodeValidation",
             "getMarkingCodeValidationStatus", "get MARKING_CODE_ONLINE_VALIDATION_ERROR"}}));
  const auto calls = reg->CallNames();
  EXPECT_GE(std::count(calls.begin(), calls.end(), "getMarkingCodeValidationStatus"), 10)
      << "polled every 50 ms for a second";
  // The offline check is pending on the register and can be confirmed.
  EXPECT_NO_THROW(driver.ConfirmKM(u"", 0));
}

TEST_F(Marking, SecondRequestWithoutConfirmationDeclinesTheFirst) {
  Start(emulator::MarkingService::kOnline, 0);
  RequestKM(Request(kCode));
  reg->ClearTrace();
  RequestKM(Request(kOtherCode));
  const auto steps = Steps();
  const std::vector<std::string> head(steps.begin(), steps.begin() + 5);
  EXPECT_EQ(head, Join({kShiftQuery, {"declineMarkingCode", "MARKING_CODE_TYPE=1000"}}));
  EXPECT_EQ(List().count(kCode), 0u);
  EXPECT_EQ(List().count(kOtherCode), 1u);

  // Confirmed (declined by the host), the code keeps its entry and the next request declines
  // nothing.
  driver.ConfirmKM(u"g-1", 1);
  EXPECT_EQ(reg->CallNames().back(), "declineMarkingCode");
  reg->ClearTrace();
  RequestKM(Request(kCode));
  EXPECT_EQ(Steps()[3], "MARKING_CODE_TYPE=1000");
  EXPECT_EQ(List().size(), 2u);
}

TEST_F(Marking, StagingFollowsStatusFractionAndType) {
  Start(emulator::MarkingService::kOnline, 0);
  const struct {
    TKMInput in;
    bool gtin;
    std::vector<std::string> staged;
  } cases[] = {
      {{"", kCode, 0, 2, 0.5, 0, 1, 3},
       false,
       {"MARKING_CODE_TYPE=1000", "MARKING_CODE=" + kCode, "MARKING_CODE_STATUS=2",
        "MARKING_NOT_SEND_TO_SERVER=false", "MEASUREMENT_UNIT=0", "MARKING_FRACTIONAL_QUANTITY=1/3",
        "QUANTITY=1", "MARKING_PROCESSING_MODE=0"}},
      {{"", kCode, 3, 4, 0.5, 11, 1, 3},
       true,
       {"MARKING_CODE_TYPE=1003", "MARKING_CODE=" + kCode, "MARKING_CODE_STATUS=4",
        "MARKING_NOT_SEND_TO_SERVER=true", "MEASUREMENT_UNIT=11", "QUANTITY=d0.5",
        "MARKING_PROCESSING_MODE=0"}},
      {{"", kCode, 6, 2, 2, 0, 3, 3},
       false,
       {"MARKING_CODE_TYPE=1006", "MARKING_CODE=" + kCode, "MARKING_CODE_STATUS=2",
        "MARKING_NOT_SEND_TO_SERVER=false", "MEASUREMENT_UNIT=0", "QUANTITY=d2",
        "MARKING_PROCESSING_MODE=0"}},
      {{"", kCode, 7, 1, 2, 0, 1, 3},
       false,
       {"MARKING_CODE=" + kCode, "MARKING_CODE_STATUS=1", "MARKING_NOT_SEND_TO_SERVER=false",
        "MARKING_PROCESSING_MODE=0"}},
      {{"", kCode, 0, 255, 2, 5, 1, 3},
       false,
       {"MARKING_CODE_TYPE=1000", "MARKING_CODE=" + kCode, "MARKING_CODE_STATUS=255",
        "MARKING_NOT_SEND_TO_SERVER=false", "MARKING_PROCESSING_MODE=0"}},
  };
  TDevice& dev = driver.Device();
  for (const auto& c : cases) {
    reg->ClearTrace();
    TKMResult r;
    dev.CheckMark(c.in, r, c.gtin);
    EXPECT_EQ(r.RequestStatus, 0) << c.in.PlannedStatus;
    auto steps = Steps();
    steps.resize(std::min(steps.size(), c.staged.size()));
    EXPECT_EQ(steps, c.staged) << c.in.PlannedStatus;
    EXPECT_EQ(dev.KMListResult().count(kCode), c.gtin ? 0u : 1u) << "a sale by GTIN keeps nothing";
    dev.Call("declineMarkingCode");
    dev.ClearKMResults();
  }
}

TEST_F(Marking, RegisterBusyRestartsAFewTimesThenFails) {
  Start(emulator::MarkingService::kOnline, 0);
  // Busy once: cancelled and begun again.
  Register()->AddFault({"beginMarkingCodeValidation", 0, 1, 401, "Проверка КМ уже выполняется"});
  RequestKM(Request(kCode));
  EXPECT_EQ(List().count(kCode), 1u);
  const auto calls = reg->CallNames();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "beginMarkingCodeValidation"), 2);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "cancelMarkingCodeValidation"), 1);
  driver.ConfirmKM(u"", 0);

  // Busy for good: a bounded number of restarts, then the register's error.
  Register()->AddFault({"beginMarkingCodeValidation", 0, 0, 401, "Проверка КМ уже выполняется"});
  reg->ClearTrace();
  const auto t0 = Clock::now();
  try {
    RequestKM(Request(kOtherCode));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[401] - Проверка КМ уже выполняется ");
  }
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(4));
  const auto busy = reg->CallNames();
  EXPECT_EQ(std::count(busy.begin(), busy.end(), "beginMarkingCodeValidation"),
            1 + TDevice::kMaxMarkingRestarts);
  EXPECT_EQ(List().count(kOtherCode), 0u);
  EXPECT_EQ(driver.Instance().FRequestCounter, 0);
  EXPECT_EQ(driver.Instance().FKMResult.KM, kCode) << "the last good result stays";
}

TEST_F(Marking, WorkerErrorKeepsNothingAndLeavesNothingToDecline) {
  Start(emulator::MarkingService::kFailing, 0);
  EXPECT_EQ(RequestKM(Request(kCode)),
            "<?xml version=\"1.0\"?><RequestKMResult Checking=\"false\" CheckingResult=\"false\"/>")
      << "nothing of the check is kept";
  std::int32_t status = -1;
  ProcessingResult(status);
  EXPECT_EQ(status, 2);
  EXPECT_TRUE(List().empty());
  EXPECT_EQ(reg->CallNames().back(), "cancelMarkingCodeValidation");

  // The cancelled check is not declined before the next request, which would fail.
  Configure([](emulator::Config& c) { c.markingService = emulator::MarkingService::kOnline; });
  reg->ClearTrace();
  EXPECT_NO_THROW(RequestKM(Request(kOtherCode)));
  const auto calls = reg->CallNames();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "declineMarkingCode"), 0);
  EXPECT_EQ(List().count(kOtherCode), 1u);
}

TEST_F(Marking, OfflineServiceAnswerIsAnErrorStatusButKept) {
  Start(emulator::MarkingService::kOffline, 0);
  RequestKM(Request(kCode));
  std::int32_t status = -1;
  ProcessingResult(status);
  EXPECT_EQ(status, 2);
  ASSERT_EQ(List().count(kCode), 1u);
  EXPECT_EQ(List().at(kCode).OnlineValidationError, 2);
  // Still pending on the register: the next request declines it.
  reg->ClearTrace();
  RequestKM(Request(kOtherCode));
  EXPECT_EQ(reg->CallNames()[1], "declineMarkingCode");
}

TEST_F(Marking, SessionResetOrderAndClosedShift) {
  Start(emulator::MarkingService::kOnline, 0);
  RequestKM(Request(kCode));
  reg->ClearTrace();
  driver.CloseSessionRegistrationKM();
  EXPECT_EQ(reg->CallNames(),
            (std::vector<std::string>{"queryData", "queryData", "cancelMarkingCodeValidation",
                                      "clearMarkingCodeValidationResult"}));
  EXPECT_TRUE(List().empty());
  EXPECT_EQ(driver.Instance().FRequestCounter, 0);

  RequestKM(Request(kCode));
  driver.Device().Call("declineMarkingCode");
  Register()->Edit([](emulator::DeviceState& s) { s.shiftOpen = false; });
  reg->ClearTrace();
  for (auto op : {&TDriver::OpenSessionRegistrationKM, &TDriver::CloseSessionRegistrationKM}) {
    try {
      (driver.*op)();
      FAIL();
    } catch (const EquException& e) {
      EXPECT_EQ(e.Code(), 3005);
    }
  }
  EXPECT_EQ(List().size(), 1u) << "a refused reset empties nothing";
  try {
    RequestKM(Request(kOtherCode));
    FAIL();
  } catch (const EquException& e) {
    EXPECT_EQ(e.Code(), 3005);
  }
  EXPECT_EQ(reg->CallNames(), (std::vector<std::string>(3, "queryData")));
}

TEST_F(Marking, MalformedRequestsAndOlderFormats) {
  Start(emulator::MarkingService::kOnline, 0);
  const struct {
    std::string request;
    std::string message;
  } bad[] = {
      {"<Other/>", "Не найдена структура RequestKM"},
      {"<RequestKM MarkingCode=\"@@@\" PlannedStatus=\"2\"/>",
       "Ошибка входных параметров команды. Код маркировки MarkingCode не в кодировке Base64"},
  };
  for (const auto& c : bad) {
    try {
      RequestKM(c.request);
      FAIL() << c.request;
    } catch (const EquException& e) {
      EXPECT_EQ(e.Code(), 1004);
      EXPECT_EQ(e.what(), c.message);
    }
  }
  // Unreadable numbers fall back to their defaults; "," is a decimal separator.
  reg->ClearTrace();
  RequestKM(Request(kCode, 2, " Quantity=\"2,5\" MeasureOfQuantity=\"x\""));
  EXPECT_EQ(Steps()[3 + 5], "QUANTITY=d2.5");
  driver.ConfirmKM(u"", 1);

  driver.Instance().FFDVersion = static_cast<int>(TFFDVersion::ffd105);
  reg->ClearTrace();
  EXPECT_EQ(RequestKM(Request(kOtherCode)), "<?xml version=\"1.0\"?>");
  driver.ConfirmKM(u"", 0);
  driver.OpenSessionRegistrationKM();
  std::int32_t status = 7;
  EXPECT_EQ(ProcessingResult(status), "<?xml version=\"1.0\"?>");
  EXPECT_TRUE(reg->CallNames().empty());
}

// Answers that arrive right at the timeout: whichever way the race goes, the result is whole and
// consistent (ThreadSanitizer watches the worker here).
TEST_F(Marking, AnswerAtTheTimeoutIsTakenOrDroppedCleanly) {
  Start(emulator::MarkingService::kOnline, 0, 1);
  for (int delay : {960, 1000, 1040}) {
    Configure([&](emulator::Config& c) { c.markingDelayMs = delay + 300; });
    reg->ClearTrace();
    TKMResult r;
    driver.Device().CheckMark({"", kCode, 0, 1, 0, 0, 0, 0}, r, false);
    const auto calls = reg->CallNames();
    const bool offline =
        std::find(calls.begin(), calls.end(), "cancelMarkingCodeValidation") != calls.end();
    EXPECT_EQ(r.RequestStatus, offline ? 1 : 0) << delay;
    EXPECT_EQ(r.MarkingValidationResult, offline ? 0 : 15) << delay;
    driver.Device().Call("declineMarkingCode");
    driver.Device().ClearKMResults();
  }
}

}  // namespace
}  // namespace vantorel::testing
