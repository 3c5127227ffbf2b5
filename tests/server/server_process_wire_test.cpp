// The server process on the wire: compressed bodies, limits, hostile
// clients, the shared secret. Every load loop is bounded in count and time.
#include <gtest/gtest.h>
#include <httplib.h>

#include <csignal>

#include "body_stream.h"
#include "packets.h"
#include "server_process.h"
#include "temp_dir.h"

namespace kvr {
namespace {

using testing::CommandResult;
using testing::RunServerCommand;
using testing::ServerProcess;

const bool kIgnoreBrokenPipes = (signal(SIGPIPE, SIG_IGN), true);

const char* const kModule = "/kvr61400.rdmImportOFX";

std::string Call(const std::string& method, const nlohmann::json& params, int id = 7) {
  return nlohmann::json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}
      .dump();
}

// A database with account 003 of bank 237, number 55.
class WireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CommandResult added =
        RunServerCommand({"conta", "add", "--codigo", "003", "--banco", "237", "--agencia", "1",
                          "--conta", "55", "--tipo", "C", "--db", db_});
    ASSERT_EQ(0, added.code) << added.err;
  }

  std::unique_ptr<ServerProcess> Start(std::vector<std::string> extra = {}) {
    auto server = std::make_unique<ServerProcess>(db_, std::move(extra));
    server->Start();
    return server;
  }

  testing::TempDir dir_;
  std::string db_ = dir_.File("wire.db");
};

// What came back for one request: status and the JSON-RPC error message, or
// the first account code of a GetContaCorrente result.
struct Outcome {
  int status = 0;
  std::string text;
};

Outcome Post(int port, const std::string& body, const httplib::Headers& headers = {}) {
  httplib::Client http("127.0.0.1", port);
  http.set_read_timeout(20, 0);
  auto reply = http.Post(kModule, headers, body, "application/json");
  if (!reply) return {0, "sem resposta"};
  if (reply->body.empty()) return {reply->status, ""};
  nlohmann::json answer = nlohmann::json::parse(reply->body, nullptr, false);
  if (answer.is_discarded()) return {reply->status, "não JSON: " + reply->body.substr(0, 80)};
  if (answer.contains("error")) return {reply->status, answer["error"]["message"]};
  return {reply->status, answer["result"]["rows"][0][0].get<std::string>()};
}

TEST_F(WireTest, GzipBodiesAreInflatedAsTheyAreReadAndCapped) {
  auto server = Start({"--max-inflated", "1"});
  const std::string call = Call("GetContaCorrente", {"237", "0055"});
  const std::string gzip_call = server::GzipCompress(call);
  // 2 MiB of blanks after the call inflate past the 1 MiB cap from 10 KiB.
  const std::string bomb = server::GzipCompress(call + std::string(2u << 20, ' '));
  ASSERT_LT(bomb.size(), 16000u);
  const httplib::Headers gzip = {{"Content-Encoding", "gzip"}};
  struct Case {
    const char* what;
    std::string body;
    httplib::Headers headers;
    int status;
    std::string text;
  };
  const Case cases[] = {
      {"gzip", gzip_call, gzip, 200, "003"},
      {"gzip, any case", gzip_call, {{"Content-Encoding", "GZip"}}, 200, "003"},
      {"two gzip members", server::GzipCompress(call.substr(0, 20)) + server::GzipCompress(call.substr(20)),
       gzip, 200, "003"},
      {"plain", call, {}, 200, "003"},
      {"identity", call, {{"Content-Encoding", "identity"}}, 200, "003"},
      {"bomb", bomb, gzip, 413,
       "Requisição recusada: o corpo descompactado passa do limite de 1 MiB."},
      {"not gzip", call, gzip, 400,
       "O corpo da requisição declara Content-Encoding gzip, mas não é um gzip válido."},
      {"gzip cut short", gzip_call.substr(0, gzip_call.size() - 6), gzip, 400,
       "O corpo da requisição declara Content-Encoding gzip, mas não é um gzip válido."},
      {"other coding", call, {{"Content-Encoding", "br"}}, 415,
       "Codificação de conteúdo \"br\" não aceita; envie o corpo sem codificação ou em gzip."},
  };
  for (const Case& c : cases) {
    Outcome outcome = Post(server->Port(), c.body, c.headers);
    EXPECT_EQ(c.status, outcome.status) << c.what;
    EXPECT_EQ(c.text, outcome.text) << c.what;
  }
}

}  // namespace
}  // namespace kvr
