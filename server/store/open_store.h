#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace kvr::server {

// True when db names a PostgreSQL database (a libpq URI,
// "postgresql://..." or "postgres://..."); otherwise it is a SQLite file.
bool IsPostgresAddress(const std::string& db);

// How messages name the database of db: "FILE" for SQLite, PostgreSQL
// "NAME" em HOST:PORT (never the password) for PostgreSQL.
std::string DatabaseLabel(const std::string& db);

// Opens the store that db names (see IsPostgresAddress), creating its tables
// or migrating older ones to the current schema. With create false a SQLite
// file that does not exist, or a database without the server's tables, is
// refused instead of created (listing never creates a database). Throws
// EDatabaseError naming the database when it cannot be opened, when its
// schema is newer than this server's, or when it cannot be migrated.
// serving: the store of `serve`; a SQLite file is then claimed for it (see
// SqliteDriver), so a second server on the same file is refused.
std::unique_ptr<Store> OpenStore(const std::string& db, bool create, bool serving = false);

}  // namespace kvr::server
