// The server on each storage engine as administrators run it: several
// processes on one database, schema versions, databases that are missing,
// a PostgreSQL restart under a live server, and copies between engines.
#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "host/net_connection.h"
#include "import_module.h"
#include "open_store.h"
#include "packets.h"
#include "pg_cluster.h"
#include "server_process.h"
#include "temp_dir.h"

namespace kvr {
namespace {

using testing::CommandResult;
using testing::Engine;
using testing::Header;
using testing::ManyMovements;
using testing::Mov;
using testing::Movements;
using testing::PgCluster;
using testing::RunServerCommand;
using testing::ServerProcess;

std::string DatabaseName(const std::string& uri) {
  return uri.substr(uri.rfind('/') + 1);
}

// How the server names a database in its messages.
std::string Label(Engine engine, const std::string& db) {
  if (engine == Engine::kSqlite) return "\"" + db + "\"";
  return "PostgreSQL \"" + DatabaseName(db) +
         "\" em 127.0.0.1:" + std::to_string(PgCluster::Get().Port());
}

std::unique_ptr<TNetConnection> Connect(int port) {
  auto net = std::make_unique<TNetConnection>(nullptr);
  net->ServerName = "kvr61400.rdmImportOFX";
  net->Host = "127.0.0.1";
  net->Port = port;
  net->SetConnected(true);
  return net;
}

void AddAccount(const std::string& db, const std::string& code = "001") {
  CommandResult result = RunServerCommand(
      {"conta", "add", "--codigo", code, "--banco", "341", "--agencia", "1234", "--conta", "123456",
       "--tipo", code == "001" ? "C" : "L", "--mascara", "99999-9", "--db", db});
  ASSERT_EQ(0, result.code) << result.err;
}

nlohmann::json Json(const std::vector<std::string>& args) {
  CommandResult result = RunServerCommand(args);
  EXPECT_EQ(0, result.code) << result.err;
  return result.code == 0 ? nlohmann::json::parse(result.out) : nlohmann::json();
}

class StorageEngineTest : public ::testing::TestWithParam<Engine> {
 protected:
  testing::TempDir dir_;
  std::string db_ = testing::NewDatabase(GetParam(), dir_.File("servidor.db"));
};

INSTANTIATE_TEST_SUITE_P(Engines, StorageEngineTest,
                         ::testing::Values(Engine::kSqlite, Engine::kPostgres),
                         testing::EngineName());

TEST_P(StorageEngineTest, ThreeServersOneDatabaseTwelveRacingStoresStoreOnce) {
  AddAccount(db_);
  std::vector<std::unique_ptr<ServerProcess>> servers;
  for (int i = 0; i < 3; ++i) {
    servers.push_back(std::make_unique<ServerProcess>(db_));
    servers.back()->Start();
  }
  const nlohmann::json header = Header();
  const nlohmann::json movements = ManyMovements(2000);
  std::atomic<int> stored{0}, refused{0}, ready{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 12; ++i)
    clients.emplace_back([&, port = servers[static_cast<size_t>(i % 3)]->Port()] {
      auto net = Connect(port);
      ++ready;
      while (ready.load() < 12) std::this_thread::yield();
      TServerResult result = net->Call(
          "SetExtratoBancario", {TServerArg::Packet(header), TServerArg::Packet(movements), true});
      (result.Payload() == true ? stored : refused)++;
    });
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(1, stored.load());
  EXPECT_EQ(11, refused.load());
  nlohmann::json statements = Json({"extrato", "list", "--json", "--db", db_});
  ASSERT_EQ(1u, statements.size());
  EXPECT_EQ(2000, statements[0]["MOVIMENTOS"]);
}

TEST_P(StorageEngineTest, NewerSchemaIsRefusedAtStart) {
  AddAccount(db_);
  if (GetParam() == Engine::kSqlite) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(db_.c_str(), &db));
    EXPECT_EQ(SQLITE_OK,
              sqlite3_exec(db, "UPDATE VERSAOESQUEMA SET NRVERSAO = 3", nullptr, nullptr, nullptr));
    sqlite3_close(db);
  } else {
    PgCluster::Get().Execute(DatabaseName(db_), "UPDATE VERSAOESQUEMA SET NRVERSAO = 3");
  }
  CommandResult result = RunServerCommand({"serve", "--listen", "127.0.0.1:0", "--db", db_});
  EXPECT_EQ(1, result.code);
  EXPECT_EQ("kvr61400-server: O banco de dados " + Label(GetParam(), db_) +
                " tem as tabelas na versão 3, mais nova que a desta versão do kvr61400-server "
                "(2). Atualize o kvr61400-server antes de usá-lo com este banco.\n",
            result.err);
}

