#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store.h"

struct sqlite3;

namespace kvr::server {

// The SQLite backend: one database file in WAL mode with foreign keys on,
// a pool of connections (one per concurrent caller), bound parameters only.
// Writers take the database's write lock at the start of their transaction,
// so concurrent stores of the same statement are serialised and the second
// one sees the first.
class SqliteStore : public Store {
 public:
  // Opens (creating when missing) the database file at path and its tables.
  // Throws EDatabaseError naming the file when it cannot be opened.
  explicit SqliteStore(const std::string& path);
  ~SqliteStore() override;

  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

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

 private:
  class Lease;
  sqlite3* Acquire();
  void Release(sqlite3* db);
  sqlite3* OpenConnection();

  std::string path_;
  std::mutex mutex_;
  std::vector<sqlite3*> idle_;
};

}  // namespace kvr::server
