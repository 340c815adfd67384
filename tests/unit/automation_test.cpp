// The automation boundary: creating objects by ProgID, and handing an object to another thread.
#include "device/automation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vantorel::automation {
namespace {

#ifndef _WIN32
TEST(CreateObjectTest, DriverProgIdIsTheVirtualRegisterInAnyLetterCase) {
  for (const char* progId : {"AddIn.Fptr10", "addin.fptr10", "ADDIN.FPTR10"}) {
    auto object = CreateObject(progId);
    ASSERT_NE(object, nullptr) << progId;
    EXPECT_FALSE(object->get("Version").asText().empty()) << progId;
  }
}

TEST(CreateObjectTest, UnknownProgIdNamesItself) {
  for (const char* progId : {"AddIn.Fptr11", "", "AddIn.Fptr10 "}) {
    try {
      CreateObject(progId);
      ADD_FAILURE() << "created '" << progId << "'";
    } catch (const AutomationError& e) {
      EXPECT_NE(std::string(e.what()).find("'" + std::string(progId) + "'"), std::string::npos)
          << e.what();
    }
  }
}
#endif

// An object that counts calls from any thread.
class Counter final : public Object {
 public:
  Value get(std::string_view) override { return Value(std::int32_t(count.load())); }
  Value call(std::string_view, std::span<const Value>) override { return Value(++count); }
  std::atomic<std::int32_t> count{0};
};

TEST(ThreadHandoffTest, WorkerReachesTheSameObject) {
  Counter counter;
  auto handoff = counter.ShareWithThread();
  std::atomic<bool> done{false};
  std::thread worker([&] {
    auto mine = handoff->Open();
    for (int i = 0; i < 100; ++i) mine->call("tick");
    done = true;
  });
  EXPECT_TRUE(WaitServingCalls([&] { return done.load(); }, std::chrono::seconds(10)));
  worker.join();
  EXPECT_EQ(counter.count, 100);
}

TEST(ThreadHandoffTest, WaitGivesUpAtTheTimeout) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitServingCalls([] { return false; }, std::chrono::milliseconds(50)));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(50));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

}  // namespace
}  // namespace vantorel::automation
