// Which database the administration commands use, a serve that never
// listens, and a database restored from a backup: real kvr61400-server
// processes on files of a temporary folder.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "server_process.h"
#include "temp_dir.h"

namespace kvr {
namespace {

using testing::CommandResult;
using testing::RunServerCommand;
using testing::ServerProcess;

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string Read(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void AddAccount(const std::string& db, const std::string& code) {
  CommandResult added = RunServerCommand({"conta", "add", "--codigo", code, "--banco", "341",
                                          "--conta", "12345" + code, "--tipo", "C", "--db", db});
  ASSERT_EQ(0, added.code) << added.err;
}

// The codes of the accounts conta list shows, one line each.
std::string Codes(const std::string& db) {
  std::istringstream lines(RunServerCommand({"conta", "list", "--db", db}).out);
  std::string line, codes;
  std::getline(lines, line);  // the title
  while (std::getline(lines, line)) codes += line.substr(0, line.find(' ')) + " ";
  return codes;
}

// Runs sql on the SQLite file path; the first column of its last row.
std::string Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  std::string last;
  sqlite3_exec(
      db, sql.c_str(),
      [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) = values[0] != nullptr ? values[0] : "";
        return 0;
      },
      &last, nullptr);
  sqlite3_close(db);
  return last;
}

TEST(AdminDatabase, ComesFromTheCommandLineOrTheConfiguration) {
  testing::TempDir dir;
  const std::string db = dir.File("servidor.db");
  AddAccount(db, "001");
  const std::string config = dir.File("servidor.conf");
  Write(config, "# o do serviço\nlisten = 127.0.0.1:8061\ndb = " + db + "\n");
  const std::string broken = dir.File("quebrado.conf");
  Write(broken, "db\n");
  const std::string missing = dir.File("nenhum.conf");
  const std::string other = dir.File("outro.db");
  const std::string used = "kvr61400-server: banco de dados usado: \"" + db +
                           "\" (da linha 3 de \"" + config +
                           "\"; outro com --db BANCO ou --config ARQUIVO).\n";
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out, err;
  } cases[] = {
      {{"conta", "list", "--config", config}, 0,
       "CODIGO BANCO AGENCIA CONTA      TIPO  MASCARA\n001    341           12345001   C     \n", ""},
      // --db wins over the file, and is not repeated in the error.
      {{"conta", "list", "--config", config, "--db", other}, 1, "",
       "kvr61400-server: O banco de dados \"" + other +
           "\" não existe. Confira o caminho dado em --db (serve e conta add criam o banco).\n"},
      {{"conta", "remove", "--codigo", "009", "--config", config}, 1, "",
       "kvr61400-server: Conta corrente de código \"009\" não cadastrada.\n" + used},
      {{"conta", "list", "--config", broken}, 64, "",
       "kvr61400-server: \"" + broken +
           "\", linha 1: falta o valor de \"db\"; escreva db = valor. Veja kvr61400-server "
           "conta list --help.\n"},
  };
  for (const Case& c : cases) {
    CommandResult result = RunServerCommand(c.args);
    EXPECT_EQ(c.code, result.code) << c.args.back();
    EXPECT_EQ(c.out, result.out);
    EXPECT_EQ(c.err, result.err);
  }
  // A file that cannot be read says how to go on.
  CommandResult unread = RunServerCommand({"extrato", "list", "--config", missing});
  EXPECT_EQ(1, unread.code);
  EXPECT_NE(std::string::npos, unread.err.find("\"" + missing + "\""));
  EXPECT_NE(std::string::npos, unread.err.find("(sudo -u kvr61400 kvr61400-server ...) ou passe --db BANCO."));
  // The help says which database the command would use.
  CommandResult help = RunServerCommand({"auditoria", "--help", "--config", config});
  EXPECT_EQ(0, help.code);
  EXPECT_NE(std::string::npos,
            help.out.find("\nBanco de dados agora: \"" + db + "\" (da linha 3 de \"" + config +
                          "\").\n"))
      << help.out;
}

TEST(AdminDatabase, ServeThatNeverListensLeavesNoNewDatabase) {
  testing::TempDir dir;
  // A port another socket holds.
  const int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(holder, 1));
  socklen_t length = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string taken = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  const std::string kept = dir.File("existente.db");
  AddAccount(kept, "001");
  struct Case {
    std::string db;
    std::vector<std::string> options;
    int code;
    bool remains;
  } cases[] = {
      {dir.File("porta.db"), {"--listen", taken}, 1, false},
      // Refused after the database was opened: no key for a listen beyond loopback.
      {dir.File("chave.db"), {"--listen", "0.0.0.0:0", "--sem-tls"}, 64, false},
      {kept, {"--listen", taken}, 1, true},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"serve", "--db", c.db};
    args.insert(args.end(), c.options.begin(), c.options.end());
    CommandResult result = RunServerCommand(args);
    EXPECT_EQ(c.code, result.code) << result.err;
    EXPECT_EQ(c.remains, std::filesystem::exists(c.db)) << c.db;
    EXPECT_FALSE(std::filesystem::exists(c.db + "-wal")) << c.db;
    EXPECT_FALSE(std::filesystem::exists(c.db + "-shm")) << c.db;
  }
  EXPECT_EQ("001 ", Codes(kept));
  close(holder);
}

