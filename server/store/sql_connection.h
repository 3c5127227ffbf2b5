#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "store/statement.h"

// What the SQL store needs of a database engine: a connection that runs
// statements with bound parameters, and a driver that opens connections and
// holds what differs between engines. SqlStore writes every query once over
// these; sqlite_connection.h and pg_connection.h implement them.
namespace kvr::server {

// The connection died under an operation. AtStart: before any command of
// the operation was done, so it had done nothing yet and may run again on
// another connection.
class ConnectionLost : public EDatabaseError {
 public:
  ConnectionLost(const std::string& message, bool at_start)
      : EDatabaseError(message), at_start_(at_start) {}
  bool AtStart() const { return at_start_; }

 private:
  bool at_start_;
};

// A unique index refused a row (PostgreSQL only: there a concurrent store of
// the same period can reach the index; SQLite's write lock keeps it out).
class UniqueViolation : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

// "Erro no banco de dados LABEL ao WHAT: REASON.", the form of every failed
// command's message.
inline std::string CommandError(const std::string& label, const std::string& what,
                                const std::string& reason) {
  return "Erro no banco de dados " + label + " ao " + what + ": " + reason + ".";
}

// Throws EDatabaseError when value is a text holding the NUL character:
// SQLite would keep it and PostgreSQL refuse it (or cut the text there), so
// both refuse it here, with one message, before it reaches either.
inline void RefuseNul(CellView value) {
  if (value.kind == CellView::Kind::kText && value.text.find('\0') != std::string_view::npos)
    throw EDatabaseError(
        "Um texto contém o caractere nulo (código 0), que não é gravado no banco de dados; "
        "retire-o e tente de novo.");
}

// One statement of a connection with "?" for each parameter. It runs once,
// at the first Step, with the values bound then. Failures throw EDatabaseError
// naming the database and what the statement was for. Must not outlive its
// connection.
class SqlQuery {
 public:
  virtual ~SqlQuery() = default;

  // Binds the 1-based parameter index to a copy of value: a text, a
  // number or null. Throws EDatabaseError (RefuseNul) for a text that holds
  // the NUL character.
  void BindView(int index, CellView value) {
    RefuseNul(value);
    BindValue(index, value);
  }
  virtual void BindInt(int index, long long value) = 0;
  void Bind(int index, CellView value) { BindView(index, value); }
  void Bind(int index, const std::string& text) {
    BindView(index, CellView{CellView::Kind::kText, text, 0});
  }
  void Bind(int index, const Cell& cell) { BindView(index, ViewOf(cell)); }
  void Bind(int index, long long value) { BindInt(index, value); }
  // A number, or null when there is none.
  void Bind(int index, std::optional<long long> value) {
    value ? BindInt(index, *value) : BindView(index, CellView());
  }

  // Runs the statement at the first call, then moves to its next row;
  // true while a row is there.
  virtual bool Step() = 0;

  // Columns of the current row, 0-based. Text of null is "".
  virtual std::string Text(int column) = 0;
  virtual long long Int(int column) = 0;
  // The column as a packet carries it: dates "YYYY-MM-DDTHH:MM:SS[.fff]",
  // amounts as numbers, other columns as texts.
  virtual Cell Value(int column) = 0;

 protected:
  virtual void BindValue(int index, CellView value) = 0;
};

// Adds many rows to one table, one value after another in the order of the
// columns given. Finish must be called after the last row; without it the
// rows are not all stored and the transaction must be rolled back.
class SqlRowWriter {
 public:
  virtual ~SqlRowWriter() = default;
  // The texts must stay unchanged until the row has ended. Throws
  // EDatabaseError (RefuseNul) for a text that holds the NUL character.
  void Add(CellView value) {
    RefuseNul(value);
    AddValue(value);
  }
  virtual void Add(long long value) = 0;
  virtual void EndRow() = 0;
  virtual void Finish() = 0;

 protected:
  virtual void AddValue(CellView value) = 0;
};

// One open connection. Used by one thread at a time.
class SqlConnection {
 public:
  virtual ~SqlConnection() = default;

