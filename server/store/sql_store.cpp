#include "store/sql_store.h"

#include <charconv>
#include <iterator>
#include <utility>

#include "store/account_rules.h"
#include "store/sql_schema.h"
#include "store/store_common.h"

namespace kvr::server {

namespace {

// The header columns stored, in ExtrBancoLayout order without CDSEQUEXTR.
constexpr const char* kHeaderColumns[] = {"CDREDUCONT", "DTSALDINIC", "DTSALDFIN", "VRSALDINIC",
                                          "VRSALDFIM",  "IDEXTRINI",  "IDEXTRFIM"};
constexpr size_t kHeaderCount = std::size(kHeaderColumns);
// The movement columns stored after CDSEQUEXTR and NRSEQMOVREAL, in
// MovExtrLayout order.
constexpr const char* kMovementColumns[] = {
    "CDREDUCONT", "NRDOCMOVREAL", "DTMOVREAL",    "IDMOVREAL",   "VRMOVREAL",   "DSHISTMOVREAL",
    "IDTIPOREGI", "CDCATELANC",   "IDSTCONMVBAN", "IDTPMOVREAL", "CDFITIDEXTR", "CDFITIDCOMPL",
    "DSHISTCOMPL"};
constexpr size_t kMovementCount = std::size(kMovementColumns);

// "a, b, c" (each with prefix).
std::string JoinColumns(const char* const* columns, size_t count, const char* prefix = "") {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += ", ";
    out += prefix;
    out += columns[i];
  }
  return out;
}

// The CDSEQUEXTR and NRSEQMOVREAL of a stored statement's rows, as numbers.
long long StoredNumber(CellView cell) {
  if (cell.kind == CellView::Kind::kNumber) return static_cast<long long>(cell.number);
  long long number = 0;
  std::from_chars(cell.text.data(), cell.text.data() + cell.text.size(), number);
  return number;
}

// A transaction that rolls back unless committed.
class Transaction {
 public:
  Transaction(SqlConnection& connection, const char* begin) : connection_(connection) {
    connection.Execute(begin, "iniciar a transação");
  }
  ~Transaction() {
    if (!done_) connection_.RollbackQuietly();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit() {
    connection_.Execute("COMMIT", "confirmar a transação");
    done_ = true;
  }

 private:
  SqlConnection& connection_;
  bool done_ = false;
};

// Appends trail, when given, to the audit trail on connection: as
// "importacao" of seq when the statement was stored, else as "recusa".
void WriteTrail(SqlConnection& connection, const AuditEvent* trail, std::optional<long long> seq) {
  if (trail == nullptr) return;
  AuditEvent row = *trail;
  row.event = seq ? "importacao" : "recusa";
  row.statement = seq ? *seq : -1;
  if (!seq) row.detail = "extrato já cadastrado";
  AccessStore::Write(connection, row);
}

// An account with its statement identifier, kept in a table of its own.
constexpr const char* kAccountSelect =
    "SELECT c.CDREDUCONT, c.CDBANCO, c.CDAGENCIA, c.CDCONTCORR, c.IDTIPOCCORR, c.CDPICTCONT, "
    "i.CDIDEXTR FROM CONTCORR c LEFT JOIN CONTCORRIDEXTR i ON i.CDREDUCONT = c.CDREDUCONT ";
constexpr const char* kAccountInsert =
    "INSERT INTO CONTCORR (CDREDUCONT, CDBANCO, CDAGENCIA, CDCONTCORR, IDTIPOCCORR, CDPICTCONT) "
    "VALUES (?, ?, ?, ?, ?, ?)";
// The accounts of a bank: leading zeros ignored, letters in either case.
constexpr const char* kSameBank = "WHERE lower(ltrim(c.CDBANCO, '0')) = lower(ltrim(?, '0')) ";

Account ReadAccount(SqlQuery& query) {
  return Account{query.Text(0), query.Text(1), query.Text(2), query.Text(3),
                 query.Text(4), query.Text(5), query.Text(6)};
}

std::vector<Account> ReadAccounts(SqlQuery& query) {
  std::vector<Account> accounts;
  while (query.Step()) accounts.push_back(ReadAccount(query));
  return accounts;
}

void InsertStatementId(SqlConnection& connection, const Account& account, const std::string& what) {
  if (account.statement_id.empty()) return;
  Execute(connection, "INSERT INTO CONTCORRIDEXTR (CDREDUCONT, CDIDEXTR) VALUES (?, ?)", what,
          account.code, account.statement_id);
}

void InsertAccount(SqlConnection& connection, const Account& account, const std::string& what) {
  Execute(connection, kAccountInsert, what, account.code, account.bank, account.agency,
          account.number, account.kind, account.mask);
  InsertStatementId(connection, account, what);
}

// Throws when an account other than account.code, of its bank and kind,
// has its number or statement identifier in the canonical form.
void RefuseTwin(SqlConnection& connection, const Account& account) {
  auto same_bank = Query(connection,
                         std::string(kAccountSelect) + kSameBank +
                             "AND c.IDTIPOCCORR IS NOT DISTINCT FROM ? AND c.CDREDUCONT <> ?",
                         "procurar contas iguais", account.bank, account.kind, account.code);
  for (const Account& other : ReadAccounts(*same_bank)) {
    const bool same_number = AccountMatches(other, account.number);
    if (!same_number && !AccountMatches(other, account.statement_id)) continue;
    const std::string what =
        same_number ? "A conta " + account.number : "O identificador " + account.statement_id;
    throw EDatabaseError(what + " do banco " + account.bank + ", tipo " + account.kind +
                         ", já está cadastrad" + (same_number ? "a" : "o") + " com o código \"" +
                         other.code + "\".");
  }
}

// keys are the statement's movements (built before any transaction: the
// check inside the write transaction only reads and looks up).
bool Recorded(SqlConnection& connection, const Statement& statement, const MovementKeys& keys) {
  const Layout& header = ExtrBancoLayout();
  auto period = Query(connection,
                      "SELECT 1 FROM EXTRBANCO WHERE CDREDUCONT = ? AND DTSALDINIC IS NOT "
                      "DISTINCT FROM ? AND DTSALDFIN IS NOT DISTINCT FROM ? LIMIT 1",
                      "procurar extratos do mesmo período", statement.account,
                      statement.header[ColumnIndex(header, "DTSALDINIC")],
                      statement.header[ColumnIndex(header, "DTSALDFIN")]);
  if (period->Step()) return true;

  // Equal movements share the date, so only the stored movements of the
  // account within the new movements' dates can be equal: one range read
  // instead of one lookup per movement. Two reads in one, each a range of
  // the index on account and date (joined by OR they made SQLite read
  // every movement of the account).
  const char* const columns =
      "SELECT DTMOVREAL, VRMOVREAL, NRDOCMOVREAL, CDFITIDEXTR, CDFITIDCOMPL FROM MOVEXTRBANCO ";
  auto same = Query(connection,
                    std::string(columns) +
                        "WHERE CDREDUCONT = ? AND DTMOVREAL >= ? AND DTMOVREAL <= ? UNION ALL " +
                        columns + "WHERE ? = 1 AND CDREDUCONT = ? AND DTMOVREAL IS NULL",
                    "procurar movimentos iguais", statement.account, TextOrNull(keys.first),
                    TextOrNull(keys.last), keys.undated ? 1LL : 0LL, statement.account);
  while (same->Step())
    if (keys.Contains(same->Value(0), same->Value(1), same->Value(2), same->Value(3),
                      same->Value(4)))
      return true;
  return false;
}

// With movement_sums false the sum column is 0: counting reads only the
// key's index, adding up reads every movement.
std::string SummarySelect(bool movement_sums = true) {
  return "SELECT e.CDSEQUEXTR, " + JoinColumns(kHeaderColumns, kHeaderCount, "e.") +
         ", c.CDBANCO, c.CDCONTCORR, (SELECT COUNT(*) FROM MOVEXTRBANCO m WHERE m.CDSEQUEXTR = "
         "e.CDSEQUEXTR), " +
         (movement_sums
              ? std::string("(SELECT CAST(SUM(CASE WHEN m.IDMOVREAL = 'D' THEN "
                            "-ROUND(m.VRMOVREAL * 100) ELSE ROUND(m.VRMOVREAL * 100) END) AS "
                            "BIGINT) FROM MOVEXTRBANCO m WHERE m.CDSEQUEXTR = e.CDSEQUEXTR)")
              : std::string("0")) +
         " FROM EXTRBANCO e LEFT JOIN CONTCORR c ON c.CDREDUCONT = e.CDREDUCONT ";
}

StatementSummary ReadSummary(SqlQuery& query) {
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
  summary.movement_cents = query.Int(static_cast<int>(kHeaderCount) + 4);
  return summary;
}

// Inserts a header with its CDSEQUEXTR (0: the database assigns one) and
// returns the CDSEQUEXTR.
long long InsertHeader(SqlConnection& connection, const std::string& label,
                       const std::string& account, const Row& row, long long seq) {
  const Layout& layout = ExtrBancoLayout();
  const bool numbered = seq > 0;
  auto header =
      Query(connection,
            "INSERT INTO EXTRBANCO (" + std::string(numbered ? "CDSEQUEXTR, " : "") +
                JoinColumns(kHeaderColumns, kHeaderCount) + ") VALUES (" +
                Placeholders(kHeaderCount + (numbered ? 1 : 0)) + ") RETURNING CDSEQUEXTR",
            "gravar o extrato");
  int index = 1;
  if (numbered) header->Bind(index++, seq);
  header->Bind(index++, account);
  for (size_t i = 1; i < kHeaderCount; ++i)
    header->Bind(index++, row[ColumnIndex(layout, kHeaderColumns[i])]);
  if (!header->Step())
    throw EDatabaseError(CommandError(label, "gravar o extrato", "o número do extrato não veio"));
  const long long stored = header->Int(0);
  while (header->Step()) {
  }
  return stored;
}

// Inserts movements under seq; numbers them 1, 2, ... unless keep_numbers,
// which keeps each row's NRSEQMOVREAL.
void InsertMovements(SqlConnection& connection, long long seq, const std::string& account,
                     const PackedRows& rows, bool keep_numbers) {
  const Layout& layout = MovExtrLayout();
  size_t source[kMovementCount];
  for (size_t i = 0; i < kMovementCount; ++i) source[i] = ColumnIndex(layout, kMovementColumns[i]);
  const size_t number_column = ColumnIndex(layout, "NRSEQMOVREAL");
  const CellView account_cell{CellView::Kind::kText, account, 0};
  std::unique_ptr<SqlRowWriter> writer = connection.InsertRows(
      "MOVEXTRBANCO", "CDSEQUEXTR, NRSEQMOVREAL, " + JoinColumns(kMovementColumns, kMovementCount),
      kMovementCount + 2, "gravar os movimentos do extrato");
  for (size_t row = 0; row < rows.size(); ++row) {
    writer->Add(seq);
    writer->Add(keep_numbers ? StoredNumber(rows.At(row, number_column))
                             : static_cast<long long>(row + 1));
    writer->Add(account_cell);
    for (size_t i = 1; i < kMovementCount; ++i) writer->Add(rows.At(row, source[i]));
    writer->EndRow();
  }
  writer->Finish();
}

}  // namespace

template <typename Operation>
auto SqlStore::Run(Operation&& operation) {
  for (int attempt = 0;; ++attempt) {
    std::unique_ptr<SqlConnection> connection;
    if (attempt == 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        connection = std::move(idle_.back());
        idle_.pop_back();
      }
    }
    const bool pooled = connection != nullptr;
    if (!pooled) connection = driver_->Connect(false);
    connection->StartOperation();
    try {
      auto result = operation(*connection);
      std::lock_guard<std::mutex> lock(mutex_);
      idle_.push_back(std::move(connection));
      return result;
    } catch (const ConnectionLost& lost) {
      connection.reset();
      // The others went with it when the database restarted.
      std::vector<std::unique_ptr<SqlConnection>> stale;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        stale.swap(idle_);
      }
      stale.clear();
      if (pooled && lost.AtStart() && attempt == 0) continue;
      throw;
    } catch (...) {
      if (connection->Reusable()) {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_.push_back(std::move(connection));
      }
      throw;
    }
  }
}

