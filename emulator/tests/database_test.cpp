// The register's database: the import of an old state file, changes made beside a connected
// driver, the port held by one program, and a process killed at any moment.
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "vreg_fixture.h"
#include "vregister/storage.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vantorel::emulator::testing {
namespace {

// An edit of the configuration as kkt-host vreg set makes it: another connection, one
// transaction.
void EditConfigElsewhere(const std::filesystem::path& file, const std::function<void(Config&)>& f) {
  auto storage = Storage::Open(file, false);
  ASSERT_TRUE(storage);
  storage->Begin();
  Config c = storage->ReadConfig().value_or(Config{});
  f(c);
  storage->WriteConfig(c);
  storage->Commit();
}

int Sale(Reg& r, double price) {
  if (int rc = r.OpenReceipt()) return rc;
  for (int i = 0; i < 3; ++i)
    if (int rc = r.Item("Товар " + std::to_string(i), price, 1, price)) return rc;
  if (int rc = r.Pay("LIBFPTR_PT_CASH", price * 3)) return rc;
  return r.Call("closeReceipt");
}

const Tag* Find(const FiscalDocument& d, int number) {
  for (const auto& t : d.tags)
    if (t.number == number) return &t;
  return nullptr;
}

TEST_F(VregTest, AnOldStateFileIsImportedOnceWithItsDocumentsStateAndTape) {
  // A register's history in the older single-file form.
  std::vector<FiscalDocument> documents;
  std::vector<TapeItem> tape;
  DeviceState before;
  {
    Reg r;
    ASSERT_EQ(r.Connect(), 0);
    ASSERT_EQ(r.OpenShift(), 0);
    ASSERT_EQ(Sale(r, 10), 0);
    ASSERT_EQ(Sale(r, 2.5), 0);
    ASSERT_EQ(r.OpenReceipt(), 0);  // a receipt in progress travels too
    ASSERT_EQ(r.Item("Открытый", 1, 1, 1), 0);
    before = r.obj->device()->Snapshot();
    for (std::int64_t n = 1; n <= r.obj->device()->LastDocument()->number; ++n)
      documents.push_back(*r.obj->device()->Document(n));
    tape = r.obj->device()->TapeItems();
    before.tape.Clear();
  }
  DeviceState file = before;
  for (const auto& item : tape) file.tape.Add(item);
  auto old = nlohmann::json::parse(StateToJsonText(file));
  auto& list = old["state"]["documents"] = nlohmann::json::array();
  for (const auto& d : documents)
    list.push_back({{"number", d.number},
                    {"type", d.type},
                    {"time", d.wallTime},
                    {"fiscalSign", d.fiscalSign},
                    {"sent", d.sent},
                    {"tags", nlohmann::json::parse(TagsToJsonText(d.tags))}});
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directories(dir_);
  std::ofstream(dir_ / "usb.json") << old.dump(1);

  Reg r;
  ASSERT_EQ(r.Connect(), 0);
  const auto device = r.obj->device();
  EXPECT_TRUE(device->Snapshot() == before) << "state and receipt in progress";
  EXPECT_TRUE(device->TapeItems() == tape);
  ASSERT_EQ(device->DocumentCount(), static_cast<std::int64_t>(documents.size()));
  for (const auto& d : documents) EXPECT_TRUE(device->Document(d.number) == d) << d.number;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "usb.json"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "usb.json.imported"));
  // The receipt in progress goes on where it stopped, numbered after the imported documents.
  ASSERT_EQ(r.Pay("LIBFPTR_PT_CASH", 1), 0);
  ASSERT_EQ(r.Call("closeReceipt"), 0);
  EXPECT_EQ(device->LastDocument()->number, documents.back().number + 1);
  // Imported once: a state file appearing later is not read again.
  r.Call("close");
  r.obj.reset();
  std::ofstream(dir_ / "usb.json") << R"({"format": 1, "config": {"lineLength": 32}})";
  Reg again;
  ASSERT_EQ(again.Connect(), 0);
  EXPECT_EQ(again.obj->device()->config().lineLength, before.config.lineLength);
  EXPECT_EQ(again.obj->device()->DocumentCount(), static_cast<std::int64_t>(documents.size()) + 1);
}

