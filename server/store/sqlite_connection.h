#pragma once

#include <memory>
#include <string>

#include "store/sql_connection.h"

namespace kvr::server {

class WriterQueue;
class Checkpointer;

// The SQLite engine: one database file in WAL mode (readers never wait for
// the writer) with foreign keys on, synchronous = FULL (a commit is on disk
// before it is answered) and a 64 MiB page cache per connection. A writer
// takes the file's write lock at the start of its transaction (BEGIN
// IMMEDIATE), so concurrent stores of the same statement are serialised and
// the second one sees the first. The connections of one driver queue for
// that lock among themselves, first come first served, each woken as soon
// as the one before commits; only another process's writer is waited for
// by polling. Dates are kept as ISO texts, amounts as the packet's double.
// A file the driver creates, and SQLite's files beside it, are readable and
// writable by their owner only, whatever the umask. Messages are
// Portuguese and name the file as the user gave it.
class SqliteDriver : public SqlDriver {
 public:
  // The database file at path. With create false a file that is not there
  // is refused: throws EDatabaseError saying so. With serving true the file
  // is claimed for this driver's lifetime: while it lives, another driver
  // that asks to serve the same file is refused (EDatabaseError naming the
  // file and pointing to PostgreSQL for several servers); drivers that do
  // not serve (administration commands) are not affected.
  SqliteDriver(const std::string& path, bool create, bool serving = false);
  ~SqliteDriver() override;
  SqliteDriver(const SqliteDriver&) = delete;
  SqliteDriver& operator=(const SqliteDriver&) = delete;

  std::unique_ptr<SqlConnection> Connect(bool create) override;
  std::string NoTablesMessage() const override;

 private:
  std::string path_;
  std::shared_ptr<WriterQueue> writers_;
  std::unique_ptr<Checkpointer> checkpointer_;  // after the connections' last commit
  int claim_ = -1;  // descriptor holding the serving claim, -1 when none
};

}  // namespace kvr::server
