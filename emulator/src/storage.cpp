#include "vregister/storage.h"

#include <sqlite3.h>

#include <map>

namespace vantorel::emulator {

namespace fs = std::filesystem;

namespace {

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10000;  // another writer's transaction is a document at most
constexpr int kDocumentBegin = static_cast<int>(TapeItem::Kind::kDocumentBegin);

std::string Utf8(const fs::path& p) {
  const auto u = p.u8string();
  return std::string(u.begin(), u.end());
}

[[noreturn]] void Throw(sqlite3* db, int rc, const std::string& what) {
  const std::string detail = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  const int primary = rc & 0xFF;
  if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB)
    throw StateFileError("virtual register database is damaged: " + what + ": " + detail);
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
    throw StateFileError("virtual register database is busy (another program keeps it locked): " +
                         what);
  throw StateFileError("virtual register database: " + what + ": " + detail);
}

void ExecOn(sqlite3* db, const char* sql, const std::string& what) {
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
  if (error) sqlite3_free(error);
  if (rc != SQLITE_OK) Throw(db, rc, what);
}

sqlite3* OpenDatabase(const fs::path& file, int busyMs) {
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(Utf8(file).c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const std::string detail = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close(db);
    throw StateFileError("virtual register database cannot be opened: " + Utf8(file) + ": " +
                         detail);
  }
  sqlite3_busy_timeout(db, busyMs);
  sqlite3_extended_result_codes(db, 1);
  return db;
}

}  // namespace

fs::path RegisterFile(const std::string& key) { return StateDirectory() / (key + ".db"); }

// A prepared statement of the storage's cache, reset when the step is done.
class Storage::Statement {
 public:
  Statement(Storage& storage, const char* sql) : db_(storage.db_) {
    auto& cache = storage.statements_;
    auto it = cache.find(sql);
    if (it == cache.end()) {
      sqlite3_stmt* st = nullptr;
      const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
      if (rc != SQLITE_OK) Throw(db_, rc, "prepare");
      it = cache.emplace(sql, st).first;
    }
    st_ = it->second;
  }
  ~Statement() {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
  }
  Statement& Bind(int i, std::int64_t v) {
    Check(sqlite3_bind_int64(st_, i, v));
    return *this;
  }
  Statement& Bind(int i, const std::string& v) {
    Check(sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    return *this;
  }
  bool Step() {
    const int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Throw(db_, rc, sqlite3_sql(st_));
  }
  void Run() {
    while (Step()) {
    }
  }
  std::int64_t Int(int col) { return sqlite3_column_int64(st_, col); }
  bool IsNull(int col) { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
  std::string Text(int col) {
    const auto* p = sqlite3_column_text(st_, col);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(st_, col)))
             : std::string();
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) Throw(db_, rc, "bind");
  }
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

Storage::Storage(fs::path file) : file_(std::move(file)) {
  db_ = OpenDatabase(file_, kBusyTimeoutMs);
}

Storage::~Storage() {
  if (inTransaction_) Rollback();
  for (auto& [sql, st] : statements_) sqlite3_finalize(st);
  sqlite3_close(db_);
}

void Storage::Exec(const char* sql) { ExecOn(db_, sql, sql); }

std::unique_ptr<Storage> Storage::Open(const fs::path& file, bool create) {
  std::error_code ec;
  fs::path json = file;
  json.replace_extension(".json");
  const bool exists = fs::exists(file, ec);
  const bool hasJson = fs::exists(json, ec);
  if (!exists && !hasJson && !create) return nullptr;
  if (!exists) fs::create_directories(file.parent_path(), ec);
  std::unique_ptr<Storage> s(new Storage(file));
  // WAL: readers (kkt-host vreg) never wait for the driver, and a commit is one append.
  // synchronous=NORMAL: a killed process loses nothing committed; a power cut may lose the last
  // commits but never leaves a torn document.
  {
    Statement mode(*s, "PRAGMA journal_mode=WAL");
    if (!mode.Step() || mode.Text(0) != "wal")
      throw StateFileError("virtual register database cannot use WAL mode: " + Utf8(file));
  }
  s->Exec("PRAGMA synchronous=NORMAL");
  auto version = [&] {
    Statement v(*s, "PRAGMA user_version");
    v.Step();
    return v.Int(0);
  };
  if (version() == kSchemaVersion) return s;
  s->Begin();
  try {
    const auto v = version();  // again, inside the lock: another program may have made it
    if (v > kSchemaVersion)
      throw StateFileError("virtual register database " + Utf8(file) +
                           " was made by a newer version (schema " + std::to_string(v) + ")");
    if (v == 0) {
      s->CreateSchema();
      if (hasJson) s->Import(json);
    }
    s->Commit();
  } catch (...) {
    s->Rollback();
    throw;
  }
  if (hasJson) {
    // Imported: the old file stays next to the database under another name, never read again.
    fs::path done = json;
    done += ".imported";
    fs::rename(json, done, ec);
  }
  return s;
}

