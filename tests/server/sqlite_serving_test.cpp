// kvr61400-server serving a SQLite file: one server per file while the
// administration commands go on, look-ups and listings beside a large store,
// and the modes of the files the server creates.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <stdexcept>
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

// The permission bits of path, or -1 when nothing is there.
int Mode(const std::string& path) {
  struct stat status{};
  return stat(path.c_str(), &status) == 0 ? static_cast<int>(status.st_mode & 0777) : -1;
}

// The process's umask set to mask for as long as the object lives.
class Umask {
 public:
  explicit Umask(mode_t mask) : saved_(umask(mask)) {}
  ~Umask() { umask(saved_); }
  Umask(const Umask&) = delete;
  Umask& operator=(const Umask&) = delete;

 private:
  mode_t saved_;
};

CommandResult AddAccount(const std::string& db, const std::string& code) {
  return RunServerCommand({"conta", "add", "--codigo", code, "--banco", "341", "--agencia", "1234",
                           "--conta", "123456", "--tipo", code == "001" ? "C" : "L", "--mascara",
                           "99999-9", "--db", db});
}

std::unique_ptr<TNetConnection> Connect(int port) {
  auto net = std::make_unique<TNetConnection>(nullptr);
  net->ServerName = "kvr61400.rdmImportOFX";
  net->Host = "127.0.0.1";
  net->Port = port;
  net->SetConnected(true);
  return net;
}

// True while some connection holds the write lock of the file at db.
bool WriteLockHeld(const std::string& db) {
  sqlite3* probe = nullptr;
  if (sqlite3_open_v2(db.c_str(), &probe, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(probe);
    throw std::runtime_error("cannot open " + db);
  }
  const int rc = sqlite3_exec(probe, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) sqlite3_exec(probe, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(probe);
  return rc == SQLITE_BUSY;
}

TEST(SqliteServing, SecondServerOnTheFileIsRefusedWhileAdministrationGoesOn) {
  Umask everyone_may_read(022);
  testing::TempDir dir;
  const std::string db = dir.File("loja.db");
  CommandResult added = AddAccount(db, "001");
  ASSERT_EQ(0, added.code) << added.err;
  ServerProcess first(db);
  first.Start();

  ServerProcess second(db);
  EXPECT_THROW(second.Start(), std::runtime_error);
  // Ended already, unless it serves: then it ends here with 0.
  second.Signal(SIGTERM);
  EXPECT_EQ(1, second.Wait());
  EXPECT_EQ(std::vector<std::string>{
                "kvr61400-server: O banco de dados \"" + db +
                "\" já é servido por outro kvr61400-server: um arquivo SQLite atende um servidor "
                "só. Encerre o outro servidor, ou, para vários servidores num banco, use "
                "PostgreSQL (--db postgresql://...; kvr61400-server copiar --de ARQUIVO --para "
                "postgresql://... leva os dados)."},
            second.Log());

  // Administration beside the server, writing included.
  EXPECT_EQ(0, AddAccount(db, "002").code);
  CommandResult listed = RunServerCommand({"conta", "list", "--db", db});
  EXPECT_EQ(0, listed.code) << listed.err;
  EXPECT_NE(std::string::npos, listed.out.find("\n002 ")) << listed.out;
  auto net = Connect(first.Port());
  EXPECT_EQ(true, net->Call("SetExtratoBancario", {TServerArg::Packet(Header()),
                                                   TServerArg::Packet(ManyMovements(50)), true})
                      .Payload());

  // The database and SQLite's files beside it: the owner's only, although
  // the umask lets everyone read new files.
  for (const char* suffix : {"", "-wal", "-shm"})
    EXPECT_EQ(0600, Mode(db + suffix)) << "loja.db" << suffix;

  // The file is free again once its server has ended.
  first.Signal(SIGTERM);
  EXPECT_EQ(0, first.Wait());
  ServerProcess third(db);
  EXPECT_NO_THROW(third.Start());
}

TEST(SqliteServing, LookUpsAndListingsAnswerWhileALargeStoreIsInProgress) {
  testing::TempDir dir;
  const std::string db = dir.File("mes.db");
  CommandResult added = AddAccount(db, "001");
  ASSERT_EQ(0, added.code) << added.err;
  ServerProcess server(db);
  server.Start();

  const int kMovements = 200000;
  const std::string body = StoreCallBody(kMovements);
  testing::BackgroundPost clerk(server.Port(), body);
  ASSERT_TRUE(testing::WaitUntil(std::chrono::seconds(60), [&] { return WriteLockHeld(db); },
                                 std::chrono::milliseconds(1)))
      << "the store never took the write lock";

  // Nothing of the store in progress is seen, and nothing waits for it.
  auto net = Connect(server.Port());
  EXPECT_EQ(1u, net->Call("GetContaCorrente", {"341", "123456"}).Payload()["rows"].size());
  CommandResult statements = RunServerCommand({"extrato", "list", "--json", "--db", db});
  EXPECT_EQ(0, statements.code) << statements.err;
  EXPECT_EQ("[]\n", statements.out);
  CommandResult continuity =
      RunServerCommand({"extrato", "continuidade", "--json", "--db", db});
  EXPECT_EQ(0, continuity.code) << continuity.err;
  EXPECT_TRUE(WriteLockHeld(db)) << "the store ended before the listings were done";

  const std::string& answer = clerk.Reply();
  EXPECT_NE(std::string::npos, answer.find("\"result\":true")) << answer.substr(0, 300);
  statements = RunServerCommand({"extrato", "list", "--json", "--db", db});
  ASSERT_EQ(0, statements.code) << statements.err;
  EXPECT_EQ(kMovements, nlohmann::json::parse(statements.out).at(0)["MOVIMENTOS"]);
}

}  // namespace
}  // namespace kvr
