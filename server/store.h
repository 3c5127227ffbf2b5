#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "access_store.h"
#include "sql_connection.h"
#include "statement.h"

namespace kvr::server {

class MovementKeys;

// A bank account of CONTCORR; texts are UTF-8.
struct Account {
  std::string code;       // CDREDUCONT, 1 to 3 characters
  std::string bank;       // CDBANCO, up to 3
  std::string agency;     // CDAGENCIA, up to 5
  std::string number;     // CDCONTCORR, up to 10
  std::string kind;       // IDTIPOCCORR, up to 20
  std::string mask;       // CDPICTCONT, up to 20
  // The number its bank's files write for it (ACCTID) when that is not the
  // account number itself, up to 40; empty when there is none.
  std::string statement_id = "";
};

// One stored statement header with its number of movements.
struct StatementSummary {
  long long seq = 0;      // CDSEQUEXTR, assigned by the store
  Row header;             // ExtrBancoLayout order, CDSEQUEXTR filled in
  std::string bank;       // of the account, empty when it is gone
  std::string number;
  long long movements = 0;
  // The movements' amounts added in cents, each rounded to the cent, credits
  // positive and debits (IDMOVREAL "D") negative.
  long long movement_cents = 0;
};

// A stored statement with its movements in NRSEQMOVREAL order (MovExtrLayout
// order, CDSEQUEXTR and NRSEQMOVREAL filled in).
struct StoredStatement {
  StatementSummary summary;
  std::vector<Row> movements;
};

// The server's storage: accounts, statements, the clerk keys and the audit
// trail on a SQL database. Every query, the repeat check, the schema and its
// migrations, the pool of connections and the transactions are written once
// over the engine that the driver gives (SQLite or PostgreSQL). Every
// failure of the database itself is an EDatabaseError whose message says
// what failed.
//
// Exactly-once: a store runs in a write transaction that first takes the
// dialect's lock on its account (PostgreSQL's advisory lock, which
// serialises the stores of one account across every process; SQLite's
// write transaction holds the file's write lock already), then checks
// again and stores; the unique index of account and period backs it.
//
// A connection lost in the middle of an operation fails that operation (its
// transaction dies with it, so nothing is half-stored); a pooled connection
// found dead at the start of one (the database restarted while it was idle)
// is replaced and the operation runs on a new one. Safe to call from
// several threads at once: each operation takes a connection of its own.
class Store {
 public:
  // Opens the database of driver, creating its tables or migrating older
  // ones to kSchemaVersion. With create false a database without the
  // server's tables is refused, not created. Throws EDatabaseError naming
  // the database when it cannot be opened, is not suitable, has a newer
  // schema or cannot be migrated.
  Store(std::unique_ptr<SqlDriver> driver, bool create);
  ~Store();

  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Adds an account whose fields were checked by the caller. Throws
  // EDatabaseError when the code exists already, or when an account of the
  // same bank and type has the same number or statement identifier
  // (compared as AccountMatches compares them).
  void AddAccount(const Account& account);
  // All accounts, in code order.
  std::vector<Account> ListAccounts();
  // The account with that code, if any.
  std::optional<Account> FindAccount(const std::string& code);
  // The accounts whose bank equals bank (leading zeros ignored, letters in
  // either case) and whose number or statement identifier is number
  // (AccountMatches), in code order.
  std::vector<Account> MatchAccounts(const std::string& bank, const std::string& number);

  // True when the statement is recorded already: a stored statement of its
  // account has the same period (DTSALDINIC and DTSALDFIN), or a stored
  // movement of the account equals one of its movements on CDREDUCONT,
  // VRMOVREAL, NRDOCMOVREAL, DTMOVREAL and CDFITIDEXTR (nulls equal nulls).
  bool IsRecorded(const Statement& statement);
  // Within one transaction: when the statement is not recorded, stores its
  // header and all its movements and returns the new CDSEQUEXTR; otherwise
  // stores nothing and returns nothing. Concurrent calls with the same
  // statement store it once. On any failure nothing is stored.
  // With trail (its who, where, account and movements filled in), the same
  // transaction also appends it to the audit trail: as "importacao" with the
  // new number, or as "recusa" ("extrato já cadastrado") when the statement
  // is recorded; the statement and its row are committed together or not at
  // all.
  std::optional<long long> StoreIfNew(const Statement& statement,
                                      const AuditEvent* trail = nullptr);

  // All stored statements, in CDSEQUEXTR order; movement_cents is added up
  // only with movement_sums (it reads every movement: continuity needs it, a
  // listing does not).
  std::vector<StatementSummary> ListStatements(bool movement_sums = false);
  // The stored statement with that CDSEQUEXTR, if any.
  std::optional<StoredStatement> GetStatement(long long seq);
  // Replaces the type (IDTIPOCCORR), mask (CDPICTCONT), number (CDCONTCORR)
  // and statement identifier of the account account.code; its other fields
  // stay. Returns false when no account has
  // that code. Throws EDatabaseError when another account has the same bank,
  // number and type (leading zeros ignored).
  bool UpdateAccount(const Account& account);
  // Removes the account with that code when none of its statements is stored.
  // Returns the number of its stored statements: 0 when it was removed or
  // did not exist, otherwise nothing was removed.
  long long RemoveAccount(const std::string& code);

  // Copies an installation into this store within one transaction: the
  // accounts, then every statement next hands (keeping its CDSEQUEXTR and
  // its movements' NRSEQMOVREAL) until it hands none; later statements get
  // numbers after the highest copied. Returns the number of movements
  // stored. Throws EDatabaseError, storing nothing, when this store holds an
  // account or a statement already, or when anything fails.
  long long CopyIn(const std::vector<Account>& accounts,
                   const std::function<std::optional<StoredStatement>()>& next);

  // The clerk keys and the audit trail of this store, owned by it.
  AccessStore* Access() { return &access_; }

  // Runs operation on a pooled connection inside one transaction (write: the
  // dialect's write transaction, else a read snapshot), committed when
  // operation returns and rolled back when it throws.
  void InTransaction(bool write, const std::function<void(SqlConnection&)>& operation);
  const SqlDialect& Dialect() const { return dialect_; }

 private:
  // Runs operation(connection) on a pooled connection (see the class).
  template <typename Operation>
  auto Run(Operation&& operation);
  void PrepareSchema(bool create);
  // IsRecorded with the statement's movement keys built by the caller.
  bool IsRecorded(const Statement& statement, const MovementKeys& keys);

  std::unique_ptr<SqlDriver> driver_;
  const SqlDialect& dialect_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<SqlConnection>> idle_;
  AccessStore access_{*this};
};

}  // namespace kvr::server
