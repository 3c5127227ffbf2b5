#pragma once

#include <memory>
#include <string>

#include "store.h"

namespace kvr::server {

// True when spec names a PostgreSQL database (a libpq URI,
// "postgresql://..." or "postgres://..."); otherwise it is a SQLite file.
bool IsPostgresSpec(const std::string& spec);

// How messages name the database of spec: "FILE" for SQLite, PostgreSQL
// "NAME" em HOST:PORT (never the password) for PostgreSQL.
std::string DatabaseLabel(const std::string& spec);

// Opens the store that spec names (see IsPostgresSpec), creating its tables
// or migrating older ones to the current schema. With create false a SQLite
// file that does not exist, or a database without the server's tables, is
// refused instead of created (listing never creates a database). Throws
// EDatabaseError naming the database when it cannot be opened, when its
// schema is newer than this server's, or when it cannot be migrated.
std::unique_ptr<Store> OpenStore(const std::string& spec, bool create);

}  // namespace kvr::server
