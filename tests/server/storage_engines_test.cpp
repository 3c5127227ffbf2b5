// The server on each storage engine as administrators run it: several
// processes on one database, schema versions, databases that are missing,
// a PostgreSQL restart under a live server, and copies between engines.
#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "background_post.h"
#include "host/net_connection.h"
#include "rpc/import_module.h"
#include "store/open_store.h"
#include "module_calls.h"
#include "packets.h"
#include "pg_cluster.h"
#include "server_process.h"
#include "store/sql_schema.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace kvr {
namespace {

using server::kSchemaVersion;
using testing::CommandJson;
using testing::CommandResult;
using testing::Engine;
using testing::Header;
using testing::ManyMovements;
using testing::Mov;
using testing::Movements;
using testing::PgCluster;
using testing::RunServerCommand;
using testing::ServerProcess;
using testing::StoreCallBody;

std::string DatabaseName(const std::string& uri) {
  return uri.substr(uri.rfind('/') + 1);
}

// How the server names a database in its messages.
std::string Label(Engine engine, const std::string& db) {
  if (engine == Engine::kSqlite) return "\"" + db + "\"";
  return "PostgreSQL \"" + DatabaseName(db) + "\" (socket local " +
         std::to_string(PgCluster::kPort) + ")";
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

class StorageEngineTest : public ::testing::TestWithParam<Engine> {
 protected:
  testing::TempDir dir_;
  std::string db_ = testing::NewDatabase(GetParam(), dir_.File("servidor.db"));
};

INSTANTIATE_TEST_SUITE_P(Engines, StorageEngineTest,
                         ::testing::Values(Engine::kSqlite, Engine::kPostgres),
                         testing::EngineName());

TEST_P(StorageEngineTest, ServersOfOneDatabaseTwelveRacingStoresStoreOnce) {
  AddAccount(db_);
  // Three servers on PostgreSQL; a SQLite file is served by one only.
  const int count = GetParam() == Engine::kSqlite ? 1 : 3;
  std::vector<std::unique_ptr<ServerProcess>> servers;
  for (int i = 0; i < count; ++i) {
    servers.push_back(std::make_unique<ServerProcess>(db_));
    servers.back()->Start();
  }
  const nlohmann::json header = Header();
  const nlohmann::json movements = ManyMovements(2000);
  std::atomic<int> stored{0}, refused{0}, ready{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 12; ++i)
    clients.emplace_back([&, port = servers[static_cast<size_t>(i % count)]->Port()] {
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
  nlohmann::json statements = CommandJson({"extrato", "list", "--json", "--db", db_});
  ASSERT_EQ(1u, statements.size());
  EXPECT_EQ(2000, statements[0]["MOVIMENTOS"]);
}

TEST_P(StorageEngineTest, AccountsRegisteredOneWayAreFoundWrittenTheOther) {
  // conta add options: code, bank, agency, number, mask, statement identifier.
  const std::vector<std::vector<std::string>> accounts = {
      {"A01", "001", "", "25475-4", "", ""},
      {"A02", "1", "", "70251-X", "", ""},
      {"A03", "237", "3590", "14902", "", ""},
      {"A04", "341", "", "0001234567", "", ""},
      {"A05", "341", "", "98765", "", ""},
      {"A06", "104", "0001", "123456", "", "0123400000123456"},
      {"A07", "gnt", "", "1234567-8", "9999999-9", ""},
      {"A08", "33", "", "12345-6", "99999-9", ""},
  };
  for (const auto& a : accounts) {
    CommandResult added = RunServerCommand({"conta", "add", "--codigo", a[0], "--banco", a[1],
                                            "--agencia", a[2], "--conta", a[3], "--mascara", a[4],
                                            "--id-extrato", a[5], "--tipo", "C", "--db", db_});
    ASSERT_EQ(0, added.code) << added.err;
  }
  struct Lookup {
    std::string bank, number;  // as the file writes them, or as the screen sends them
    std::string found;         // the codes found
  };
  const Lookup lookups[] = {
      {"1", "254754", "A01"},         {"001", "25475-4", "A01"},     {"0001", "0025475-4", "A01"},
      {"001", "70251-X", "A02"},      {"1", "702510", "A02"},        {"237", "3590/14902", "A03"},
      {"0237", "14902", "A03"},       {"237", "3591/14902", ""},     {"341", "1234567", "A04"},
      {"341", "0000098765", "A05"},   {"104", "0123400000123456", "A06"},
      {"104", "123400000123456", "A06"}, {"104", "123456", "A06"},  {"GNT", "12345678", "A07"},
      {"gnt", "1234567-8", "A07"},    {"033", "12345-6", "A08"},     {"33", "123456", "A08"},
      {"341", "1234568", ""},         {"237", "254754", ""},
  };
  std::unique_ptr<server::Store> store = server::OpenStore(db_, false);
  for (const Lookup& l : lookups) {
    std::string found;
    for (const server::Account& a : store->MatchAccounts(l.bank, l.number)) found += a.code;
    EXPECT_EQ(l.found, found) << l.bank << " " << l.number;
  }
  // The identifier is changed and removed by conta edit.
  ASSERT_EQ(0, RunServerCommand({"conta", "edit", "--codigo", "A06", "--id-extrato",
                                 "7777/0000123456", "--db", db_})
                   .code);
  EXPECT_EQ(1u, store->MatchAccounts("104", "7777/123456").size());
  EXPECT_EQ(0u, store->MatchAccounts("104", "0123400000123456").size());
  ASSERT_EQ(0, RunServerCommand({"conta", "edit", "--codigo", "A06", "--id-extrato", "", "--db", db_})
                   .code);
  EXPECT_EQ(0u, store->MatchAccounts("104", "7777/123456").size());
  // The same number written another way is the same account.
  CommandResult twin = RunServerCommand({"conta", "add", "--codigo", "A09", "--banco", "001",
                                         "--conta", "0254754", "--tipo", "C", "--db", db_});
  EXPECT_EQ(1, twin.code);
  EXPECT_EQ("kvr61400-server: A conta 0254754 do banco 001, tipo C, já está cadastrada com o "
            "código \"A01\".\n",
            twin.err);
}

// Accounts registered as real files write them, then looked up as the
// files write them and as the screen sends them.
TEST_P(StorageEngineTest, AccountFormsOfRealFilesAreRegisteredAndFound) {
  // conta add options: code, bank, agency, number, mask, statement identifier.
  const std::vector<std::vector<std::string>> accounts = {
      // The largest public bank's savings account and its variation.
      {"F01", "1", "3333-3", "11111-4", "", "11111-4/1"},
      // A plain account "1" of the same bank: no match for ".../1".
      {"F02", "001", "", "1", "", ""},
      // An agency with its check digit, a two-digit check digit.
      {"F03", "0380", "4343-5", "1459950-11", "", ""},
      // An account of zeros.
      {"F04", "212", "0001-9", "00000-0", "", ""},
      // 10 characters without the "-".
      {"F05", "33", "", "530619772-6", "999999999-9", ""},
  };
  for (const auto& a : accounts) {
    CommandResult added = RunServerCommand({"conta", "add", "--codigo", a[0], "--banco", a[1],
                                            "--agencia", a[2], "--conta", a[3], "--mascara", a[4],
                                            "--id-extrato", a[5], "--tipo", "C", "--db", db_});
    ASSERT_EQ(0, added.code) << a[3] << ": " << added.err;
  }
  struct Lookup {
    std::string bank, number;  // as the file writes them, or as the screen sends them
    std::string found;         // the codes found
  };
  const Lookup lookups[] = {
      {"1", "11111-4/1", "F01"},   {"1", "111114/1", "F01"},    {"001", "011111-4/01", "F01"},
      {"1", "111114/2", ""},       {"1", "9999/1", "F02"},      {"1", "1", "F02"},
      {"0380", "1459950-11", "F03"}, {"380", "145995011", "F03"}, {"0212", "00000-0", "F04"},
      {"212", "000000", "F04"},    {"212", "0", "F04"},         {"33", "530619772-6", "F05"},
      {"033", "5306197726", "F05"},
  };
  std::unique_ptr<server::Store> store = server::OpenStore(db_, false);
  for (const Lookup& l : lookups) {
    std::string found;
    for (const server::Account& a : store->MatchAccounts(l.bank, l.number)) found += a.code;
    EXPECT_EQ(l.found, found) << l.bank << " " << l.number;
  }
  // Stored as the columns hold them: the agency without its check digit.
  const nlohmann::json list = CommandJson({"conta", "list", "--json", "--db", db_});
  std::map<std::string, std::pair<std::string, std::string>> stored;
  for (const auto& a : list) stored[a["CDREDUCONT"]] = {a["CDAGENCIA"], a["CDCONTCORR"]};
  EXPECT_EQ(stored["F01"], std::make_pair(std::string("3333"), std::string("11111-4")));
  EXPECT_EQ(stored["F03"], std::make_pair(std::string("4343"), std::string("1459950-11")));
  EXPECT_EQ(stored["F05"], std::make_pair(std::string(""), std::string("5306197726")));
}

TEST_P(StorageEngineTest, NewerSchemaIsRefusedAtStart) {
  AddAccount(db_);
  const std::string newer =
      "INSERT INTO VERSAOESQUEMA (NRVERSAO) VALUES (" + std::to_string(kvr::server::kSchemaVersion + 1) + ")";
  if (GetParam() == Engine::kSqlite) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(db_.c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, newer.c_str(), nullptr, nullptr, nullptr));
    sqlite3_close(db);
  } else {
    PgCluster::Get().Execute(DatabaseName(db_), newer);
  }
  CommandResult result = RunServerCommand({"serve", "--listen", "127.0.0.1:0", "--db", db_});
  EXPECT_EQ(1, result.code);
  EXPECT_EQ("kvr61400-server: O banco de dados " + Label(GetParam(), db_) + " tem as tabelas na versão " +
                std::to_string(kvr::server::kSchemaVersion + 1) +
                ", mais nova que a desta versão do kvr61400-server (" + std::to_string(kvr::server::kSchemaVersion) +
                "). Atualize o kvr61400-server antes de usá-lo com este banco.\n",
            result.err);
}

TEST_P(StorageEngineTest, AStatementAndItsTrailRowAreCommittedTogether) {
  AddAccount(db_);
  // SQL run on the database beside the server, as an administrator would.
  const auto execute = [this](const std::string& sql) {
    if (GetParam() == Engine::kPostgres) {
      PgCluster::Get().Execute(DatabaseName(db_), sql);
      return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(db_.c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr))
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  };
  // A trigger that refuses every row of the trail while it exists.
  if (GetParam() == Engine::kSqlite)
    execute("CREATE TRIGGER trilha_fechada BEFORE INSERT ON AUDITORIA "
            "BEGIN SELECT RAISE(ABORT, 'trilha fechada'); END");
  else
    execute("CREATE FUNCTION trilha_fechada() RETURNS trigger LANGUAGE plpgsql AS "
            "$$ BEGIN RAISE EXCEPTION 'trilha fechada'; END $$; "
            "CREATE TRIGGER trilha_fechada BEFORE INSERT ON auditoria "
            "FOR EACH ROW EXECUTE FUNCTION trilha_fechada()");
  ServerProcess server(db_);
  server.Start();
  auto net = Connect(server.Port());
  const auto store = [&net] {
    return net->Call("SetExtratoBancario",
                     {TServerArg::Packet(Header()),
                      TServerArg::Packet(Movements(
                          {Mov{}, Mov{.value = 2.5, .document = "2", .fitid = "F2", .sign = "C"}})),
                      true});
  };

  // The trail refuses the row: the store fails and nothing is stored.
  TServerResult refused = store();
  EXPECT_TRUE(refused.Failed());
  EXPECT_NE(std::string::npos, refused.ErrorMessage().find(" ao gravar a trilha de auditoria: "))
      << refused.ErrorMessage();
  EXPECT_EQ(0u, CommandJson({"extrato", "list", "--json", "--db", db_}).size());

  // With the trail open again the same statement stores, with its row.
  execute("DROP TRIGGER trilha_fechada" +
          std::string(GetParam() == Engine::kSqlite ? "" : " ON auditoria"));
  EXPECT_EQ(true, store().Payload());
  nlohmann::json statements = CommandJson({"extrato", "list", "--json", "--db", db_});
  ASSERT_EQ(1u, statements.size());
  nlohmann::json trail = CommandJson({"auditoria", "--json", "--db", db_});
  ASSERT_EQ(1u, trail.size());
  EXPECT_EQ("importacao", trail[0]["evento"]);
  // PostgreSQL's sequence gave the failed store a number of its own.
  EXPECT_EQ(statements[0]["CDSEQUEXTR"], std::to_string(trail[0]["extrato"].get<long long>()));
  EXPECT_EQ(2, trail[0]["movimentos"]);
}

// SQL run beside the server, as an administrator would: whether the
// database took it.
bool Accepted(Engine engine, const std::string& db, const std::string& sql) {
  if (engine == Engine::kPostgres) {
    try {
      PgCluster::Get().Execute(DatabaseName(db), sql);
      return true;
    } catch (const std::runtime_error&) {
      return false;
    }
  }
  sqlite3* handle = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open(db.c_str(), &handle));
  const bool ok =
      sqlite3_exec(handle, ("PRAGMA foreign_keys = ON; " + sql).c_str(), nullptr, nullptr,
                   nullptr) == SQLITE_OK;
  sqlite3_close(handle);
  return ok;
}

TEST_P(StorageEngineTest, MovementsNeverOutliveTheirStatement) {
  AddAccount(db_);
  AddAccount(db_, "002");
  {
    std::unique_ptr<server::Store> store = server::OpenStore(db_, false);
    server::ImportModule module(*store);
    ASSERT_TRUE(testing::SetExtratoBancario(module, Header(), Movements({Mov{}}), true));
  }
  struct Case {
    const char* sql;
    bool postgres_only;  // SQLite refers to the account apart from the statement
  };
  const Case refused[] = {
      {"INSERT INTO MOVEXTRBANCO (CDSEQUEXTR, NRSEQMOVREAL, CDREDUCONT) VALUES (2, 1, '001')",
       false},
      {"UPDATE MOVEXTRBANCO SET CDSEQUEXTR = 2", false},
      {"DELETE FROM EXTRBANCO", false},
      {"INSERT INTO MOVEXTRBANCO (CDSEQUEXTR, NRSEQMOVREAL, CDREDUCONT) VALUES (1, 2, '002')",
       true},
      {"UPDATE EXTRBANCO SET CDREDUCONT = '002'", true},
      {"TRUNCATE EXTRBANCO", true},
  };
  for (const Case& c : refused) {
    if (c.postgres_only && GetParam() != Engine::kPostgres) continue;
    EXPECT_FALSE(Accepted(GetParam(), db_, c.sql)) << c.sql;
  }
  nlohmann::json statements = CommandJson({"extrato", "list", "--json", "--db", db_});
  ASSERT_EQ(1u, statements.size());
  EXPECT_EQ("001", statements[0]["CDREDUCONT"]);
  EXPECT_EQ(1, statements[0]["MOVIMENTOS"]);
  // Movements first, then their statement: both go.
  EXPECT_TRUE(Accepted(GetParam(), db_,
                       "DELETE FROM MOVEXTRBANCO; DELETE FROM EXTRBANCO WHERE CDSEQUEXTR = 1"));
  EXPECT_EQ(0u, CommandJson({"extrato", "list", "--json", "--db", db_}).size());
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

TEST_P(StorageEngineTest, StatementTableShowsMovementsInPostingOrderWholeInColumnsThatFit) {
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
    // Sent out of posting order, with a long FITID and a long memo (each
    // also cut as the screen cuts them) and one of a client that sent
    // neither whole.
    const nlohmann::json packet = Movements(
        {Mov{.value = 0.1, .date = "2024-01-09T00:00:00", .whole = "F1", .whole_memo = "Pagamento"},
         Mov{.value = -1234567.89, .document = "2", .fitid = "2024010500",
             .memo = "PAGAMENTO BOLETO CONSTRUTORA E INCORPOR",
             .whole = "202401050000000042",
             .whole_memo = "PAGAMENTO BOLETO CONSTRUTORA E INCORPORADORA CONSTRUCAO FORTE"},
         Mov{.value = 1000000.0, .document = "3", .fitid = "F3"}});
    std::vector<server::Row> movements;
    for (const nlohmann::json& row : packet["rows"]) movements.push_back(row_of(row));
    server::Statement statement{row_of(header["rows"][0]),
                                server::PackedRows(MovExtrLayout(), movements), "001", nullptr};
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
      "SEQ DATA       DOCUMENTO TIPO         VALOR FITID              DESCRICAO\n"
      "2   05/01/2024 2         D    -1.234.567,89 202401050000000042 "
      "PAGAMENTO BOLETO CONSTRUTORA E INCORPORADORA CONSTRUCAO FORTE\n"
      "3   05/01/2024 3         D     1.000.000,00 F3                 Pagamento\n"
      "1   09/01/2024 1         D             0,10 F1                 Pagamento\n",
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
                         "CREATE TABLE MOVEXTRBANCO (CDSEQUEXTR INTEGER NOT NULL, NRSEQMOVREAL "
                         "INTEGER NOT NULL, CDREDUCONT VARCHAR(3) NOT NULL, NRDOCMOVREAL "
                         "VARCHAR(20), DTMOVREAL VARCHAR(23), IDMOVREAL VARCHAR(1), VRMOVREAL "
                         "DOUBLE PRECISION, DSHISTMOVREAL VARCHAR(40), IDTIPOREGI VARCHAR(2), "
                         "CDCATELANC VARCHAR(4), IDSTCONMVBAN VARCHAR(1), IDTPMOVREAL VARCHAR(1), "
                         "CDFITIDEXTR VARCHAR(10), PRIMARY KEY (CDSEQUEXTR, NRSEQMOVREAL));"
                         "INSERT INTO CONTCORR VALUES ('007', '341', '1', '99', '', 'C');"
                         "INSERT INTO EXTRBANCO VALUES (1, '007', '2023-03-01T00:00:00', "
                         "'2023-03-31T00:00:00', 0, 3000, 'C', 'C');"
                         "INSERT INTO MOVEXTRBANCO VALUES (1, 1, '007', '', "
                         "'2023-03-31T00:00:00', 'C', 3000, 'Pix', '0', NULL, '0', '0', "
                         "'2023033107');",
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
                     "SELECT (SELECT MAX(NRVERSAO) FROM VERSAOESQUEMA), (SELECT \"unique\" FROM "
                     "pragma_index_list('EXTRBANCO') WHERE name = 'EXTRBANCO_PERIODO'), "
                     "(SELECT COUNT(*) FROM MOVEXTRBANCO WHERE CDFITIDCOMPL IS NULL), "
                     "(SELECT COUNT(*) FROM MOVEXTRBANCO WHERE DSHISTCOMPL IS NULL)",
                     -1, &query, nullptr);
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(query));
  EXPECT_EQ(kvr::server::kSchemaVersion, sqlite3_column_int(query, 0));
  EXPECT_EQ(1, sqlite3_column_int(query, 1));
  EXPECT_EQ(1, sqlite3_column_int(query, 2));
  EXPECT_EQ(1, sqlite3_column_int(query, 3));
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
  const std::string body = StoreCallBody(100000);
  testing::BackgroundPost client(server.Port(), body);
  ASSERT_TRUE(testing::WaitUntil(std::chrono::seconds(60), [&] {
    return cluster.Execute("postgres",
                           "SELECT COUNT(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' "
                           "AND query LIKE 'COPY%'") == "1";
  })) << "the store never waited for the lock";
  cluster.Restart();
  const std::string& reply = client.Reply();
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
  nlohmann::json statements = CommandJson({"extrato", "list", "--json", "--db", db});
  ASSERT_EQ(1u, statements.size());
  EXPECT_EQ(100000, statements[0]["MOVIMENTOS"]);
}