TEST_F(VregTest, AChangeMadeBesideAConnectedDriverCountsFromItsNextOperation) {
  Reg r;
  ASSERT_EQ(r.Connect(), 0);
  ASSERT_EQ(r.OpenShift(), 0);
  ASSERT_EQ(r.OpenReceipt(), 0);
  ASSERT_EQ(r.Item("Первый", 5, 1, 5), 0);
  // In the middle of a receipt: the configuration changes, the receipt stays as it was.
  EditConfigElsewhere(File("usb"), [](Config& c) {
    c.paperNearEnd = true;
    c.faults.push_back({"payment", 0, 1, 44, "Нет бумаги"});
  });
  ASSERT_EQ(r.Query("LIBFPTR_DT_SHORT_STATUS"), 0);
  EXPECT_TRUE(r.Bool("LIBFPTR_PARAM_PAPER_NEAR_END"));
  ASSERT_EQ(r.Item("Второй", 7, 1, 7), 0);
  EXPECT_EQ(r.Pay("LIBFPTR_PT_CASH", 12), 44);
  EXPECT_TRUE(r.obj->device()->config().faults.empty()) << "the used fault is gone for everyone";
  ASSERT_EQ(r.Pay("LIBFPTR_PT_CASH", 12), 0);
  ASSERT_EQ(r.Call("closeReceipt"), 0);
  const auto doc = r.obj->device()->LastDocument();
  ASSERT_TRUE(doc && Find(*doc, 1020));
  EXPECT_EQ(Find(*doc, 1020)->integer, 1200) << "both positions";
  // A fault planned while the driver counts skips of another one is kept with it.
  EditConfigElsewhere(File("usb"), [](Config& c) {
    c.faults.push_back({"openReceipt", 1, 1, 999, ""});
  });
  EXPECT_EQ(r.OpenReceipt(), 0);
  EXPECT_EQ(r.Call("cancelReceipt"), 0);
  EditConfigElsewhere(File("usb"), [](Config& c) {
    c.faults.push_back({"openShift", 0, 1, 1, ""});
    c.paperPresent = false;
  });
  EXPECT_EQ(r.OpenReceipt(), 999);
  EXPECT_EQ(r.obj->device()->config().faults.size(), 1u);
  EXPECT_EQ(Sale(r, 1), errc::kNoPaper);
}

#ifndef _WIN32

// Every document complete, numbered without gaps, and the counters what the documents add up
// to.
void ExpectConsistent(Device& device, const std::string& when) {
  const auto last = device.LastDocument();
  ASSERT_TRUE(last) << when;
  ASSERT_EQ(device.DocumentCount(), last->number) << when << ": numbers have gaps";
  std::int64_t sells = 0, sellSum = 0, shifts = 0;
  for (std::int64_t n = 1; n <= last->number; ++n) {
    const auto d = device.Document(n);
    ASSERT_TRUE(d) << when << ": document " << n << " missing";
    const Tag* number = Find(*d, 1040);
    ASSERT_TRUE(number && number->integer == n) << when << ": document " << n;
    if (d->type == 2) ++shifts;
    if (d->type != 3) continue;
    const Tag* kind = Find(*d, 1054);
    const Tag* total = Find(*d, 1020);
    ASSERT_TRUE(kind && total && Find(*d, 1077)) << when << ": receipt " << n << " incomplete";
    if (kind->integer == 1) ++sells, sellSum += total->integer;
  }
  const auto s = device.Snapshot();
  EXPECT_EQ(s.totalCounters.receipts[0].count, sells) << when;
  EXPECT_EQ(s.totalCounters.receipts[0].sum, sellSum) << when;
  EXPECT_EQ(s.shiftNumber, shifts) << when;
  EXPECT_EQ(s.totalCounters.payments[0][0], sellSum) << when << ": cash payments";
}