TEST_P(StorageEngineTest, ListingAndShowingNeverCreateADatabase) {
  // A SQLite file that is not there; a PostgreSQL database without tables.
  const std::string missing = GetParam() == Engine::kSqlite ? dir_.File("digitado-errado.db") : db_;
  const std::string expected =
      GetParam() == Engine::kSqlite
          ? "kvr61400-server: O banco de dados \"" + missing +
                "\" não existe. Confira o caminho dado em --db (serve e conta add criam o "
                "banco).\n"
          : "kvr61400-server: O banco de dados " + Label(GetParam(), db_) +
                " não tem as tabelas do kvr61400-server (serve e conta add as criam).\n";
  const std::vector<std::string> commands[] = {
      {"conta", "list"}, {"extrato", "list", "--json"}, {"extrato", "show", "1"}};
  for (std::vector<std::string> args : commands) {
    args.insert(args.end(), {"--db", missing});
    CommandResult result = RunServerCommand(args);
    EXPECT_EQ(1, result.code) << args[0] << " " << args[1];
    EXPECT_EQ(expected, result.err) << args[0] << " " << args[1];
  }
  if (GetParam() == Engine::kSqlite)
    EXPECT_FALSE(std::filesystem::exists(missing));
  else
    EXPECT_EQ("f", PgCluster::Get().Execute(DatabaseName(db_),
                                            "SELECT to_regclass('contcorr') IS NOT NULL"));
}

TEST_P(StorageEngineTest, StatementTableShowsAmountsGroupedWithTwoDecimals) {
  AddAccount(db_);
  {
    // Negative amounts as servers stored them before packets had to carry
    // absolute values: shown as they are.
    auto row_of = [](const nlohmann::json& values) {
      server::Row row;
      for (const nlohmann::json& v : values)
        row.push_back(v.is_string()   ? server::Cell(v.get<std::string>())
                      : v.is_number() ? server::Cell(v.get<double>())
                                      : server::Cell());
      return row;
    };
    nlohmann::json header = Header();
    header["rows"][0][4] = nullptr;
    header["rows"][0][5] = -1234567.89;
    header["rows"][0][7] = "D";
    const nlohmann::json packet =
        Movements({Mov{.value = 0.1}, Mov{.value = -1234567.89, .document = "2", .fitid = "F2"},
                   Mov{.value = 1000000.0, .document = "3", .fitid = "F3"}});
    std::vector<server::Row> movements;
    for (const nlohmann::json& row : packet["rows"]) movements.push_back(row_of(row));
    server::Statement statement{row_of(header["rows"][0]),
                                server::PackedRows(MovExtrLayout(), movements), "001"};
    std::unique_ptr<server::Store> store = server::OpenStore(db_, false);
    ASSERT_TRUE(store->StoreIfNew(statement));
  }
  CommandResult shown = RunServerCommand({"extrato", "show", "1", "--db", db_});
  ASSERT_EQ(0, shown.code) << shown.err;
  EXPECT_EQ(
      "EXTRATO CONTA BANCO/NUMERO    PERIODO                  SALDO INICIAL     SALDO FINAL       "
      "MOVIMENTOS\n"
      "1       001   341/123456      01/01/2024 a 31/01/2024  - C               -1.234.567,89 D   "
      "3\n\n"
      "SEQ    DATA       DOCUMENTO            TIPO VALOR           FITID      DESCRICAO\n"
      "1      05/01/2024 1                    D    0,10            F1         Pagamento\n"
      "2      05/01/2024 2                    D    -1.234.567,89   F2         Pagamento\n"
      "3      05/01/2024 3                    D    1.000.000,00    F3         Pagamento\n",
      shown.out);
}

TEST(SqliteStorage, ErrorsArePortugueseAndNameTheFile) {
  testing::TempDir dir;
  const std::string text_file = dir.File("anotacoes.txt");
  std::FILE* file = std::fopen(text_file.c_str(), "w");
  std::fputs("isto não é um banco de dados, é um texto bem mais longo que um cabeçalho\n", file);
  std::fclose(file);
  CommandResult not_a_database = RunServerCommand({"conta", "list", "--db", text_file});
  EXPECT_EQ(1, not_a_database.code);
  EXPECT_EQ("kvr61400-server: Erro no banco de dados \"" + text_file +
                "\" ao abrir o banco: o arquivo não é um banco de dados SQLite.\n",
            not_a_database.err);
  CommandResult no_folder =
      RunServerCommand({"serve", "--listen", "127.0.0.1:0", "--db", dir.File("falta/kvr61400.db")});
  EXPECT_EQ(1, no_folder.code);
  EXPECT_EQ("kvr61400-server: Não foi possível abrir o banco de dados \"" +
                dir.File("falta/kvr61400.db") +
                "\": não foi possível abrir o arquivo (confira se a pasta existe e as "
                "permissões).\n",
            no_folder.err);
}

