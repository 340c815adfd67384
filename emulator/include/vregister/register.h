// The virtual register as C++ sees it: the automation object the driver talks to
// (VirtualRegister) and the register behind it (Device), with what tests and tools need to look
// inside: the call trace, the tape, the state, the configuration and planned faults.
//
// Layout of the emulator:
//   constants.h    the LIBFPTR_ names and their values
//   fiscal_data.h  tags, TLV, code page 866
//   tape.h         the paper tape and its text rendering
//   state.h        the state model (Config, DeviceState, documents, counters)
//   persistence.h  the JSON forms of the state, its folder and the VANTOREL_VREG_DIR variable
//   storage.h      the register's SQLite database and its port
//   register.h     this file: Device (one register, shared by every connection to it in a
//                  process) and VirtualRegister (one library object: settings, staged inputs,
//                  outputs, last error, trace)
//
// Behaviour in brief. Every operation returns 0 or an error code, readable afterwards through
// errorCode/errorDescription. Inputs staged with setParam are consumed by the next operation
// (also when it fails); outputs stay readable until the next operation. Device operations need an
// open connection (error 2 otherwise). A state-changing operation that ends a document (receipt
// closed or cancelled, shift opened or closed, report, cash in or out, registration, clock set,
// non-fiscal document ended) is one transaction of the register's database (storage.h) that
// holds the document, the state and the paper; registering positions writes nothing, so long
// receipts stay fast. Close saves as well. Every operation first takes in what another program
// (kkt-host vreg set, fault) committed to the database.
#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/automation.h"
#include "vregister/state.h"

namespace vantorel::emulator {

// Error codes of the virtual register (returned by operations and read from errorCode).
namespace errc {
inline constexpr int kOk = 0;
inline constexpr int kNotConnected = 2;  // Соединение не установлено
inline constexpr int kBadSettings = 3;   // Неверные настройки связи
inline constexpr int kStateFile = 4;     // state file unreadable or damaged (on open)
inline constexpr int kPortBusy = 8;      // another program holds the register (on open)
inline constexpr int kNotSupported = 5;  // not supported by this register / in this mode
inline constexpr int kBadParam = 6;      // a staged value is not acceptable
inline constexpr int kMissingParam = 7;  // a required input was not staged
inline constexpr int kNoPaper = 44;
inline constexpr int kCoverOpen = 45;
inline constexpr int kPrinterFault = 46;
inline constexpr int kShiftOpen = 68;      // the shift is open
inline constexpr int kShiftClosed = 69;    // the shift is closed
inline constexpr int kShiftExpired = 70;   // the shift is over 24 hours
inline constexpr int kDocumentOpen = 80;   // a receipt or non-fiscal document is open
inline constexpr int kReceiptClosed = 81;  // no receipt is open
inline constexpr int kPaymentShort = 82;   // payments below the receipt total
inline constexpr int kNonCashOver = 83;   // non-cash payments above the total (no change from them)
inline constexpr int kCashShort = 84;     // not enough cash in the drawer
inline constexpr int kEmptyReceipt = 85;  // receipt without positions or total
inline constexpr int kNoNonfiscal = 86;   // no non-fiscal document is open
inline constexpr int kNotFiscal = 100;    // the register is not registered
inline constexpr int kAlreadyFiscal = 101;    // registration of a registered register
inline constexpr int kFnFull = 102;           // the fiscal storage is full
inline constexpr int kFnArchiveClosed = 103;  // the storage archive is closed
inline constexpr int kDateBackwards = 104;    // clock set before the last fiscal document
inline constexpr int kNoDocument = 110;       // no such document in the storage
inline constexpr int kNoMoreRecords = 111;    // readNextRecord past the end
inline constexpr int kBadRecordsId = 112;     // unknown records selection
inline constexpr int kTooManySelections = 113;
inline constexpr int kBadSetting = 120;       // unknown device setting
inline constexpr int kMarkingBusy = 401;      // a marking-code check is in progress
inline constexpr int kMarkingIdle = 402;      // no marking-code check in progress
inline constexpr int kMarkingNotReady = 403;  // the check has no result yet
inline constexpr int kMarkingService = 404;   // the marking service failed
inline constexpr int kInjected = 999;         // default code of an injected fault
}  // namespace errc

// The library's connection settings, by key ("Model", "Port", "ComFile", "BaudRate", "Bits",
// "StopBits", "Parity", "IPAddress", "IPPort", "MACAddress", "AccessPassword", "UserPassword",
// "OfdChannel"). LIBFPTR_SETTING_* names read as numbers; setSingleSetting accepts the number, its
// decimal text, or the key text.
struct ConnectionSettings {
  std::map<std::string, std::string> values;
  // Which register the settings reach: "usb", "com-com3", "tcp-127.0.0.1-5555",
  // "bt-ff-ff-ff-ff-ff-ff" (letters folded, anything but [a-z0-9.-] replaced by '_'). Empty with
  // an error text when the settings cannot name a register.
  std::string RegisterKey(std::string* error = nullptr) const;
};

// Marking-code check in progress on a register (not persisted: a power cycle forgets it).
struct MarkingCheck {
  bool active = false;   // begun and neither accepted, declined nor cancelled
  bool offline = false;  // not sent to the marking service
  bool failed = false;   // the service failed
  std::string code;
  int plannedStatus = 0;
  std::chrono::steady_clock::time_point begun;
  std::set<std::string> accepted;  // codes accepted since the last clear
};

class Storage;
class PortLock;

class Device {
 public:
  // The register of a database file: opened on first use (taking its port, see storage.h) and
  // shared by every connection to it in this process, as connections to one physical register
  // share it. Throws PortBusyError when another program holds the register, StateFileError when
  // its database is damaged.
  static std::shared_ptr<Device> Open(const std::filesystem::path& file);
  // The register the connection settings reach.
  static std::shared_ptr<Device> ForSettings(const ConnectionSettings& settings);

