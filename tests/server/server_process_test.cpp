#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <thread>

#include <clocale>

#include "host/net_connection.h"
#include "rpc/import_module.h"
#include "store/open_store.h"
#include "recording_host.h"
#include "metrics_probe.h"
#include "module_calls.h"
#include "packets.h"
#include "pg_cluster.h"
#include "platform/cp1252.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "server_process.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace kvr {
namespace {

// The server closes a connection whose upload it refuses; the test's own
// HTTP client would die of SIGPIPE writing the rest.
const bool kIgnoreBrokenPipes = (signal(SIGPIPE, SIG_IGN), true);

using testing::CommandResult;
using testing::Engine;
using testing::Header;
using testing::ManyMovements;
using testing::Mov;
using testing::Movements;
using testing::RunServerCommand;
using testing::StoredStatements;
using testing::ServerProcess;
using testing::StoreCallBody;

// A server process on a fresh database of each engine, with two accounts of
// bank 341, account 123456 (types C and L) and one of bank 237.
class ServerProcessTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    AddAccount({"--codigo", "001", "--banco", "341", "--agencia", "1234", "--conta", "123456",
                "--tipo", "C", "--mascara", "99999-9"});
    AddAccount({"--codigo", "002", "--banco", "341", "--agencia", "1234", "--conta", "123456",
                "--tipo", "L", "--mascara", "99999-9"});
    AddAccount({"--codigo", "003", "--banco", "237", "--agencia", "1", "--conta", "55",
                "--tipo", "C", "--mascara", ""});
    server_.Start();
  }

  void AddAccount(std::vector<std::string> args) {
    args.insert(args.begin(), {"conta", "add"});
    args.insert(args.end(), {"--db", db_});
    CommandResult result = RunServerCommand(args);
    ASSERT_EQ(0, result.code) << result.err;
  }

  // A connection opened the way the screen opens it.
  std::unique_ptr<TNetConnection> Connect() {
    auto connection = std::make_unique<TNetConnection>(nullptr);
    connection->ServerName = "kvr61400.rdmImportOFX";
    const int port = server_.Port();
    connection->OnBeforeConnect = [port](TComponent* sender) {
      auto* net = static_cast<TNetConnection*>(sender);
      net->Host = "127.0.0.1";
      net->Port = port;
    };
    connection->SetConnected(true);
    return connection;
  }

  // True once a statement's store on the database is well under way.
  bool StoreUnderWay() {
    if (GetParam() == Engine::kSqlite) {
      // The write transaction spills into the WAL file as it goes.
      std::error_code missing;
      auto size = std::filesystem::file_size(db_ + "-wal", missing);
      return !missing && size >= 4u * 1024 * 1024;
    }
    const std::string name = db_.substr(db_.rfind('/') + 1);
    return std::stoll(testing::PgCluster::Get().Execute(
               "postgres",
               "SELECT COALESCE(MAX(tuples_processed), 0) FROM pg_stat_progress_copy WHERE "
               "datname = '" + name + "'")) >= 20000;
  }

  testing::TempDir dir_;
  std::string db_ = testing::NewDatabase(GetParam(), dir_.File("server.db"));
  ServerProcess server_{db_};
};

INSTANTIATE_TEST_SUITE_P(Engines, ServerProcessTest,
                         ::testing::Values(Engine::kSqlite, Engine::kPostgres),
                         testing::EngineName());

