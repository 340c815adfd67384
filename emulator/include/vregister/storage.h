// The virtual register's database: one SQLite file per register in the state folder
// (`<register>.db`, e.g. usb.db), in WAL mode. Tables:
//   config     one row: the configuration as JSON text (the form persistence.h describes), so it
//              stays readable and easy to change (`kkt-host vreg set`)
//   state      one row: shift, receipt in progress, cash, counters, registration, clock offset
//              (JSON text) and a generation number that every write of it increases
//   documents  the fiscal storage: number (primary key), type, time, fiscal sign, sent, tags
//              (JSON text); read by number, never as a whole
//   tape       the paper tape, one row per printed item (JSON text), bounded by tapeLimit
// A document boundary is one transaction: the document, the state it changed and the paper it
// printed are written together or not at all, so a process killed at any moment leaves the last
// complete document. An old JSON state file `<register>.json` is imported the first time its
// register opens and then renamed to `<register>.json.imported`.
//
// The port: a driver connected to the register holds `<register>.port` locked (a real register
// on a USB or COM port answers only the program that opened the port); a second program's
// connection is refused as a busy port. Tools read and edit the database without the port.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vregister/persistence.h"
#include "vregister/state.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vantorel::emulator {

// The port of a register is held by another program.
class PortBusyError : public StateFileError {
 public:
  using StateFileError::StateFileError;
};

// The database file of a register key ("usb", "com-com3", ...) in the state folder.
std::filesystem::path RegisterFile(const std::string& key);

// Writes a register's configuration (creating its database when missing) without touching its
// state: for tools and tests that prepare a register before the driver connects.
void WriteRegisterConfig(const std::filesystem::path& file, const Config& config);

class Storage {
 public:
  // Opens the register's database, creating it (and importing `<stem>.json` when there is one)
  // unless `create` is false, when a missing register gives nothing. Throws StateFileError when
  // the file or the imported JSON is damaged.
  static std::unique_ptr<Storage> Open(const std::filesystem::path& file, bool create = true);
  ~Storage();
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  const std::filesystem::path& file() const { return file_; }

  // A write transaction (BEGIN IMMEDIATE: waits for another writer up to a few seconds).
  void Begin();
  void Commit();
  void Rollback() noexcept;
  bool InTransaction() const { return inTransaction_; }
  // Whether another connection committed since the last call.
  bool ChangedElsewhere();

  // The configuration row; nothing while the register has none.
  std::optional<Config> ReadConfig();
  // Its text as stored (compared to find out whether it changed).
  std::string ReadConfigText();
  void WriteConfig(const Config& config);
  // The state row (everything but the configuration, the documents and the tape) into `out`;
  // false while the register has no state yet (only a configuration).
  bool ReadState(DeviceState& out);
  std::int64_t StateGeneration();
  // Writes the state and returns its new generation.
  std::int64_t WriteState(const DeviceState& state);

  // The fiscal storage.
  void AddDocument(const FiscalDocument& doc);
  std::optional<FiscalDocument> Document(std::int64_t number);
  std::optional<FiscalDocument> LastDocument(bool receiptsOnly = false);
  std::int64_t DocumentCount();
  struct Unsent {
    std::int64_t count = 0;
    std::int64_t firstNumber = 0;
    std::int64_t firstTime = 0;
  };
  Unsent UnsentDocuments();
  void ReplaceDocument(const FiscalDocument& doc);  // tests that alter a stored document
  void ClearDocuments();

  // The tape: appends and drops the oldest items beyond `limit` (0: keeps all).
  void AppendTape(const std::vector<TapeItem>& items, std::size_t limit);
  std::int64_t TapeCount(bool documentsOnly = false);
  // The whole tape, or from the start of the last `lastDocuments` documents (0: all).
  std::vector<TapeItem> Tape(std::int64_t lastDocuments = 0);
  void ClearTape();

  // Whether a driver holds the register's port now.
  bool PortHeld();

 private:
  explicit Storage(std::filesystem::path file);
  class Statement;
  void Exec(const char* sql);
  void CreateSchema();
  void Import(const std::filesystem::path& json);

  std::filesystem::path file_;
  sqlite3* db_ = nullptr;
  bool inTransaction_ = false;
  std::int64_t dataVersion_ = -1;
  std::map<const char*, sqlite3_stmt*> statements_;  // by the text's address: literals only
};

// The held port of a register (see above): released when destroyed, or when the process ends.
class PortLock {
 public:
  // Throws PortBusyError when another program holds it.
  explicit PortLock(const std::filesystem::path& registerFile);
  ~PortLock();
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace vantorel::emulator
