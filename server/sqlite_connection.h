#pragma once

#include <memory>
#include <string>

#include "sql_connection.h"

namespace kvr::server {

// The SQLite engine: one database file in WAL mode with foreign keys on,
// synchronous writes and a 64 MiB page cache per connection. A writer takes
// the file's write lock at the start of its transaction (BEGIN IMMEDIATE),
// so concurrent stores of the same statement are serialised and the second
// one sees the first. Dates are kept as ISO texts, amounts as the packet's
// double. Messages are Portuguese and name the file as the user gave it.
class SqliteDriver : public SqlDriver {
 public:
  // The database file at path. With create false a file that is not there
  // is refused: throws EDatabaseError saying so.
  SqliteDriver(const std::string& path, bool create);

  const std::string& Label() const override { return label_; }
  const SqlDialect& Dialect() const override;
  std::unique_ptr<SqlConnection> Connect(bool create) override;
  std::string NoTablesMessage() const override;

 private:
  std::string path_;
  std::string label_;
};

}  // namespace kvr::server
