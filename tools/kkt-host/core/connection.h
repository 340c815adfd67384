// The host's connection interface as an add-in sees it (a raw function table in the host's
// layout). It records what the add-in reports; it keeps no events and stores no profile.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "addin/host_abi.h"

namespace kkthost {

namespace abi = vantorel::abi;

class MemoryManager;

struct AddErrorRecord {
  std::uint16_t code = 0;
  std::string source;
  std::string description;
  std::int64_t scode = 0;
};

struct ExternalEventRecord {
  std::string source;
  std::string message;
  std::string data;
};

class Connection {
 public:
  // Texts the add-in passes are read within their block when they are host memory.
  explicit Connection(MemoryManager& memory);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The object to hand to Init: a pointer to its table pointer.
  void* HostObject() { return &object_; }

  std::vector<AddErrorRecord> AddErrors() const;
  std::size_t AddErrorCount() const;
  std::vector<ExternalEventRecord> ExternalEvents() const;
  std::string StatusLine() const;

 private:
  struct Object {
    const vantorel::abi::ConnectionTable* table;
    Connection* owner;
  };
  struct Slots;
  static const vantorel::abi::ConnectionTable kTable;
  static Connection& Of(void* self) { return *static_cast<Object*>(self)->owner; }

  // Reads a zero-terminated text from the add-in, bounded by its block when it is ours.
  std::string ReadText(const vantorel::abi::WCHAR_T* p) const;

  Object object_;
  MemoryManager& memory_;
  mutable std::mutex mutex_;
  std::vector<AddErrorRecord> errors_;
  std::vector<ExternalEventRecord> events_;
  std::string statusLine_;
};

// Reads a zero-terminated UTF-16 text at `p`: within its block when p is a live block of
// `memory`, else within a generous bound. Null reads as empty; a freed block is reported as a
// fault and reads as empty.
std::string ReadWideText(const vantorel::abi::WCHAR_T* p, MemoryManager& memory);

}  // namespace kkthost
