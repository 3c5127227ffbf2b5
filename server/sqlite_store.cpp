#include "sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <utility>

#include "store_common.h"

namespace kvr::server {

namespace {

// The tables as they were before versions were kept (version 1).
constexpr const char* kSchemaVersion1 = R"sql(
CREATE TABLE IF NOT EXISTS CONTCORR (
  CDREDUCONT  VARCHAR(3)  NOT NULL PRIMARY KEY,
  CDBANCO     VARCHAR(3)  NOT NULL,
  CDAGENCIA   VARCHAR(5),
  CDCONTCORR  VARCHAR(10) NOT NULL,
  CDPICTCONT  VARCHAR(20),
  IDTIPOCCORR VARCHAR(20)
);
CREATE TABLE IF NOT EXISTS EXTRBANCO (
  CDSEQUEXTR  INTEGER     NOT NULL PRIMARY KEY,
  CDREDUCONT  VARCHAR(3)  NOT NULL REFERENCES CONTCORR (CDREDUCONT),
  DTSALDINIC  VARCHAR(23),
  DTSALDFIN   VARCHAR(23),
  VRSALDINIC  DOUBLE PRECISION,
  VRSALDFIM   DOUBLE PRECISION,
  IDEXTRINI   VARCHAR(1),
  IDEXTRFIM   VARCHAR(1)
);
CREATE INDEX IF NOT EXISTS EXTRBANCO_PERIODO ON EXTRBANCO (CDREDUCONT, DTSALDINIC, DTSALDFIN);
CREATE TABLE IF NOT EXISTS MOVEXTRBANCO (
  CDSEQUEXTR    INTEGER     NOT NULL REFERENCES EXTRBANCO (CDSEQUEXTR),
  NRSEQMOVREAL  INTEGER     NOT NULL,
  CDREDUCONT    VARCHAR(3)  NOT NULL REFERENCES CONTCORR (CDREDUCONT),
  NRDOCMOVREAL  VARCHAR(20),
  DTMOVREAL     VARCHAR(23),
  IDMOVREAL     VARCHAR(1),
  VRMOVREAL     DOUBLE PRECISION,
  DSHISTMOVREAL VARCHAR(40),
  IDTIPOREGI    VARCHAR(2),
  CDCATELANC    VARCHAR(4),
  IDSTCONMVBAN  VARCHAR(1),
  IDTPMOVREAL   VARCHAR(1),
  CDFITIDEXTR   VARCHAR(10),
  PRIMARY KEY (CDSEQUEXTR, NRSEQMOVREAL)
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS MOVEXTRBANCO_DATA ON MOVEXTRBANCO (CDREDUCONT, DTMOVREAL);
)sql";

// Migrations[v] turns a database of version v into version v + 1. SQLite
// keeps dates as ISO texts ("2024-01-05T00:00:00", its own date form) and
// amounts as the packet's double itself.
const char* const kMigrations[] = {
    kSchemaVersion1,
    R"sql(
CREATE TABLE VERSAOESQUEMA (NRVERSAO INTEGER NOT NULL);
INSERT INTO VERSAOESQUEMA (NRVERSAO) VALUES (2);
DROP INDEX IF EXISTS EXTRBANCO_PERIODO;
CREATE UNIQUE INDEX EXTRBANCO_PERIODO ON EXTRBANCO (CDREDUCONT, DTSALDINIC, DTSALDFIN);
)sql",
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == kSchemaVersion);

// A connection with the name of its file as the user gave it, for messages.
struct Db {
  sqlite3* handle;
  const std::string& name;
};

// What went wrong, in Portuguese; SQLite's own English text only where no
// better one is known.
std::string Reason(sqlite3* db, int rc) {
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "o banco está bloqueado por outro processo há mais de 30 segundos";
    case SQLITE_READONLY:
      return "o arquivo só pode ser lido (confira as permissões do arquivo e da pasta)";
    case SQLITE_CANTOPEN:
      return "não foi possível abrir o arquivo (confira se a pasta existe e as permissões)";
    case SQLITE_PERM:
    case SQLITE_AUTH: return "permissão negada";
    case SQLITE_CORRUPT: return "o arquivo está corrompido";
    case SQLITE_NOTADB: return "o arquivo não é um banco de dados SQLite";
    case SQLITE_FULL: return "o disco está cheio";
    case SQLITE_IOERR: return "erro de leitura ou gravação no disco";
    case SQLITE_NOMEM: return "memória insuficiente";
    case SQLITE_CONSTRAINT: return "restrição de integridade violada";
    default:
      return std::string("erro do SQLite (") +
             (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ")";
  }
}

[[noreturn]] void Fail(const Db& db, int rc, const std::string& what) {
  throw EDatabaseError("Erro no banco de dados \"" + db.name + "\" ao " + what + ": " +
                       Reason(db.handle, rc) + ".");
}

void Exec(const Db& db, const char* sql, const std::string& what) {
  int rc = sqlite3_exec(db.handle, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Fail(db, sqlite3_extended_errcode(db.handle), what);
}

// A prepared statement; bound parameters only.
class Query {
 public:
  Query(const Db& db, const std::string& sql, std::string what) : db_(db), what_(std::move(what)) {
    int rc = sqlite3_prepare_v2(db.handle, sql.c_str(), -1, &stmt_, nullptr);
    if (rc != SQLITE_OK) Fail(db_, rc, what_);
  }
  ~Query() { sqlite3_finalize(stmt_); }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  void Bind(int index, const Cell& cell) {
    int rc;
    if (const auto* text = std::get_if<std::string>(&cell))
      rc = sqlite3_bind_text(stmt_, index, text->data(), static_cast<int>(text->size()),
                             SQLITE_TRANSIENT);
    else if (const auto* number = std::get_if<double>(&cell))
      rc = sqlite3_bind_double(stmt_, index, *number);
    else
      rc = sqlite3_bind_null(stmt_, index);
    if (rc != SQLITE_OK) Fail(db_, rc, what_);
  }
  // A text of cell must stay unchanged until the statement is reset and
  // bound again (SQLite takes it without a copy).
  void Bind(int index, CellView cell) {
    int rc;
    if (cell.kind == CellView::Kind::kText)
      rc = sqlite3_bind_text(stmt_, index, cell.text.data(), static_cast<int>(cell.text.size()),
                             SQLITE_STATIC);
    else if (cell.kind == CellView::Kind::kNumber)
      rc = sqlite3_bind_double(stmt_, index, cell.number);
    else
      rc = sqlite3_bind_null(stmt_, index);
    if (rc != SQLITE_OK) Fail(db_, rc, what_);
  }
  void Bind(int index, const std::string& text) { Bind(index, Cell(text)); }
  void Bind(int index, long long number) {
    int rc = sqlite3_bind_int64(stmt_, index, number);
    if (rc != SQLITE_OK) Fail(db_, rc, what_);
  }

  // Steps once; true while a row is there.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(db_, sqlite3_extended_errcode(db_.handle), what_);
  }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  // Ready to run again with the same values bound, but those bound anew.
  void Rerun() { sqlite3_reset(stmt_); }

  std::string Text(int column) {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                         static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                           : std::string();
  }
  long long Int(int column) { return sqlite3_column_int64(stmt_, column); }
  Cell Value(int column) {
    switch (sqlite3_column_type(stmt_, column)) {
      case SQLITE_NULL: return Cell();
      case SQLITE_FLOAT:
      case SQLITE_INTEGER:
        if (sqlite3_column_decltype(stmt_, column) != nullptr &&
            std::string(sqlite3_column_decltype(stmt_, column)) == "DOUBLE PRECISION")
          return Cell(sqlite3_column_double(stmt_, column));
        return Cell(Text(column));
      default: return Cell(Text(column));
    }
  }

 private:
  const Db& db_;
  std::string what_;
  sqlite3_stmt* stmt_ = nullptr;
};

// The page cache of every connection: 64 MiB.
constexpr const char* kCacheSize = "PRAGMA cache_size = -65536";

// A cache as large as the pages a statement of many movements writes, for
// as long as the object lives, then the usual one again with its pages given
// back. The pages written stay in the cache until the commit; a smaller
// cache spills them to the log halfway and, when the movements do not come
// in date order, reads and writes many index pages again (1,000,000 such
// movements: 5.8 s instead of 3.2 s).
class CacheForStore {
 public:
  CacheForStore(const Db& db, size_t movements) : db_(db) {
    // About 140 bytes of table and index per movement; room for twice that.
    const size_t kib = movements * 280 / 1024;
    if (kib <= 65536 / 2) return;
    const size_t cache_kib = std::min<size_t>(65536 + kib, 1024 * 1024);
    Exec(db, ("PRAGMA cache_size = -" + std::to_string(cache_kib)).c_str(), "gravar o extrato");
    enlarged_ = true;
  }
  ~CacheForStore() {
    if (!enlarged_) return;
    sqlite3_exec(db_.handle, kCacheSize, nullptr, nullptr, nullptr);
    sqlite3_db_release_memory(db_.handle);
  }
  CacheForStore(const CacheForStore&) = delete;
  CacheForStore& operator=(const CacheForStore&) = delete;

