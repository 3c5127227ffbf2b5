#include "open_store.h"

#include "pg_store.h"
#include "sqlite_store.h"

namespace kvr::server {

bool IsPostgresAddress(const std::string& db) {
  return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

std::string DatabaseLabel(const std::string& db) {
  return IsPostgresAddress(db) ? PgLabel(db) : "\"" + db + "\"";
}

std::unique_ptr<Store> OpenStore(const std::string& db, bool create) {
  if (IsPostgresAddress(db)) return std::make_unique<PgStore>(db, create);
  return std::make_unique<SqliteStore>(db, create);
}

}  // namespace kvr::server
