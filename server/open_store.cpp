#include "open_store.h"

#include "pg_store.h"
#include "sqlite_store.h"

namespace kvr::server {

bool IsPostgresSpec(const std::string& spec) {
  return spec.rfind("postgresql://", 0) == 0 || spec.rfind("postgres://", 0) == 0;
}

std::string DatabaseLabel(const std::string& spec) {
  return IsPostgresSpec(spec) ? PgLabel(spec) : "\"" + spec + "\"";
}

std::unique_ptr<Store> OpenStore(const std::string& spec, bool create) {
  if (IsPostgresSpec(spec)) return std::make_unique<PgStore>(spec, create);
  return std::make_unique<SqliteStore>(spec, create);
}

}  // namespace kvr::server