 private:
  const Db& db_;
  bool enlarged_ = false;
};

// A transaction that rolls back unless committed. A write transaction takes
// the write lock at once, so its checks and its writes see one state.
class Transaction {
 public:
  Transaction(const Db& db, bool write) : db_(db) {
    Exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN", "iniciar a transação");
  }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_.handle, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit() {
    Exec(db_, "COMMIT", "confirmar a transação");
    done_ = true;
  }

 private:
  const Db& db_;
  bool done_ = false;
};

Account ReadAccount(Query& query) {
  return Account{query.Text(0), query.Text(1), query.Text(2),
                 query.Text(3), query.Text(4), query.Text(5)};
}

constexpr const char* kAccountSelect =
    "SELECT CDREDUCONT, CDBANCO, CDAGENCIA, CDCONTCORR, IDTIPOCCORR, CDPICTCONT FROM CONTCORR ";

// Runs insert, a prepared "INSERT INTO CONTCORR (CDREDUCONT, CDBANCO,
// CDAGENCIA, CDCONTCORR, IDTIPOCCORR, CDPICTCONT) VALUES (?, ...)", for account.
void InsertAccount(Query& insert, const Account& account) {
  insert.Bind(1, account.code);
  insert.Bind(2, account.bank);
  insert.Bind(3, account.agency);
  insert.Bind(4, account.number);
  insert.Bind(5, account.kind);
  insert.Bind(6, account.mask);
  insert.Step();
}

// Throws when an account other than code has the bank, number and kind of
// account (leading zeros ignored).
void RefuseTwin(const Db& db, const Account& account, const std::string& code) {
  Query twin(db,
             std::string(kAccountSelect) +
                 "WHERE ltrim(CDBANCO, '0') = ltrim(?, '0') AND ltrim(CDCONTCORR, '0') = "
                 "ltrim(?, '0') AND IDTIPOCCORR IS ? AND CDREDUCONT <> ? LIMIT 1",
             "procurar contas iguais");
  twin.Bind(1, account.bank);
  twin.Bind(2, account.number);
  twin.Bind(3, account.kind);
  twin.Bind(4, code);
  if (twin.Step()) {
    Account other = ReadAccount(twin);
    throw EDatabaseError("A conta " + account.number + " do banco " + account.bank + ", tipo " +
                         account.kind + ", já está cadastrada com o código \"" + other.code +
                         "\".");
  }
}

bool Recorded(const Db& db, const Statement& statement) {
  const Layout& header = ExtrBancoLayout();
  Query period(db,
               "SELECT 1 FROM EXTRBANCO WHERE CDREDUCONT = ? AND DTSALDINIC IS ? AND "
               "DTSALDFIN IS ? LIMIT 1",
               "procurar extratos do mesmo período");
  period.Bind(1, statement.account);
  period.Bind(2, statement.header[ColumnIndex(header, "DTSALDINIC")]);
  period.Bind(3, statement.header[ColumnIndex(header, "DTSALDFIN")]);
  if (period.Step()) return true;

  // Equal movements share the date, so only the stored movements of the
  // account within the new movements' dates can be equal: one range read
  // instead of one lookup per movement.
  const MovementKeys keys(statement.movements);
  Query same(db,
             "SELECT DTMOVREAL, VRMOVREAL, NRDOCMOVREAL, CDFITIDEXTR FROM MOVEXTRBANCO "
             "WHERE CDREDUCONT = ? AND ((DTMOVREAL >= ? AND DTMOVREAL <= ?) OR "
             "(? = 1 AND DTMOVREAL IS NULL))",
             "procurar movimentos iguais");
  same.Bind(1, statement.account);
  same.Bind(2, keys.first);
  same.Bind(3, keys.last);
  same.Bind(4, keys.undated ? 1LL : 0LL);
  while (same.Step())
    if (keys.Contains(same.Value(0), same.Value(1), same.Value(2), same.Value(3))) return true;
  return false;
}

std::string Placeholders(size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += i == 0 ? "?" : ", ?";
  return out;
}

std::string SummarySelect() {
  return "SELECT e.CDSEQUEXTR, " + JoinColumns(kHeaderColumns, kHeaderCount, "e.") +
         ", c.CDBANCO, c.CDCONTCORR, (SELECT COUNT(*) FROM MOVEXTRBANCO m WHERE m.CDSEQUEXTR = "
         "e.CDSEQUEXTR) FROM EXTRBANCO e LEFT JOIN CONTCORR c ON c.CDREDUCONT = e.CDREDUCONT ";
}

StatementSummary ReadSummary(Query& query) {
  StatementSummary summary;
  summary.seq = query.Int(0);
  const Layout& layout = ExtrBancoLayout();
  summary.header.resize(layout.size());
  summary.header[ColumnIndex(layout, "CDSEQUEXTR")] = std::to_string(summary.seq);
  for (size_t i = 0; i < kHeaderCount; ++i)
    summary.header[ColumnIndex(layout, kHeaderColumns[i])] = query.Value(static_cast<int>(i) + 1);
  summary.bank = query.Text(static_cast<int>(kHeaderCount) + 1);
  summary.number = query.Text(static_cast<int>(kHeaderCount) + 2);
  summary.movements = query.Int(static_cast<int>(kHeaderCount) + 3);
  return summary;
}

// Inserts a header with its CDSEQUEXTR (0: the database assigns it) and
// returns the CDSEQUEXTR.
long long InsertHeader(const Db& db, const std::string& account, const Row& row, long long seq) {
  const Layout& layout = ExtrBancoLayout();
  Query header(db,
               "INSERT INTO EXTRBANCO (CDSEQUEXTR, " + JoinColumns(kHeaderColumns, kHeaderCount) +
                   ") VALUES (?, " + Placeholders(kHeaderCount) + ") RETURNING CDSEQUEXTR",
               "gravar o extrato");
  if (seq > 0)
    header.Bind(1, seq);
  else
    header.Bind(1, Cell());
  header.Bind(2, account);
  for (size_t i = 1; i < kHeaderCount; ++i)
    header.Bind(static_cast<int>(i) + 2, row[ColumnIndex(layout, kHeaderColumns[i])]);
  if (!header.Step()) Fail(db, SQLITE_ERROR, "gravar o extrato");
  const long long stored = header.Int(0);
  while (header.Step()) {
  }
  return stored;
}

// Inserts movements under seq; numbers them 1, 2, ... unless keep_numbers,
// which keeps each row's NRSEQMOVREAL.
void InsertMovements(const Db& db, long long seq, const std::string& account,
                     const PackedRows& rows, bool keep_numbers) {
  const Layout& layout = MovExtrLayout();
  size_t source[kMovementCount];
  for (size_t i = 0; i < kMovementCount; ++i) source[i] = ColumnIndex(layout, kMovementColumns[i]);
  const size_t number_column = ColumnIndex(layout, "NRSEQMOVREAL");
  Query movement(db,
                 "INSERT INTO MOVEXTRBANCO (CDSEQUEXTR, NRSEQMOVREAL, " +
                     JoinColumns(kMovementColumns, kMovementCount) + ") VALUES (?, ?, " +
                     Placeholders(kMovementCount) + ")",
                 "gravar os movimentos do extrato");
  // The statement and the account are the same for every row: bound once.
  movement.Bind(1, seq);
  movement.Bind(3, account);
  for (size_t row = 0; row < rows.size(); ++row) {
    movement.Rerun();
    movement.Bind(2, keep_numbers ? StoredNumber(rows.At(row, number_column))
                                  : static_cast<long long>(row + 1));
    for (size_t i = 1; i < kMovementCount; ++i)
      movement.Bind(static_cast<int>(i) + 3, rows.At(row, source[i]));
    movement.Step();
  }
}

}  // namespace

