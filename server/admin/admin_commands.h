#pragma once

#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

// What the administration commands share (in admin.cpp), and the commands
// RunCommand dispatches to (admin_accounts.cpp, admin_statements.cpp,
// admin_copy.cpp, admin_serve.cpp). Each writes its result to out and
// returns the process exit code; it throws Usage for a bad command line and
// any other exception, whose what() is the message, for a failure.
namespace kvr::server::admin {

// The database of a command without --db.
constexpr const char* kDefaultDb = "kvr61400.db";
// The packaged server's configuration, read by the administration commands
// given neither --db nor --config when it exists.
constexpr const char* kSystemConfig = "/etc/kvr61400/servidor.conf";
// Where backup writes without --para (made by the server's package).
constexpr const char* kBackupFolder = "/var/backups/kvr61400";

// A command line that makes no sense; what() says why (Portuguese).
struct Usage : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The words of a command line and its --name value options.
struct CommandLine {
  std::vector<std::string> words;
  std::map<std::string, std::string> options;
  bool json = false;
  bool help = false;
  // Where the database came from, for messages: empty when --db named it.
  std::string db_origin;

  // The value of --name, or def when it is not given.
  std::string Option(const std::string& name, const std::string& def = "") const;
  // The value of --name; throws Usage when it is not given.
  std::string Required(const std::string& name) const;
};

// Reads args into line. With --help anywhere, unknown options and missing
// values are passed over (the help is shown instead); otherwise they throw
// Usage, line then holding the words read so far.
void Parse(const std::vector<std::string>& args, CommandLine& line);

// True for an option written without a value (--json, --sem-tls...).
bool IsSwitch(const std::string& name);

// Sets line's --db for a command that works on one database: --db as
// given; else the `db` line of --config FILE; else, when config names a
// file that exists (kSystemConfig for the commands), its `db` line; else
// kDefaultDb. A configuration file without a `db` line gives kDefaultDb, as
// it does to serve. Sets line.db_origin to say which in messages. Throws
// Exception naming the file when a configuration file cannot be read (with
// the hint to run as the service's user or to pass --db), Usage when it is
// malformed.
void ResolveDatabase(CommandLine& line, const std::string& config = kSystemConfig);

// The database of line (after ResolveDatabase).
std::string DatabaseOf(const CommandLine& line);

// conta add, list, edit, remove. conta add says on err when it created the
// database.
int AddAccount(const CommandLine& line, std::ostream& out, std::ostream& err);
int ListAccounts(const CommandLine& line, std::ostream& out);
int EditAccount(const CommandLine& line, std::ostream& out);
int RemoveAccount(const CommandLine& line, std::ostream& out);

// extrato list, show, continuidade.
int ListStatements(const CommandLine& line, std::ostream& out);
int ShowStatement(const CommandLine& line, std::ostream& out);
int ShowContinuity(const CommandLine& line, std::ostream& out);

// usuario add (the key alone on its line of out, a notice on err), list,
// remove; auditoria; extrato remove N --motivo TEXTO.
int AddUser(const CommandLine& line, std::ostream& out, std::ostream& err);
int ListUsers(const CommandLine& line, std::ostream& out);
int RemoveUser(const CommandLine& line, std::ostream& out);
int ShowTrail(const CommandLine& line, std::ostream& out);
// extrato remove shows the statement and, on a terminal, asks before
// removing it (--sim answers for a script; without a terminal it is required).
int RemoveStatement(const CommandLine& line, std::ostream& out, std::ostream& err);

// copiar --de DB --para DB: the whole installation in one transaction of
// the target, one statement in memory at a time.
int Copy(const CommandLine& line, std::ostream& out);

// backup [--para FILE|FOLDER] [--db DB]: a consistent copy of a SQLite
// database, made while servers may be writing to it, owner-only (0600); an
// existing target is refused. A folder (kBackupFolder without --para) gets
// a file named for the database and the moment. A PostgreSQL database is a
// Usage error pointing to pg_dump.
int Backup(const CommandLine& line, std::ostream& out);

// restaurar --de COPY [--db DB]: replaces a SQLite database, which no
// server may be serving, by a copy whose integrity and schema were checked
// first; the database it replaces is kept beside it, its stale -wal and
// -shm taken away with it.
int Restore(const CommandLine& line, std::ostream& out);

// serve: runs until SIGINT or SIGTERM; log lines go to err. Tells systemd
// (sd_notify READY=1) once it listens when started by a notify unit.
int Serve(const CommandLine& line, std::ostream& err);

}  // namespace kvr::server::admin
