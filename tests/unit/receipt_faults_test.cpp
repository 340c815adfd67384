// A register that fails at any one call of a sale receipt: before the receipt is closed the host
// gets that failure's code and text through the method layer and the next receipt goes through,
// the broken one cancelled; after it the receipt stands and the call succeeds.
#include <cstdlib>
#include <map>
#include <set>

#include "check_flow.h"

namespace vantorel::testing {
namespace {

using namespace abi;

// A host memory manager on malloc, for the texts the method layer hands back.
struct MallocMemory {
  HostObject<MemoryManagerTable> object{&table};
  static inline std::set<void*> live;
  static bool VANTOREL_ADDIN_API Alloc(void*, void** block, HostULong size) {
    *block = std::malloc(size);
    live.insert(*block);
    return true;
  }
  static void VANTOREL_ADDIN_API Free(void*, void** block) {
    live.erase(*block);
    std::free(*block);
    *block = nullptr;
  }
  static inline const MemoryManagerTable table = {{}, Alloc, Free};
};

class ReceiptFaults : public ReceiptFlow {
 protected:
  void SetUp() override {
    ReceiptFlow::SetUp();
    driver.V8MM = TV8MemoryManager(&memory.object);
    OpenShift();
    id = driver.CurrentDeviceIdForTests();
  }
  void TearDown() override {
    for (void* p : MallocMemory::live) std::free(p);
    MallocMemory::live.clear();
    ReceiptFlow::TearDown();
  }

  // ProcessCheck as the host calls it; returns the result value.
  bool Sale() {
    static const std::u16string package = text::ToUtf16(
        "<CheckPackage><Parameters OperationType=\"1\" CashierName=\"Кассир\" TaxationSystem=\"0\""
        " CustomerEmail=\"a@b.ru\"/><Positions>"
        "<FiscalString Name=\"Хлеб\" Quantity=\"2\" PriceWithDiscount=\"10.5\""
        " AmountWithDiscount=\"21\" DiscountAmount=\"0\" VATRate=\"10\" VATAmount=\"1.91\""
        " PaymentMethod=\"4\" CalculationSubject=\"1\" Department=\"1\"/>"
        "<TextString Text=\"Спасибо\"/>"
        "<FiscalString Name=\"Молоко\" Quantity=\"1\" PriceWithDiscount=\"80\""
        " AmountWithDiscount=\"80\" VATRate=\"20\" VATAmount=\"13.33\" PaymentMethod=\"4\""
        " CalculationSubject=\"1\"/></Positions>"
        "<Payments Cash=\"50\" ElectronicPayment=\"51\"/></CheckPackage>");
    V8Variant params[4]{};
    params[0].vt = VTYPE_PWSTR;
    params[0].wstrRec.pwstrVal = const_cast<char16_t*>(id.c_str());
    params[0].wstrRec.wstrLen = static_cast<std::uint32_t>(id.size());
    params[1].vt = VTYPE_BOOL;
    params[1].bVal = false;
    params[2].vt = VTYPE_PWSTR;
    params[2].wstrRec.pwstrVal = const_cast<char16_t*>(package.c_str());
    params[2].wstrRec.wstrLen = static_cast<std::uint32_t>(package.size());
    V8Variant result{};
    EXPECT_TRUE(driver.ProcessCheckM(&result, params, 4)) << "the adapter returns true to the host";
    EXPECT_EQ(result.vt, VTYPE_BOOL);
    driver.V8ClearVar(&params[3]);
    return result.bVal;
  }
  // Sale receipts of the shift, and whether one is left open.
  std::int64_t Receipts() { return Register()->Snapshot().shiftCounters.receipts[0].count; }
  bool ReceiptOpen() { return Register()->Snapshot().receipt.type != 0; }

  MallocMemory memory;
  std::u16string id;
};

TEST_F(ReceiptFaults, AFailureUpToTheClosingCallIsReportedAfterItTheReceiptStands) {
  reg->ClearTrace();
  ASSERT_TRUE(Sale()) << text::ToUtf8(driver.LastResult().ErrorDescription);
  const auto calls = Calls();
  ASSERT_GT(calls.size(), 5u);

  // Up to closeReceipt a failure leaves no receipt and the host hears which call failed. After it
  // (paper finishing, reading the document's numbers) the receipt is in the storage: the call
  // succeeds, since a retry would make a second one.
  std::size_t closedAt = calls.size();
  for (std::size_t i = 0; i < calls.size(); ++i)
    if (calls[i] == "closeReceipt") closedAt = i;
  ASSERT_LT(closedAt, calls.size());

  std::map<std::string, int> seen;
  int failedAt = 0, heldAfterClosing = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const std::string& op = calls[i];
    const int occurrence = seen[op]++;
    SCOPED_TRACE("call " + std::to_string(i) + ": " + op + " #" + std::to_string(occurrence));
    const std::string why = "Сбой " + std::to_string(i);
    Register()->AddFault({op, occurrence, 1, 999, why});
    const auto before = Receipts();
    const bool ok = Sale();
    const auto& last = driver.LastResult();
    if (i > closedAt) {
      EXPECT_TRUE(ok) << text::ToUtf8(last.ErrorDescription);
      EXPECT_EQ(last.ErrorCode, 0);
      EXPECT_EQ(Receipts(), before + 1);
      ++heldAfterClosing;
    } else if (ok) {
      // Only a call whose outcome the driver does not need may fail unnoticed.
      EXPECT_EQ(last.ErrorCode, 0);
      EXPECT_EQ(Receipts(), before + 1);
    } else {
      ++failedAt;
      EXPECT_EQ(last.ErrorCode, 1001);
      EXPECT_EQ(text::ToUtf8(last.ErrorDescription), "[999] - " + why + " ");
      EXPECT_EQ(Receipts(), before);
    }
    // The fault is spent: the next receipt goes through and nothing is left open.
    const auto next = Receipts();
    EXPECT_TRUE(Sale()) << text::ToUtf8(driver.LastResult().ErrorDescription);
    EXPECT_EQ(Receipts(), next + 1);
    EXPECT_FALSE(ReceiptOpen());
  }
  EXPECT_GT(failedAt, 0);
  EXPECT_GT(heldAfterClosing, 0);
}

}  // namespace
}  // namespace vantorel::testing
