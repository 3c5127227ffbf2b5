// The screen and `kvr61400 import` against a real kvr61400-server on
// 127.0.0.1 (free port, fresh SQLite file), stored rows checked through the
// server's own listing.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "../server/server_process.h"
#include "fake_http_server.h"
#include "screen_fixture.h"

namespace kvr::testing {
namespace {

struct CliResult {
  int code = -1;
  std::string out;
};

// Runs kvr61400 with args (stdin from the file input, empty by default;
// stderr dropped) and collects stdout.
CliResult RunCli(const std::vector<std::string>& args, const std::string& input = "/dev/null") {
  std::string command = std::string("'") + KVR61400_EXE + "'";
  for (const auto& a : args) command += " '" + a + "'";
  command += " <'" + input + "' 2>/dev/null";
  CliResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  const int status = pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string Example(const std::string& name) { return std::string(KVR_EXAMPLES_DIR) + "/" + name; }

class ServerEndToEnd : public ScreenTest {
 protected:
  void SetUp() override {
    ScreenTest::SetUp();
    SetImportOFXTransportFactory(nullptr);  // the real HTTP transport
    db_ = WriteFile("db.sqlite", "");
    std::remove(db_.c_str());
    AddAccount("001", "341", "1234", "123456", "C", "99999-9");
    AddAccount("002", "341", "1234", "123456", "L", "99999-9");
    AddAccount("010", "237", "0001", "543210", "C", "99999-9");
    AddAccount("020", "104", "0002", "123456", "C", "99999-9");
    server_ = std::make_unique<ServerProcess>(db_);
    server_->Start();
    host.url = "127.0.0.1";
    host.port = server_->Port();
  }
  void TearDown() override {
    server_.reset();
    ScreenTest::TearDown();
  }

  void AddAccount(const std::string& code, const std::string& bank, const std::string& agency,
                  const std::string& number, const std::string& kind, const std::string& mask) {
    CommandResult r = RunServerCommand({"conta", "add", "--db", db_, "--codigo", code, "--banco", bank,
                                        "--agencia", agency, "--conta", number, "--tipo", kind,
                                        "--mascara", mask});
    ASSERT_EQ(r.code, 0) << r.err;
  }
  nlohmann::json Statements() {
    CommandResult r = RunServerCommand({"extrato", "list", "--json", "--db", db_});
    EXPECT_EQ(r.code, 0) << r.err;
    return nlohmann::json::parse(r.out);
  }
  nlohmann::json Statement(int seq) {
    CommandResult r =
        RunServerCommand({"extrato", "show", std::to_string(seq), "--json", "--db", db_});
    EXPECT_EQ(r.code, 0) << r.err;
    return nlohmann::json::parse(r.out);
  }
  std::string Server() { return "127.0.0.1:" + std::to_string(server_->Port()); }

  std::string db_;
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(ServerEndToEnd, ModelLoadsConfirmsAndTheSecondConfirmationIsAlreadyRecorded) {
  ASSERT_EQ(Load(Example("extrato-341.ofx")), "");
  TfrmImportOFX& f = Form();
  EXPECT_EQ(f.edtConta->Text(), "12345-6");
  EXPECT_EQ(f.cbTipoConta->Items.Strings(),
            (std::vector<std::string>{"Circulante", "Aplica\xE7\xE3o"}));
  f.cbTipoConta->UserSelect(1);
  ASSERT_EQ(Confirm(), "");
  EXPECT_EQ(host.messages, (std::vector<std::string>{"Arquivo importado com sucesso."}));

  nlohmann::json list = Statements();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["CDREDUCONT"], "002");
  EXPECT_EQ(list[0]["MOVIMENTOS"], 8);
  EXPECT_EQ(list[0]["DTSALDINIC"], "2024-01-01T00:00:00");
  EXPECT_EQ(list[0]["VRSALDFIM"], 3203.5);
  nlohmann::json shown = Statement(list[0]["CDSEQUEXTR"].is_string()
                                       ? std::stoi(list[0]["CDSEQUEXTR"].get<std::string>())
                                       : list[0]["CDSEQUEXTR"].get<int>());
  ASSERT_EQ(shown["MOVIMENTOS"].size(), 8u);
  double credits = 0, debits = 0;
  for (const auto& m : shown["MOVIMENTOS"]) {
    EXPECT_EQ(m["CDREDUCONT"], "002");
    (m["IDMOVREAL"] == "C" ? credits : debits) += m["VRMOVREAL"].get<double>();
  }
  EXPECT_DOUBLE_EQ(credits, 3700.75);
  EXPECT_DOUBLE_EQ(debits, 1997.25);

  EXPECT_EQ(Confirm(), "abort");
  EXPECT_EQ(host.errors,
            (std::vector<std::string>{"Arquivo de movimenta\xE7\xE3o banc\xE1ria j\xE1 cadastrado."}));
  EXPECT_EQ(Statements().size(), 1u);
}

TEST_F(ServerEndToEnd, CommandLineImportsBank237WithItsRangeThenAnswersAlreadyRecorded) {
  CliResult first = RunCli({"import", Example("extrato-237.ofx"), "--server", Server(), "--de",
                            "04/03/2024", "--ate", "06/03/2024", "--json"});
  ASSERT_EQ(first.code, 0) << first.out;
  nlohmann::json report = nlohmann::json::parse(first.out);
  EXPECT_EQ(report["resultado"], "importado");
  EXPECT_EQ(report["tela"]["filtro"], "DTMOVREAL>= '04/03/2024' AND DTMOVREAL<= '06/03/2024'");
  const auto& rows = report["tela"]["grade"]["linhas"];
  ASSERT_EQ(rows.size(), 4u);
  for (const auto& row : rows) {
    const std::string date = row[0].get<std::string>();
    EXPECT_TRUE(date == "04/03/2024" || date == "05/03/2024" || date == "06/03/2024") << date;
  }
  EXPECT_EQ(report["mensagens"][0]["texto"], "Arquivo importado com sucesso.");
  nlohmann::json list = Statements();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["CDREDUCONT"], "010");
  EXPECT_EQ(list[0]["MOVIMENTOS"], 4);

  CliResult again = RunCli({"import", Example("extrato-237.ofx"), "--server", Server(), "--de",
                            "04/03/2024", "--ate", "06/03/2024"});
  EXPECT_EQ(again.code, 3);
  EXPECT_NE(again.out.find("[erro] Arquivo de movimenta\xC3\xA7\xC3\xA3o banc\xC3\xA1ria j\xC3\xA1 cadastrado."),
            std::string::npos)
      << again.out;
  EXPECT_EQ(Statements().size(), 1u);
}

TEST_F(ServerEndToEnd, CommandLineExitStatusesForEachEnd) {
  // Bank 104, its own period: two of the five transactions lie outside it.
  CliResult caixa = RunCli({"import", Example("extrato-104.ofx"), "--server", Server(), "--json"});
  EXPECT_EQ(caixa.code, 0) << caixa.out;
  nlohmann::json list = Statements();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["MOVIMENTOS"], 3);

