// restaurar: a SQLite database replaced by a copy that backup made, checked
// before anything of the database is touched.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "admin/admin_commands.h"
#include "store/open_store.h"
#include "store/printable_text.h"
#include "wire/errors.h"

namespace kvr::server::admin {

namespace {

std::string Quoted(const std::string& path) { return "\"" + EscapeControls(path) + "\""; }

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// An open file descriptor, closed when it goes (and its flock with it).
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A file removed when it goes, unless kept.
class Scratch {
 public:
  explicit Scratch(std::string path) : path_(std::move(path)) {}
  ~Scratch() {
    if (path_.empty()) return;
    for (const char* suffix : {"-wal", "-shm", "-journal", ""}) unlink((path_ + suffix).c_str());
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;

// The first column of the first row of sql on db, "" when it gives none.
std::string FirstText(sqlite3* db, const char* sql) {
  sqlite3_stmt* query = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &query, nullptr) != SQLITE_OK)
    throw Exception(std::string(sqlite3_errmsg(db)));
  std::string text;
  const int rc = sqlite3_step(query);
  if (rc == SQLITE_ROW && sqlite3_column_text(query, 0) != nullptr)
    text = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
  sqlite3_finalize(query);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw Exception(std::string(sqlite3_errstr(rc)));
  return text;
}

// Copies the copy at from into the new file to, after SQLite's integrity
// check of the copy found nothing wrong.
void StageCheckedCopy(const std::string& from, const std::string& to) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(from.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  Database source(raw);
  const std::string refused = "a cópia " + Quoted(from) + " não serve: ";
  if (rc != SQLITE_OK)
    throw Exception(refused + (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)) +
                    ". Nada foi alterado.");
  std::string verdict;
  try {
    verdict = FirstText(source.get(), "PRAGMA integrity_check");
  } catch (const std::exception& error) {
    throw Exception(refused + error.what() + ". Nada foi alterado.");
  }
  if (verdict != "ok")
    throw Exception(refused + "a verificação de integridade acusa \"" + EscapeControls(verdict) +
                    "\". Nada foi alterado.");
  if (FirstText(source.get(),
                "SELECT name FROM sqlite_master WHERE type = 'table' AND name = 'CONTCORR'")
          .empty())
    throw Exception(refused + "não é um banco do kvr61400-server (falta a tabela CONTCORR). "
                              "Nada foi alterado.");
  raw = nullptr;
  rc = sqlite3_open_v2(to.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  Database target(raw);
  if (rc != SQLITE_OK)
    throw Exception("não foi possível gravar " + Quoted(to) + ": " +
                    (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)) + ".");
  sqlite3_backup* backup = sqlite3_backup_init(target.get(), "main", source.get(), "main");
  if (backup == nullptr)
    throw Exception("não foi possível ler a cópia " + Quoted(from) + ": " +
                    sqlite3_errmsg(target.get()) + ".");
  rc = sqlite3_backup_step(backup, -1);
  sqlite3_backup_finish(backup);
  if (rc != SQLITE_DONE)
    throw Exception("não foi possível ler a cópia " + Quoted(from) + ": " + sqlite3_errstr(rc) +
                    ".");
}

std::string Moment() {
  char text[32];
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  strftime(text, sizeof text, "%Y-%m-%d-%H%M%S", &local);
  return text;
}

}  // namespace