TEST(SqliteStorage, DatabaseOfTheFirstVersionIsMigrated) {
  testing::TempDir dir;
  const std::string db = dir.File("antigo.db");
  sqlite3* handle = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(db.c_str(), &handle));
  // The tables as the server made them before their version was kept.
  ASSERT_EQ(SQLITE_OK,
            sqlite3_exec(handle,
                         "CREATE TABLE CONTCORR (CDREDUCONT VARCHAR(3) NOT NULL PRIMARY KEY, "
                         "CDBANCO VARCHAR(3) NOT NULL, CDAGENCIA VARCHAR(5), CDCONTCORR "
                         "VARCHAR(10) NOT NULL, CDPICTCONT VARCHAR(20), IDTIPOCCORR VARCHAR(20));"
                         "CREATE TABLE EXTRBANCO (CDSEQUEXTR INTEGER NOT NULL PRIMARY KEY, "
                         "CDREDUCONT VARCHAR(3) NOT NULL, DTSALDINIC VARCHAR(23), DTSALDFIN "
                         "VARCHAR(23), VRSALDINIC DOUBLE PRECISION, VRSALDFIM DOUBLE PRECISION, "
                         "IDEXTRINI VARCHAR(1), IDEXTRFIM VARCHAR(1));"
                         "CREATE INDEX EXTRBANCO_PERIODO ON EXTRBANCO (CDREDUCONT, DTSALDINIC, "
                         "DTSALDFIN);"
                         "INSERT INTO CONTCORR VALUES ('007', '341', '1', '99', '', 'C');",
                         nullptr, nullptr, nullptr));
  sqlite3_close(handle);
  CommandResult listed = RunServerCommand({"conta", "list", "--db", db});
  ASSERT_EQ(0, listed.code) << listed.err;
  EXPECT_EQ(
      "CODIGO BANCO AGENCIA CONTA      TIPO  MASCARA\n"
      "007    341   1       99         C     \n",
      listed.out);
  ASSERT_EQ(SQLITE_OK, sqlite3_open(db.c_str(), &handle));
  sqlite3_stmt* query = nullptr;
  sqlite3_prepare_v2(handle,
                     "SELECT (SELECT NRVERSAO FROM VERSAOESQUEMA), (SELECT \"unique\" FROM "
                     "pragma_index_list('EXTRBANCO') WHERE name = 'EXTRBANCO_PERIODO')",
                     -1, &query, nullptr);
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(query));
  EXPECT_EQ(2, sqlite3_column_int(query, 0));
  EXPECT_EQ(1, sqlite3_column_int(query, 1));
  sqlite3_finalize(query);
  sqlite3_close(handle);
}

TEST(PostgreSQLRestart, CallInFlightFailsNothingHalfStoredNextCallReconnects) {
  PgCluster& cluster = PgCluster::Get();
  const std::string db = cluster.NewDatabase();
  AddAccount(db);
  ServerProcess server(db);
  server.Start();
  auto net = Connect(server.Port());
  EXPECT_EQ(1u, net->Call("GetContaCorrente", {"341", "123456"}).Payload()["rows"].size());

  // Hold the movements table so that the store waits with its header
  // written, then restart the database under it.
  PGconn* holder = PQconnectdb(cluster.Uri(DatabaseName(db)).c_str());
  ASSERT_EQ(CONNECTION_OK, PQstatus(holder));
  PQclear(PQexec(holder, "BEGIN; LOCK TABLE movextrbanco IN SHARE MODE"));
  const std::string body = nlohmann::json{{"jsonrpc", "2.0"},
                                          {"id", 1},
                                          {"method", "SetExtratoBancario"},
                                          {"params", {Header(), ManyMovements(100000), true}}}
                               .dump();
  std::string reply;
  std::thread client([&] {
    httplib::Client http("127.0.0.1", server.Port());
    http.set_read_timeout(120, 0);
    if (auto answer = http.Post("/kvr61400.rdmImportOFX", body, "application/json"))
      reply = answer->body;
  });
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < give_up &&
         cluster.Execute("postgres",
                         "SELECT COUNT(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' "
                         "AND query LIKE 'COPY%'") != "1")
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  cluster.Restart();
  client.join();
  PQfinish(holder);

  ASSERT_FALSE(reply.empty());
  EXPECT_EQ("Conexão com o banco de dados " + Label(Engine::kPostgres, db) +
                " perdida ao gravar os movimentos do extrato; a operação foi desfeita e nada "
                "foi gravado. Tente de novo.",
            nlohmann::json::parse(reply)["error"]["message"]);
  EXPECT_EQ("0", cluster.Execute(DatabaseName(db), "SELECT COUNT(*) FROM extrbanco"));
  // The server's other pooled connections died too; the next calls reconnect.
  EXPECT_EQ(1u, net->Call("GetContaCorrente", {"341", "123456"}).Payload()["rows"].size());
  EXPECT_EQ(true, net->Call("SetExtratoBancario", {TServerArg::Packet(Header()),
                                                   TServerArg::Packet(ManyMovements(100000)), true})
                      .Payload());
  nlohmann::json statements = Json({"extrato", "list", "--json", "--db", db});
  ASSERT_EQ(1u, statements.size());
  EXPECT_EQ(100000, statements[0]["MOVIMENTOS"]);
}