  CliResult unknown = RunCli({"import", Example("extrato-336.ofx"), "--server", Server(), "--json"});
  EXPECT_EQ(unknown.code, 4);
  EXPECT_EQ(nlohmann::json::parse(unknown.out)["mensagens"][0]["texto"],
            "Conta corrente n\xC3\xA3o cadastrada.");

  const std::string not_ofx = WriteFile("nada.ofx", "nada\n");
  EXPECT_EQ(RunCli({"import", not_ofx, "--server", Server()}).code, 4);

  const std::string broken = WriteFile("quebrado.ofx", "<OFX>\n<DTSTART>2024\n");
  EXPECT_EQ(RunCli({"import", broken, "--server", Server()}).code, 2);

  server_.reset();
  EXPECT_EQ(RunCli({"import", Example("extrato-341.ofx"), "--server", "127.0.0.1:1"}).code, 2);
  EXPECT_EQ(RunCli({"import"}).code, 64);
}

TEST_F(ServerEndToEnd, RepeatQuestionIsAnsweredFromTheCommandLine) {
  const std::string twice = WriteFile(
      "twice.ofx", OfxText("341", "12345-6", "20240601", "20240630",
                           {{"20240605", "10.00", "R1", "77", "UM"},
                            {"20240605", "10.00", "R1", "77", "DOIS"}},
                           "100"));
  // "Não": nothing stored, and not "already recorded" either.
  CliResult no = RunCli({"import", twice, "--server", Server(), "--nao", "--json"});
  EXPECT_EQ(no.code, 5);
  nlohmann::json report = nlohmann::json::parse(no.out);
  EXPECT_EQ(report["mensagens"][0]["tipo"], "pergunta");
  EXPECT_EQ(report["mensagens"][0]["resposta"], "N\xC3\xA3o");
  EXPECT_EQ(report["mensagens"].size(), 1u);
  EXPECT_EQ(report["resultado"], "cancelado");
  EXPECT_EQ(Statements().size(), 0u);

  CliResult yes = RunCli({"import", twice, "--server", Server(), "--sim", "--tipo", "Aplicacao"});
  EXPECT_EQ(yes.code, 0) << yes.out;
  EXPECT_NE(yes.out.find("[pergunta] "), std::string::npos);
  nlohmann::json list = Statements();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["CDREDUCONT"], "002");
  EXPECT_EQ(list[0]["MOVIMENTOS"], 2);

  // Without an answer on the command line the terminal's empty input says no.
  EXPECT_EQ(RunCli({"import", twice, "--server", Server()}).code, 5);

  // A typed answer: an unknown word is asked again, then "s" says yes. The
  // first account type (Circulante, account 001) has no statement yet.
  const std::string typed = WriteFile("answers.txt", "talvez\ns\n");
  CliResult asked = RunCli({"import", twice, "--server", Server(), "--json"}, typed);
  EXPECT_EQ(asked.code, 0);
  nlohmann::json answered = nlohmann::json::parse(asked.out);
  EXPECT_EQ(answered["mensagens"][0]["resposta"], "Sim");
  EXPECT_EQ(answered["mensagens"][1]["texto"], "Arquivo importado com sucesso.");
  EXPECT_EQ(Statements().size(), 2u);
}

// A server's message reaches the terminal with its control characters shown
// as escapes: a hostile server, or one in the middle, writes nothing into the
// clerk's terminal and forges no line of the outcome.
TEST(CommandLineAgainstAFakeServer, ServersMessageIsPrintedWithItsControlsEscaped) {
  FakeHttpServer server([](int fd, const FakeHttpServer::Request&) {
    FakeHttpServer::Send(
        fd,
        FakeHttpServer::Reply(
            200,
            R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":)"
            R"x("Conta\u001b[2J\u001b]0;x\u0007 recusada\nResultado: importado (status 0)"}})x"));
  });
  const CliResult result = RunCli({"import", Example("extrato-341.ofx"), "--server",
                                   "127.0.0.1:" + std::to_string(server.Port())});
  EXPECT_EQ(result.code, 4) << result.out;
  EXPECT_NE(
      result.out.find(
          "\n[erro] Conta\\x1B[2J\\x1B]0;x\\x07 recusada\\nResultado: importado (status 0)\n"),
      std::string::npos)
      << result.out;
  EXPECT_EQ(result.out.find_first_of(std::string("\x1B\x07", 2)), std::string::npos) << result.out;
}

}  // namespace
}  // namespace kvr::testing
