#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "background_post.h"
#include "host/net_connection.h"
#include "packets.h"
#include "server_process.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace kvr {
namespace {

using testing::CommandResult;
using testing::Header;
using testing::ManyMovements;
using testing::RunServerCommand;
using testing::ServerProcess;
using testing::StoreCallBody;

// The first column of the first row of sql on the SQLite file path.
std::string Query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string value = "(não abriu)";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* query = nullptr;
    value = "(erro: " + std::string(sqlite3_errmsg(db)) + ")";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW)
      value = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
    sqlite3_finalize(query);
  }
  sqlite3_close(db);
  return value;
}

std::string Read(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// A copy taken while a large statement is being stored is a sound database
// holding every statement answered before it began, and the one in flight
// whole or not at all; owner-only under a lax umask.
TEST(ServerBackup, CopyDuringAStoreHoldsEveryStatementAnsweredBefore) {
  testing::TempDir dir;
  const std::string db = dir.File("kvr61400.db");
  CommandResult added = RunServerCommand({"conta", "add", "--db", db, "--codigo", "001", "--banco",
                                          "341", "--agencia", "1234", "--conta", "123456",
                                          "--tipo", "C", "--mascara", "99999-9"});
  ASSERT_EQ(0, added.code) << added.err;
  ServerProcess server(db);
  server.Start();
  TNetConnection net(nullptr);
  net.ServerName = "kvr61400.rdmImportOFX";
  net.Host = "127.0.0.1";
  net.Port = server.Port();
  net.SetConnected(true);
  for (const char* year : {"2022", "2023"}) {
    const nlohmann::json header =
        Header("001", std::string(year) + "-01-01T00:00:00", std::string(year) + "-01-31T00:00:00");
    ASSERT_EQ(true, net.Call("SetExtratoBancario",
                             {TServerArg::Packet(header),
                              TServerArg::Packet(ManyMovements(300, "001", year, year)), true})
                        .Payload());
  }

  const int kInFlight = 100000;
  const std::string body = StoreCallBody(kInFlight);
  testing::BackgroundPost client(server.Port(), body);
  // The store's write transaction spills into the WAL file as it goes.
  std::error_code missing;
  ASSERT_TRUE(testing::WaitUntil(
      std::chrono::seconds(60),
      [&] { return std::filesystem::file_size(db + "-wal", missing) >= 4u * 1024 * 1024; },
      std::chrono::milliseconds(1)))
      << "the store never wrote 4 MiB into the WAL";
  const mode_t before = umask(022);
  CommandResult backup = RunServerCommand({"backup", "--db", db, "--para", dir.File("copia.db")});
  umask(before);
  client.Reply();
  ASSERT_EQ(0, backup.code) << backup.err;

  const std::string copy = dir.File("copia.db");
  struct stat info {};
  ASSERT_EQ(0, stat(copy.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  EXPECT_EQ("ok", Query(copy, "PRAGMA integrity_check"));
  EXPECT_EQ("1", Query(copy, "SELECT COUNT(*) FROM CONTCORR"));
  EXPECT_EQ("300", Query(copy, "SELECT COUNT(*) FROM MOVEXTRBANCO m JOIN EXTRBANCO e ON "
                               "e.CDSEQUEXTR = m.CDSEQUEXTR WHERE e.DTSALDINIC LIKE '2022%'"));
  EXPECT_EQ("300", Query(copy, "SELECT COUNT(*) FROM MOVEXTRBANCO m JOIN EXTRBANCO e ON "
                               "e.CDSEQUEXTR = m.CDSEQUEXTR WHERE e.DTSALDINIC LIKE '2023%'"));
  const std::string in_flight =
      Query(copy, "SELECT COUNT(*) FROM MOVEXTRBANCO m JOIN EXTRBANCO e ON "
                  "e.CDSEQUEXTR = m.CDSEQUEXTR WHERE e.DTSALDINIC LIKE '2024%'");
  EXPECT_TRUE(in_flight == "0" || in_flight == "100000") << in_flight;
  EXPECT_EQ(in_flight == "0" ? "2" : "3", Query(copy, "SELECT COUNT(*) FROM EXTRBANCO"));
  // The source still serves, the store in flight done.
  EXPECT_EQ("3", Query(db, "SELECT COUNT(*) FROM EXTRBANCO"));
}

TEST(ServerBackup, RefusesWhatItCannotCopySoundly) {
  testing::TempDir dir;
  const std::string db = dir.File("kvr61400.db");
  ASSERT_EQ(0, RunServerCommand({"conta", "add", "--db", db, "--codigo", "001", "--banco", "341",
                                 "--agencia", "", "--conta", "1", "--tipo", "C", "--mascara", ""})
                   .code);
  std::ofstream(dir.File("existe.db")) << "outro arquivo";
  std::ofstream(dir.File("texto.txt")) << "não é um banco de dados";
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {{"--db", db, "--para", dir.File("existe.db")}, 1,
       "já existe; escolha outro nome para a cópia"},
      {{"--db", "postgresql://kvr@127.0.0.1:1/kvr61400", "--para", dir.File("pg.db")}, 64,
       "para PostgreSQL use pg_dump"},
      {{"--db", dir.File("falta.db"), "--para", dir.File("a.db")}, 1, "não existe."},
      {{"--db", dir.File("texto.txt"), "--para", dir.File("b.db")}, 1,
       "não é um banco do kvr61400-server"},
      {{"--db", db, "--para", dir.File("nenhuma") + "/c.db"}, 1,
       "não foi possível criar a cópia"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"backup"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(args[2]);
    CommandResult result = RunServerCommand(args);
    EXPECT_EQ(c.code, result.code) << result.err;
    EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
  }
  EXPECT_EQ("outro arquivo", Read(dir.File("existe.db")));
  for (const char* name : {"pg.db", "a.db", "b.db"})
    EXPECT_FALSE(std::filesystem::exists(dir.File(name))) << name;
  EXPECT_FALSE(std::filesystem::exists(dir.File("falta.db")));
}

}  // namespace
}  // namespace kvr