TEST_P(ServerProcessTest, FullConversationAsTheScreenMakesIt) {
  testing::RecordingHost host;
  auto net = Connect();
  ASSERT_TRUE(net->Connected());

  nlohmann::json accounts =
      CheckResultServ(net->Call("GetContaCorrente", {std::string("0341"), std::string("123456")}),
                      true, 0);
  EXPECT_EQ(R"([["001","341","1234","123456","99999-9","C"],["002","341","1234","123456","99999-9","L"]])",
            accounts["rows"].dump());

  const nlohmann::json header = Header();
  const nlohmann::json movements =
      Movements({Mov{.memo = "Depósito"}, Mov{.value = 20.5, .document = "2", .fitid = "F2"}});
  bool valid = CheckResultServ(net->Call("ValidExtrato", {TServerArg::Packet(header),
                                                          TServerArg::Packet(movements)}),
                               true, 0)
                   .get<bool>();
  EXPECT_TRUE(valid);
  bool stored = CheckResultServ(net->Call("SetExtratoBancario", {TServerArg::Packet(header),
                                                                 TServerArg::Packet(movements),
                                                                 valid}),
                                true, 0)
                    .get<bool>();
  EXPECT_TRUE(stored);

  // The same file confirmed again: recorded, and the user's "Não" stores nothing.
  EXPECT_EQ(false, CheckResultServ(net->Call("ValidExtrato", {TServerArg::Packet(header),
                                                              TServerArg::Packet(movements)}),
                                   true, 0));
  EXPECT_EQ(false, CheckResultServ(net->Call("SetExtratoBancario", {TServerArg::Packet(header),
                                                                    TServerArg::Packet(movements),
                                                                    false}),
                                   true, 0));

  // A refusal reaches the user through MensErro, in Windows-1252.
  EXPECT_THROW(CheckResultServ(net->Call("ValidExtrato",
                                         {TServerArg::Packet(Header("009")),
                                          TServerArg::Packet(Movements({Mov{.account = "009"}}))}),
                               true, 0),
               EAbort);
  ASSERT_EQ(1u, host.errors.size());
  EXPECT_EQ("Conta corrente de código \"009\" não cadastrada no servidor."_cp1252, host.errors[0]);
  net->SetConnected(false);

  nlohmann::json statements = StoredStatements(db_);
  ASSERT_EQ(1u, statements.size());
  EXPECT_EQ("001", statements[0]["CDREDUCONT"]);
  EXPECT_EQ(2, statements[0]["MOVIMENTOS"]);
  CommandResult shown = RunServerCommand({"extrato", "show", "1", "--json", "--db", db_});
  ASSERT_EQ(0, shown.code) << shown.err;
  nlohmann::json statement = nlohmann::json::parse(shown.out);
  EXPECT_EQ("Depósito", statement["MOVIMENTOS"][0]["DSHISTMOVREAL"]);
  EXPECT_EQ(20.5, statement["MOVIMENTOS"][1]["VRMOVREAL"]);

  // One log line per call: who, method, account, movements, what happened, milliseconds.
  std::vector<std::string> log = server_.Log();
  int calls = 0;
  for (const std::string& line : log)
    if (line.find(" ms") != std::string::npos) ++calls;
  EXPECT_EQ(6, calls);
  bool found = false;
  for (const std::string& line : log)
    found = found || line.rfind("kvr61400-server: sem chave em 127.0.0.1: SetExtratoBancario conta "
                                "001, 2 movimentos: extrato 1 gravado ",
                                0) == 0;
  EXPECT_TRUE(found);
}

// A header of account 001 for start..end with signed balances.
nlohmann::json HeaderWithBalances(const std::string& start, const std::string& end,
                                  double opening, double closing) {
  nlohmann::json header = Header("001", start + "T00:00:00", end + "T00:00:00");
  header["rows"][0][4] = std::fabs(opening);
  header["rows"][0][5] = std::fabs(closing);
  header["rows"][0][6] = opening < 0 ? "D" : "C";
  header["rows"][0][7] = closing < 0 ? "D" : "C";
  return header;
}

TEST_P(ServerProcessTest, ContinuityOfStatementsStoredThroughTheServer) {
  testing::RecordingHost host;
  auto net = Connect();
  struct Sent {
    nlohmann::json header;
    std::string fitid, date;
    double value;
    std::string sign;
  };
  // January, then March (February missing), then 25/03 to 30/04 opening
  // 12,50 above March's closing balance; the last one's memo carries an
  // escape sequence. Each one's movement takes its opening balance to its
  // closing one.
  const Sent sent[] = {
      {HeaderWithBalances("2024-01-01", "2024-01-31", 100, 150), "J1", "2024-01-05", 50, "C"},
      {HeaderWithBalances("2024-03-01", "2024-03-31", 150, -37.5), "M1", "2024-03-05", 187.5, "D"},
      {HeaderWithBalances("2024-03-25", "2024-04-30", -25, 10), "A1", "2024-04-05", 35, "C"},
  };
  for (const Sent& s : sent) {
    Mov movement{.value = s.value, .date = s.date + "T00:00:00", .fitid = s.fitid,
                 .memo = "Tarifa\x1B[2J", .sign = s.sign};
    EXPECT_EQ(true, CheckResultServ(net->Call("SetExtratoBancario",
                                              {TServerArg::Packet(s.header),
                                               TServerArg::Packet(Movements({movement})), true}),
                                    true, 0));
  }

  nlohmann::json remote =
      CheckResultServ(net->Call("GetContinuidade", {std::string("001")}), true, 0);
  ASSERT_EQ(1u, remote.size());
  EXPECT_EQ(
      R"([[],[{"dias":29,"tipo":"lacuna"}],[{"dias":7,"tipo":"sobreposicao"},{"diferenca":12.5,"tipo":"saldo"}]])",
      [&] {
        nlohmann::json problems = nlohmann::json::array();
        for (const auto& statement : remote[0]["extratos"]) problems.push_back(statement["problemas"]);
        return problems.dump();
      }());
  nlohmann::json all = CheckResultServ(net->Call("GetContinuidade", {std::string("")}), true, 0);
  EXPECT_EQ(3u, all.size());
  EXPECT_EQ(remote[0], all[0]);
  EXPECT_THROW(CheckResultServ(net->Call("GetContinuidade", {std::string("009")}), true, 0), EAbort);
  ASSERT_EQ(1u, host.errors.size());
  EXPECT_EQ("Conta corrente de código \"009\" não cadastrada."_cp1252, host.errors[0]);
  // The movements of one statement, for the window's double-click; an
  // unknown number and a number that is no whole number are refused.
  const nlohmann::json movements = CheckResultServ(net->Call("GetMovimentos", {TServerArg::Packet(3)}), true, 0);
  struct Refused {
    TServerArg number;
    const char* message;
  };
  const Refused refused[] = {
      {TServerArg::Packet(9), "Extrato 9 não encontrado."_cp1252},
      {TServerArg(std::string("3")), "GetMovimentos espera 1 parâmetro: o número do extrato (inteiro)."_cp1252},
  };
  for (const Refused& r : refused) {
    EXPECT_THROW(CheckResultServ(net->Call("GetMovimentos", {r.number}), true, 0), EAbort);
    EXPECT_EQ(r.message, host.errors.back());
  }
  net->SetConnected(false);

  CommandResult table = RunServerCommand({"extrato", "continuidade", "--conta", "001", "--db", db_});
  ASSERT_EQ(0, table.code) << table.err;
  EXPECT_NE(std::string::npos, table.out.find("01/03/2024 a 31/03/2024  150,00 C          37,50 D           1          lacuna de 29 dias\n"))
      << table.out;
  EXPECT_NE(std::string::npos, table.out.find("sobreposição de 7 dias; saldo inicial difere do final anterior em R$ 12,50\n"))
      << table.out;
  CommandResult json = RunServerCommand({"extrato", "continuidade", "--json", "--db", db_});
  ASSERT_EQ(0, json.code) << json.err;
  EXPECT_EQ(all, nlohmann::json::parse(json.out));

  // Stored control characters are shown escaped, never sent to the terminal.
  CommandResult shown = RunServerCommand({"extrato", "show", "3", "--db", db_});
  EXPECT_NE(std::string::npos, shown.out.find("Tarifa\\x1B[2J\n")) << shown.out;
  EXPECT_EQ(std::string::npos, shown.out.find('\x1B'));
  CommandResult shown_json = RunServerCommand({"extrato", "show", "3", "--json", "--db", db_});
  ASSERT_EQ(0, shown_json.code) << shown_json.err;
  const nlohmann::json listed = nlohmann::json::parse(shown_json.out)["MOVIMENTOS"];
  ASSERT_EQ(1u, movements["rows"].size());
  ASSERT_EQ(1u, listed.size());
  const nlohmann::json& fields = movements["fields"];
  ASSERT_EQ(fields.size(), listed[0].size());
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::string name = fields[i]["name"];
    EXPECT_EQ(listed[0][name], movements["rows"][0][i]) << name;
  }

  CommandResult removed = RunServerCommand({"conta", "remove", "--codigo", "001", "--db", db_});
  EXPECT_EQ(1, removed.code);
  EXPECT_EQ("kvr61400-server: A conta corrente 001 tem 3 extratos gravados e não foi excluída.\n",
            removed.err);
}