  Device(std::filesystem::path file, std::unique_ptr<Storage> storage,
         std::unique_ptr<PortLock> port);
  ~Device();

  const std::filesystem::path& file() const { return file_; }

  // A copy of the whole state (documents aside), and an edit of it that is saved at once. Both
  // see what other programs (kkt-host vreg) changed in the database.
  DeviceState Snapshot() const;
  void Edit(const std::function<void(DeviceState&)>& edit);
  Config config() const;
  void SetConfig(const Config& config);
  void AddFault(Fault fault);

  // The register's clock, as wall seconds since 1970 (local time of the register).
  std::int64_t Now() const;
  void AdvanceClock(std::int64_t seconds);

  std::vector<TapeItem> TapeItems() const;
  std::string RenderTape() const;
  void ClearTape();

  // The fiscal storage, read by number.
  std::optional<FiscalDocument> Document(std::int64_t number) const;
  std::optional<FiscalDocument> LastDocument() const;
  std::int64_t DocumentCount() const;
  // Rewrites a stored document (tests that need a document the register would not make).
  void EditDocument(std::int64_t number, const std::function<void(FiscalDocument&)>& edit);

  void Save();

  // For the operations, under the lock. An operation runs between BeginLocked (a write
  // transaction that first takes in what other programs committed) and CommitLocked (which
  // writes the state, the documents and the paper when `boundary`, and the configuration when it
  // changed); AbortLocked drops the transaction and reloads the state at the next operation.
  std::mutex& mutex() const { return mu_; }
  DeviceState& state() { return state_; }
  MarkingCheck& marking() { return marking_; }
  std::int64_t NowLocked() const;
  void BeginLocked();
  void CommitLocked(bool boundary);
  void AbortLocked() noexcept;
  void SaveLocked();
  std::int64_t LastNumberLocked() const { return lastNumber_; }
  std::optional<FiscalDocument> LastDocumentLocked(bool receiptsOnly = false);
  std::optional<FiscalDocument> DocumentLocked(std::int64_t number);
  struct Unsent {
    std::int64_t count = 0;
    std::int64_t firstNumber = 0;
    std::int64_t firstTime = 0;
  };
  Unsent UnsentLocked();
  // A new document (numbered by the caller), stored at the next boundary.
  const FiscalDocument& AddDocumentLocked(FiscalDocument doc);
  // A new fiscal storage: its documents start again from one.
  void ClearDocumentsLocked();

 private:
  void RefreshLocked() const;
  void LoadLocked() const;
  void WriteLocked();

  std::filesystem::path file_;
  mutable std::mutex mu_;
  std::unique_ptr<Storage> storage_;
  std::unique_ptr<PortLock> port_;
  mutable DeviceState state_;
  MarkingCheck marking_;
  // What the database holds, as last read or written.
  mutable Config savedConfig_;
  mutable std::int64_t generation_ = 0;
  mutable bool stale_ = false;
  mutable std::int64_t lastNumber_ = 0;
  mutable std::optional<FiscalDocument> last_;
  // Made since the last boundary.
  mutable std::deque<FiscalDocument> pending_;
  mutable bool cleared_ = false;
};

// Whether `name` (letter case ignored) is a device operation of the register, such as
// "closeReceipt" or "openShift": the names planned faults count.
bool IsDeviceOperation(const std::string& name);

struct TraceEntry {
  enum class Kind { kGet, kCall };
  Kind kind = Kind::kCall;
  std::string name;
  std::vector<automation::Value> args;
  automation::Value result;
  std::string exception;  // the AutomationError text when the access threw
};

// One records selection opened by beginReadRecords.
struct RecordsSelection {
  std::vector<Tag> records;
  size_t next = 0;
};

class VirtualRegister final : public automation::Object {
 public:
  VirtualRegister();
  ~VirtualRegister() override;

  automation::Value get(std::string_view name) override;
  automation::Value call(std::string_view name, std::span<const automation::Value> args) override;
  using automation::Object::call;

  // ---- for tests and tools
  // Every property read and call, oldest first (capped by the register's traceLimit).
  std::vector<TraceEntry> Trace() const;
  void ClearTrace();
  // The names of the calls in the trace, in order, optionally without the parameter traffic
  // (setParam and getParam*), e.g. {"open", "queryData", "openReceipt", ...}.
  std::vector<std::string> CallNames(bool withParams = false) const;
  // The register this object is connected to; empty while not open.
  std::shared_ptr<Device> device() const;
  const ConnectionSettings& settings() const { return settings_; }
  // Output ids the driver read with getParam* that the last operation had not produced.
  std::vector<int> MissedOutputs() const;
  int lastErrorCode() const;
  std::string lastErrorDescription() const;

 private:
  friend struct Operation;
  automation::Value Dispatch(const std::string& lower, std::span<const automation::Value> args);
  void Record(TraceEntry entry);

  mutable std::mutex mu_;
  ConnectionSettings pending_;   // setSingleSetting
  ConnectionSettings settings_;  // applySingleSettings
  std::shared_ptr<Device> device_;
  std::vector<std::pair<int, automation::Value>> staged_;
  std::map<int, automation::Value> outputs_;
  int errorCode_ = 0;
  std::string errorDescription_ = "Ошибок нет";
  std::map<std::string, RecordsSelection> selections_;
  int nextSelection_ = 1;
  std::deque<TraceEntry> trace_;
  size_t traceLimit_ = 100000;
  std::vector<int> missed_;
  std::optional<std::string> version_;
};

}  // namespace vantorel::emulator
