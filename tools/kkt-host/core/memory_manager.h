// The host's memory manager as an add-in sees it (a raw function table in the host's layout),
// with a ledger of every block so that kkt-host can tell the add-in's memory mistakes apart.
//
// Ownership, as the host has it: a block the add-in allocates is the add-in's until it hands it to
// the host in a result, an out parameter, a name or RegisterExtensionAs; from then on it is the
// host's, and the host frees it after reading. Texts the host passes in are allocated here too and
// are lent to the add-in, which may free or replace them.
//
// Freed blocks are never given back to the system while the manager lives (they are filled with a
// pattern and kept), so an address is never reused and a second free of it is always recognised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "addin/host_abi.h"

namespace kkthost {

namespace abi = vantorel::abi;

enum class FaultKind {
  DoubleFree,      // the add-in freed a block that was already freed
  ForeignFree,     // the add-in freed an address this manager never handed out
  Leak,            // an add-in block neither freed nor handed to the host
  Overrun,         // bytes written past the end of a block
  ForeignBlock,    // the add-in handed the host memory this manager never handed out
  DanglingBlock,   // the add-in handed the host a block that was already freed
  FreedHostBlock,  // the add-in freed a block after handing it to the host
  Unterminated,    // a text handed to the host has no terminating zero within its block
  BadLength,       // a value's length runs past the end of its block
  NullAddress,     // AllocMemory/FreeMemory called with a null address of the pointer
};

std::string FaultKindName(FaultKind kind);

struct MemoryFault {
  FaultKind kind;
  std::uintptr_t address = 0;
  std::size_t size = 0;
  std::string allocatedIn;  // what the host was doing when the block was allocated
  std::string detectedIn;   // ... and when the fault showed
  std::string detail;
  std::string Describe() const;
};

class MemoryManager {
 public:
  MemoryManager();
  ~MemoryManager();
  MemoryManager(const MemoryManager&) = delete;
  MemoryManager& operator=(const MemoryManager&) = delete;

  // The object to hand to setMemManager: a pointer to its table pointer.
  void* HostObject() { return &object_; }

  // What the host is doing now; recorded with blocks and faults.
  void SetActivity(std::string activity);
  std::string Activity() const;

  // Host side: a block owned by the host (a text passed to the add-in).
  void* HostAllocate(std::size_t size);

  // Host side: the add-in placed `p` in something the host receives. Returns the number of bytes
  // the host may read there, or nothing (fault recorded) when `p` is not a live block of ours;
  // the caller must not read through it then.
  std::optional<std::size_t> Receive(const void* p, std::string_view what);

  // Host side: frees a block the host owns (its own or received). Unknown or freed blocks are
  // ignored here: Receive has reported them already.
  void HostFree(const void* p);

  // Is `p` a live block the host owns (allocated or received by it)?
  bool OwnedByHost(const void* p) const;
  // Is `p` the start of a live block?
  bool Live(const void* p) const;
  // The usable size of a live block, or nothing.
  std::optional<std::size_t> LiveSize(const void* p) const;
  // Is `p` the start of a block that has been freed?
  bool Freed(const void* p) const;

  // Records a fault found by the host outside the manager's own checks.
  void Report(FaultKind kind, const void* p, std::string detail);

  // Blocks the add-in allocated and still owns (on demand; not recorded as faults).
  std::vector<MemoryFault> Outstanding() const;
  // The end of the object: records every outstanding block as a leak, checks all guards.
  void RecordLeaks();

  std::vector<MemoryFault> Faults() const;
  std::size_t FaultCount() const;

  // Refuse every allocation from now on (to see how the add-in copes with a refusal).
  void RefuseAllocations(bool refuse);
  std::size_t AllocationCount() const;

 private:
  enum class Owner { Addin, Host };
  enum class State { Live, FreedByAddin, FreedByHost };
  struct Block {
    std::size_t size = 0;
    std::unique_ptr<std::uint8_t[]> storage;
    Owner owner = Owner::Addin;
    State state = State::Live;
    bool handedOver = false;  // the add-in gave it to the host
    bool overrunReported = false;
    std::string allocatedIn;
    std::string freedIn;
  };

  static bool VANTOREL_ADDIN_API AllocThunk(void* self, void** block, abi::HostULong size);
  static void VANTOREL_ADDIN_API FreeThunk(void* self, void** block);
  bool AddinAllocate(void** block, std::uint64_t size);
  void AddinFree(void** block);

  void* AllocateLocked(std::size_t size, Owner owner);
  void CheckGuardLocked(Block& b, std::uintptr_t address);
  void FaultLocked(FaultKind kind, std::uintptr_t address, const Block* b, std::string detail);

  struct Object {
    const abi::MemoryManagerTable* table;
    MemoryManager* owner;
  };
  static const abi::MemoryManagerTable kTable;

  Object object_;
  mutable std::mutex mutex_;
  std::map<std::uintptr_t, Block> blocks_;
  std::vector<MemoryFault> faults_;
  std::string activity_;
  bool refuse_ = false;
  std::size_t allocations_ = 0;
};

}  // namespace kkthost