SqlStore::SqlStore(std::unique_ptr<SqlDriver> driver, bool create)
    : driver_(std::move(driver)), dialect_(driver_->Dialect()) {
  idle_.push_back(driver_->Connect(create));
  PrepareSchema(create);
}

SqlStore::~SqlStore() = default;

void SqlStore::PrepareSchema(bool create) {
  Run([this, create](SqlConnection& connection) {
    driver_->CheckDatabase(connection);
    // A read first: a current database is never written to by opening it.
    auto read_version = [this, &connection] {
      std::unique_ptr<SqlQuery> tables =
          connection.Prepare(dialect_.tables_present, "ler a versão das tabelas");
      if (!tables->Step()) return 0;
      if (tables->Int(0) == 0) return tables->Int(1) != 0 ? 1 : 0;
      std::unique_ptr<SqlQuery> version =
          connection.Prepare("SELECT MAX(NRVERSAO) FROM VERSAOESQUEMA", "ler a versão das tabelas");
      const int found = version->Step() ? static_cast<int>(version->Int(0)) : 0;
      if (found > kSchemaVersion)
        throw EDatabaseError("O banco de dados " + driver_->Label() + " tem as tabelas na versão " +
                             std::to_string(found) + ", mais nova que a desta versão do " +
                             "kvr61400-server (" + std::to_string(kSchemaVersion) +
                             "). Atualize o kvr61400-server antes de usá-lo com este banco.");
      return found;
    };
    int version = read_version();
    if (version == kSchemaVersion) return true;
    if (version == 0 && !create) throw EDatabaseError(driver_->NoTablesMessage());
    if (version == 0) ExecuteIfAny(connection, dialect_.new_database, dialect_.new_database_what);
    ExecuteIfAny(connection, dialect_.rebuild_begin, "atualizar as tabelas");
    // Whatever happens, the connection goes on with its usual settings.
    struct RebuildEnd {
      SqlConnection& connection;
      const char* sql;
      ~RebuildEnd() {
        try {
          ExecuteIfAny(connection, sql, "atualizar as tabelas");
        } catch (const std::exception&) {
        }
      }
    } rebuild_end{connection, dialect_.rebuild_end};
    Transaction transaction(connection, dialect_.begin_write);
    // One process creates or migrates; the others wait and find it done.
    ExecuteIfAny(connection, dialect_.lock_schema, "reservar as tabelas");
    version = read_version();
    for (; version < kSchemaVersion; ++version) {
      const std::string what =
          version == 0 ? "criar as tabelas"
                       : "atualizar as tabelas para a versão " + std::to_string(version + 1);
      connection.Execute(Migration(version, dialect_), what);
      // The version table itself arrives with version 2, which records itself.
      if (version + 1 > 2)
        connection.Execute(
            "INSERT INTO VERSAOESQUEMA (NRVERSAO) VALUES (" + std::to_string(version + 1) + ")",
            what);
    }
    transaction.Commit();
    return true;
  });
}

