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
// one sees the first. Errors are Portuguese and name the file.
class SqliteStore : public Store {
 public:
  // Opens the database file at path, creating its tables or migrating older
  // ones to the current schema version. With create false a missing file
  // or a file without the server's tables is refused, not created. Throws
  // EDatabaseError naming the file when it cannot be opened, is not a
  // database of this server, or has a newer schema.
  explicit SqliteStore(const std::string& path, bool create = true);
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
  long long CopyIn(const std::vector<Account>& accounts,
                   const std::function<std::optional<StoredStatement>()>& next) override;

 private:
  class Lease;
  sqlite3* Acquire();
  void Release(sqlite3* db);
  sqlite3* OpenConnection(bool create);
  void PrepareSchema(bool create);

  std::string path_;
  std::mutex mutex_;
  std::vector<sqlite3*> idle_;
};

}  // namespace kvr::server
