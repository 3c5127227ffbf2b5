// What keeps an installation whole over time, on both engines: the SQLite
// WAL folded into the file while the server serves, statement numbers never
// given twice (also across a schema migration and a copy), and copies
// between engines compared table by table.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "store/access_store.h"
#include "rpc/import_module.h"
#include "module_calls.h"
#include "store/open_store.h"
#include "packets.h"
#include "pg_cluster.h"
#include "server_process.h"
#include "store/sql_schema.h"
#include "store/sql_store.h"
#include "temp_dir.h"
#include "wait_until.h"

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

void AddAccount(const std::string& db, const std::string& code = "001") {
  CommandResult result = RunServerCommand(
      {"conta", "add", "--codigo", code, "--banco", "341", "--agencia", "1234", "--conta", "123456",
       "--tipo", code == "001" ? "C" : "L", "--db", db});
  ASSERT_EQ(0, result.code) << result.err;
}

// Runs sql on the SQLite file at path; the first column of each row.
std::vector<std::string> Sqlite(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::vector<std::string> rows;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &query, nullptr) == SQLITE_OK) {
      int rc;
      while ((rc = sqlite3_step(query)) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(query, 0);
        rows.push_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
      }
      if (rc != SQLITE_DONE) rows.push_back("erro: " + std::string(sqlite3_errmsg(db)));
    } else {
      rows.push_back("erro: " + std::string(sqlite3_errmsg(db)));
    }
    sqlite3_finalize(query);
  }
  sqlite3_close(db);
  return rows;
}

// Runs the statements sql on the SQLite file at path; "" or SQLite's message.
std::string SqliteScript(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  char* error = nullptr;
  std::string message;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK)
    message = error != nullptr ? error : sqlite3_errmsg(db);
  sqlite3_free(error);
  sqlite3_close(db);
  return message;
}

long long FileSize(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<long long>(size);
}

TEST(SqliteUpkeep, TheFileAloneHoldsAStoreAndTheWalStaysSmallWhileTheServerServes) {
  testing::TempDir dir;
  const std::string db = dir.File("mes.db");
  AddAccount(db);
  ServerProcess server(db);
  server.Start();
  httplib::Client client("127.0.0.1", server.Port());
  client.set_read_timeout(120, 0);
  auto reply = client.Post("/kvr61400.rdmImportOFX", testing::StoreCallBody(100000),
                           "application/json");
  ASSERT_TRUE(reply);
  ASSERT_NE(std::string::npos, reply->body.find("\"result\":true")) << reply->body.substr(0, 300);

  // An administrator's copy of the database file, without the WAL beside it,
  // while the server goes on serving.
  const std::string copy = dir.File("copia.db");
  std::vector<std::string> held;
  long long wal = 0;
  testing::WaitUntil(std::chrono::seconds(60), [&] {
    std::filesystem::remove(copy);
    std::filesystem::copy_file(db, copy);
    held = Sqlite(copy, "SELECT COUNT(*) FROM MOVEXTRBANCO");
    wal = FileSize(db + "-wal");
    return held == std::vector<std::string>{"100000"} && wal <= 16 * 1024 * 1024;
  }, std::chrono::milliseconds(50));
  EXPECT_EQ(std::vector<std::string>{"100000"}, held);
  EXPECT_LE(wal, 16 * 1024 * 1024);
  EXPECT_EQ(std::vector<std::string>{"ok"}, Sqlite(copy, "PRAGMA integrity_check"));
}

// The numbers of the stored statements, in order.
std::vector<long long> Numbers(server::Store& store) {
  std::vector<long long> numbers;
  for (const server::StatementSummary& summary : store.ListStatements()) numbers.push_back(summary.seq);
  return numbers;
}

// Stores a statement of account 001 in month (1 to 12) of 2023; its number.
long long StoreMonth(server::Store& store, int month) {
  const std::string mm = (month < 10 ? "0" : "") + std::to_string(month);
  server::ImportModule module(store);
  EXPECT_TRUE(testing::SetExtratoBancario(
      module, Header("001", "2023-" + mm + "-01", "2023-" + mm + "-28"),
      Movements({Mov{.date = "2023-" + mm + "-02", .fitid = "F" + mm}}), true));
  return Numbers(store).back();
}

server::AuditEvent Removal(const std::string& reason) {
  server::AuditEvent event;
  event.user = "chefe";
  event.event = "remocao";
  event.detail = reason;
  return event;
}

class StatementNumbers : public ::testing::TestWithParam<Engine> {
 protected:
  testing::TempDir dir_;
  std::string db_ = testing::NewDatabase(GetParam(), dir_.File("servidor.db"));
};

INSTANTIATE_TEST_SUITE_P(Engines, StatementNumbers,
                         ::testing::Values(Engine::kSqlite, Engine::kPostgres),
                         testing::EngineName());

