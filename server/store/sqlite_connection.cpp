#include "store/sqlite_connection.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace kvr::server {

// The writers of one driver, served in the order they came. SQLite's own
// wait for the write lock polls with growing sleeps (up to 100 ms each), so
// a writer could sleep long after the lock was free and a late one could
// overtake the queue; here the next one is woken when the lock is given
// back.
class WriterQueue {
 public:
  // Waits for the turn. A thread that holds it already (a write begun on a
  // second connection inside a write transaction) would wait for itself
  // forever: that is refused, naming the database (label).
  void Enter(const std::string& label) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (serving_ != next_ && holder_ == std::this_thread::get_id())
      throw EDatabaseError(CommandError(label, "iniciar a transação",
                                        "uma gravação começou dentro de outra (erro interno)"));
    const unsigned long long ticket = next_++;
    turn_.wait(lock, [&] { return serving_ == ticket; });
    holder_ = std::this_thread::get_id();
  }
  void Leave() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      holder_ = std::thread::id();
      ++serving_;
    }
    turn_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  unsigned long long next_ = 0;
  unsigned long long serving_ = 0;
  std::thread::id holder_;
};

// Folds the WAL into the database file away from the writers, so that the
// file alone holds what was committed (a copy of it is the database) and the
// WAL stays small. SQLite would do it inside the commit that takes the WAL
// past 1,000 pages, so that store and every writer queued behind it would
// wait for the copy and its fsync. Here a thread does it within kGather of
// each commit (the commits of that moment, and those that come while it
// works, are folded together; at once when the WAL holds kPages),
// PASSIVE: it never waits for readers or writers, and a reader's older
// snapshot can keep the last frames in the WAL; those are taken up again
// after a later commit, or kRetry later when none comes. Once everything is
// in the file and the WAL is larger than kWalLimit, the WAL is emptied
// (TRUNCATE), waiting at most kTruncateWait for the readers of the moment
// and holding writers off meanwhile; a WAL over the limit for longer than
// kRetry is emptied so as well, whatever is left to fold.
class Checkpointer {
 public:
  static constexpr sqlite3_int64 kWalLimit = 16 * 1024 * 1024;
  static constexpr auto kRetry = std::chrono::seconds(2);
  static constexpr int kTruncateWaitMillis = 2000;
  static constexpr int kPages = 1000;
  static constexpr auto kGather = std::chrono::milliseconds(500);

  explicit Checkpointer(std::string path) : path_(std::move(path)) {}
  ~Checkpointer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }
  Checkpointer(const Checkpointer&) = delete;
  Checkpointer& operator=(const Checkpointer&) = delete;

  // A commit left pages in the WAL.
  void Committed(int pages) {
    if (pages <= 0) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
      if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
      wanted_ = true;
      wal_pages_ = pages;
    }
    wake_.notify_one();
  }

 private:
  // A connection that has read the database: only then does SQLite know the
  // file is in WAL mode, and a checkpoint on a connection that has not does
  // nothing at all.
  sqlite3* Open() {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "SELECT 1 FROM sqlite_master LIMIT 1", nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
      sqlite3_close(db);
      return nullptr;
    }
    sqlite3_busy_timeout(db, kTruncateWaitMillis);
    return db;
  }

  // The size of the WAL file, 0 when there is none.
  sqlite3_int64 WalSize() const {
    std::error_code error;
    const auto size = std::filesystem::file_size(path_ + "-wal", error);
    return error ? 0 : static_cast<sqlite3_int64>(size);
  }

  // Folds what it can; true when something is left for later.
  bool Fold(sqlite3* db) {
    int frames = 0, folded = 0;
    const int rc =
        sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames, &folded);
    const bool whole = rc == SQLITE_OK && folded >= frames;
    const auto now = std::chrono::steady_clock::now();
    if (WalSize() <= kWalLimit) {
      over_since_.reset();
      return !whole;
    }
    if (!over_since_) over_since_ = now;
    if (whole || now - *over_since_ >= kRetry) {
      if (sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) ==
          SQLITE_OK) {
        over_since_.reset();
        return false;
      }
    }
    return true;
  }

  void Loop() {
    sqlite3* db = Open();
    std::unique_lock<std::mutex> lock(mutex_);
    bool left = false;
    while (true) {
      if (left)
        wake_.wait_for(lock, kRetry, [this] { return stop_ || wanted_; });
      else
        wake_.wait(lock, [this] { return stop_ || wanted_; });
      if (stop_) break;
      // The commits of a moment are folded together, unless the WAL already
      // holds kPages: a fold after every commit would add the file's own
      // fsync to every store of a busy month's end.
      wake_.wait_for(lock, kGather, [this] { return stop_ || wal_pages_ >= kPages; });
      if (stop_) break;
      wanted_ = false;
      wal_pages_ = 0;
      lock.unlock();
      if (db == nullptr) db = Open();
      left = db != nullptr && Fold(db);
      lock.lock();
    }
    lock.unlock();
    sqlite3_close(db);
  }

  std::string path_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool wanted_ = false;
  int wal_pages_ = 0;  // the WAL's pages at the last commit
  bool stop_ = false;
  std::thread thread_;
  // Since when the WAL is larger than kWalLimit (the thread's own).
  std::optional<std::chrono::steady_clock::time_point> over_since_;
};