// A statement removed while another transaction adds movements to it: the
// removal waits for that transaction, then fails; so does a removal whose
// snapshot began before the movements were committed.
TEST(PostgreSQLMovements, RemovalWaitingForNewMovementsFailsWhenTheyCommit) {
  PgCluster& cluster = PgCluster::Get();
  const std::string db = cluster.NewDatabase();
  AddAccount(db);
  const std::string name = DatabaseName(db);
  cluster.Execute(name, "INSERT INTO EXTRBANCO (CDSEQUEXTR, CDREDUCONT, DTSALDINIC) "
                        "VALUES (50, '001', '2024-01-01')");
  PGconn* adder = PQconnectdb(cluster.Uri(name).c_str());
  ASSERT_EQ(CONNECTION_OK, PQstatus(adder));
  PQclear(PQexec(adder,
                 "BEGIN; INSERT INTO MOVEXTRBANCO (CDSEQUEXTR, NRSEQMOVREAL, CDREDUCONT) "
                 "VALUES (50, 1, '001')"));
  std::atomic<bool> removed{false};
  std::thread remover([&] {
    removed = Accepted(Engine::kPostgres, db, "DELETE FROM EXTRBANCO WHERE CDSEQUEXTR = 50");
  });
  EXPECT_TRUE(testing::WaitUntil(std::chrono::seconds(60), [&] {
    return cluster.Execute("postgres",
                           "SELECT COUNT(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' "
                           "AND query LIKE 'DELETE%'") == "1";
  })) << "the removal never waited for the lock";
  PQclear(PQexec(adder, "COMMIT"));
  remover.join();
  PQfinish(adder);
  EXPECT_FALSE(removed);

  // A removal whose snapshot is older than movements committed since.
  cluster.Execute(name, "INSERT INTO EXTRBANCO (CDSEQUEXTR, CDREDUCONT, DTSALDINIC) "
                        "VALUES (51, '001', '2024-02-01')");
  PGconn* remover_conn = PQconnectdb(cluster.Uri(name).c_str());
  ASSERT_EQ(CONNECTION_OK, PQstatus(remover_conn));
  PQclear(PQexec(remover_conn, "BEGIN ISOLATION LEVEL REPEATABLE READ; SELECT 1"));
  cluster.Execute(name,
                  "INSERT INTO MOVEXTRBANCO (CDSEQUEXTR, NRSEQMOVREAL, CDREDUCONT) "
                  "VALUES (51, 1, '001')");
  PGresult* late = PQexec(remover_conn, "DELETE FROM EXTRBANCO WHERE CDSEQUEXTR = 51");
  EXPECT_NE(PGRES_COMMAND_OK, PQresultStatus(late));
  PQclear(late);
  PQclear(PQexec(remover_conn, "COMMIT"));
  PQfinish(remover_conn);
  EXPECT_EQ("2", cluster.Execute(name, "SELECT COUNT(*) FROM MOVEXTRBANCO m JOIN EXTRBANCO e "
                                       "USING (CDSEQUEXTR, CDREDUCONT)"));
}