void SqlStore::AddAccount(const Account& account) {
  InTransaction(true, [this, &account](SqlConnection& connection) {
    ExecuteIfAny(connection, dialect_.lock_accounts, "reservar as contas correntes");
    if (Query(connection, std::string(kAccountSelect) + "WHERE c.CDREDUCONT = ?",
              "procurar a conta corrente", account.code)
            ->Step())
      throw EDatabaseError("Conta corrente de código \"" + account.code + "\" já cadastrada.");
    RefuseTwin(connection, account);
    InsertAccount(connection, account, "cadastrar a conta corrente");
  });
}

std::vector<Account> SqlStore::ListAccounts() {
  return Run([this](SqlConnection& connection) {
    return ReadAccounts(*connection.Prepare(
        std::string(kAccountSelect) + "ORDER BY c.CDREDUCONT" + dialect_.code_order,
        "listar as contas correntes"));
  });
}

std::optional<Account> SqlStore::FindAccount(const std::string& code) {
  return Run([&code](SqlConnection& connection) -> std::optional<Account> {
    std::unique_ptr<SqlQuery> query = connection.Prepare(
        std::string(kAccountSelect) + "WHERE c.CDREDUCONT = ?", "procurar a conta corrente", true);
    query->Bind(1, code);
    if (!query->Step()) return std::nullopt;
    return ReadAccount(*query);
  });
}

