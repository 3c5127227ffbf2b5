#include "store/open_store.h"

#include "store/pg_connection.h"
#include "store/sql_store.h"
#include "store/sqlite_connection.h"

namespace kvr::server {

bool IsPostgresAddress(const std::string& db) {
  return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

std::string DatabaseLabel(const std::string& db) {
  return IsPostgresAddress(db) ? PgLabel(db) : "\"" + db + "\"";
}

std::unique_ptr<Store> OpenStore(const std::string& db, bool create, bool serving) {
  if (IsPostgresAddress(db))
    return std::make_unique<SqlStore>(std::make_unique<PgDriver>(db), create);
  return std::make_unique<SqlStore>(std::make_unique<SqliteDriver>(db, create, serving), create);
}

}  // namespace kvr::server