// Hands a pooled connection to one operation and takes it back afterwards.
class SqliteStore::Lease {
 public:
  explicit Lease(SqliteStore& store)
      : store_(store), db_{store.Acquire(), store.path_} {}
  ~Lease() { store_.Release(db_.handle); }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  const Db& db() const { return db_; }

 private:
  SqliteStore& store_;
  Db db_;
};

SqliteStore::SqliteStore(const std::string& path, bool create) : path_(path) {
  if (!create) {
    std::error_code error;
    if (!std::filesystem::exists(path_, error))
      throw EDatabaseError("O banco de dados \"" + path_ +
                           "\" não existe. Confira o caminho dado em --db (serve e conta add "
                           "criam o banco).");
  }
  idle_.push_back(OpenConnection(create));
  try {
    PrepareSchema(create);
  } catch (...) {
    for (sqlite3* db : idle_) sqlite3_close(db);
    idle_.clear();
    throw;
  }
}

SqliteStore::~SqliteStore() {
  for (sqlite3* db : idle_) sqlite3_close(db);
}

void SqliteStore::PrepareSchema(bool create) {
  const Db db{idle_.back(), path_};
  // A read first: a current database is never written to by opening it.
  auto read_version = [&db] {
    Query tables(db,
                 "SELECT name FROM sqlite_master WHERE type = 'table' AND name IN "
                 "('VERSAOESQUEMA', 'CONTCORR')",
                 "ler a versão das tabelas");
    bool versioned = false, tables_there = false;
    while (tables.Step()) (tables.Text(0) == "VERSAOESQUEMA" ? versioned : tables_there) = true;
    if (!versioned) return tables_there ? 1 : 0;
    Query version(db, "SELECT MAX(NRVERSAO) FROM VERSAOESQUEMA", "ler a versão das tabelas");
    return version.Step() ? static_cast<int>(version.Int(0)) : 0;
  };
  int version = read_version();
  if (version == kSchemaVersion) return;
  if (version > kSchemaVersion) throw EDatabaseError(NewerSchemaMessage("\"" + path_ + "\"", version));
  if (version == 0 && !create)
    throw EDatabaseError("O arquivo \"" + path_ +
                         "\" não tem as tabelas do kvr61400-server. Confira o caminho dado em "
                         "--db (serve e conta add criam o banco).");
  if (version == 0) Exec(db, "PRAGMA journal_mode = WAL", "ativar o modo WAL");
  Transaction transaction(db, true);
  // Another process may have migrated it meanwhile.
  version = read_version();
  if (version > kSchemaVersion) throw EDatabaseError(NewerSchemaMessage("\"" + path_ + "\"", version));
  for (; version < kSchemaVersion; ++version)
    Exec(db, kMigrations[version],
         version == 0 ? "criar as tabelas"
                      : "atualizar as tabelas para a versão " + std::to_string(version + 1));
  transaction.Commit();
}

