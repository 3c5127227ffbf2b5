#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/access_store.h"
#include "store/sql_connection.h"
#include "store/store.h"

namespace kvr::server {

class MovementKeys;

// The server's storage on a SQL database: every query, the repeat check,
// the schema and its migrations, the pool of connections and the
// transactions, written once over the engine that driver gives (SQLite or
// PostgreSQL).
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
class SqlStore : public Store {
 public:
  // Opens the database of driver, creating its tables or migrating older
  // ones to kSchemaVersion. With create false a database without the
  // server's tables is refused, not created. Throws EDatabaseError naming
  // the database when it cannot be opened, is not suitable, has a newer
  // schema or cannot be migrated.
  SqlStore(std::unique_ptr<SqlDriver> driver, bool create);
  ~SqlStore() override;

  SqlStore(const SqlStore&) = delete;
  SqlStore& operator=(const SqlStore&) = delete;

  void AddAccount(const Account& account) override;
  std::vector<Account> ListAccounts() override;
  std::optional<Account> FindAccount(const std::string& code) override;
  std::vector<Account> MatchAccounts(const std::string& bank, const std::string& number) override;
  bool IsRecorded(const Statement& statement) override;
  std::optional<long long> StoreIfNew(const Statement& statement,
                                      const AuditEvent* trail = nullptr) override;
  std::vector<StatementSummary> ListStatements(bool movement_sums = false) override;
  std::optional<StoredStatement> GetStatement(long long seq) override;
  bool UpdateAccount(const Account& account) override;
  long long RemoveAccount(const std::string& code) override;
  AccessStore* Access() override { return &access_; }

  // Runs operation on a pooled connection inside one transaction (write: the
  // dialect's write transaction, else a read snapshot), committed when
  // operation returns and rolled back when it throws.
  void InTransaction(bool write, const std::function<void(SqlConnection&)>& operation);
  const SqlDialect& Dialect() const { return dialect_; }
  // How messages name the database.
  const std::string& Label() const { return driver_->Label(); }

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