TEST_P(ServerProcessTest, EightClientsSendingOneStatementStoreItOnce) {
  const nlohmann::json header = Header();
  const nlohmann::json movements = ManyMovements(500);
  std::atomic<int> stored{0}, refused{0};
  std::vector<std::thread> clients;
  std::atomic<int> ready{0};
  for (int i = 0; i < 8; ++i)
    clients.emplace_back([&] {
      auto net = Connect();
      ++ready;
      while (ready.load() < 8) std::this_thread::yield();
      bool valid = net->Call("ValidExtrato", {TServerArg::Packet(header),
                                              TServerArg::Packet(movements)})
                       .Payload()
                       .get<bool>();
      TServerResult result = net->Call("SetExtratoBancario", {TServerArg::Packet(header),
                                                              TServerArg::Packet(movements), valid});
      (result.Payload() == true ? stored : refused)++;
    });
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(1, stored.load());
  EXPECT_EQ(7, refused.load());
  nlohmann::json statements = StoredStatements(db_);
  ASSERT_EQ(1u, statements.size());
  EXPECT_EQ(500, statements[0]["MOVIMENTOS"]);
}

TEST_P(ServerProcessTest, KilledWhileStoringKeepsAllOrNothing) {
  const int kMovements = 100000;
  // A second server on the same database checks the outcome: alive
  // throughout on PostgreSQL, started once the first is gone on SQLite (one
  // server per file).
  ServerProcess other(db_);
  if (GetParam() == Engine::kPostgres) other.Start();
  const std::string body = StoreCallBody(kMovements);
  std::thread client([&] {
    httplib::Client http("127.0.0.1", server_.Port());
    http.set_read_timeout(60, 0);
    http.Post("/kvr61400.rdmImportOFX", body, "application/json");
  });
  ASSERT_TRUE(testing::WaitUntil(std::chrono::seconds(60), [&] { return StoreUnderWay(); },
                                 std::chrono::milliseconds(1)))
      << "the store never began";
  server_.Signal(SIGKILL);
  EXPECT_EQ(128 + SIGKILL, server_.Wait());
  client.join();
  if (GetParam() == Engine::kSqlite) other.Start();

  auto net = std::make_unique<TNetConnection>(nullptr);
  net->ServerName = "kvr61400.rdmImportOFX";
  net->Host = "127.0.0.1";
  net->Port = other.Port();
  net->SetConnected(true);
  const bool recorded = net->Call("ValidExtrato", {TServerArg::Packet(Header()),
                                                   TServerArg::Packet(ManyMovements(10))})
                            .Payload() == false;
  nlohmann::json statements = StoredStatements(db_);
  if (statements.empty()) {
    EXPECT_FALSE(recorded);
    RecordProperty("outcome", "nothing stored");
  } else {
    ASSERT_EQ(1u, statements.size());
    EXPECT_EQ(kMovements, statements[0]["MOVIMENTOS"]);
    EXPECT_TRUE(recorded);
    RecordProperty("outcome", "whole statement stored");
  }
  // The other server stores the statement when nothing was stored.
  TServerResult again = net->Call("SetExtratoBancario", {TServerArg::Packet(Header()),
                                                         TServerArg::Packet(ManyMovements(10)),
                                                         true});
  EXPECT_EQ(statements.empty(), again.Payload() == true);
}