void Storage::CreateSchema() {
  Exec(
      "CREATE TABLE config(id INTEGER PRIMARY KEY CHECK (id = 1), json TEXT NOT NULL);"
      "CREATE TABLE state(id INTEGER PRIMARY KEY CHECK (id = 1), generation INTEGER NOT NULL,"
      " json TEXT NOT NULL);"
      "CREATE TABLE documents(number INTEGER PRIMARY KEY, type INTEGER NOT NULL,"
      " time INTEGER NOT NULL, fiscal_sign INTEGER NOT NULL, sent INTEGER NOT NULL,"
      " tags TEXT NOT NULL);"
      "CREATE INDEX documents_unsent ON documents(number) WHERE sent = 0;"
      "CREATE TABLE tape(seq INTEGER PRIMARY KEY, kind INTEGER NOT NULL, item TEXT NOT NULL);"
      "CREATE INDEX tape_documents ON tape(seq) WHERE kind = 5;"
      "PRAGMA user_version = 1;");
  static_assert(kDocumentBegin == 5 && kSchemaVersion == 1, "the schema text above");
}

void Storage::Import(const fs::path& json) {
  bool exists = false;
  const std::string text = ReadStateFile(json, exists);
  if (!exists) return;
  std::vector<FiscalDocument> documents;
  DeviceState state = StateFromJsonText(text, HostWallClock(), &documents);
  WriteConfig(state.config);
  WriteState(state);
  for (const auto& d : documents) AddDocument(d);
  AppendTape(state.tape.items(), state.config.tapeLimit);
}

// Prepared once: an operation of the register begins and ends a transaction every time.
void Storage::Begin() {
  Statement(*this, "BEGIN IMMEDIATE").Run();
  inTransaction_ = true;
}

void Storage::Commit() {
  Statement(*this, "COMMIT").Run();
  inTransaction_ = false;
}