sqlite3* SqliteStore::OpenConnection(bool create) {
  sqlite3* handle = nullptr;
  int rc = sqlite3_open_v2(path_.c_str(), &handle,
                           SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) |
                               SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    std::string reason = Reason(handle, rc);
    sqlite3_close(handle);
    throw EDatabaseError("Não foi possível abrir o banco de dados \"" + path_ + "\": " + reason +
                         ".");
  }
  const Db db{handle, path_};
  try {
    sqlite3_extended_result_codes(handle, 1);
    sqlite3_busy_timeout(handle, 30000);
    Exec(db, "PRAGMA foreign_keys = ON", "abrir o banco");
    Exec(db, "PRAGMA synchronous = FULL", "abrir o banco");
    // A 100,000-movement statement touches tens of megabytes of table and
    // index pages; with the default 2 MB cache every lookup of the repeat
    // check and every insert goes back to the file.
    Exec(db, kCacheSize, "abrir o banco");
  } catch (...) {
    sqlite3_close(handle);
    throw;
  }
  return handle;
}

sqlite3* SqliteStore::Acquire() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      sqlite3* db = idle_.back();
      idle_.pop_back();
      return db;
    }
  }
  return OpenConnection(false);
}

void SqliteStore::Release(sqlite3* db) {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.push_back(db);
}