namespace {

int OnCommit(void* checkpointer, sqlite3*, const char*, int pages) {
  static_cast<Checkpointer*>(checkpointer)->Committed(pages);
  return SQLITE_OK;
}

// The declared type of the amount columns; a column of it reads back as a
// number.
constexpr const char* kAmountType = "DOUBLE PRECISION";

// EXTRBANCO rebuilt with AUTOINCREMENT, keeping its numbers, columns,
// references and index: with a plain rowid key a new statement was numbered
// one past the highest present, so removing the last one gave its number to
// the next. MOVEXTRBANCO refers to EXTRBANCO, so the foreign keys are off
// while the old table goes (rebuild_begin).
constexpr const char* kStatementNumbers = R"sql(
CREATE TABLE EXTRBANCO_NOVO (
  CDSEQUEXTR  INTEGER     NOT NULL PRIMARY KEY AUTOINCREMENT,
  CDREDUCONT  VARCHAR(3)  NOT NULL REFERENCES CONTCORR (CDREDUCONT),
  DTSALDINIC  VARCHAR(23),
  DTSALDFIN   VARCHAR(23),
  VRSALDINIC  DOUBLE PRECISION,
  VRSALDFIM   DOUBLE PRECISION,
  IDEXTRINI   VARCHAR(1),
  IDEXTRFIM   VARCHAR(1)
);
INSERT INTO EXTRBANCO_NOVO (CDSEQUEXTR, CDREDUCONT, DTSALDINIC, DTSALDFIN, VRSALDINIC, VRSALDFIM,
                            IDEXTRINI, IDEXTRFIM)
  SELECT CDSEQUEXTR, CDREDUCONT, DTSALDINIC, DTSALDFIN, VRSALDINIC, VRSALDFIM, IDEXTRINI, IDEXTRFIM
  FROM EXTRBANCO ORDER BY CDSEQUEXTR;
DROP TABLE EXTRBANCO;
ALTER TABLE EXTRBANCO_NOVO RENAME TO EXTRBANCO;
CREATE UNIQUE INDEX EXTRBANCO_PERIODO ON EXTRBANCO (CDREDUCONT, DTSALDINIC, DTSALDFIN);
)sql";

// No lock statements: BEGIN IMMEDIATE holds the write lock of the whole
// file already.
const SqlDialect kDialect = {
    .begin_read = "BEGIN",
    .begin_write = "BEGIN IMMEDIATE",
    .tables_present =
        "SELECT EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = "
        "'VERSAOESQUEMA'), EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = "
        "'CONTCORR')",
    .new_database = "PRAGMA journal_mode = WAL",
    .new_database_what = "ativar o modo WAL",
    .statement_floor =
        "INSERT INTO sqlite_sequence (name, seq) SELECT 'EXTRBANCO', 0 WHERE NOT EXISTS "
        "(SELECT 1 FROM sqlite_sequence WHERE name = 'EXTRBANCO');\n"
        "UPDATE sqlite_sequence SET seq = MAX(seq, COALESCE((SELECT MAX(CDSEQUEXTR) FROM "
        "EXTRBANCO), 0), COALESCE((SELECT MAX(EXTRATO) FROM AUDITORIA), 0)) WHERE name = "
        "'EXTRBANCO';",
    .rebuild_begin = "PRAGMA foreign_keys = OFF",
    .rebuild_end = "PRAGMA foreign_keys = ON",
    .statement_key = "INTEGER     NOT NULL PRIMARY KEY",
    .statement_ref = "INTEGER",
    .date_type = "VARCHAR(23)",
    .amount_type = kAmountType,
    .movement_constraints =
        "FOREIGN KEY (CDSEQUEXTR) REFERENCES EXTRBANCO (CDSEQUEXTR),\n"
        "  FOREIGN KEY (CDREDUCONT) REFERENCES CONTCORR (CDREDUCONT)",
    .movement_options = " WITHOUT ROWID",
    .statement_numbers = kStatementNumbers,
    .list_tables =
        "SELECT upper(name) FROM sqlite_master WHERE type = 'table' AND name NOT LIKE "
        "'sqlite!_%' ESCAPE '!' ORDER BY name",
    .list_columns = "SELECT upper(name) FROM pragma_table_info(?) ORDER BY cid",
};

