// copiar and backup: copies of an installation, from one database to another
// (SQLite to PostgreSQL, or back), and a consistent copy of a SQLite database
// also while a server uses it.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstring>
#include <memory>
#include <optional>

#include "admin/admin_commands.h"
#include "store/open_store.h"
#include "store/sql_store.h"
#include "store/store_copy.h"
#include "store/printable_text.h"
#include "wire/errors.h"

namespace kvr::server::admin {

namespace {

// "1234567" as "1.234.567".
std::string Grouped(long long number) {
  std::string digits = std::to_string(number);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
    digits.insert(static_cast<size_t>(i), 1, '.');
  return digits;
}

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;

Database Open(const std::string& path, int flags, const std::string& what) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  Database owned(db);
  if (rc != SQLITE_OK)
    throw Exception("não foi possível abrir " + what + " \"" + EscapeControls(path) +
                    "\": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ".");
  // A server writing at the same moment holds the file only for the length
  // of one statement's store.
  sqlite3_busy_timeout(db, 60000);
  return owned;
}

bool HasServerTables(sqlite3* db) {
  sqlite3_stmt* query = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'CONTCORR'",
                         -1, &query, nullptr) != SQLITE_OK)
    return false;
  const bool found = sqlite3_step(query) == SQLITE_ROW;
  sqlite3_finalize(query);
  return found;
}

// Creates the target, owner-only whatever the umask; refuses an existing one
// (also a link), so a backup never replaces another file.
void CreateTarget(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST)
      throw Exception("o arquivo \"" + EscapeControls(path) +
                      "\" já existe; escolha outro nome para a cópia (a cópia nunca substitui um "
                      "arquivo).");
    throw Exception("não foi possível criar a cópia \"" + EscapeControls(path) +
                    "\": " + std::strerror(errno) + ".");
  }
  const bool owner_only = fchmod(fd, 0600) == 0;
  close(fd);
  if (!owner_only) {
    const int error = errno;
    unlink(path.c_str());
    throw Exception("não foi possível restringir a cópia \"" + EscapeControls(path) +
                    "\" ao dono: " + std::strerror(error) + ".");
  }
}

}  // namespace

int Copy(const CommandLine& line, std::ostream& out) {
  const std::string from = line.Required("de");
  const std::string to = line.Required("para");
  if (from == to) throw Usage("--de e --para são o mesmo banco de dados.");
  std::unique_ptr<Store> source = OpenStore(from, false);
  std::unique_ptr<Store> target = OpenStore(to, true);
  auto* source_sql = dynamic_cast<SqlStore*>(source.get());
  auto* target_sql = dynamic_cast<SqlStore*>(target.get());
  if (source_sql == nullptr || target_sql == nullptr)
    throw Exception("só bancos SQLite e PostgreSQL são copiados.");
  const CopiedTables copied = CopyTables(*source_sql, *target_sql);
  const long long accounts = copied.Rows("CONTCORR");
  const long long statements = copied.Rows("EXTRBANCO");
  const long long movements = copied.Rows("MOVEXTRBANCO");
  out << "Copiados de " << DatabaseLabel(from) << " para " << DatabaseLabel(to) << ": "
      << Grouped(accounts) << (accounts == 1 ? " conta corrente, " : " contas correntes, ")
      << Grouped(statements) << (statements == 1 ? " extrato e " : " extratos e ")
      << Grouped(movements) << (movements == 1 ? " movimento.\n" : " movimentos.\n");
  out << "Conferidas " << copied.tables.size()
      << " tabelas, com o mesmo número de linhas na origem e na cópia:";
  for (const auto& [table, rows] : copied.tables) out << " " << table << " " << Grouped(rows);
  out << ".\n";
  return 0;
}

namespace {

// The copy's file in folder: the database's name and the moment,
// "kvr61400-2024-03-31-183000.db".
std::string CopyName(const std::string& folder, const std::string& db) {
  std::string stem = db.substr(db.find_last_of('/') + 1);
  if (stem.size() > 3 && stem.compare(stem.size() - 3, 3, ".db") == 0) stem.resize(stem.size() - 3);
  char moment[32];
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  strftime(moment, sizeof moment, "%Y-%m-%d-%H%M%S", &local);
  return folder + (folder.back() == '/' ? "" : "/") + stem + "-" + moment + ".db";
}

}  // namespace

int Backup(const CommandLine& line, std::ostream& out) {
  const bool given = line.options.count("para") != 0;
  std::string target = line.Option("para", kBackupFolder);
  const std::string db = line.Option("db", kDefaultDb);
  if (IsPostgresAddress(db))
    throw Usage(
        "backup copia bancos SQLite; para PostgreSQL use pg_dump (por exemplo: pg_dump "
        "-Fc -f kvr61400.dump BANCO).");
  struct stat folder {};
  if (!target.empty() && stat(target.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode))
    target = CopyName(target, db);
  else if (!given)
    throw Exception("a pasta das cópias \"" + target +
                    "\" não existe (o pacote kvr61400-server a cria): passe --para ARQUIVO "
                    "ou --para PASTA.");
  if (access(db.c_str(), F_OK) != 0)
    throw Exception("o banco \"" + EscapeControls(db) + "\" não existe.");
  // Read and write, never create: a database in WAL mode is read through its
  // shared-memory file, which a read-only connection may be unable to use.
  Database source = Open(db, SQLITE_OPEN_READWRITE, "o banco");
  if (!HasServerTables(source.get()))
    throw Exception("\"" + EscapeControls(db) +
                    "\" não é um banco do kvr61400-server (falta a "
                    "tabela CONTCORR).");
  CreateTarget(target);
  try {
    Database copy = Open(target, SQLITE_OPEN_READWRITE, "a cópia");
    sqlite3_backup* backup = sqlite3_backup_init(copy.get(), "main", source.get(), "main");
    if (backup == nullptr)
      throw Exception("não foi possível copiar \"" + EscapeControls(db) +
                      "\": " + sqlite3_errmsg(copy.get()) + ".");
    // All pages in one step: one read transaction, so the copy is the
    // database as it was at one moment, whatever a server writes meanwhile
    // (a copy in several steps starts over after every write of another
    // process and may never end on a busy server).
    int rc;
    while ((rc = sqlite3_backup_step(backup, -1)) == SQLITE_BUSY || rc == SQLITE_LOCKED)
      sqlite3_sleep(50);
    const int pages = sqlite3_backup_pagecount(backup);
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE)
      throw Exception("não foi possível copiar \"" + EscapeControls(db) +
                      "\": " + sqlite3_errstr(rc) + ".");
    out << "Cópia de \"" << db << "\" gravada em \"" << target << "\" (" << pages << " páginas).\n";
  } catch (...) {
    unlink(target.c_str());
    throw;
  }
  return 0;
}

}  // namespace kvr::server::admin