TEST(PostgreSQLCopy, BothWaysKeepEverythingAndRefuseATargetWithData) {
  testing::TempDir dir;
  const std::string origin = dir.File("origem.db");
  {
    std::unique_ptr<server::Store> store = server::OpenStore(origin, true);
    store->AddAccount({"001", "341", "1234", "123456", "C", "99999-9"});
    store->AddAccount({"002", "237", "", "55", "L", ""});
    server::ImportModule module(*store);
    ASSERT_TRUE(module.SetExtratoBancario(
        Header(),
        Movements({Mov{.value = 0.1, .memo = "Dep\xC3\xB3sito\tcom tab\\barra"},
                   Mov{.value = 1234567.89, .document = "2", .fitid = "F2"}}),
        true));
    ASSERT_TRUE(module.SetExtratoBancario(Header("002", "2023-01-01", "2023-01-31"),
                                          ManyMovements(300, "002", "M", "2023"), true));
  }
  const std::string pg = PgCluster::Get().NewDatabase();
  CommandResult there = RunServerCommand({"copiar", "--de", origin, "--para", pg});
  ASSERT_EQ(0, there.code) << there.err;
  EXPECT_EQ("Copiados de \"" + origin + "\" para " + Label(Engine::kPostgres, pg) +
                ": 2 contas correntes, 2 extratos e 302 movimentos.\n",
            there.out);
  // Amounts keep their exact decimal on PostgreSQL.
  EXPECT_EQ("0.1,1234567.89",
            PgCluster::Get().Execute(DatabaseName(pg),
                                     "SELECT string_agg(VRMOVREAL::text, ',' ORDER BY "
                                     "NRSEQMOVREAL) FROM movextrbanco WHERE CDSEQUEXTR = 1"));
  const std::string back = dir.File("volta.db");
  CommandResult again = RunServerCommand({"copiar", "--de", pg, "--para", back});
  ASSERT_EQ(0, again.code) << again.err;

  for (const std::string& db : {pg, back}) {
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"conta", "list", "--json"},
                                               {"extrato", "list", "--json"},
                                               {"extrato", "show", "1", "--json"},
                                               {"extrato", "show", "2", "--json"}}) {
      std::vector<std::string> from_origin = args;
      from_origin.insert(from_origin.end(), {"--db", origin});
      args.insert(args.end(), {"--db", db});
      EXPECT_EQ(Json(from_origin), Json(args)) << args[0] << " " << args[1] << " on " << db;
    }
  }
  CommandResult refused = RunServerCommand({"copiar", "--de", back, "--para", pg});
  EXPECT_EQ(1, refused.code);
  EXPECT_EQ("kvr61400-server: O banco de dados de destino " + Label(Engine::kPostgres, pg) +
                " já tem dados (contas correntes: 2, extratos: 2); a cópia só é feita para um "
                "banco vazio.\n",
            refused.err);
  // Statements stored after the copy are numbered after the copied ones.
  std::unique_ptr<server::Store> store = server::OpenStore(pg, false);
  server::ImportModule module(*store);
  ASSERT_TRUE(module.SetExtratoBancario(Header("001", "2024-03-01", "2024-03-31"),
                                        Movements({Mov{.date = "2024-03-02"}}), true));
  EXPECT_EQ(3, store->ListStatements().back().seq);
}

}  // namespace
}  // namespace kvr
