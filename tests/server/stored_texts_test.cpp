// What a clerk and an administrator may write into the database through a
// real server on each engine: texts no engine keeps whole are refused alike,
// and the trail holds a row for what happened and for nothing else.
#include <gtest/gtest.h>
#include <httplib.h>

#include "packets.h"
#include "pg_cluster.h"
#include "server_process.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace kvr {
namespace {

using testing::CommandResult;
using testing::Engine;
using testing::Header;
using testing::Mov;
using testing::Movements;
using testing::RunServerCommand;
using testing::ServerProcess;

// The result of a call, or the message of its error as a JSON text.
nlohmann::json Call(int port, const std::string& key, const std::string& method,
                    const nlohmann::json& params) {
  httplib::Client http("127.0.0.1", port);
  http.set_read_timeout(20, 0);
  const std::string body =
      nlohmann::json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", params}}.dump();
  auto reply = http.Post("/kvr61400.rdmImportOFX", {{"Authorization", "Bearer " + key}}, body,
                         "application/json");
  if (!reply) return "sem resposta";
  nlohmann::json answer = nlohmann::json::parse(reply->body);
  return answer.contains("error") ? answer["error"]["message"] : answer["result"];
}

// The trail's rows but the keys' own, as "evento usuario extrato detalhe".
std::vector<std::string> Trail(const std::string& db) {
  CommandResult listed = RunServerCommand({"auditoria", "--json", "--db", db});
  EXPECT_EQ(0, listed.code) << listed.err;
  std::vector<std::string> rows;
  for (const nlohmann::json& row : nlohmann::json::parse(listed.out)) {
    if (row["evento"] == "chave_criada") continue;
    rows.push_back(row["evento"].get<std::string>() + " " + row["usuario"].get<std::string>() +
                   " " + (row["extrato"].is_null() ? "-" : row["extrato"].dump()) + " " +
                   (row["detalhe"].is_null() ? "-" : row["detalhe"].get<std::string>()));
  }
  return rows;
}

class StoredTexts : public ::testing::TestWithParam<Engine> {
 protected:
  testing::TempDir dir_;
  std::string db_ = testing::NewDatabase(GetParam(), dir_.File("servidor.db"));
};

INSTANTIATE_TEST_SUITE_P(Engines, StoredTexts,
                         ::testing::Values(Engine::kSqlite, Engine::kPostgres),
                         testing::EngineName());

TEST_P(StoredTexts, RefusedAlikeOnBothEnginesAndTheTrailHoldsWhatHappened) {
  ASSERT_EQ(0, RunServerCommand({"conta", "add", "--codigo", "001", "--banco", "341", "--conta",
                                 "123456", "--tipo", "C", "--db", db_})
                   .code);
  std::map<std::string, std::string> keys;
  for (const char* name : {"ana", "chefe"}) {
    std::vector<std::string> args = {"usuario", "add", name, "--db", db_};
    if (std::string(name) == "chefe") args.push_back("--administrador");
    CommandResult added = RunServerCommand(args);
    ASSERT_EQ(0, added.code) << added.err;
    keys[name] = added.out.substr(0, added.out.find('\n'));
  }
  ServerProcess server(db_);
  server.Start();
  const nlohmann::json movements = Movements({Mov{}});
  ASSERT_EQ(true, Call(server.Port(), keys["ana"], "SetExtratoBancario",
                       {Header(), movements, true}));

  const std::string nul("antes\0depois", 12);
  const std::string kNulRefused =
      "Um texto contém o caractere nulo (código 0), que não é gravado no banco de dados; "
      "retire-o e tente de novo.";
  const std::string kAdminOnly = "Somente uma chave de administrador pode excluir extratos.";
  struct Case {
    const char* what;
    const char* user;
    const char* method;
    nlohmann::json params;
    nlohmann::json answer;
    std::vector<std::string> trail;  // the rows the call adds
  } cases[] = {
      {"NUL in a memo", "ana", "ValidExtrato",
       {Header("001", "2024-02-01", "2024-02-29"),
        Movements({Mov{.date = "2024-02-02", .memo = nul}})},
       "O texto da coluna DSHISTMOVREAL (linha 1 do pacote de movimentos) contém o caractere "
       "nulo (código 0), que não é gravado no banco de dados; retire-o e tente de novo.",
       {}},
      {"NUL in a reason", "chefe", "RemoveExtrato", {1, nul}, kNulRefused, {}},
      {"reason over its column", "chefe", "RemoveExtrato", {1, std::string(600, 'a')},
       "O texto de DETALHE da trilha de auditoria tem 600 caracteres; o limite é 500. Encurte-o "
       "e tente de novo.",
       {}},
      {"declined, account unknown", "ana", "SetExtratoBancario",
       {Header("999"), Movements({Mov{.account = "999"}}), false},
       "Conta corrente de código \"999\" não cadastrada no servidor.", {}},
      {"declined, recorded already", "ana", "SetExtratoBancario", {Header(), movements, false},
       false, {"recusa ana - extrato já cadastrado"}},
      {"declined, new", "ana", "SetExtratoBancario",
       {Header("001", "2024-03-01", "2024-03-31"), Movements({Mov{.date = "2024-03-05"}}), false},
       false, {"recusa ana - importação cancelada pelo usuário (movimentos repetidos)"}},
      {"removal by a clerk", "ana", "RemoveExtrato", {1, "errado"}, kAdminOnly,
       {"recusa ana 1 exclusão recusada: " + kAdminOnly + " Motivo: errado"}},
      {"removal of no statement", "chefe", "RemoveExtrato", {99, "errado"},
       "Extrato 99 não encontrado.",
       {"recusa chefe 99 exclusão recusada: Extrato 99 não encontrado. Motivo: errado"}},
      {"removal", "chefe", "RemoveExtrato", {1, "errado"}, true, {"remocao chefe 1 errado"}},
  };
  std::vector<std::string> trail = Trail(db_);
  ASSERT_EQ(std::vector<std::string>{"importacao ana 1 -"}, trail);
  for (const Case& c : cases) {
    EXPECT_EQ(c.answer, Call(server.Port(), keys[c.user], c.method, c.params)) << c.what;
    trail.insert(trail.end(), c.trail.begin(), c.trail.end());
    // A refusal's row is written after its answer: polled for.
    std::vector<std::string> now;
    testing::WaitUntil(std::chrono::seconds(10), [&] { return (now = Trail(db_)).size() >= trail.size(); });
    EXPECT_EQ(trail, now) << c.what;
    trail = now;
  }
}

TEST(UserNames, NamesThatReadAsOptionsAreRefused) {
  testing::TempDir dir;
  const std::string db = dir.File("servidor.db");
  struct Case {
    const char* name;
    int code;
  } cases[] = {{"-", 64}, {"-ana", 64}, {"ana-maria", 0}, {"j.silva_2", 0}};
  for (const Case& c : cases) {
    CommandResult added = RunServerCommand({"usuario", "add", c.name, "--db", db});
    EXPECT_EQ(c.code, added.code) << c.name << ": " << added.err;
    if (c.code != 0) {
      EXPECT_EQ("kvr61400-server: nome de usuário \"" + std::string(c.name) +
                    "\" inválido: use de 1 a 40 letras sem acento, dígitos, \".\", \"_\" ou "
                    "\"-\", sem começar com \"-\". Veja kvr61400-server usuario add --help.\n",
                added.err.substr(0, added.err.find('\n') + 1))
          << c.name;
    }
  }
}

}  // namespace
}  // namespace kvr
