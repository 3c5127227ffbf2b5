#include "sqlite_store.h"

#include <sqlite3.h>

#include <cstring>
#include <unordered_set>
#include <utility>

namespace kvr::server {

namespace {

constexpr const char* kSchema = R"sql(
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

// The header columns stored, in ExtrBancoLayout order without CDSEQUEXTR.
const char* const kHeaderColumns[] = {"CDREDUCONT", "DTSALDINIC", "DTSALDFIN", "VRSALDINIC",
                                      "VRSALDFIM",  "IDEXTRINI",  "IDEXTRFIM"};
// The movement columns stored after CDSEQUEXTR and NRSEQMOVREAL, in
// MovExtrLayout order.
const char* const kMovementColumns[] = {"CDREDUCONT",   "NRDOCMOVREAL", "DTMOVREAL",
                                        "IDMOVREAL",    "VRMOVREAL",    "DSHISTMOVREAL",
                                        "IDTIPOREGI",   "CDCATELANC",   "IDSTCONMVBAN",
                                        "IDTPMOVREAL",  "CDFITIDEXTR"};

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  throw EDatabaseError("Erro no banco de dados ao " + what + ": " + sqlite3_errmsg(db) + ".");
}

void Exec(sqlite3* db, const char* sql, const std::string& what) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message != nullptr ? message : "erro desconhecido";
    sqlite3_free(message);
    throw EDatabaseError("Erro no banco de dados ao " + what + ": " + text + ".");
  }
}

// A prepared statement; bound parameters only.
class Query {
 public:
  Query(sqlite3* db, const std::string& sql, std::string what) : db_(db), what_(std::move(what)) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) Fail(db, what_);
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
    if (rc != SQLITE_OK) Fail(db_, what_);
  }
  void Bind(int index, const std::string& text) { Bind(index, Cell(text)); }
  void Bind(int index, long long number) {
    if (sqlite3_bind_int64(stmt_, index, number) != SQLITE_OK) Fail(db_, what_);
  }

  // Steps once; true while a row is there.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(db_, what_);
  }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

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
  sqlite3* db_;
  std::string what_;
  sqlite3_stmt* stmt_ = nullptr;
};

// A transaction that rolls back unless committed. A write transaction takes
// the write lock at once, so its checks and its writes see one state.
class Transaction {
 public:
  Transaction(sqlite3* db, bool write) : db_(db) {
    Exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN", "iniciar a transação");
  }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit() {
    Exec(db_, "COMMIT", "confirmar a transação");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool done_ = false;
};

Account ReadAccount(Query& query) {
  return Account{query.Text(0), query.Text(1), query.Text(2),
                 query.Text(3), query.Text(4), query.Text(5)};
}

constexpr const char* kAccountSelect =
    "SELECT CDREDUCONT, CDBANCO, CDAGENCIA, CDCONTCORR, IDTIPOCCORR, CDPICTCONT FROM CONTCORR ";

// The five columns that make two movements equal, as one text: a tag per
// cell so that null, a text and a number never meet.
std::string MovementKey(const Cell& date, const Cell& value, const Cell& document,
                        const Cell& fitid) {
  std::string key;
  for (const Cell* cell : {&date, &document, &fitid}) {
    if (const auto* text = std::get_if<std::string>(cell)) {
      key += 'T';
      key += std::to_string(text->size());
      key += ':';
      key += *text;
    } else {
      key += 'N';
    }
  }
  if (const auto* number = std::get_if<double>(&value)) {
    // 0.0 and -0.0 are equal amounts.
    double amount = *number == 0.0 ? 0.0 : *number;
    char bytes[sizeof amount];
    std::memcpy(bytes, &amount, sizeof amount);
    key += 'F';
    key.append(bytes, sizeof bytes);
  } else {
    key += 'N';
  }
  return key;
}

bool Recorded(sqlite3* db, const Statement& statement) {
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
  const Layout& layout = MovExtrLayout();
  const size_t value = ColumnIndex(layout, "VRMOVREAL");
  const size_t document = ColumnIndex(layout, "NRDOCMOVREAL");
  const size_t date = ColumnIndex(layout, "DTMOVREAL");
  const size_t fitid = ColumnIndex(layout, "CDFITIDEXTR");
  std::unordered_set<std::string> keys;
  keys.reserve(statement.movements.size() * 2);
  std::string first, last;
  bool undated = false;
  for (const Row& movement : statement.movements) {
    keys.insert(MovementKey(movement[date], movement[value], movement[document], movement[fitid]));
    if (const auto* text = std::get_if<std::string>(&movement[date])) {
      if (first.empty() || *text < first) first = *text;
      if (last.empty() || *text > last) last = *text;
    } else {
      undated = true;
    }
  }
  Query same(db,
             "SELECT DTMOVREAL, VRMOVREAL, NRDOCMOVREAL, CDFITIDEXTR FROM MOVEXTRBANCO "
             "WHERE CDREDUCONT = ? AND ((DTMOVREAL >= ? AND DTMOVREAL <= ?) OR "
             "(? = 1 AND DTMOVREAL IS NULL))",
             "procurar movimentos iguais");
  same.Bind(1, statement.account);
  same.Bind(2, first);
  same.Bind(3, last);
  same.Bind(4, undated ? 1LL : 0LL);
  while (same.Step()) {
    if (keys.count(MovementKey(same.Value(0), same.Value(1), same.Value(2), same.Value(3))) != 0)
      return true;
  }
  return false;
}

std::string JoinColumns(const char* const* columns, size_t count, const char* prefix = "") {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += ", ";
    out += prefix;
    out += columns[i];
  }
  return out;
}