std::vector<Account> SqlStore::MatchAccounts(const std::string& bank, const std::string& number) {
  return Run([&](SqlConnection& connection) {
    // A bank holds few accounts: its numbers are compared here, in the one
    // canonical form, rather than in each engine's SQL.
    std::unique_ptr<SqlQuery> query = connection.Prepare(
        std::string(kAccountSelect) + kSameBank + "ORDER BY c.CDREDUCONT" + dialect_.code_order,
        "procurar as contas correntes", true);
    query->Bind(1, bank);
    return BestMatches(ReadAccounts(*query), number);
  });
}

bool SqlStore::UpdateAccount(const Account& account) {
  return Run([this, &account](SqlConnection& connection) {
    Transaction transaction(connection, dialect_.begin_write);
    ExecuteIfAny(connection, dialect_.lock_accounts, "reservar as contas correntes");
    auto find = Query(connection, std::string(kAccountSelect) + "WHERE c.CDREDUCONT = ?",
                      "procurar a conta corrente", account.code);
    if (!find->Step()) return false;
    // The account as it is to be: its bank stays, the fields given change.
    Account changed = account;
    changed.bank = ReadAccount(*find).bank;
    RefuseTwin(connection, changed);
    Execute(
        connection,
        "UPDATE CONTCORR SET IDTIPOCCORR = ?, CDPICTCONT = ?, CDCONTCORR = ? WHERE CDREDUCONT = ?",
        "alterar a conta corrente", account.kind, account.mask, account.number, account.code);
    Execute(connection, "DELETE FROM CONTCORRIDEXTR WHERE CDREDUCONT = ?",
            "alterar a conta corrente", account.code);
    InsertStatementId(connection, account, "alterar a conta corrente");
    transaction.Commit();
    return true;
  });
}