void Storage::Rollback() noexcept {
  if (!inTransaction_) return;
  inTransaction_ = false;
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool Storage::ChangedElsewhere() {
  Statement v(*this, "PRAGMA data_version");
  v.Step();
  const auto now = v.Int(0);
  const bool changed = now != dataVersion_;
  dataVersion_ = now;
  return changed;
}

std::string Storage::ReadConfigText() {
  Statement st(*this, "SELECT json FROM config WHERE id = 1");
  return st.Step() ? st.Text(0) : std::string();
}

std::optional<Config> Storage::ReadConfig() {
  const std::string text = ReadConfigText();
  if (text.empty()) return std::nullopt;
  return ConfigFromJsonText(text);
}

void Storage::WriteConfig(const Config& config) {
  Statement(*this, "INSERT OR REPLACE INTO config(id, json) VALUES (1, ?)")
      .Bind(1, ConfigToJsonText(config))
      .Run();
}

bool Storage::ReadState(DeviceState& out) {
  Statement st(*this, "SELECT json FROM state WHERE id = 1");
  if (!st.Step()) return false;
  CoreStateFromJsonText(st.Text(0), out);
  return true;
}

std::int64_t Storage::StateGeneration() {
  Statement st(*this, "SELECT generation FROM state WHERE id = 1");
  return st.Step() ? st.Int(0) : 0;
}

std::int64_t Storage::WriteState(const DeviceState& state) {
  const std::int64_t next = StateGeneration() + 1;
  Statement(*this, "INSERT OR REPLACE INTO state(id, generation, json) VALUES (1, ?, ?)")
      .Bind(1, next)
      .Bind(2, CoreStateToJsonText(state))
      .Run();
  return next;
}

void Storage::AddDocument(const FiscalDocument& d) {
  Statement(*this,
            "INSERT INTO documents(number, type, time, fiscal_sign, sent, tags) "
            "VALUES (?, ?, ?, ?, ?, ?)")
      .Bind(1, d.number)
      .Bind(2, d.type)
      .Bind(3, d.wallTime)
      .Bind(4, static_cast<std::int64_t>(d.fiscalSign))
      .Bind(5, d.sent ? 1 : 0)
      .Bind(6, TagsToJsonText(d.tags))
      .Run();
}

void Storage::ReplaceDocument(const FiscalDocument& d) {
  Statement(*this, "DELETE FROM documents WHERE number = ?").Bind(1, d.number).Run();
  AddDocument(d);
}

namespace {
template <typename St>
FiscalDocument DocumentOfRow(St& st) {
  FiscalDocument d;
  d.number = st.Int(0);
  d.type = static_cast<int>(st.Int(1));
  d.wallTime = st.Int(2);
  d.fiscalSign = static_cast<std::uint32_t>(st.Int(3));
  d.sent = st.Int(4) != 0;
  d.tags = TagsFromJsonText(st.Text(5), "documents[" + std::to_string(d.number) + "].tags");
  return d;
}
}  // namespace

std::optional<FiscalDocument> Storage::Document(std::int64_t number) {
  Statement st(*this,
               "SELECT number, type, time, fiscal_sign, sent, tags FROM documents "
               "WHERE number = ?");
  st.Bind(1, number);
  if (!st.Step()) return std::nullopt;
  return DocumentOfRow(st);
}

std::optional<FiscalDocument> Storage::LastDocument(bool receiptsOnly) {
  Statement st(*this, receiptsOnly ? "SELECT number, type, time, fiscal_sign, sent, tags FROM "
                                     "documents WHERE type IN (3, 31) ORDER BY number DESC LIMIT 1"
                                   : "SELECT number, type, time, fiscal_sign, sent, tags FROM "
                                     "documents ORDER BY number DESC LIMIT 1");
  if (!st.Step()) return std::nullopt;
  return DocumentOfRow(st);
}

std::int64_t Storage::DocumentCount() {
  Statement st(*this, "SELECT count(*) FROM documents");
  st.Step();
  return st.Int(0);
}

Storage::Unsent Storage::UnsentDocuments() {
  Unsent u;
  {
    Statement st(*this, "SELECT count(*), min(number) FROM documents WHERE sent = 0");
    st.Step();
    u.count = st.Int(0);
    u.firstNumber = st.IsNull(1) ? 0 : st.Int(1);
  }
  if (u.count) {
    Statement st(*this, "SELECT time FROM documents WHERE number = ?");
    st.Bind(1, u.firstNumber);
    if (st.Step()) u.firstTime = st.Int(0);
  }
  return u;
}

void Storage::ClearDocuments() { Exec("DELETE FROM documents"); }

void Storage::AppendTape(const std::vector<TapeItem>& items, std::size_t limit) {
  for (const auto& item : items)
    Statement(*this, "INSERT INTO tape(kind, item) VALUES (?, ?)")
        .Bind(1, static_cast<int>(item.kind))
        .Bind(2, TapeItemToJsonText(item))
        .Run();
  if (limit > 0 && !items.empty())
    Statement(*this, "DELETE FROM tape WHERE seq <= (SELECT max(seq) FROM tape) - ?")
        .Bind(1, static_cast<std::int64_t>(limit))
        .Run();
}

std::int64_t Storage::TapeCount(bool documentsOnly) {
  Statement st(*this, documentsOnly ? "SELECT count(*) FROM tape WHERE kind = 5"
                                    : "SELECT count(*) FROM tape");
  st.Step();
  return st.Int(0);
}

std::vector<TapeItem> Storage::Tape(std::int64_t lastDocuments) {
  std::int64_t from = 0;
  if (lastDocuments > 0) {
    Statement st(*this, "SELECT seq FROM tape WHERE kind = 5 ORDER BY seq DESC LIMIT 1 OFFSET ?");
    st.Bind(1, lastDocuments - 1);
    if (st.Step()) from = st.Int(0);
  }
  std::vector<TapeItem> out;
  Statement st(*this, "SELECT seq, item FROM tape WHERE seq >= ? ORDER BY seq");
  st.Bind(1, from);
  while (st.Step())
    out.push_back(TapeItemFromJsonText(st.Text(1), "tape[" + std::to_string(st.Int(0)) + "]"));
  return out;
}

void Storage::ClearTape() { Exec("DELETE FROM tape"); }

bool Storage::PortHeld() {
  try {
    PortLock probe(file_);
    return false;
  } catch (const PortBusyError&) {
    return true;
  }
}

void WriteRegisterConfig(const fs::path& file, const Config& config) {
  auto storage = Storage::Open(file);
  storage->Begin();
  try {
    storage->WriteConfig(config);
    storage->Commit();
  } catch (...) {
    storage->Rollback();
    throw;
  }
}

// ---- the port

PortLock::PortLock(const fs::path& registerFile) {
  fs::path port = registerFile;
  port.replace_extension(".port");
  std::error_code ec;
  fs::create_directories(port.parent_path(), ec);
  db_ = OpenDatabase(port, 0);
  // An exclusive transaction kept open holds the file's lock until it ends or the process dies;
  // SQLite keeps it per process on POSIX and per handle on Windows, so a second connection in the
  // same process is refused too.
  const int rc = sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    const int primary = rc & 0xFF;
    const std::string detail = sqlite3_errmsg(db_);
    sqlite3_close(db_);
    db_ = nullptr;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
      throw PortBusyError("the register's port is held by another program");
    throw StateFileError("virtual register port " + Utf8(port) + ": " + detail);
  }
}

PortLock::~PortLock() {
  if (!db_) return;
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db_);
}

}  // namespace vantorel::emulator