// Waits for the write lock that another process holds (an administration
// command): a short poll, for up to 30 seconds. The server's own writers
// never get here, they queue in WriterQueue.
int WaitForOtherProcess(void*, int tries) {
  constexpr int kPollMillis = 2;
  if (tries >= 30000 / kPollMillis) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(kPollMillis));
  return 1;
}

// Creates path as an empty file readable and writable by its owner only,
// when nothing is there yet. SQLite gives its journal, WAL and shared-memory
// files the database file's mode, so they follow. Anything else is left for
// SQLite's open to report.
void CreateOwnerOnly(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
}

// The page cache of every connection: 64 MiB.
constexpr const char* kCacheSize = "PRAGMA cache_size = -65536";

// What went wrong, in Portuguese; SQLite's own English text only where no
// better one is known.
std::string Reason(sqlite3* db, int rc) {
  static const std::map<int, const char*> kReasons = {
      {SQLITE_BUSY, "o banco está bloqueado por outro processo há mais de 30 segundos"},
      {SQLITE_LOCKED, "o banco está bloqueado por outro processo há mais de 30 segundos"},
      {SQLITE_READONLY, "o arquivo só pode ser lido (confira as permissões do arquivo e da pasta)"},
      {SQLITE_CANTOPEN,
       "não foi possível abrir o arquivo (confira se a pasta existe e as permissões)"},
      {SQLITE_PERM, "permissão negada"},
      {SQLITE_AUTH, "permissão negada"},
      {SQLITE_CORRUPT, "o arquivo está corrompido"},
      {SQLITE_NOTADB, "o arquivo não é um banco de dados SQLite"},
      {SQLITE_FULL, "o disco está cheio"},
      {SQLITE_IOERR, "erro de leitura ou gravação no disco"},
      {SQLITE_NOMEM, "memória insuficiente"},
      {SQLITE_CONSTRAINT, "restrição de integridade violada"},
  };
  if (auto known = kReasons.find(rc & 0xFF); known != kReasons.end()) return known->second;
  return std::string("erro do SQLite (") +
         (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ")";
}

// A connection with the name of its file, for messages.
struct Db {
  sqlite3* handle;
  std::string label;
};

[[noreturn]] void Fail(const Db& db, int rc, const std::string& what) {
  throw EDatabaseError(CommandError(db.label, what, Reason(db.handle, rc)));
}

void Exec(const Db& db, const std::string& sql, const std::string& what) {
  int rc = sqlite3_exec(db.handle, sql.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Fail(db, sqlite3_extended_errcode(db.handle), what);
}

class SqliteQuery : public SqlQuery {
 public:
  SqliteQuery(const Db& db, const std::string& sql, std::string what)
      : db_(db), what_(std::move(what)) {
    int rc = sqlite3_prepare_v2(db.handle, sql.c_str(), -1, &stmt_, nullptr);
    if (rc != SQLITE_OK) Fail(db_, rc, what_);
  }
  ~SqliteQuery() override { sqlite3_finalize(stmt_); }
  SqliteQuery(const SqliteQuery&) = delete;
  SqliteQuery& operator=(const SqliteQuery&) = delete;

  void BindValue(int index, CellView cell) override { BindCell(index, cell, SQLITE_TRANSIENT); }
  // With SQLITE_STATIC the text must stay unchanged until the statement
  // has run (SQLite takes it without a copy).
  void BindCell(int index, CellView cell, sqlite3_destructor_type text_kept) {
    int rc;
    if (cell.kind == CellView::Kind::kText)
      rc = sqlite3_bind_text(stmt_, index, cell.text.data(), static_cast<int>(cell.text.size()),
                             text_kept);
    else if (cell.kind == CellView::Kind::kNumber)
      rc = sqlite3_bind_double(stmt_, index, cell.number);
    else
      rc = sqlite3_bind_null(stmt_, index);
    if (rc != SQLITE_OK) Fail(db_, rc, what_);
  }
  void BindInt(int index, long long number) override {
    int rc = sqlite3_bind_int64(stmt_, index, number);
    if (rc != SQLITE_OK) Fail(db_, rc, what_);
  }

  bool Step() override {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(db_, sqlite3_extended_errcode(db_.handle), what_);
  }
  // Ready to run again with the values bound, which may be bound anew.
  void Rerun() { sqlite3_reset(stmt_); }

  std::string Text(int column) override {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                         static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                           : std::string();
  }
  long long Int(int column) override { return sqlite3_column_int64(stmt_, column); }
  Cell Value(int column) override {
    const int type = sqlite3_column_type(stmt_, column);
    if (type == SQLITE_NULL) return Cell();
    if (type == SQLITE_FLOAT || type == SQLITE_INTEGER) {
      const char* declared = sqlite3_column_decltype(stmt_, column);
      if (declared != nullptr && std::strcmp(declared, kAmountType) == 0)
        return Cell(sqlite3_column_double(stmt_, column));
    }
    return Cell(Text(column));
  }

 private:
  const Db& db_;
  std::string what_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Rows by one prepared INSERT run again for each.
class SqliteRowWriter : public SqlRowWriter {
 public:
  SqliteRowWriter(const Db& db, const std::string& sql, const std::string& what)
      : insert_(db, sql, what) {}
  void AddValue(CellView value) override { insert_.BindCell(next_++, value, SQLITE_STATIC); }
  void Add(long long value) override { insert_.BindInt(next_++, value); }
  void EndRow() override {
    insert_.Step();
    insert_.Rerun();
    next_ = 1;
  }
  void Finish() override {}

 private:
  SqliteQuery insert_;
  int next_ = 1;
};

class SqliteConnection : public SqlConnection {
 public:
  SqliteConnection(sqlite3* handle, const std::string& label, std::shared_ptr<WriterQueue> writers)
      : db_{handle, label}, writers_(std::move(writers)) {}
  ~SqliteConnection() override {
    sqlite3_close(db_.handle);
    if (writing_) writers_->Leave();
  }
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  std::unique_ptr<SqlQuery> Prepare(const std::string& sql, const std::string& what,
                                    bool) override {
    return std::make_unique<SqliteQuery>(db_, sql, what);
  }
  // A write transaction first waits for its turn among this driver's
  // writers; the turn passes on once the transaction has ended (committed,
  // rolled back, or ended by SQLite after a failure).
  void Execute(const std::string& sql, const std::string& what) override {
    if (!writing_ && sql == kDialect.begin_write) {
      writers_->Enter(db_.label);
      writing_ = true;
    }
    try {
      Exec(db_, sql, what);
    } catch (...) {
      PassTurnWhenDone();
      throw;
    }
    PassTurnWhenDone();
  }
  std::unique_ptr<SqlRowWriter> InsertRows(const std::string& table, const std::string& columns,
                                           size_t count, const std::string& what) override {
    return std::make_unique<SqliteRowWriter>(
        db_, "INSERT INTO " + table + " (" + columns + ") VALUES (" + Placeholders(count) + ")",
        what);
  }
  void RollbackQuietly() override {
    sqlite3_exec(db_.handle, "ROLLBACK", nullptr, nullptr, nullptr);
    PassTurnWhenDone();
  }

  // A cache as large as the pages a statement of many movements writes,
  // then, once the write has ended, the usual one again with its pages given
  // back. The pages written stay in the cache until the commit; a smaller
  // cache spills them to the log halfway and, when the movements do not come
  // in date order, reads and writes many index pages again (1,000,000 such
  // movements: 5.8 s instead of 3.2 s).
  void ExpectRows(size_t rows) override {
    // About 140 bytes of table and index per movement; room for twice that.
    const size_t kib = rows * 280 / 1024;
    if (kib <= 65536 / 2) return;
    const size_t cache_kib = std::min<size_t>(65536 + kib, 1024 * 1024);
    Exec(db_, "PRAGMA cache_size = -" + std::to_string(cache_kib), "gravar o extrato");
    enlarged_ = true;
  }

 private:
  void PassTurnWhenDone() {
    if (!writing_ || sqlite3_get_autocommit(db_.handle) == 0) return;
    writing_ = false;
    writers_->Leave();
    if (!enlarged_) return;
    enlarged_ = false;
    sqlite3_exec(db_.handle, kCacheSize, nullptr, nullptr, nullptr);
    sqlite3_db_release_memory(db_.handle);
  }

  Db db_;
  std::shared_ptr<WriterQueue> writers_;
  bool writing_ = false;  // holds the turn of writers_
  bool enlarged_ = false;
};

// SQLite's memory statistics take a process-wide mutex on every allocation
// and release of every connection: a twentieth of a large store's processor
// time, for figures nothing reads. Only possible before SQLite's first use
// in the process; afterwards SQLite refuses it and keeps counting.
void SkipMemoryStatistics() {
  static const bool done = (sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0), true);
  (void)done;
}

}  // namespace

SqliteDriver::SqliteDriver(const std::string& path, bool create, bool serving)
    : SqlDriver("\"" + path + "\"", kDialect),
      path_(path),
      writers_(std::make_shared<WriterQueue>()),
      checkpointer_(std::make_unique<Checkpointer>(path)) {
  SkipMemoryStatistics();
  std::error_code error;
  if (!create && !std::filesystem::exists(path_, error))
    throw EDatabaseError("O banco de dados " + Label() +
                         " não existe. Confira o caminho dado em --db (serve e conta add criam "
                         "o banco).");
  if (create) CreateOwnerOnly(path_);
  if (!serving) return;
  // flock, not SQLite's own (fcntl) locks: the two never meet, so the
  // claim neither blocks nor is released by SQLite's work on the file.
  // The descriptor stays open until every connection of this process is
  // closed, since closing one would drop the process's fcntl locks on it.
  claim_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (claim_ < 0) return;  // the first connection says why
  if (::flock(claim_, LOCK_EX | LOCK_NB) != 0) {
    const int reason = errno;
    ::close(claim_);
    claim_ = -1;
    if (reason != EWOULDBLOCK) return;
    throw EDatabaseError(
        "O banco de dados " + Label() +
        " já é servido por outro kvr61400-server: um arquivo SQLite atende um servidor só. "
        "Encerre o outro servidor, ou, para vários servidores num banco, use PostgreSQL "
        "(--db postgresql://...; kvr61400-server copiar --de ARQUIVO --para postgresql://... "
        "leva os dados).");
  }
}

SqliteDriver::~SqliteDriver() {
  checkpointer_.reset();
  if (claim_ >= 0) ::close(claim_);
}

std::string SqliteDriver::NoTablesMessage() const {
  return "O arquivo " + Label() +
         " não tem as tabelas do kvr61400-server. Confira o caminho dado em --db (serve e conta "
         "add criam o banco).";
}

std::unique_ptr<SqlConnection> SqliteDriver::Connect(bool create) {
  sqlite3* handle = nullptr;
  int rc = sqlite3_open_v2(
      path_.c_str(), &handle,
      SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string reason = Reason(handle, rc);
    sqlite3_close(handle);
    throw EDatabaseError("Não foi possível abrir o banco de dados " + Label() + ": " + reason +
                         ".");
  }
  auto connection = std::make_unique<SqliteConnection>(handle, Label(), writers_);
  sqlite3_extended_result_codes(handle, 1);
  sqlite3_busy_handler(handle, WaitForOtherProcess, nullptr);
  sqlite3_wal_hook(handle, OnCommit, checkpointer_.get());
  connection->Execute("PRAGMA foreign_keys = ON", "abrir o banco");
  connection->Execute("PRAGMA synchronous = FULL", "abrir o banco");
  // A 100,000-movement statement touches tens of megabytes of table and
  // index pages; with the default 2 MB cache every lookup of the repeat
  // check and every insert goes back to the file.
  connection->Execute(kCacheSize, "abrir o banco");
  // When a writer starts the WAL over, the file is cut back to this size.
  connection->Execute("PRAGMA journal_size_limit = " + std::to_string(Checkpointer::kWalLimit),
                      "abrir o banco");
  return connection;
}

}  // namespace kvr::server