long long SqlStore::RemoveAccount(const std::string& code) {
  return Run([this, &code](SqlConnection& connection) {
    Transaction transaction(connection, dialect_.begin_write);
    ExecuteIfAny(connection, dialect_.lock_accounts, "reservar as contas correntes");
    // A store of this account in flight finishes first, and is counted.
    ExecuteIfAny(connection, dialect_.lock_account, "reservar a conta corrente", code);
    auto count = Query(connection, "SELECT COUNT(*) FROM EXTRBANCO WHERE CDREDUCONT = ?",
                       "contar os extratos da conta corrente", code);
    const long long statements = count->Step() ? count->Int(0) : 0;
    if (statements > 0) return statements;
    Execute(connection, "DELETE FROM CONTCORRIDEXTR WHERE CDREDUCONT = ?",
            "excluir a conta corrente", code);
    Execute(connection, "DELETE FROM CONTCORR WHERE CDREDUCONT = ?", "excluir a conta corrente",
            code);
    transaction.Commit();
    return 0LL;
  });
}

bool SqlStore::IsRecorded(const Statement& statement) {
  return IsRecorded(statement, MovementKeys(statement.movements));
}

bool SqlStore::IsRecorded(const Statement& statement, const MovementKeys& keys) {
  return Run([this, &statement, &keys](SqlConnection& connection) {
    Transaction transaction(connection, dialect_.begin_read);
    return Recorded(connection, statement, keys);
  });
}