TEST_P(StatementNumbers, ARemovedNumberIsNeverGivenAgainNorInACopy) {
  AddAccount(db_);
  {
    std::unique_ptr<server::Store> store = server::OpenStore(db_, false);
    for (int month = 1; month <= 3; ++month) StoreMonth(*store, month);
    ASSERT_TRUE(store->Access()->RemoveStatement(3, Removal("importado em dobro")));
    EXPECT_EQ(4, StoreMonth(*store, 4));
    ASSERT_TRUE(store->Access()->RemoveStatement(4, Removal("importado em dobro")));
    EXPECT_EQ((std::vector<long long>{1, 2}), Numbers(*store));
  }
  // The copy on the other engine goes on after the trail's numbers too.
  const std::string copy = GetParam() == Engine::kSqlite ? PgCluster::Get().NewDatabase()
                                                          : dir_.File("copia.db");
  CommandResult copied = RunServerCommand({"copiar", "--de", db_, "--para", copy});
  ASSERT_EQ(0, copied.code) << copied.err;
  std::unique_ptr<server::Store> store = server::OpenStore(copy, false);
  EXPECT_EQ(5, StoreMonth(*store, 5));
}

TEST(SqliteStorage, StatementTableOfVersionSevenIsRebuiltKeepingNumbersIndexAndReferences) {
  testing::TempDir dir;
  const std::string db = dir.File("antigo.db");
  AddAccount(db);
  {
    std::unique_ptr<server::Store> store = server::OpenStore(db, false);
    for (int month = 1; month <= 3; ++month) StoreMonth(*store, month);
    ASSERT_TRUE(store->Access()->RemoveStatement(3, Removal("errado")));
  }
  // EXTRBANCO as versions up to 7 made it: a plain rowid key.
  ASSERT_EQ("", SqliteScript(db, R"sql(
    PRAGMA foreign_keys = OFF;
    BEGIN;
    CREATE TABLE VELHO (CDSEQUEXTR INTEGER NOT NULL PRIMARY KEY, CDREDUCONT VARCHAR(3) NOT NULL
      REFERENCES CONTCORR (CDREDUCONT), DTSALDINIC VARCHAR(23), DTSALDFIN VARCHAR(23),
      VRSALDINIC DOUBLE PRECISION, VRSALDFIM DOUBLE PRECISION, IDEXTRINI VARCHAR(1),
      IDEXTRFIM VARCHAR(1));
    INSERT INTO VELHO SELECT * FROM EXTRBANCO;
    DROP TABLE EXTRBANCO;
    ALTER TABLE VELHO RENAME TO EXTRBANCO;
    CREATE UNIQUE INDEX EXTRBANCO_PERIODO ON EXTRBANCO (CDREDUCONT, DTSALDINIC, DTSALDFIN);
    DELETE FROM sqlite_sequence;
    DELETE FROM VERSAOESQUEMA WHERE NRVERSAO = 8;
    COMMIT;)sql"));
  ASSERT_EQ(std::vector<std::string>{"7"}, Sqlite(db, "SELECT MAX(NRVERSAO) FROM VERSAOESQUEMA"));
  ASSERT_EQ(std::vector<std::string>{"0"},
            Sqlite(db, "SELECT instr(sql, 'AUTOINCREMENT') FROM sqlite_master WHERE name = "
                       "'EXTRBANCO'"));

  std::unique_ptr<server::Store> store = server::OpenStore(db, false);
  EXPECT_EQ((std::vector<long long>{1, 2}), Numbers(*store));
  EXPECT_EQ(std::vector<std::string>{"8"}, Sqlite(db, "SELECT MAX(NRVERSAO) FROM VERSAOESQUEMA"));
  EXPECT_EQ(std::vector<std::string>{"1"},
            Sqlite(db, "SELECT instr(sql, 'AUTOINCREMENT') > 0 FROM sqlite_master WHERE name = "
                       "'EXTRBANCO'"));
  EXPECT_EQ(std::vector<std::string>{"1"},
            Sqlite(db, "SELECT \"unique\" FROM pragma_index_list('EXTRBANCO') WHERE name = "
                       "'EXTRBANCO_PERIODO'"));
  EXPECT_EQ(std::vector<std::string>{"CONTCORR"},
            Sqlite(db, "SELECT \"table\" FROM pragma_foreign_key_list('EXTRBANCO')"));
  EXPECT_EQ(std::vector<std::string>{}, Sqlite(db, "PRAGMA foreign_key_check"));
  EXPECT_EQ(std::vector<std::string>{"ok"}, Sqlite(db, "PRAGMA integrity_check"));
  // Number 3 is in the trail: the next statement is 4.
  EXPECT_EQ(4, StoreMonth(*store, 4));
  // The movements still refer to their statement.
  EXPECT_EQ(std::vector<std::string>{"2"},
            Sqlite(db, "SELECT COUNT(*) FROM MOVEXTRBANCO m JOIN EXTRBANCO e USING (CDSEQUEXTR) "
                       "WHERE e.CDSEQUEXTR <= 2"));
}

// Every table of db (its schema version aside) as sorted lines of its rows,
// each value as the store reads it.
std::map<std::string, std::vector<std::string>> Tables(const std::string& db) {
  std::unique_ptr<server::Store> store = server::OpenStore(db, false);
  auto& sql = dynamic_cast<server::SqlStore&>(*store);
  std::map<std::string, std::vector<std::string>> tables;
  sql.InTransaction(false, [&](server::SqlConnection& connection) {
    std::vector<std::string> names;
    for (auto query = connection.Prepare(sql.Dialect().list_tables, "tabelas"); query->Step();)
      names.push_back(query->Text(0));
    for (const std::string& table : names) {
      if (table == "VERSAOESQUEMA") continue;
      auto query = connection.Prepare("SELECT * FROM " + table, "linhas");
      std::vector<std::string>& lines = tables[table];
      int columns = 0;
      for (auto count = server::Query(connection, sql.Dialect().list_columns, "colunas", table);
           count->Step();)
        ++columns;
      while (query->Step()) {
        std::string line;
        for (int i = 0; i < columns; ++i) {
          const server::Cell cell = query->Value(i);
          char number[32];
          if (const double* value = std::get_if<double>(&cell))
            std::snprintf(number, sizeof number, "%.17g", *value);
          line += (i == 0 ? "" : "|") +
                  (std::holds_alternative<double>(cell) ? std::string(number)
                   : std::holds_alternative<std::string>(cell) ? std::get<std::string>(cell)
                                                               : std::string("NULL"));
        }
        lines.push_back(line);
      }
      std::sort(lines.begin(), lines.end());
    }
  });
  return tables;
}

TEST(PostgreSQLCopy, EveryTableGoesBothWaysAndTheCopyIsNoOpenServer) {
  testing::TempDir dir;
  const std::string origin = dir.File("origem.db");
  AddAccount(origin);
  AddAccount(origin, "002");
  for (const char* name : {"ana", "chefe"})
    ASSERT_EQ(0, RunServerCommand({"usuario", "add", name, "--db", origin}).code);
  {
    std::unique_ptr<server::Store> store = server::OpenStore(origin, false);
    for (int month = 1; month <= 3; ++month) StoreMonth(*store, month);
    ASSERT_TRUE(store->Access()->RemoveStatement(3, Removal("de outra conta")));
    server::ImportModule module(*store);
    ASSERT_TRUE(testing::SetExtratoBancario(module, Header("002", "2023-01-01", "2023-01-31"),
                                            ManyMovements(300, "002", "M", "2023"), true));
  }
  const std::map<std::string, std::vector<std::string>> expected = Tables(origin);
  ASSERT_EQ(6u, expected.size());
  EXPECT_EQ(2u, expected.at("USUARIO").size());
  // Two keys made, four statements stored, one removed.
  EXPECT_EQ(7u, expected.at("AUDITORIA").size());

  const std::string pg = PgCluster::Get().NewDatabase();
  CommandResult there = RunServerCommand({"copiar", "--de", origin, "--para", pg});
  ASSERT_EQ(0, there.code) << there.err;
  EXPECT_NE(std::string::npos,
            there.out.find("Conferidas 6 tabelas, com o mesmo número de linhas na origem e na "
                           "cópia: CONTCORR 2 CONTCORRIDEXTR 0 EXTRBANCO 3 MOVEXTRBANCO 302 "
                           "USUARIO 2 AUDITORIA 7.\n"))
      << there.out;
  const std::string back = dir.File("volta.db");
  CommandResult again = RunServerCommand({"copiar", "--de", pg, "--para", back});
  ASSERT_EQ(0, again.code) << again.err;
  for (const std::string& db : {pg, back}) {
    const auto tables = Tables(db);
    for (const auto& [table, rows] : expected)
      EXPECT_EQ(rows, tables.count(table) ? tables.at(table) : std::vector<std::string>{})
          << table << " in " << db;
    EXPECT_EQ(expected.size(), tables.size()) << db;
  }
  // The copy's keys hold: a request without one is refused.
  ServerProcess server(pg);
  server.Start();
  httplib::Client client("127.0.0.1", server.Port());
  auto reply = client.Post("/kvr61400.rdmImportOFX",
                           R"({"jsonrpc":"2.0","id":1,"method":"GetUsuario","params":[]})",
                           "application/json");
  ASSERT_TRUE(reply);
  EXPECT_EQ(401, reply->status);

  // A target that holds only keys is not empty either.
  const std::string keyed = PgCluster::Get().NewDatabase();
  ASSERT_EQ(0, RunServerCommand({"usuario", "add", "ana", "--db", keyed}).code);
  CommandResult refused = RunServerCommand({"copiar", "--de", origin, "--para", keyed});
  EXPECT_EQ(1, refused.code);
  EXPECT_NE(std::string::npos,
            refused.err.find("já tem dados (USUARIO: 1 linha, AUDITORIA: 1 linha); a cópia só é "
                             "feita para um banco vazio."))
      << refused.err;
}

}  // namespace
}  // namespace kvr