TEST(PostgreSQLCopy, BothWaysKeepEverythingAndRefuseATargetWithData) {
  testing::TempDir dir;
  const std::string origin = dir.File("origem.db");
  {
    std::unique_ptr<server::Store> store = server::OpenStore(origin, true);
    store->AddAccount({"001", "341", "1234", "123456", "C", "99999-9"});
    store->AddAccount({"002", "237", "", "55", "L", ""});
    store->AddAccount({"003", "104", "", "123456", "C", "", "0123400000123456"});
    server::ImportModule module(*store);
    ASSERT_TRUE(testing::SetExtratoBancario(module,
        Header(),
        Movements({Mov{.value = 0.1, .memo = "Depósito\tcom tab\\barra"},
                   Mov{.value = 1234567.89, .document = "2", .fitid = "F2"}}),
        true));
    ASSERT_TRUE(testing::SetExtratoBancario(module, Header("002", "2023-01-01", "2023-01-31"),
                                          ManyMovements(300, "002", "M", "2023"), true));
  }
  const std::string pg = PgCluster::Get().NewDatabase();
  CommandResult there = RunServerCommand({"copiar", "--de", origin, "--para", pg});
  ASSERT_EQ(0, there.code) << there.err;
  EXPECT_EQ("Copiados de \"" + origin + "\" para " + Label(Engine::kPostgres, pg) +
                ": 3 contas correntes, 2 extratos e 302 movimentos.\n",
            there.out.substr(0, there.out.find('\n') + 1));
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
      EXPECT_EQ(CommandJson(from_origin), CommandJson(args)) << args[0] << " " << args[1] << " on " << db;
    }
  }
  EXPECT_EQ("0123400000123456", CommandJson({"conta", "list", "--json", "--db", back})[2]["IDEXTRATO"]);
  CommandResult refused = RunServerCommand({"copiar", "--de", back, "--para", pg});
  EXPECT_EQ(1, refused.code);
  EXPECT_EQ("kvr61400-server: O banco de dados de destino " + Label(Engine::kPostgres, pg) +
                " já tem dados (contas correntes: 3, extratos: 2); a cópia só é feita para um "
                "banco vazio.\n",
            refused.err);
  // Statements stored after the copy are numbered after the copied ones.
  std::unique_ptr<server::Store> store = server::OpenStore(pg, false);
  server::ImportModule module(*store);
  ASSERT_TRUE(testing::SetExtratoBancario(module, Header("001", "2024-03-01", "2024-03-31"),
                                        Movements({Mov{.date = "2024-03-02"}}), true));
  EXPECT_EQ(3, store->ListStatements().back().seq);
}

}  // namespace
}  // namespace kvr