TEST_P(ServerProcessTest, MalformedRequestsGetAnErrorAndServingGoesOn) {
  auto call = [](const std::string& method, const nlohmann::json& params) {
    return nlohmann::json{{"jsonrpc", "2.0"}, {"id", 7}, {"method", method}, {"params", params}}
        .dump();
  };
  nlohmann::json extra_column = Movements({Mov{}});
  extra_column["fields"].push_back({{"name", "EXTRA"}, {"type", "float"}});
  struct Case {
    const char* what;
    std::string path, body;
    int code;
    std::string message;
  };
  const std::string module = "/kvr61400.rdmImportOFX";
  const Case cases[] = {
      {"not JSON", module, "{\"jsonrpc\":", -32700, "A requisição não é um JSON válido."},
      {"non-finite number", module,
       R"({"jsonrpc":"2.0","id":1,"method":"GetContaCorrente","params":[1e400,"1"]})", -32700,
       "A requisição não é um JSON válido."},
      {"batch", module, "[]", -32600,
       "A requisição deve ser um objeto JSON-RPC 2.0 (lotes não são aceitos)."},
      {"no version", module, R"({"id":1,"method":"GetContaCorrente","params":["1","2"]})", -32600,
       "A requisição deve declarar \"jsonrpc\": \"2.0\"."},
      {"no method", module, R"({"jsonrpc":"2.0","id":1,"params":[]})", -32600,
       "A requisição não informa o método."},
      {"named params", module,
       R"({"jsonrpc":"2.0","id":1,"method":"GetContaCorrente","params":{"banco":"341"}})", -32602,
       "Os parâmetros de GetContaCorrente devem ser posicionais (uma lista)."},
      {"unknown method", module, call("Apagar", nlohmann::json::array()), -32601,
       "Método \"Apagar\" desconhecido no módulo kvr61400.rdmImportOFX."},
      {"unknown module", "/kvr61400.rdmOutro", call("GetContaCorrente", {"341", "1"}), -32601,
       "Módulo remoto \"kvr61400.rdmOutro\" desconhecido."},
      {"too few params", module, call("GetContaCorrente", {"341"}), -32602,
       "GetContaCorrente espera 2 parâmetros; recebeu 1."},
      {"param of wrong type", module, call("GetContaCorrente", {341, "1"}), -32602,
       "O parâmetro 1 de GetContaCorrente deve ser um texto."},
      {"extra column", module, call("ValidExtrato", {Header(), extra_column}), -32000,
       "O pacote de movimentos tem a coluna desconhecida \"EXTRA\"."},
      {"text too long", module,
       call("SetExtratoBancario", {Header(), Movements({Mov{.fitid = "12345678901"}}), true}),
       -32000,
       "O texto \"12345678901\" da coluna CDFITIDEXTR (linha 1 do pacote de movimentos) tem 11 "
       "caracteres; o limite é 10."},
      {"unknown account", module,
       call("SetExtratoBancario", {Header("777"), Movements({Mov{.account = "777"}}), true}),
       -32000, "Conta corrente de código \"777\" não cadastrada no servidor."},
      {"movement of another account", module,
       call("SetExtratoBancario", {Header(), Movements({Mov{.account = "003"}}), true}), -32000,
       "O movimento (linha 1 do pacote de movimentos) é da conta \"003\", não da conta \"001\" "
       "do extrato."},
      {"no movements", module, call("ValidExtrato", {Header(), Movements({})}), -32000,
       "O extrato não tem movimentos."},
  };
  httplib::Client http("127.0.0.1", server_.Port());
  for (const Case& c : cases) {
    auto reply = http.Post(c.path.c_str(), c.body, "application/json");
    ASSERT_TRUE(reply) << c.what;
    nlohmann::json body = nlohmann::json::parse(reply->body);
    EXPECT_EQ(c.code, body["error"]["code"]) << c.what;
    EXPECT_EQ(c.message, body["error"]["message"]) << c.what;
    // Still serving.
    auto check = http.Post(module.c_str(), call("GetContaCorrente", {"237", "0055"}),
                           "application/json");
    ASSERT_TRUE(check) << c.what;
    EXPECT_EQ("003", nlohmann::json::parse(check->body)["result"]["rows"][0][0]) << c.what;
  }
  auto wrong_path = http.Get("/outro");
  ASSERT_TRUE(wrong_path);
  EXPECT_EQ(404, wrong_path->status);
  EXPECT_EQ("Caminho \"/outro\" desconhecido; as chamadas vão para /kvr61400.rdmImportOFX.",
            nlohmann::json::parse(wrong_path->body)["error"]["message"]);
  EXPECT_TRUE(StoredStatements(db_).empty());
}

