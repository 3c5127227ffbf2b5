#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "store.h"

typedef struct pg_conn PGconn;

namespace kvr::server {

// The PostgreSQL backend, for installations that outgrow one machine: any
// number of server processes on one database. Each process is stateless;
// exactly-once is the database's: a store takes a transaction-scoped
// advisory lock on its account (pg_advisory_xact_lock) before the repeat
// check, so stores of one account are serialised across every process and
// each sees what the others committed; the unique index of account and
// period backs it. Movements go in by COPY within the statement's
// transaction. Amounts are NUMERIC holding the packet number's exact
// decimal; dates are TIMESTAMP(3).
//
// A connection lost in the middle of an operation fails that operation
// (its transaction dies with the connection, so nothing is half-stored);
// a pooled connection found dead at the start of one (the database
// restarted while it was idle) is replaced and the operation runs on a new
// one. Messages name the database and its server, never the password.
// How messages name the database of a libpq URI: PostgreSQL "NAME" em
// HOST:PORT, never with its password. Throws EDatabaseError for a malformed
// URI.
std::string PgLabel(const std::string& uri);

class PgStore : public Store {
 public:
  // Connects to the database that uri names (a libpq URI) and prepares the
  // schema as SqliteStore does. Throws EDatabaseError naming the database.
  PgStore(const std::string& uri, bool create = true);
  ~PgStore() override;

  PgStore(const PgStore&) = delete;
  PgStore& operator=(const PgStore&) = delete;

  void AddAccount(const Account& account) override;
  std::vector<Account> ListAccounts() override;
  std::optional<Account> FindAccount(const std::string& code) override;
  std::vector<Account> MatchAccounts(const std::string& bank, const std::string& number) override;
  bool IsRecorded(const Statement& statement) override;
  std::optional<long long> StoreIfNew(const Statement& statement) override;
  std::vector<StatementSummary> ListStatements() override;
  std::optional<StoredStatement> GetStatement(long long seq) override;
  bool UpdateAccount(const Account& account) override;
  long long RemoveAccount(const std::string& code) override;
  long long CopyIn(const std::vector<Account>& accounts,
                   const std::function<std::optional<StoredStatement>()>& next) override;

  // How messages name the database: PostgreSQL "NAME" em HOST:PORT.
  const std::string& Label() const { return label_; }

 private:
  class Session;
  template <typename Operation>
  auto Run(Operation&& operation);
  PGconn* Connect();
  bool Prepare(PGconn* conn);
  void PrepareSchema(bool create);

  std::string uri_;
  std::string label_;
  bool tables_ready_ = false;
  std::mutex mutex_;
  std::vector<PGconn*> idle_;
};

}  // namespace kvr::server