void SqliteStore::AddAccount(const Account& account) {
  Lease lease(*this);
  const Db& db = lease.db();
  Transaction transaction(db, true);
  Query same_code(db, std::string(kAccountSelect) + "WHERE CDREDUCONT = ?",
                  "procurar a conta corrente");
  same_code.Bind(1, account.code);
  if (same_code.Step())
    throw EDatabaseError("Conta corrente de código \"" + account.code + "\" já cadastrada.");
  RefuseTwin(db, account, account.code);
  Query insert(db,
               "INSERT INTO CONTCORR (CDREDUCONT, CDBANCO, CDAGENCIA, CDCONTCORR, IDTIPOCCORR, "
               "CDPICTCONT) VALUES (?, ?, ?, ?, ?, ?)",
               "cadastrar a conta corrente");
  InsertAccount(insert, account);
  transaction.Commit();
}

std::vector<Account> SqliteStore::ListAccounts() {
  Lease lease(*this);
  Query query(lease.db(), std::string(kAccountSelect) + "ORDER BY CDREDUCONT",
              "listar as contas correntes");
  std::vector<Account> accounts;
  while (query.Step()) accounts.push_back(ReadAccount(query));
  return accounts;
}

std::optional<Account> SqliteStore::FindAccount(const std::string& code) {
  Lease lease(*this);
  Query query(lease.db(), std::string(kAccountSelect) + "WHERE CDREDUCONT = ?",
              "procurar a conta corrente");
  query.Bind(1, code);
  if (!query.Step()) return std::nullopt;
  return ReadAccount(query);
}

