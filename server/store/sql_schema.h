#pragma once

#include <string>

#include "store/sql_connection.h"

// The server's tables, written once for every engine, and their versions.
namespace kvr::server {

// The version of the tables this server writes, kept in VERSAOESQUEMA.
// 1: CONTCORR, EXTRBANCO and MOVEXTRBANCO without a version table (databases
//    made before versions were kept).
// 2: VERSAOESQUEMA; one statement per account and period (unique index
//    EXTRBANCO_PERIODO), the database's own guard of exactly-once.
// 3: MOVEXTRBANCO.CDFITIDCOMPL, the whole FITID (null in rows stored before).
// 4: CONTCORRIDEXTR, the identifier an account's bank writes in its files.
// 5: USUARIO (clerk keys, only their SHA-256) and AUDITORIA (the audit trail).
// 6: on PostgreSQL, MOVEXTRBANCO's reference to EXTRBANCO checked by
//    statement triggers, once per statement instead of once per row.
// 7: MOVEXTRBANCO.DSHISTCOMPL, the whole memo (null in rows stored before).
// 8: statement numbers never given twice: on SQLite, EXTRBANCO.CDSEQUEXTR
//    AUTOINCREMENT; on both engines the next number comes after every number
//    the tables or the trail hold.
constexpr int kSchemaVersion = 8;

// The statements that turn a database of version version (0: no tables)
// into version + 1 in dialect's column types. Requires version <
// kSchemaVersion.
std::string Migration(int version, const SqlDialect& dialect);

}  // namespace kvr::server