TEST_P(ServerProcessTest, PacketValuesOutsideTheirRulesAreRefusedNamingColumnAndRow) {
  // A value is put into a packet as JSON text, so that numbers no double
  // holds go out as written.
  auto with = [](nlohmann::json packet, size_t row, size_t column, const std::string& text) {
    packet["rows"][row][column] = "@@";
    std::string json = packet.dump();
    json.replace(json.find("\"@@\""), 4, text);
    return json;
  };
  const std::string header = Header().dump();
  const nlohmann::json two = Movements({Mov{}, Mov{.document = "2", .fitid = "F2"}});
  const std::string movements = two.dump();
  const std::string kHeader = "(linha 1 do pacote do cabeçalho do extrato)";
  struct Case {
    const char* what;
    std::string header, movements;
    std::string message;  // empty: accepted as new
  };
  const Case cases[] = {
      {"period's start after its end",
       Header("001", "2024-02-01T00:00:00", "2024-01-31T00:00:00").dump(), movements,
       "O período do extrato " + kHeader +
           " começa depois de terminar: DTSALDINIC "
           "\"2024-02-01T00:00:00\" é posterior a DTSALDFIN \"2024-01-31T00:00:00\"."},
      {"period of one day", Header("001", "2024-01-31T00:00:00", "2024-01-31T00:00:00").dump(),
       movements, ""},
      {"period up to 9999", Header("001", "2024-01-01", "9999-12-31T23:59:59").dump(), movements,
       ""},
      {"sign X", header, with(two, 1, 5, "\"X\""),
       "O indicador \"X\" da coluna IDMOVREAL (linha 2 do pacote de movimentos) deve ser \"C\" "
       "(crédito) ou \"D\" (débito)."},
      {"sign in lower case", with(Header(), 0, 6, "\"c\""), movements,
       "O indicador \"c\" da coluna IDEXTRINI " + kHeader +
           " deve ser \"C\" (crédito) ou \"D\" (débito)."},
      {"amount 1e308", header, with(two, 0, 6, "1e308"),
       "O valor 1e+308 da coluna VRMOVREAL (linha 1 do pacote de movimentos) passa do limite: "
       "deve ser menor que 10.000.000.000.000."},
      {"amount 2^63", with(Header(), 0, 5, "9223372036854775808"), movements,
       "O valor 9223372036854775808.0 da coluna VRSALDFIM " + kHeader +
           " passa do limite: deve ser menor que 10.000.000.000.000."},
      {"amount of 30 digits", header, with(two, 1, 6, "123456789012345678901234567890"),
       "O valor 1.2345678901234568e+29 da coluna VRMOVREAL (linha 2 do pacote de movimentos) "
       "passa do limite: deve ser menor que 10.000.000.000.000."},
      {"amount 10^13", header, with(two, 0, 6, "10000000000000"),
       "O valor 1e+13 da coluna VRMOVREAL (linha 1 do pacote de movimentos) passa do limite: "
       "deve ser menor que 10.000.000.000.000."},
      {"amount just below 10^13", with(Header(), 0, 4, "9999999999999.99"), movements, ""},
      {"negative amount", with(Header(), 0, 4, "-0.01"), movements,
       "O valor -0.01 da coluna VRSALDINIC " + kHeader +
           " é negativo: envie o valor absoluto, com o sinal em IDEXTRINI (\"C\" ou \"D\")."},
      {"minus zero", header, with(two, 0, 6, "-0.0"), ""},
      {"date in 1899", header, with(two, 1, 4, "\"1899-12-31T00:00:00\""),
       "A data \"1899-12-31T00:00:00\" da coluna DTMOVREAL (linha 2 do pacote de movimentos) está "
       "fora do intervalo aceito: o ano deve ser de 1900 a 9999."},
      {"period from year 1", Header("001", "0001-01-01T00:00:00").dump(), movements,
       "A data \"0001-01-01T00:00:00\" da coluna DTSALDINIC " + kHeader +
           " está fora do intervalo aceito: o ano deve ser de 1900 a 9999."},
      {"movement of 1900, outside the period", header, with(two, 1, 4, "\"1900-01-01T00:00:00\""),
       ""},
      {"date without a time", header, with(two, 0, 4, "\"2024-01-05\""), ""},
      {"date with an hour only", header, with(two, 0, 4, "\"2024-01-05T10\""),
       "A data \"2024-01-05T10\" da coluna DTMOVREAL (linha 1 do pacote de movimentos) não é "
       "válida (esperado AAAA-MM-DD ou AAAA-MM-DDTHH:MM:SS)."},
  };
  httplib::Client http("127.0.0.1", server_.Port());
  for (const Case& c : cases) {
    for (const char* method : {"ValidExtrato", "SetExtratoBancario"}) {
      const bool store = std::string(method) == "SetExtratoBancario";
      // Only refusals go to SetExtratoBancario: each accepted case would be
      // recorded by the one before.
      if (store && c.message.empty()) continue;
      const std::string body = R"({"jsonrpc":"2.0","id":1,"method":")" + std::string(method) +
                               R"(","params":[)" + c.header + "," + c.movements +
                               (store ? ",true]}" : "]}");
      auto reply = http.Post("/kvr61400.rdmImportOFX", body, "application/json");
      ASSERT_TRUE(reply) << c.what;
      const nlohmann::json answer = nlohmann::json::parse(reply->body);
      if (c.message.empty()) {
        EXPECT_EQ(true, answer["result"]) << c.what << ": " << reply->body;
      } else {
        EXPECT_EQ(-32000, answer["error"]["code"]) << c.what << " " << method;
        EXPECT_EQ(c.message, answer["error"]["message"]) << c.what << " " << method;
      }
    }
  }
  EXPECT_TRUE(StoredStatements(db_).empty());

  // The largest amount and the earliest date are stored as sent.
  auto stored = http.Post("/kvr61400.rdmImportOFX",
                          R"({"jsonrpc":"2.0","id":1,"method":"SetExtratoBancario","params":[)" +
                              with(Header(), 0, 5, "9999999999999.99") + "," +
                              with(two, 1, 4, "\"1900-01-01T00:00:00\"") + ",true]}",
                          "application/json");
  ASSERT_TRUE(stored);
  EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"result":true})", stored->body);
  CommandResult shown = RunServerCommand({"extrato", "show", "1", "--json", "--db", db_});
  ASSERT_EQ(0, shown.code) << shown.err;
  const nlohmann::json statement = nlohmann::json::parse(shown.out);
  EXPECT_EQ(9999999999999.99, statement["VRSALDFIM"]);
  EXPECT_EQ("1900-01-01T00:00:00", statement["MOVIMENTOS"][1]["DTMOVREAL"]);
}