std::string Placeholders(size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += i == 0 ? "?" : ", ?";
  return out;
}

constexpr size_t kHeaderCount = sizeof kHeaderColumns / sizeof kHeaderColumns[0];
constexpr size_t kMovementCount = sizeof kMovementColumns / sizeof kMovementColumns[0];

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

// Throws EDatabaseError when an account other than account.code has the same
// bank, number and type (leading zeros ignored).
void RefuseTwin(sqlite3* db, const Account& account) {
  Query twin(db,
             std::string(kAccountSelect) +
                 "WHERE ltrim(CDBANCO, '0') = ltrim(?, '0') AND ltrim(CDCONTCORR, '0') = "
                 "ltrim(?, '0') AND IDTIPOCCORR IS ? AND CDREDUCONT <> ? LIMIT 1",
             "procurar contas iguais");
  twin.Bind(1, account.bank);
  twin.Bind(2, account.number);
  twin.Bind(3, account.kind);
  twin.Bind(4, account.code);
  if (twin.Step()) {
    Account other = ReadAccount(twin);
    throw EDatabaseError("A conta " + account.number + " do banco " + account.bank +
                         ", tipo " + account.kind + ", já está cadastrada com o código \"" +
                         other.code + "\".");
  }
}

}  // namespace

// Hands a pooled connection to one operation and takes it back afterwards.
class SqliteStore::Lease {
 public:
  explicit Lease(SqliteStore& store) : store_(store), db_(store.Acquire()) {}
  ~Lease() { store_.Release(db_); }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  sqlite3* db() const { return db_; }

 private:
  SqliteStore& store_;
  sqlite3* db_;
};

SqliteStore::SqliteStore(const std::string& path) : path_(path) {
  sqlite3* db = OpenConnection();
  try {
    Exec(db, "PRAGMA journal_mode = WAL", "ativar o modo WAL");
    Exec(db, kSchema, "criar as tabelas");
  } catch (...) {
    sqlite3_close(db);
    throw;
  }
  idle_.push_back(db);
}

SqliteStore::~SqliteStore() {
  for (sqlite3* db : idle_) sqlite3_close(db);
}

sqlite3* SqliteStore::OpenConnection() {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path_.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close(db);
    throw EDatabaseError("Não foi possível abrir o banco de dados \"" + path_ + "\": " + message +
                         ".");
  }
  try {
    sqlite3_busy_timeout(db, 30000);
    Exec(db, "PRAGMA foreign_keys = ON", "ativar as chaves estrangeiras");
    Exec(db, "PRAGMA synchronous = FULL", "configurar a gravação");
    // A 100,000-movement statement touches tens of megabytes of table and
    // index pages; with the default 2 MB cache every lookup of the repeat
    // check and every insert goes back to the file.
    Exec(db, "PRAGMA cache_size = -65536", "configurar o cache");
  } catch (...) {
    sqlite3_close(db);
    throw;
  }
  return db;
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
  return OpenConnection();
}

