#pragma once

#include <string>

#include "sql_connection.h"

// The server's tables, written once for every engine, and their versions.
namespace kvr::server {

// The version of the tables this server writes, kept in VERSAOESQUEMA.
// 1: CONTCORR, EXTRBANCO and MOVEXTRBANCO without a version table (databases
//    made before versions were kept).
// 2: VERSAOESQUEMA; one statement per account and period (unique index
//    EXTRBANCO_PERIODO), the database's own guard of exactly-once.
constexpr int kSchemaVersion = 3;

// The statements that turn a database of version version (0: no tables)
// into version + 1 in dialect's column types. Requires version <
// kSchemaVersion.
std::string Migration(int version, const SqlDialect& dialect);

// The message that refuses a database of a newer schema than this server's.
std::string NewerSchemaMessage(const std::string& database, int version);

}  // namespace kvr::server
