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

// conta add, list, edit, remove.
int AddAccount(const CommandLine& line, std::ostream& out);
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
int RemoveStatement(const CommandLine& line, std::ostream& out);

// copiar --de DB --para DB: the whole installation in one transaction of
// the target, one statement in memory at a time.
int Copy(const CommandLine& line, std::ostream& out);

// backup --para FILE [--db DB]: a consistent copy of a SQLite database, made
// while servers may be writing to it, owner-only (0600); an existing target
// is refused. A PostgreSQL database is a Usage error pointing to pg_dump.
int Backup(const CommandLine& line, std::ostream& out);

// serve: runs until SIGINT or SIGTERM; log lines go to err. Tells systemd
// (sd_notify READY=1) once it listens when started by a notify unit.
int Serve(const CommandLine& line, std::ostream& err);

}  // namespace kvr::server::admin