void SqliteStore::Release(sqlite3* db) {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.push_back(db);
}

void SqliteStore::AddAccount(const Account& account) {
  Lease lease(*this);
  sqlite3* db = lease.db();
  Transaction transaction(db, true);
  Query same_code(db, std::string(kAccountSelect) + "WHERE CDREDUCONT = ?",
                  "procurar a conta corrente");
  same_code.Bind(1, account.code);
  if (same_code.Step())
    throw EDatabaseError("Conta corrente de código \"" + account.code + "\" já cadastrada.");
  RefuseTwin(db, account);
  Query insert(db,
               "INSERT INTO CONTCORR (CDREDUCONT, CDBANCO, CDAGENCIA, CDCONTCORR, IDTIPOCCORR, "
               "CDPICTCONT) VALUES (?, ?, ?, ?, ?, ?)",
               "cadastrar a conta corrente");
  insert.Bind(1, account.code);
  insert.Bind(2, account.bank);
  insert.Bind(3, account.agency);
  insert.Bind(4, account.number);
  insert.Bind(5, account.kind);
  insert.Bind(6, account.mask);
  insert.Step();
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

bool SqliteStore::IsRecorded(const Statement& statement) {
  Lease lease(*this);
  Transaction transaction(lease.db(), false);
  return Recorded(lease.db(), statement);
}

std::optional<long long> SqliteStore::StoreIfNew(const Statement& statement) {
  Lease lease(*this);
  sqlite3* db = lease.db();
  Transaction transaction(db, true);
  if (Recorded(db, statement)) return std::nullopt;

  const Layout& header_layout = ExtrBancoLayout();
  Query header(db,
               "INSERT INTO EXTRBANCO (" + JoinColumns(kHeaderColumns, kHeaderCount) +
                   ") VALUES (" + Placeholders(kHeaderCount) + ") RETURNING CDSEQUEXTR",
               "gravar o extrato");
  header.Bind(1, statement.account);
  for (size_t i = 1; i < kHeaderCount; ++i)
    header.Bind(static_cast<int>(i) + 1,
                statement.header[ColumnIndex(header_layout, kHeaderColumns[i])]);
  if (!header.Step()) throw EDatabaseError("Erro no banco de dados ao gravar o extrato.");
  const long long seq = header.Int(0);
  while (header.Step()) {
  }

  const Layout& layout = MovExtrLayout();
  size_t source[kMovementCount];
  for (size_t i = 0; i < kMovementCount; ++i) source[i] = ColumnIndex(layout, kMovementColumns[i]);
  Query movement(db,
                 "INSERT INTO MOVEXTRBANCO (CDSEQUEXTR, NRSEQMOVREAL, " +
                     JoinColumns(kMovementColumns, kMovementCount) + ") VALUES (?, ?, " +
                     Placeholders(kMovementCount) + ")",
                 "gravar os movimentos do extrato");
  long long number = 0;
  for (const Row& row : statement.movements) {
    movement.Reset();
    movement.Bind(1, seq);
    movement.Bind(2, ++number);
    movement.Bind(3, statement.account);
    for (size_t i = 1; i < kMovementCount; ++i)
      movement.Bind(static_cast<int>(i) + 3, row[source[i]]);
    movement.Step();
  }
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
  sqlite3* db = lease.db();
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

bool SqliteStore::UpdateAccount(const Account& account) {
  Lease lease(*this);
  sqlite3* db = lease.db();
  Transaction transaction(db, true);
  Query find(db, std::string(kAccountSelect) + "WHERE CDREDUCONT = ?",
             "procurar a conta corrente");
  find.Bind(1, account.code);
  if (!find.Step()) return false;
  Account stored = ReadAccount(find);
  stored.kind = account.kind;
  stored.mask = account.mask;
  RefuseTwin(db, stored);
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
  sqlite3* db = lease.db();
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

}  // namespace kvr::server