TEST(AdminBackup, RestoresOnlyACheckedCopyOfAnUnservedDatabase) {
  testing::TempDir dir;
  const std::string db = dir.File("kvr.db");
  AddAccount(db, "001");
  const std::string folder = dir.File("copias");
  std::filesystem::create_directory(folder);
  CommandResult backup = RunServerCommand({"backup", "--db", db, "--para", folder});
  ASSERT_EQ(0, backup.code) << backup.err;
  std::vector<std::filesystem::path> copies(std::filesystem::directory_iterator(folder), {});
  ASSERT_EQ(1u, copies.size());
  const std::string copy = copies[0].string();
  EXPECT_EQ(0u, copies[0].filename().string().rfind("kvr-", 0)) << copy;
  AddAccount(db, "002");

  // Copies that must not replace the database.
  const std::string garbage = dir.File("lixo.db");
  Write(garbage, std::string(4096, 'x'));
  const std::string foreign = dir.File("alheio.db");
  Sql(foreign, "CREATE TABLE T (X)");
  const std::string newer = dir.File("novo.db");
  std::filesystem::copy_file(copy, newer);
  Sql(newer, "INSERT INTO VERSAOESQUEMA (NRVERSAO) VALUES (99)");
  ASSERT_EQ("99", Sql(newer, "SELECT MAX(NRVERSAO) FROM VERSAOESQUEMA"));
  struct Case {
    std::string copy;
    std::string says;
  } refused[] = {
      {garbage, "não serve: file is not a database. Nada foi alterado."},
      {foreign, "não é um banco do kvr61400-server (falta a tabela CONTCORR)"},
      {newer, "Nada foi alterado."},
      {dir.File("nenhuma.db"), "não existe."},
  };
  for (const Case& c : refused) {
    CommandResult result = RunServerCommand({"restaurar", "--de", c.copy, "--db", db});
    EXPECT_EQ(1, result.code) << c.copy;
    EXPECT_NE(std::string::npos, result.err.find(c.says)) << result.err;
    EXPECT_EQ("001 002 ", Codes(db));
    EXPECT_FALSE(std::filesystem::exists(db + ".restaurando"));
  }
  {
    ServerProcess server(db);
    server.Start();
    CommandResult busy = RunServerCommand({"restaurar", "--de", copy, "--db", db});
    EXPECT_EQ(1, busy.code);
    EXPECT_NE(std::string::npos, busy.err.find("está em uso por um kvr61400-server")) << busy.err;
  }
  EXPECT_EQ("001 002 ", Codes(db));

  // A -wal left by the database being replaced (a server killed before it
  // wrote it into the file) must not be read into the restored one.
  std::string stale;
  {
    sqlite3* open = nullptr;
    sqlite3_open(db.c_str(), &open);
    sqlite3_exec(open, "PRAGMA wal_autocheckpoint = 0; CREATE TABLE ESTRANHA (X);"
                       "INSERT INTO ESTRANHA VALUES (1)",
                 nullptr, nullptr, nullptr);
    stale = Read(db + "-wal");
    sqlite3_close(open);
  }
  ASSERT_FALSE(stale.empty());
  Write(db + "-wal", stale);

  CommandResult restored = RunServerCommand({"restaurar", "--de", copy, "--db", db});
  ASSERT_EQ(0, restored.code) << restored.err;
  EXPECT_EQ(0u, restored.out.find("Banco \"" + db + "\" restaurado de \"" + copy +
                                  "\": 1 conta corrente, 0 extratos.\nO banco substituído ficou "
                                  "em \"" + db + ".anterior-"))
      << restored.out;
  EXPECT_EQ("001 ", Codes(db));
  EXPECT_EQ("ok", Sql(db, "PRAGMA integrity_check"));
  EXPECT_EQ("0", Sql(db, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'ESTRANHA'"));
  // The database replaced is kept whole, its -wal beside it.
  const std::string kept =
      db + ".anterior-" + restored.out.substr(restored.out.rfind(".anterior-") + 10, 17);
  EXPECT_EQ("001 002 ", Codes(kept));
  EXPECT_EQ("1", Sql(kept, "SELECT COUNT(*) FROM ESTRANHA"));
}

}  // namespace
}  // namespace kvr
