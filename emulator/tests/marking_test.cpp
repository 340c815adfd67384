#include <chrono>
#include <thread>

#include "vreg_fixture.h"

namespace vantorel::emulator::testing {
namespace {

const char* kCode =
    "010460123456789021ABC123\x1d"
    "91EE06\x1d"
    "92abcdefgh";

class MarkingTest : public VregTest {
 protected:
  void Configure(MarkingService service, int delayMs) {
    auto config = r.obj->device()->config();
    config.markingService = service;
    config.markingDelayMs = delayMs;
    r.obj->device()->SetConfig(config);
  }
  int Begin(bool offline = false) {
    r.SetK("LIBFPTR_PARAM_MARKING_CODE_TYPE", "LIBFPTR_MCT12_AUTO");
    r.Set("LIBFPTR_PARAM_MARKING_CODE", Value(kCode));
    r.Set("LIBFPTR_PARAM_MARKING_CODE_STATUS", Value(std::int32_t{2}));
    r.Set("LIBFPTR_PARAM_MARKING_NOT_SEND_TO_SERVER", Value(offline));
    r.Set("LIBFPTR_PARAM_QUANTITY", Value(1.0));
    r.Set("LIBFPTR_PARAM_MARKING_PROCESSING_MODE", Value(std::int32_t{0}));
    return r.Call("beginMarkingCodeValidation");
  }
  // Polls like the driver's worker: every 50 ms up to the limit; true when the answer came.
  bool WaitReady(int limitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < end) {
      if (r.Call("getMarkingCodeValidationStatus") != 0) return false;
      if (r.Bool("LIBFPTR_PARAM_MARKING_CODE_VALIDATION_READY")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void SetUp() override {
    VregTest::SetUp();
    ASSERT_EQ(r.Connect(), 0);
  }
  Reg r;
};

TEST_F(MarkingTest, AnswerComesAfterTheServiceDelay) {
  Configure(MarkingService::kOnline, 150);
  ASSERT_EQ(Begin(), 0);
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_MARKING_CODE_VALIDATION_RESULT"),
            3);  // checked by the storage, valid
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_MARKING_CODE_OFFLINE_VALIDATION_ERROR"), 0);
  ASSERT_EQ(r.Call("getMarkingCodeValidationStatus"), 0);
  EXPECT_FALSE(r.Bool("LIBFPTR_PARAM_MARKING_CODE_VALIDATION_READY"));
  EXPECT_EQ(r.Call("acceptMarkingCode"), errc::kMarkingNotReady);
  ASSERT_TRUE(WaitReady(2000));
  EXPECT_EQ(r.Int("LIBFPTR_PARAM_MARKING_CODE_ONLINE_VALIDATION_ERROR"), 0);
  EXPECT_EQ(r.IntOf(2106), 15);
  EXPECT_EQ(r.IntOf(2005), 3);
  EXPECT_EQ(r.Text("LIBFPTR_PARAM_TLV_LIST"), "2106;2109;2005;2105;2100;2114");
  EXPECT_EQ(r.Call("acceptMarkingCode"), 0);
  // Accepted: the next check may begin.
  EXPECT_EQ(Begin(), 0);
}

TEST_F(MarkingTest, SecondCheckWhileOneIsInProgressIs401) {
  Configure(MarkingService::kOnline, 0);
  ASSERT_EQ(Begin(), 0);
  EXPECT_EQ(Begin(), 401);
  EXPECT_EQ(r.ErrorCode(), 401);
  ASSERT_EQ(r.Call("cancelMarkingCodeValidation"), 0);
  EXPECT_EQ(Begin(), 0);
  EXPECT_EQ(r.Call("declineMarkingCode"), 0);
  EXPECT_EQ(r.Call("declineMarkingCode"), errc::kMarkingIdle);
  // Cancelling and clearing with nothing in progress succeed, as a session reset needs.
  EXPECT_EQ(r.Call("cancelMarkingCodeValidation"), 0);
  EXPECT_EQ(r.Call("clearMarkingCodeValidationResult"), 0);
}

TEST_F(MarkingTest, SilentServiceNeverAnswersButAnOfflineCheckDoes) {
  Configure(MarkingService::kSilent, 0);
  ASSERT_EQ(Begin(), 0);
  EXPECT_FALSE(WaitReady(300));
  EXPECT_EQ(r.Call("cancelMarkingCodeValidation"), 0);
  // The driver's fallback: the same code checked without the service is ready at once.
  ASSERT_EQ(Begin(true), 0);
  ASSERT_EQ(r.Call("getMarkingCodeValidationStatus"), 0);
  EXPECT_TRUE(r.Bool("LIBFPTR_PARAM_MARKING_CODE_VALIDATION_READY"));
  EXPECT_EQ(r.Text("LIBFPTR_PARAM_TLV_LIST"), "");
  EXPECT_EQ(r.Call("acceptMarkingCode"), 0);
}

TEST_F(MarkingTest, UnreachableAndFailingService) {
  Configure(MarkingService::kOffline, 0);
  ASSERT_EQ(Begin(), 0);
  ASSERT_TRUE(WaitReady(500));
  EXPECT_NE(r.Int("LIBFPTR_PARAM_MARKING_CODE_ONLINE_VALIDATION_ERROR"), 0);
  ASSERT_EQ(r.Call("cancelMarkingCodeValidation"), 0);
  Configure(MarkingService::kFailing, 0);
  ASSERT_EQ(Begin(), 0);
  EXPECT_EQ(r.Call("getMarkingCodeValidationStatus"), errc::kMarkingService);
}

TEST_F(MarkingTest, WorkerThreadPollsWhileTheCallerWaits) {
  Configure(MarkingService::kOnline, 200);
  ASSERT_EQ(Begin(), 0);
  std::atomic<bool> ready{false};
  std::thread worker([&] {
    const Value id(C("LIBFPTR_PARAM_MARKING_CODE_VALIDATION_READY"));
    for (int i = 0; i < 100 && !ready; ++i) {
      if (r.obj->call("getMarkingCodeValidationStatus").asInt() != 0) break;
      ready = r.obj->call("getParamBool", id).asBool();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  worker.join();
  EXPECT_TRUE(ready);
}

TEST_F(MarkingTest, OlderFormatsHaveNoMarkingCheck) {
  r.obj->device()->Edit([](DeviceState& s) { s.ffdVersion = 105; });
  EXPECT_EQ(Begin(), errc::kNotSupported);
}

}  // namespace
}  // namespace vantorel::emulator::testing
