#pragma once

#include <memory>
#include <string>

#include "store/sql_connection.h"

namespace kvr::server {

// How messages name the database of a libpq URI: PostgreSQL "NAME" em
// HOST:PORT, never with its password. Throws EDatabaseError for a malformed
// URI.
std::string PgLabel(const std::string& uri);

// The PostgreSQL engine, for installations that outgrow one machine: any
// number of server processes on one database, each stateless. Writers
// serialise on transaction-scoped advisory locks (pg_advisory_xact_lock)
// across every process; movements go in by COPY; amounts are NUMERIC
// holding the packet number's exact decimal; dates are TIMESTAMP(3).
// A connection that dies under a command throws ConnectionLost. Messages
// name the database and its server, never the password.
class PgDriver : public SqlDriver {
 public:
  // The database that uri (a libpq URI) names. Throws EDatabaseError for a
  // malformed URI.
  explicit PgDriver(const std::string& uri);

  // Connects within 10 seconds (unless the URI says otherwise), in UTF8
  // and ISO dates. create is not used: a database is made by its
  // administrator.
  std::unique_ptr<SqlConnection> Connect(bool create) override;
  // Refuses a database whose encoding is not UTF8.
  void CheckDatabase(SqlConnection& connection) override;
  std::string NoTablesMessage() const override;

 private:
  std::string uri_;
};

}  // namespace kvr::server