TEST_P(ServerProcessTest, BodyOf64MiBIsRefused) {
  std::string body(64u * 1024 * 1024, ' ');
  body.replace(0, 2, "{}");
  httplib::Client http("127.0.0.1", server_.Port());
  auto reply = http.Post("/kvr61400.rdmImportOFX", body, "application/json");
  // The server answers before reading the body; the client may see the
  // answer or only the connection closing under its upload.
  if (reply) {
    EXPECT_EQ(413, reply->status);
    EXPECT_EQ("Requisição recusada: o corpo passa do limite de 48 MiB.",
              nlohmann::json::parse(reply->body)["error"]["message"]);
  }
  auto net = Connect();
  EXPECT_EQ(1u, net->Call("GetContaCorrente", {"237", "55"}).Payload()["rows"].size());
}

TEST_P(ServerProcessTest, TransportFailuresNameHostPortAndWhatFailed) {
  const int port = testing::FreeLoopbackPort();
  TNetConnection refused(nullptr);
  refused.Host = "127.0.0.1";
  refused.Port = port;
  try {
    refused.SetConnected(true);
    ADD_FAILURE() << "connected to a closed port";
  } catch (const Exception& error) {
    EXPECT_EQ("Servidor de aplicação 127.0.0.1:" + std::to_string(port) +
                  " não responde: conexão recusada ou servidor inalcançável.",
              std::string(error.what()));
  }
  EXPECT_FALSE(refused.Connected());

  auto net = Connect();
  server_.Signal(SIGKILL);
  server_.Wait();
  try {
    net->Call("GetContaCorrente", {"341", "123456"});
    ADD_FAILURE() << "called a dead server";
  } catch (const Exception& error) {
    // What the clerk was doing and what to do, not the method's name.
    const std::string text = std::string(error.what());
    const std::string prefix = "O servidor de aplicação 127.0.0.1:" + std::to_string(server_.Port()) +
                               " não respondeu ao procurar a conta corrente do extrato (";
    EXPECT_EQ(prefix, text.substr(0, prefix.size()));
    EXPECT_NE(std::string::npos, text.find("Confira se ele está no ar e tente de novo")) << text;
    EXPECT_EQ(std::string::npos, text.find("GetContaCorrente")) << text;
  }
}

TEST_P(ServerProcessTest, ConnectionIdleLongerThanTheServerKeepsItStillCalls) {
  // A server that lets idle connections go after 1 s (one server per
  // SQLite file: the fixture's goes first).
  server_.Signal(SIGTERM);
  ASSERT_EQ(0, server_.Wait());
  ServerProcess brief(db_, {"--timeout", "1"});
  brief.Start();
  TNetConnection net(nullptr);
  net.ServerName = "kvr61400.rdmImportOFX";
  net.Host = "127.0.0.1";
  net.Port = brief.Port();
  net.SetConnected(true);
  EXPECT_EQ(1u, net.Call("GetContaCorrente", {"237", "55"}).Payload()["rows"].size());
  // Once the server closed it, only the probe's own connection is open.
  testing::MetricsProbe probe(brief.Port());
  EXPECT_EQ(1, probe.WaitFor("kvr61400_open_connections", [](double open) { return open == 1; }));
  EXPECT_EQ(1u, net.Call("GetContaCorrente", {"237", "55"}).Payload()["rows"].size());
}