std::vector<Account> SqliteStore::MatchAccounts(const std::string& bank,
                                                const std::string& number) {
  Lease lease(*this);
  Query query(lease.db(),
              std::string(kAccountSelect) +
                  "WHERE ltrim(CDBANCO, '0') = ltrim(?, '0') AND ltrim(CDCONTCORR, '0') = "
                  "ltrim(?, '0') ORDER BY CDREDUCONT",
              "procurar as contas correntes");
  query.Bind(1, bank);
  query.Bind(2, number);
  std::vector<Account> accounts;
  while (query.Step()) accounts.push_back(ReadAccount(query));
  return accounts;
}

bool SqliteStore::UpdateAccount(const Account& account) {
  Lease lease(*this);
  const Db& db = lease.db();
  Transaction transaction(db, true);
  Query find(db, std::string(kAccountSelect) + "WHERE CDREDUCONT = ?", "procurar a conta corrente");
  find.Bind(1, account.code);
  if (!find.Step()) return false;
  Account stored = ReadAccount(find);
  stored.kind = account.kind;
  stored.mask = account.mask;
  RefuseTwin(db, stored, stored.code);
  Query update(db, "UPDATE CONTCORR SET IDTIPOCCORR = ?, CDPICTCONT = ? WHERE CDREDUCONT = ?",
               "alterar a conta corrente");
  update.Bind(1, account.kind);
  update.Bind(2, account.mask);
  update.Bind(3, account.code);
  update.Step();
  transaction.Commit();
  return true;
}

long long SqliteStore::RemoveAccount(const std::string& code) {
  Lease lease(*this);
  const Db& db = lease.db();
  Transaction transaction(db, true);
  Query count(db, "SELECT COUNT(*) FROM EXTRBANCO WHERE CDREDUCONT = ?",
              "contar os extratos da conta corrente");
  count.Bind(1, code);
  const long long statements = count.Step() ? count.Int(0) : 0;
  if (statements > 0) return statements;
  Query remove(db, "DELETE FROM CONTCORR WHERE CDREDUCONT = ?", "excluir a conta corrente");
  remove.Bind(1, code);
  remove.Step();
  transaction.Commit();
  return 0;
}