std::optional<long long> SqlStore::StoreIfNew(const Statement& statement, const AuditEvent* trail) {
  // What can be done without the write lock is: the new movements' keys,
  // and a first check that spares a statement recorded already the wait
  // for the lock (unless its refusal goes to the trail, which needs a write
  // transaction anyway). The check inside the transaction stays, for a
  // store that got in between; with the keys built it only reads and looks
  // up.
  const MovementKeys keys(statement.movements);
  if (trail == nullptr && IsRecorded(statement, keys)) return std::nullopt;
  return Run([&](SqlConnection& connection) -> std::optional<long long> {
    {
      Transaction transaction(connection, dialect_.begin_write);
      // Inside the write, whose end gives the enlarged cache back.
      connection.ExpectRows(statement.movements.size());
      // Every process serialises the stores of one account here; each then
      // sees the statements stored before it got the lock.
      ExecuteIfAny(connection, dialect_.lock_account, "reservar a conta corrente",
                   statement.account);
      std::optional<long long> seq;
      bool stored_between = false;
      if (!Recorded(connection, statement, keys)) {
        try {
          seq = InsertHeader(connection, driver_->Label(), statement.account, statement.header, 0);
        } catch (const UniqueViolation&) {
          stored_between = true;
        }
        if (seq) InsertMovements(connection, *seq, statement.account, statement.movements, false);
      }
      if (!stored_between) {
        WriteTrail(connection, trail, seq);
        transaction.Commit();
        return seq;
      }
    }
    // The unique index refused the header: another process stored it
    // between the check and the insert. That transaction is rolled back
    // (PostgreSQL's is dead), so the refusal goes to the trail in one of
    // its own.
    if (trail != nullptr) {
      Transaction transaction(connection, dialect_.begin_write);
      WriteTrail(connection, trail, std::nullopt);
      transaction.Commit();
    }
    return std::nullopt;
  });
}

std::vector<StatementSummary> SqlStore::ListStatements(bool movement_sums) {
  return Run([this, movement_sums](SqlConnection& connection) {
    Transaction transaction(connection, dialect_.begin_read);
    std::unique_ptr<SqlQuery> query = connection.Prepare(
        SummarySelect(movement_sums) + "ORDER BY e.CDSEQUEXTR", "listar os extratos");
    std::vector<StatementSummary> statements;
    while (query->Step()) statements.push_back(ReadSummary(*query));
    return statements;
  });
}

std::optional<StoredStatement> SqlStore::GetStatement(long long seq) {
  return Run([this, seq](SqlConnection& connection) -> std::optional<StoredStatement> {
    Transaction transaction(connection, dialect_.begin_read);
    auto query =
        Query(connection, SummarySelect() + "WHERE e.CDSEQUEXTR = ?", "ler o extrato", seq);
    if (!query->Step()) return std::nullopt;
    StoredStatement statement;
    statement.summary = ReadSummary(*query);

    const Layout& layout = MovExtrLayout();
    auto movements = Query(connection,
                           "SELECT NRSEQMOVREAL, " + JoinColumns(kMovementColumns, kMovementCount) +
                               " FROM MOVEXTRBANCO WHERE CDSEQUEXTR = ? ORDER BY NRSEQMOVREAL",
                           "ler os movimentos do extrato", seq);
    const size_t seq_column = ColumnIndex(layout, "CDSEQUEXTR");
    const size_t number_column = ColumnIndex(layout, "NRSEQMOVREAL");
    size_t target[kMovementCount];
    for (size_t i = 0; i < kMovementCount; ++i)
      target[i] = ColumnIndex(layout, kMovementColumns[i]);
    statement.movements.reserve(static_cast<size_t>(statement.summary.movements));
    while (movements->Step()) {
      Row row(layout.size());
      row[seq_column] = std::to_string(seq);
      row[number_column] = std::to_string(movements->Int(0));
      for (size_t i = 0; i < kMovementCount; ++i)
        row[target[i]] = movements->Value(static_cast<int>(i) + 1);
      statement.movements.push_back(std::move(row));
    }
    return statement;
  });
}

void SqlStore::InTransaction(bool write, const std::function<void(SqlConnection&)>& operation) {
  Run([this, write, &operation](SqlConnection& connection) {
    Transaction transaction(connection, write ? dialect_.begin_write : dialect_.begin_read);
    operation(connection);
    transaction.Commit();
    return true;
  });
}

}  // namespace kvr::server