TEST_P(ServerProcessTest, TermAndInterruptShutDownCleanly) {
  server_.Signal(SIGTERM);
  EXPECT_EQ(0, server_.Wait());
  std::vector<std::string> log = server_.Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("kvr61400-server: encerrado.", log.back());

  ServerProcess second(db_);
  second.Start();
  second.Signal(SIGINT);
  EXPECT_EQ(0, second.Wait());
  EXPECT_EQ("kvr61400-server: SIGINT recebido, encerrando.", second.Log().at(1));
}

TEST(ServerCommands, AdministrationAnswersAndRefuses) {
  testing::TempDir dir;
  const std::string db = dir.File("admin.db");
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out, err;
  };
  const Case cases[] = {
      {{"conta", "add", "--codigo", "001", "--banco", "341", "--agencia", "1234", "--conta",
        "123456", "--tipo", "C", "--mascara", "99999-9", "--db", db},
       0, "Conta corrente 001 cadastrada: banco 341, agência 1234, conta 123456, tipo C.\n",
       "kvr61400-server: banco de dados novo criado: \"" + db +
           "\". Se o servidor usa outro banco, cadastre a conta nele (--db BANCO ou --config "
           "ARQUIVO).\n"},
      {{"conta", "add", "--codigo", "001", "--banco", "237", "--conta", "9", "--tipo", "C",
        "--db", db},
       1, "", "kvr61400-server: Conta corrente de código \"001\" já cadastrada.\n"},
      {{"conta", "add", "--codigo", "002", "--banco", "341", "--tipo", "C", "--db", db}, 64, "",
       "kvr61400-server: falta a opção --conta. Veja kvr61400-server conta add --help.\n"},
      {{"conta", "add", "--codigo", "002", "--banco", "341", "--conta", "123456", "--tipo", "c",
        "--db", db},
       1, "",
       "kvr61400-server: Tipo da conta (--tipo) inválido: \"c\". Use C (Circulante), L "
       "(Aplicação) ou G (Garantida), em maiúscula.\n"},
      {{"conta", "add", "--codigo", "002", "--banco", "341", "--conta", "123456", "--tipo", "L",
        "--db", db},
       0, "Conta corrente 002 cadastrada: banco 341, agência , conta 123456, tipo L.\n", ""},
      {{"conta", "edit", "--codigo", "002", "--tipo", "C", "--db", db}, 1, "",
       "kvr61400-server: A conta 123456 do banco 341, tipo C, já está cadastrada com o código "
       "\"001\".\n"},
      {{"conta", "edit", "--codigo", "002", "--tipo", "G", "--mascara", "999-9", "--db", db}, 1, "",
       "kvr61400-server: Máscara da conta (--mascara) \"999-9\" não serve para a conta "
       "\"123456\": tem 4 posições e a conta 6 caracteres. Use uma máscara com 6 posições, como "
       "99999-9.\n"},
      {{"conta", "edit", "--codigo", "002", "--tipo", "G", "--mascara", "999.999", "--db", db}, 0,
       "Conta corrente 002 alterada: tipo G, máscara 999.999.\n", ""},
      {{"conta", "edit", "--codigo", "002", "--db", db}, 64, "",
       "kvr61400-server: conta edit precisa de --tipo, --mascara ou --id-extrato. Veja kvr61400-server conta "
       "edit --help.\n"},
      {{"conta", "edit", "--codigo", "009", "--tipo", "C", "--db", db}, 1, "",
       "kvr61400-server: Conta corrente de código \"009\" não cadastrada.\n"},
      {{"conta", "list", "--db", db},
       0,
       "CODIGO BANCO AGENCIA CONTA      TIPO  MASCARA\n"
       "001    341   1234    123456     C     99999-9\n"
       "002    341           123456     G     999.999\n",
       ""},
      {{"conta", "remove", "--codigo", "002", "--db", db}, 0, "Conta corrente 002 excluída.\n",
       ""},
      {{"conta", "remove", "--codigo", "002", "--db", db}, 1, "",
       "kvr61400-server: Conta corrente de código \"002\" não cadastrada.\n"},
      {{"extrato", "show", "5", "--db", db}, 1, "", "kvr61400-server: Extrato 5 não encontrado.\n"},
      {{"extrato", "show", "x1", "--db", db}, 1, "",
       "kvr61400-server: Número de extrato \"x1\" inválido.\n"},
      {{"extrato", "list", "--json", "--db", db}, 0, "[]\n", ""},
      {{"serve", "--listen", "127.0.0.1", "--db", db}, 64, "",
       "kvr61400-server: --listen espera HOST:PORTA, não \"127.0.0.1\". Veja kvr61400-server "
       "serve --help.\n"},
      {{"apagar", "--db", db}, 64, "",
       "kvr61400-server: comando desconhecido \"apagar\". Veja kvr61400-server --help.\n"},
      {{"conta", "apagar", "--db", db}, 64, "",
       "kvr61400-server: subcomando desconhecido \"apagar\" de conta. Veja kvr61400-server "
       "conta --help.\n"},
      {{"extrato", "continuidade", "--conta", "009", "--db", db}, 1, "",
       "kvr61400-server: Conta corrente de código \"009\" não cadastrada.\n"},
  };
  for (const Case& c : cases) {
    CommandResult result = RunServerCommand(c.args);
    EXPECT_EQ(c.code, result.code) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(c.out, result.out);
    EXPECT_EQ(c.err, result.err);
  }
  CommandResult help = RunServerCommand({"--help"});
  EXPECT_EQ(0, help.code);
  EXPECT_NE(std::string::npos, help.out.find("senão kvr61400.db no diretório atual."));

  // Every command and subcommand has its help, on stdout with exit 0, with
  // an example; "conta" alone shows its own on stderr as a usage error.
  const std::vector<std::vector<std::string>> commands = {
      {"serve"},        {"conta"},        {"conta", "add"},  {"conta", "list"},
      {"conta", "edit"}, {"conta", "remove"}, {"extrato"}, {"extrato", "list"},
      {"extrato", "show"}, {"extrato", "continuidade"}};
  for (std::vector<std::string> words : commands) {
    std::string usage = "Uso: kvr61400-server";
    for (const std::string& word : words) usage += " " + word;
    words.push_back("--help");
    CommandResult shown = RunServerCommand(words);
    EXPECT_EQ(0, shown.code) << usage;
    EXPECT_EQ(0u, shown.out.rfind(usage, 0)) << shown.out;
    EXPECT_NE(std::string::npos, shown.out.find("Exemplo:\n  kvr61400-server " + words[0]))
        << shown.out;
  }
  CommandResult bare = RunServerCommand({"conta"});
  EXPECT_EQ(64, bare.code);
  EXPECT_EQ("", bare.out);
  EXPECT_EQ(0u, bare.err.find("kvr61400-server: conta precisa de um subcomando.\n\nUso: "
                              "kvr61400-server conta SUBCOMANDO"))
      << bare.err;
}

}  // namespace
}  // namespace kvr