int Restore(const CommandLine& line, std::ostream& out) {
  const std::string copy = line.Required("de");
  const std::string db = line.Option("db", kDefaultDb);
  if (IsPostgresAddress(db))
    throw Usage("restaurar repõe bancos SQLite; para PostgreSQL use pg_restore (por exemplo: "
                "pg_restore --clean -d BANCO kvr61400.dump).");
  if (!Exists(copy)) throw Exception("a cópia " + Quoted(copy) + " não existe.");
  char copy_real[PATH_MAX], db_real[PATH_MAX];
  if (realpath(copy.c_str(), copy_real) != nullptr && realpath(db.c_str(), db_real) != nullptr &&
      std::strcmp(copy_real, db_real) == 0)
    throw Usage("--de e o banco são o mesmo arquivo " + Quoted(db) + ".");

  // A server claims the file it serves (flock); holding the claim here
  // keeps one from starting on it while it is replaced.
  const bool replacing = Exists(db);
  Descriptor claim(replacing ? open(db.c_str(), O_RDONLY | O_CLOEXEC) : -1);
  struct stat owner {};
  if (replacing) {
    if (claim.get() < 0 || fstat(claim.get(), &owner) != 0)
      throw Exception("não foi possível abrir o banco " + Quoted(db) + ": " +
                      std::strerror(errno) + ".");
    if (flock(claim.get(), LOCK_EX | LOCK_NB) != 0)
      throw Exception("o banco " + Quoted(db) +
                      " está em uso por um kvr61400-server: pare o servidor (sudo systemctl stop "
                      "kvr61400-server) e restaure de novo. Nada foi alterado.");
  } else {
    const size_t slash = db.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : db.substr(0, slash + 1);
    if (stat(folder.c_str(), &owner) != 0)
      throw Exception("a pasta do banco " + Quoted(folder) + " não existe.");
  }

  // The copy goes beside the database first, checked there: the database is
  // touched only once the copy is known good, and the last step is one
  // rename in the same folder.
  const std::string staged = db + ".restaurando";
  if (Exists(staged)) unlink(staged.c_str());
  Scratch scratch(staged);
  {
    Descriptor created(open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0600));
    if (created.get() < 0)
      throw Exception("não foi possível criar " + Quoted(staged) + ": " + std::strerror(errno) +
                      ".");
    fchmod(created.get(), 0600);
    // Restored by root, the file keeps the owner of the one it replaces (or
    // of its folder): the service's user must still open it.
    if (geteuid() == 0 && fchown(created.get(), owner.st_uid, owner.st_gid) != 0)
      throw Exception("não foi possível dar " + Quoted(staged) + " ao dono do banco: " +
                      std::strerror(errno) + ".");
  }
  StageCheckedCopy(copy, staged);
  size_t accounts = 0, statements = 0;
  try {
    // The schema: an older one is migrated as a server would on its first
    // start, a newer one refused.
    std::unique_ptr<Store> store = OpenStore(staged, false);
    accounts = store->ListAccounts().size();
    statements = store->ListStatements().size();
  } catch (const std::exception& error) {
    throw Exception("a cópia " + Quoted(copy) + " não serve: " + error.what() +
                    " Nada foi alterado.");
  }
  if (geteuid() == 0)
    for (const char* suffix : {"-wal", "-shm"})
      if (Exists(staged + suffix)) chown((staged + suffix).c_str(), owner.st_uid, owner.st_gid);

  // The database replaced is kept, with its -wal (transactions a stopped
  // server had not yet written into the file): left beside the restored
  // file, that -wal would be read into it and corrupt it.
  std::string kept;
  if (replacing) {
    kept = db + ".anterior-" + Moment();
    if (rename(db.c_str(), kept.c_str()) != 0)
      throw Exception("não foi possível guardar o banco atual como " + Quoted(kept) + ": " +
                      std::strerror(errno) + ". Nada foi alterado.");
    if (Exists(db + "-wal")) rename((db + "-wal").c_str(), (kept + "-wal").c_str());
    unlink((db + "-shm").c_str());
  }
  if (rename(staged.c_str(), db.c_str()) != 0) {
    const int error = errno;
    if (replacing) rename(kept.c_str(), db.c_str());
    throw Exception("não foi possível pôr a cópia no lugar de " + Quoted(db) + ": " +
                    std::strerror(error) + ".");
  }
  scratch.Keep();
  for (const char* suffix : {"-wal", "-shm"}) unlink((staged + suffix).c_str());
  out << "Banco " << Quoted(db) << " restaurado de " << Quoted(copy) << ": " << accounts
      << (accounts == 1 ? " conta corrente, " : " contas correntes, ") << statements
      << (statements == 1 ? " extrato.\n" : " extratos.\n");
  if (replacing) out << "O banco substituído ficou em " << Quoted(kept) << ".\n";
  return 0;
}

}  // namespace kvr::server::admin
