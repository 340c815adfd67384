#include "memory_manager.h"

#include <cstdio>
#include <cstring>

namespace kkthost {

namespace {

constexpr std::size_t kGuard = 16;
constexpr std::uint8_t kGuardByte = 0xFD;
constexpr std::uint8_t kFreedByte = 0xDD;
constexpr std::uint8_t kFreshByte = 0xCD;
// Far more than any text or document the add-in has a reason to ask for.
constexpr std::uint64_t kMaxBlock = std::uint64_t{1} << 30;

std::string Hex(std::uintptr_t a) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(a));
  return buf;
}

}  // namespace

std::string FaultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::DoubleFree:
      return "double free";
    case FaultKind::ForeignFree:
      return "free of memory not from the host";
    case FaultKind::Leak:
      return "leak";
    case FaultKind::Overrun:
      return "write past the end of a block";
    case FaultKind::ForeignBlock:
      return "memory not from the host handed to the host";
    case FaultKind::DanglingBlock:
      return "freed block handed to the host";
    case FaultKind::FreedHostBlock:
      return "free of a block already handed to the host";
    case FaultKind::Unterminated:
      return "text without terminating zero";
    case FaultKind::BadLength:
      return "length beyond the end of the block";
    case FaultKind::NullAddress:
      return "null address of the pointer";
  }
  return "?";
}

std::string MemoryFault::Describe() const {
  std::string s = FaultKindName(kind) + " at " + Hex(address);
  if (size != 0) s += " (" + std::to_string(size) + " bytes)";
  if (!allocatedIn.empty()) s += ", allocated in " + allocatedIn;
  if (!detectedIn.empty()) s += ", found in " + detectedIn;
  if (!detail.empty()) s += ": " + detail;
  return s;
}

const abi::MemoryManagerTable MemoryManager::kTable = [] {
  abi::MemoryManagerTable t{};
  t.AllocMemory = &MemoryManager::AllocThunk;
  t.FreeMemory = &MemoryManager::FreeThunk;
  return t;
}();

MemoryManager::MemoryManager() : object_{&kTable, this} {}
MemoryManager::~MemoryManager() = default;

bool VANTOREL_ADDIN_API MemoryManager::AllocThunk(void* self, void** block, abi::HostULong size) {
  return static_cast<Object*>(self)->owner->AddinAllocate(block, size);
}

void VANTOREL_ADDIN_API MemoryManager::FreeThunk(void* self, void** block) {
  static_cast<Object*>(self)->owner->AddinFree(block);
}

void MemoryManager::SetActivity(std::string activity) {
  std::lock_guard lock(mutex_);
  activity_ = std::move(activity);
}

std::string MemoryManager::Activity() const {
  std::lock_guard lock(mutex_);
  return activity_;
}

void* MemoryManager::AllocateLocked(std::size_t size, Owner owner) {
  Block b;
  b.size = size;
  b.storage.reset(new std::uint8_t[size + kGuard]);
  std::memset(b.storage.get(), kFreshByte, size);
  std::memset(b.storage.get() + size, kGuardByte, kGuard);
  b.owner = owner;
  b.allocatedIn = activity_;
  void* p = b.storage.get();
  blocks_[reinterpret_cast<std::uintptr_t>(p)] = std::move(b);
  ++allocations_;
  return p;
}

bool MemoryManager::AddinAllocate(void** block, std::uint64_t size) {
  std::lock_guard lock(mutex_);
  if (block == nullptr) {
    FaultLocked(FaultKind::NullAddress, 0, nullptr, "AllocMemory");
    return false;
  }
  if (refuse_ || size > kMaxBlock) {
    *block = nullptr;
    return false;
  }
  *block = AllocateLocked(static_cast<std::size_t>(size), Owner::Addin);
  return true;
}

void MemoryManager::AddinFree(void** block) {
  std::lock_guard lock(mutex_);
  if (block == nullptr) {
    FaultLocked(FaultKind::NullAddress, 0, nullptr, "FreeMemory");
    return;
  }
  if (*block == nullptr) return;  // like free(NULL)
  const auto address = reinterpret_cast<std::uintptr_t>(*block);
  auto it = blocks_.find(address);
  if (it == blocks_.end()) {
    FaultLocked(FaultKind::ForeignFree, address, nullptr, "");
    return;
  }
  Block& b = it->second;
  if (b.state != State::Live) {
    FaultLocked(FaultKind::DoubleFree, address, &b,
                b.state == State::FreedByHost ? "the host had freed it in " + b.freedIn
                                              : "first freed in " + b.freedIn);
    return;
  }
  if (b.handedOver) {
    FaultLocked(FaultKind::FreedHostBlock, address, &b, "");
  }
  CheckGuardLocked(b, address);
  b.state = State::FreedByAddin;
  b.freedIn = activity_;
  std::memset(b.storage.get(), kFreedByte, b.size);
  *block = nullptr;
}