namespace kvr {
namespace {

// Every listing of the server shows amounts by the locale it runs under, the
// rule of the import screen and of kvr61400: Brazilian separators where the
// locale has none of its own.
TEST(ServerListings, AmountsFollowTheLocale) {
  testing::TempDir dir;
  const std::string db = dir.File("locale.db");
  {
    std::unique_ptr<server::Store> store = server::OpenStore(db, true);
    store->AddAccount({"001", "341", "1234", "123456", "C", ""});
    server::ImportModule module(*store);
    ASSERT_TRUE(testing::SetExtratoBancario(module, HeaderWithBalances("2024-01-01", "2024-01-31", 1350, 2850),
                                          Movements({Mov{.value = 1500.0, .sign = "C"}}), true));
    // A debit of 10,00 that leaves 10,50 of the balances unexplained.
    ASSERT_TRUE(testing::SetExtratoBancario(module, HeaderWithBalances("2024-02-01", "2024-02-29", 2850, 2850.5),
                                          Movements({Mov{.date = "2024-02-05T00:00:00"}}), true));
  }
  struct Case {
    const char* locale;
    const char* list, * show, * continuity;
  };
  const Case cases[] = {
      {"C", "2.850,50 C", "1.500,00", "diferença de R$ 10,50"},
      {"pt_BR.UTF-8", "2.850,50 C", "1.500,00", "diferença de R$ 10,50"},
      {"en_US.UTF-8", "2,850.50 C", "1,500.00", "diferença de R$ 10.50"},
  };
  const char* saved = std::getenv("LC_ALL");
  const std::string saved_value = saved != nullptr ? saved : "";
  for (const Case& c : cases) {
    locale_t installed = newlocale(LC_ALL_MASK, c.locale, nullptr);
    if (installed == nullptr) continue;  // scripts/install-deps generates both
    freelocale(installed);
    setenv("LC_ALL", c.locale, 1);
    const CommandResult list = RunServerCommand({"extrato", "list", "--db", db});
    const CommandResult show = RunServerCommand({"extrato", "show", "1", "--db", db});
    const CommandResult continuity = RunServerCommand({"extrato", "continuidade", "--db", db});
    EXPECT_NE(std::string::npos, list.out.find(c.list)) << c.locale << "\n" << list.out;
    EXPECT_NE(std::string::npos, show.out.find(c.show)) << c.locale << "\n" << show.out;
    EXPECT_NE(std::string::npos, continuity.out.find(c.continuity)) << c.locale << "\n" << continuity.out;
  }
  if (saved != nullptr)
    setenv("LC_ALL", saved_value.c_str(), 1);
  else
    unsetenv("LC_ALL");
}

}  // namespace
}  // namespace kvr