  // A statement of sql ("?" placeholders). reused: a statement of every
  // call, which the engine may keep prepared on this connection.
  virtual std::unique_ptr<SqlQuery> Prepare(const std::string& sql, const std::string& what,
                                            bool reused = false) = 0;
  // Runs one or more statements without parameters.
  virtual void Execute(const std::string& sql, const std::string& what) = 0;
  // A writer of rows into table (columns, count of them), within the
  // current transaction.
  virtual std::unique_ptr<SqlRowWriter> InsertRows(const std::string& table,
                                                   const std::string& columns, size_t count,
                                                   const std::string& what) = 0;
  // Rolls back the current transaction, ignoring any failure.
  virtual void RollbackQuietly() = 0;
  // False when the connection should not go back to the pool (lost, or
  // still inside a transaction).
  virtual bool Reusable() { return true; }
  // An operation starts: ConnectionLost's AtStart counts from here.
  virtual void StartOperation() {}
  // The write transaction under way writes about rows rows: the engine may
  // size its caches for them until that transaction ends.
  virtual void ExpectRows(size_t rows) { (void)rows; }
};

// "?, ?, ?" for count parameters.
inline std::string Placeholders(size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += i == 0 ? "?" : ", ?";
  return out;
}

// A statement of sql on connection with args (texts, cells, integers)
// bound to its parameters in order.
template <typename... Args>
std::unique_ptr<SqlQuery> Query(SqlConnection& connection, const std::string& sql,
                                const std::string& what, const Args&... args) {
  std::unique_ptr<SqlQuery> query = connection.Prepare(sql, what);
  int index = 0;
  (query->Bind(++index, args), ...);
  return query;
}

// Runs sql on connection with args bound, as Query does, to its end.
template <typename... Args>
void Execute(SqlConnection& connection, const std::string& sql, const std::string& what,
             const Args&... args) {
  for (auto query = Query(connection, sql, what, args...); query->Step();) {
  }
}

// Runs sql, a statement of the dialect, as Execute does; nothing when the
// dialect has none ("").
template <typename... Args>
void ExecuteIfAny(SqlConnection& connection, const char* sql, const std::string& what,
                  const Args&... args) {
  if (*sql != '\0') Execute(connection, sql, what, args...);
}

// text as a parameter: null when it is empty.
inline CellView TextOrNull(const std::string& text) {
  return text.empty() ? CellView() : CellView{CellView::Kind::kText, text, 0};
}

// What differs between engines in the SQL text itself. Empty means "none".
struct SqlDialect {
  const char* begin_read = "";   // a transaction that only reads, one snapshot
  const char* begin_write = "";  // a transaction whose checks and writes see one state
  // Serialise writers across processes inside a write transaction: of one
  // account ("?" its code), of the accounts table, of the schema.
  const char* lock_account = "";
  const char* lock_accounts = "";
  const char* lock_schema = "";
  // One row: 1 or 0 for "VERSAOESQUEMA exists", 1 or 0 for "CONTCORR exists".
  const char* tables_present = "";
  // Run before the tables of a new database are made, outside a transaction.
  const char* new_database = "";
  const char* new_database_what = "";
  // Numbers the next statements after every number EXTRBANCO and the trail
  // hold (one or more statements).
  const char* statement_floor = "";
  // Run around the migrations, outside their transaction (one statement
  // each): a table rebuilt while other tables refer to it.
  const char* rebuild_begin = "";
  const char* rebuild_end = "";
  // Appended to ORDER BY a code: byte order.
  const char* code_order = "";
  // Pieces of the schema (see sql_schema.cpp).
  const char* statement_key = "";  // CDSEQUEXTR of EXTRBANCO, assigned when not given
  const char* statement_ref = "";  // the type of a column holding a CDSEQUEXTR
  const char* date_type = "";
  const char* amount_type = "";
  const char* statement_constraints = "";  // after EXTRBANCO's columns
  const char* movement_constraints = "";   // after MOVEXTRBANCO's primary key
  const char* movement_options = "";       // after MOVEXTRBANCO's closing parenthesis
  const char* nulls_equal = "";            // makes a unique index treat nulls as equal
  // Replaces MOVEXTRBANCO's reference to EXTRBANCO by checks of the same
  // rule once per statement (empty: the reference stays).
  const char* movement_key_check = "";
  // Makes CDSEQUEXTR of EXTRBANCO never given twice (empty: it is already).
  const char* statement_numbers = "";
  // The catalogue: the names of the tables (one column, upper case), and of
  // the columns of the table "?" in their order.
  const char* list_tables = "";
  const char* list_columns = "";
  // The sequence that numbers column "?" of table "?" (one row, empty or
  // null when none); and the statement that sets it ("?" its name) to the
  // highest {COLUMN} of {TABLE}. Empty: numbers follow the rows by
  // themselves.
  const char* serial_sequence = "";
  const char* set_sequence = "";
};

// An engine: how its connections are opened and what differs in its SQL.
class SqlDriver {
 public:
  // label: how messages name the database. dialect must outlive the driver.
  SqlDriver(std::string label, const SqlDialect& dialect)
      : label_(std::move(label)), dialect_(dialect) {}
  virtual ~SqlDriver() = default;
  const std::string& Label() const { return label_; }
  const SqlDialect& Dialect() const { return dialect_; }
  // Opens a connection. With create false a database that is not there is
  // refused, not created. Throws EDatabaseError naming the database.
  virtual std::unique_ptr<SqlConnection> Connect(bool create) = 0;
  // Checks that the database suits the server, on its first connection
  // before anything is read (the PostgreSQL encoding).
  virtual void CheckDatabase(SqlConnection& connection) { (void)connection; }
  // The message for a database without the server's tables when they are
  // not to be created.
  virtual std::string NoTablesMessage() const = 0;

 private:
  std::string label_;
  const SqlDialect& dialect_;
};

}  // namespace kvr::server