void* MemoryManager::HostAllocate(std::size_t size) {
  std::lock_guard lock(mutex_);
  return AllocateLocked(size, Owner::Host);
}

std::optional<std::size_t> MemoryManager::Receive(const void* p, std::string_view what) {
  std::lock_guard lock(mutex_);
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  auto it = blocks_.find(address);
  if (it == blocks_.end()) {
    FaultLocked(FaultKind::ForeignBlock, address, nullptr, std::string(what));
    return std::nullopt;
  }
  Block& b = it->second;
  if (b.state != State::Live) {
    FaultLocked(FaultKind::DanglingBlock, address, &b,
                std::string(what) + ", freed in " + b.freedIn);
    return std::nullopt;
  }
  CheckGuardLocked(b, address);
  if (b.owner == Owner::Addin) {
    b.owner = Owner::Host;
    b.handedOver = true;
  }
  return b.size;
}

void MemoryManager::HostFree(const void* p) {
  std::lock_guard lock(mutex_);
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  auto it = blocks_.find(address);
  if (it == blocks_.end() || it->second.state != State::Live) return;
  Block& b = it->second;
  CheckGuardLocked(b, address);
  b.state = State::FreedByHost;
  b.freedIn = activity_;
  std::memset(b.storage.get(), kFreedByte, b.size);
}

bool MemoryManager::OwnedByHost(const void* p) const {
  std::lock_guard lock(mutex_);
  auto it = blocks_.find(reinterpret_cast<std::uintptr_t>(p));
  return it != blocks_.end() && it->second.state == State::Live && it->second.owner == Owner::Host;
}

bool MemoryManager::Live(const void* p) const { return LiveSize(p).has_value(); }

std::optional<std::size_t> MemoryManager::LiveSize(const void* p) const {
  std::lock_guard lock(mutex_);
  auto it = blocks_.find(reinterpret_cast<std::uintptr_t>(p));
  if (it == blocks_.end() || it->second.state != State::Live) return std::nullopt;
  return it->second.size;
}

bool MemoryManager::Freed(const void* p) const {
  std::lock_guard lock(mutex_);
  auto it = blocks_.find(reinterpret_cast<std::uintptr_t>(p));
  return it != blocks_.end() && it->second.state != State::Live;
}

void MemoryManager::Report(FaultKind kind, const void* p, std::string detail) {
  std::lock_guard lock(mutex_);
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  auto it = blocks_.find(address);
  FaultLocked(kind, address, it == blocks_.end() ? nullptr : &it->second, std::move(detail));
}

std::vector<MemoryFault> MemoryManager::Outstanding() const {
  std::lock_guard lock(mutex_);
  std::vector<MemoryFault> out;
  for (const auto& [address, b] : blocks_) {
    if (b.state == State::Live && b.owner == Owner::Addin) {
      out.push_back({FaultKind::Leak, address, b.size, b.allocatedIn, activity_, ""});
    }
  }
  return out;
}

void MemoryManager::RecordLeaks() {
  std::lock_guard lock(mutex_);
  for (auto& [address, b] : blocks_) {
    if (b.state != State::Live) continue;
    CheckGuardLocked(b, address);
    if (b.owner == Owner::Addin) {
      FaultLocked(FaultKind::Leak, address, &b, "neither freed nor handed to the host");
    }
  }
}

std::vector<MemoryFault> MemoryManager::Faults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

std::size_t MemoryManager::FaultCount() const {
  std::lock_guard lock(mutex_);
  return faults_.size();
}

void MemoryManager::RefuseAllocations(bool refuse) {
  std::lock_guard lock(mutex_);
  refuse_ = refuse;
}

std::size_t MemoryManager::AllocationCount() const {
  std::lock_guard lock(mutex_);
  return allocations_;
}

void MemoryManager::CheckGuardLocked(Block& b, std::uintptr_t address) {
  if (b.overrunReported) return;
  const std::uint8_t* guard = b.storage.get() + b.size;
  for (std::size_t i = 0; i < kGuard; ++i) {
    if (guard[i] != kGuardByte) {
      b.overrunReported = true;
      FaultLocked(FaultKind::Overrun, address, &b, "");
      return;
    }
  }
}

void MemoryManager::FaultLocked(FaultKind kind, std::uintptr_t address, const Block* b,
                                std::string detail) {
  MemoryFault f;
  f.kind = kind;
  f.address = address;
  if (b != nullptr) {
    f.size = b->size;
    f.allocatedIn = b->allocatedIn;
  }
  f.detectedIn = activity_;
  f.detail = std::move(detail);
  faults_.push_back(std::move(f));
}

}  // namespace kkthost