bool SqliteStore::IsRecorded(const Statement& statement) {
  Lease lease(*this);
  Transaction transaction(lease.db(), false);
  return Recorded(lease.db(), statement);
}

std::optional<long long> SqliteStore::StoreIfNew(const Statement& statement) {
  Lease lease(*this);
  const Db& db = lease.db();
  CacheForStore cache(db, statement.movements.size());
  Transaction transaction(db, true);
  if (Recorded(db, statement)) return std::nullopt;
  const long long seq = InsertHeader(db, statement.account, statement.header, 0);
  InsertMovements(db, seq, statement.account, statement.movements, false);
  transaction.Commit();
  return seq;
}

std::vector<StatementSummary> SqliteStore::ListStatements() {
  Lease lease(*this);
  Transaction transaction(lease.db(), false);
  Query query(lease.db(), SummarySelect() + "ORDER BY e.CDSEQUEXTR", "listar os extratos");
  std::vector<StatementSummary> statements;
  while (query.Step()) statements.push_back(ReadSummary(query));
  return statements;
}

std::optional<StoredStatement> SqliteStore::GetStatement(long long seq) {
  Lease lease(*this);
  const Db& db = lease.db();
  Transaction transaction(db, false);
  Query query(db, SummarySelect() + "WHERE e.CDSEQUEXTR = ?", "ler o extrato");
  query.Bind(1, seq);
  if (!query.Step()) return std::nullopt;
  StoredStatement statement;
  statement.summary = ReadSummary(query);

  const Layout& layout = MovExtrLayout();
  Query movements(db,
                  "SELECT NRSEQMOVREAL, " + JoinColumns(kMovementColumns, kMovementCount) +
                      " FROM MOVEXTRBANCO WHERE CDSEQUEXTR = ? ORDER BY NRSEQMOVREAL",
                  "ler os movimentos do extrato");
  movements.Bind(1, seq);
  const size_t seq_column = ColumnIndex(layout, "CDSEQUEXTR");
  const size_t number_column = ColumnIndex(layout, "NRSEQMOVREAL");
  while (movements.Step()) {
    Row row(layout.size());
    row[seq_column] = std::to_string(seq);
    row[number_column] = std::to_string(movements.Int(0));
    for (size_t i = 0; i < kMovementCount; ++i)
      row[ColumnIndex(layout, kMovementColumns[i])] = movements.Value(static_cast<int>(i) + 1);
    statement.movements.push_back(std::move(row));
  }
  return statement;
}

long long SqliteStore::CopyIn(const std::vector<Account>& accounts,
                              const std::function<std::optional<StoredStatement>()>& next) {
  Lease lease(*this);
  const Db& db = lease.db();
  Transaction transaction(db, true);
  Query held(db,
             "SELECT (SELECT COUNT(*) FROM CONTCORR), (SELECT COUNT(*) FROM EXTRBANCO)",
             "verificar se o banco está vazio");
  if (held.Step() && (held.Int(0) > 0 || held.Int(1) > 0))
    throw EDatabaseError("O banco de dados de destino \"" + path_ + "\" já tem dados (contas correntes: " +
                         std::to_string(held.Int(0)) + ", extratos: " +
                         std::to_string(held.Int(1)) +
                         "); a cópia só é feita para um banco vazio.");
  Query insert(db,
               "INSERT INTO CONTCORR (CDREDUCONT, CDBANCO, CDAGENCIA, CDCONTCORR, IDTIPOCCORR, "
               "CDPICTCONT) VALUES (?, ?, ?, ?, ?, ?)",
               "copiar as contas correntes");
  for (const Account& account : accounts) {
    insert.Reset();
    InsertAccount(insert, account);
  }
  long long movements = 0;
  while (std::optional<StoredStatement> statement = next()) {
    const std::string account =
        CellText(statement->summary.header[ColumnIndex(ExtrBancoLayout(), "CDREDUCONT")]);
    InsertHeader(db, account, statement->summary.header, statement->summary.seq);
    InsertMovements(db, statement->summary.seq, account,
                    PackedRows(MovExtrLayout(), statement->movements), true);
    movements += static_cast<long long>(statement->movements.size());
  }
  transaction.Commit();
  return movements;
}

}  // namespace kvr::server