// A child process that sells on the register until it is killed, sending a byte on `ready` once
// it holds the register.
pid_t Seller(int ready) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  Reg r;
  int rc = r.Connect();
  const char c = rc == 0 ? 'y' : 'n';
  if (write(ready, &c, 1) != 1) _exit(3);
  if (rc != 0) _exit(2);
  // A receipt the last seller opened stays open in the register, as after a power cut: the
  // driver cancels it before it sells.
  r.Call("cancelReceipt");
  for (int i = 0;; ++i) {
    if (r.ShiftState() == 0 && r.OpenShift() != 0) _exit(4);
    if (int sale = Sale(r, 1 + i % 7)) {
      std::fprintf(stderr, "sale %d: %d %s\n", i, sale, r.ErrorText().c_str());
      _exit(5);
    }
    if (i % 25 == 24 && r.CloseShift() != 0) _exit(6);
  }
  _exit(0);
}

TEST_F(VregTest, AProcessKilledAtAnyMomentLeavesACompleteRegister) {
  std::mt19937 random(::testing::UnitTest::GetInstance()->random_seed());
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  for (int round = 0; round < 25; ++round) {
    const pid_t child = Seller(ready[1]);
    ASSERT_GT(child, 0);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y') << "round " << round << ": the seller could not connect";
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 150000)(random)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the seller stopped by itself: " << WEXITSTATUS(status);
    Reg r;
    ASSERT_EQ(r.Connect(), 0) << "round " << round << ": " << r.ErrorText();
    ASSERT_NO_FATAL_FAILURE(ExpectConsistent(*r.obj->device(), "round " + std::to_string(round)));
  }
  close(ready[0]);
  close(ready[1]);
  Reg r;
  ASSERT_EQ(r.Connect(), 0);
  EXPECT_GT(r.obj->device()->Snapshot().totalCounters.receipts[0].count, 0)
      << "the kills fell on sales";
}

TEST_F(VregTest, ASecondProgramIsRefusedAsABusyPortWhileToolsStillWork) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  int hold[2];
  ASSERT_EQ(pipe(hold), 0);
  const pid_t child = fork();
  if (child == 0) {
    Reg r;
    const char c = r.Connect() == 0 && r.OpenShift() == 0 ? 'y' : 'n';
    if (write(pipeFds[1], &c, 1) != 1) _exit(3);
    char x;
    if (read(hold[0], &x, 1) < 0) _exit(4);  // until the parent lets go
    _exit(Sale(r, 3) == 0 ? 0 : 5);
  }
  char c = 0;
  ASSERT_EQ(read(pipeFds[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  {
    Reg second;
    EXPECT_EQ(second.Connect(), errc::kPortBusy);
    EXPECT_NE(second.ErrorText().find("Порт занят"), std::string::npos) << second.ErrorText();
    EXPECT_EQ(second.Query("LIBFPTR_DT_STATUS"), errc::kNotConnected);
  }
  {
    // What kkt-host vreg does meanwhile: read the state, change the configuration.
    auto storage = Storage::Open(File("usb"), false);
    ASSERT_TRUE(storage);
    EXPECT_TRUE(storage->PortHeld());
    DeviceState s;
    ASSERT_TRUE(storage->ReadState(s));
    EXPECT_TRUE(s.shiftOpen);
  }
  EditConfigElsewhere(File("usb"), [](Config& c) { c.lineLength = 42; });
  ASSERT_EQ(write(hold[1], "x", 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Released when the program ended: the next one connects and finds the other's receipt.
  Reg next;
  ASSERT_EQ(next.Connect(), 0);
  EXPECT_EQ(next.obj->device()->config().lineLength, 42);
  EXPECT_EQ(next.obj->device()->LastDocument()->type, 3);
  for (int fd : {pipeFds[0], pipeFds[1], hold[0], hold[1]}) close(fd);
}

#endif

}  // namespace
}  // namespace vantorel::emulator::testing
