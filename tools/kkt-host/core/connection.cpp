#include "connection.h"

#include <string_view>

#include "memory_manager.h"
#include "support/text.h"

namespace kkthost {

namespace abi = vantorel::abi;

namespace {
// A bound for texts outside host memory (static strings of the add-in): a text longer than this
// is surely not a text.
constexpr std::size_t kMaxForeignText = 1 << 20;
}  // namespace

std::string ReadWideText(const abi::WCHAR_T* p, MemoryManager& memory) {
  if (p == nullptr) return {};
  if (memory.Freed(p)) {
    memory.Report(FaultKind::DanglingBlock, p, "a text passed to the connection interface");
    return {};
  }
  std::size_t limit = kMaxForeignText;
  if (auto size = memory.LiveSize(p)) limit = *size / sizeof(abi::WCHAR_T);
  std::size_t n = 0;
  while (n < limit && p[n] != 0) ++n;
  return vantorel::text::ToUtf8(std::u16string_view(p, n));
}

// The table's entries: plain functions, so that each carries the host's calling convention.
struct Connection::Slots {
  static bool VANTOREL_ADDIN_API AddError(void* self, std::uint16_t code,
                                          const abi::WCHAR_T* source, const abi::WCHAR_T* descr,
                                          abi::HostLong scode) {
    Connection& c = Of(self);
    AddErrorRecord r{code, c.ReadText(source), c.ReadText(descr), scode};
    std::lock_guard lock(c.mutex_);
    c.errors_.push_back(std::move(r));
    return true;
  }
  static bool VANTOREL_ADDIN_API Read(void*, abi::WCHAR_T*, abi::tVariant*, abi::HostLong*,
                                      abi::WCHAR_T**) {
    return false;
  }
  static bool VANTOREL_ADDIN_API Write(void*, abi::WCHAR_T*, abi::tVariant*) { return false; }
  static bool VANTOREL_ADDIN_API RegisterProfileAs(void*, abi::WCHAR_T*) { return true; }
  static bool VANTOREL_ADDIN_API SetEventBufferDepth(void*, abi::HostLong) { return true; }
  static abi::HostLong VANTOREL_ADDIN_API GetEventBufferDepth(void*) { return 1; }
  static bool VANTOREL_ADDIN_API ExternalEvent(void* self, abi::WCHAR_T* source,
                                               abi::WCHAR_T* message, abi::WCHAR_T* data) {
    Connection& c = Of(self);
    ExternalEventRecord r{c.ReadText(source), c.ReadText(message), c.ReadText(data)};
    std::lock_guard lock(c.mutex_);
    c.events_.push_back(std::move(r));
    return true;
  }
  static void VANTOREL_ADDIN_API CleanEventBuffer(void*) {}
  static bool VANTOREL_ADDIN_API SetStatusLine(void* self, abi::WCHAR_T* line) {
    Connection& c = Of(self);
    std::string text = c.ReadText(line);
    std::lock_guard lock(c.mutex_);
    c.statusLine_ = std::move(text);
    return true;
  }
  static void VANTOREL_ADDIN_API ResetStatusLine(void* self) {
    Connection& c = Of(self);
    std::lock_guard lock(c.mutex_);
    c.statusLine_.clear();
  }
  static void* VANTOREL_ADDIN_API GetInterface(void*, int) { return nullptr; }
};

const abi::ConnectionTable Connection::kTable = [] {
  abi::ConnectionTable t{};
  t.AddError = &Slots::AddError;
  t.Read = &Slots::Read;
  t.Write = &Slots::Write;
  t.RegisterProfileAs = &Slots::RegisterProfileAs;
  t.SetEventBufferDepth = &Slots::SetEventBufferDepth;
  t.GetEventBufferDepth = &Slots::GetEventBufferDepth;
  t.ExternalEvent = &Slots::ExternalEvent;
  t.CleanEventBuffer = &Slots::CleanEventBuffer;
  t.SetStatusLine = &Slots::SetStatusLine;
  t.ResetStatusLine = &Slots::ResetStatusLine;
  t.GetInterface = &Slots::GetInterface;
  return t;
}();

Connection::Connection(MemoryManager& memory) : object_{&kTable, this}, memory_(memory) {}

std::string Connection::ReadText(const abi::WCHAR_T* p) const { return ReadWideText(p, memory_); }

std::vector<AddErrorRecord> Connection::AddErrors() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

std::size_t Connection::AddErrorCount() const {
  std::lock_guard lock(mutex_);
  return errors_.size();
}

std::vector<ExternalEventRecord> Connection::ExternalEvents() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::string Connection::StatusLine() const {
  std::lock_guard lock(mutex_);
  return statusLine_;
}

}  // namespace kkthost
