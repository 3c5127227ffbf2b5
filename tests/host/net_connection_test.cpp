#include "host/net_connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "fake_http_server.h"
#include "json_rpc_double.h"
#include "platform/client_dataset.h"
#include "platform/cp1252.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "recording_host.h"

namespace kvr {
namespace {

// A transport that records what it is given and answers a scripted response.
struct ScriptedTransport : testing::JsonRpcDouble {
  struct Log {
    std::vector<std::string> events;
    nlohmann::json params;
    nlohmann::json response = {{"jsonrpc", "2.0"}, {"id", 1}, {"result", true}};
    bool refuse = false;
  };
  explicit ScriptedTransport(Log& log) : log(log) {}
  void Open(const std::string& host, int port) override {
    log.events.push_back("open " + host + ":" + std::to_string(port));
    if (log.refuse) throw Exception("recusado");
  }
  void Close() override { log.events.push_back("close"); }
  nlohmann::json Answer(const std::string& server_name, const std::string& method,
                        const nlohmann::json& params) override {
    log.events.push_back("call " + server_name + " " + method);
    log.params = params;
    return log.response;
  }
  Log& log;
};

class NetConnectionTest : public ::testing::Test {
 protected:
  NetConnectionTest() {
    net_.ServerName = "kvr61400.rdmImportOFX";
    net_.SetTransport(std::make_unique<ScriptedTransport>(log_));
    net_.OnBeforeConnect = [this](TComponent* sender) {
      log_.events.push_back(sender == &net_ ? "before connect" : "before connect of another");
      net_.Host = "servidor";
      net_.Port = 211;
    };
  }
  ScriptedTransport::Log log_;
  TNetConnection net_{nullptr};
};

TEST_F(NetConnectionTest, ConnectRunsTheHandlerFirstAndOpensOnce) {
  net_.SetConnected(true);
  net_.SetConnected(true);
  EXPECT_TRUE(net_.Connected());
  net_.SetConnected(false);
  net_.SetConnected(false);
  EXPECT_FALSE(net_.Connected());
  EXPECT_EQ((std::vector<std::string>{"before connect", "open servidor:211", "close"}),
            log_.events);
}

TEST_F(NetConnectionTest, FailedOpenLeavesTheConnectionClosed) {
  log_.refuse = true;
  EXPECT_THROW(net_.SetConnected(true), Exception);
  EXPECT_FALSE(net_.Connected());
}

TEST_F(NetConnectionTest, CallingWhileClosedIsAnError) {
  try {
    net_.Call("GetContaCorrente", {"341", "1"});
    ADD_FAILURE() << "called while closed";
  } catch (const Exception& error) {
    EXPECT_EQ(
        "Conexão com o servidor de aplicação não está aberta (chamada de GetContaCorrente).",
        std::string(error.what()));
  }
}

TEST_F(NetConnectionTest, ArgumentsGoOutPositionallyWithTextsInUtf8) {
  net_.SetConnected(true);
  nlohmann::json packet = {{"fields", nlohmann::json::array()}, {"rows", nlohmann::json::array()}};
  net_.Call("Metodo", {std::string("João"_cp1252), "123-X", true, false, TServerArg::Packet(packet)});
  EXPECT_EQ("call kvr61400.rdmImportOFX Metodo", log_.events.back());
  EXPECT_EQ(R"(["João","123-X",true,false,{"fields":[],"rows":[]}])", log_.params.dump());
}

TEST_F(NetConnectionTest, ResponsesBecomeResults) {
  net_.SetConnected(true);
  struct Case {
    nlohmann::json response;
    bool failed;
    int code;
    std::string message;
    nlohmann::json payload;
  };
  const Case cases[] = {
      {{{"result", {{"rows", {1}}}}}, false, 0, "", {{"rows", {1}}}},
      {{{"result", false}}, false, 0, "", false},
      {{{"error", {{"code", -32000}, {"message", "Conta não cadastrada."}}}},
       true,
       -32000,
       "Conta não cadastrada.",
       nullptr},
      {{{"error", {{"code", 5}}}}, true, 5, "Erro no servidor de aplicação.", nullptr},
  };
  for (const Case& c : cases) {
    log_.response = c.response;
    TServerResult result = net_.Call("M", {});
    EXPECT_EQ(c.failed, result.Failed()) << c.response.dump();
    EXPECT_EQ(c.code, result.ErrorCode());
    EXPECT_EQ(c.message, result.ErrorMessage());
    EXPECT_EQ(c.payload, result.Payload());
  }
  log_.response = {{"jsonrpc", "2.0"}, {"id", 1}};
  EXPECT_THROW(net_.Call("M", {}), Exception);
}

TEST(CheckResultServ, FailuresAreShownInWindows1252AndEndTheAction) {
  testing::RecordingHost host;
  EXPECT_EQ(true, CheckResultServ(TServerResult::Success(true), true, 0));
  EXPECT_THROW(
      CheckResultServ(TServerResult::Failure(-32000, "Extrato já cadastrado."), true, 0),
      EAbort);
  EXPECT_EQ(std::vector<std::string>{"Extrato já cadastrado."_cp1252}, host.errors);
  try {
    CheckResultServ(TServerResult::Failure(-32000, "Sem movimentos."), false, 0);
    ADD_FAILURE() << "failure passed";
  } catch (const EAbort&) {
    ADD_FAILURE() << "silent end without a message";
  } catch (const Exception& error) {
    EXPECT_EQ("Sem movimentos.", std::string(error.what()));
  }
  EXPECT_EQ(1u, host.errors.size());
}

TEST(HttpTransport, BadAddressesAreRefusedBeforeAnyTraffic) {
  struct Case {
    std::string host;
    int port;
    std::string message;
  };
  const Case cases[] = {
      {"", 8061, "Endereço do servidor de aplicação não informado."},
      {"127.0.0.1", 0, "Porta 0 do servidor de aplicação 127.0.0.1 é inválida."},
      {"127.0.0.1", 70000, "Porta 70000 do servidor de aplicação 127.0.0.1 é inválida."},
  };
  for (const Case& c : cases) {
    TNetConnection net(nullptr);
    net.Host = c.host;
    net.Port = c.port;
    try {
      net.SetConnected(true);
      ADD_FAILURE() << c.message;
    } catch (const Exception& error) {
      EXPECT_EQ(c.message, std::string(error.what()));
    }
  }
}

}  // namespace
}  // namespace kvr

// ---------------------------------------------------------------- over HTTP

namespace kvr {
namespace {

using testing::FakeHttpServer;

std::string Gzip(const std::string& text) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Gunzip(const std::string& data) {
  z_stream z{};
  inflateInit2(&z, 15 + 16);
  std::string out;
  char buf[65536];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  }
  inflateEnd(&z);
  return out;
}

// A connection to the fake server with small limits, so that the deadline and
// the size cap show within a test's time.
std::unique_ptr<TNetConnection> ConnectTo(const FakeHttpServer& server, HttpLimits limits = {}) {
  auto net = std::make_unique<TNetConnection>(nullptr);
  net->ServerName = "kvr61400.rdmImportOFX";
  net->Host = "127.0.0.1";
  net->Port = server.Port();
  net->Token = "segredo";
  net->SetTransport(MakeHttpTransport(limits));
  net->SetConnected(true);
  return net;
}

TEST(HttpConnection, BrokenAnswersAreFailuresNamingTheServer) {
  const std::string deep = std::string(60000, '[') + std::string(60000, ']');
  struct Case {
    std::string name;
    std::function<void(int fd)> reply;
    std::string message;  // the failure's text after "...", with PORT for the port
  };
  const Case cases[] = {
      {"500 carrying true",
       [](int fd) {
         FakeHttpServer::Send(
             fd, FakeHttpServer::Reply(500, R"({"jsonrpc":"2.0","id":1,"result":true})"));
       },
       "O servidor respondeu com o estado HTTP 500 (chamada de SetExtratoBancario ao servidor "
       "127.0.0.1:PORT)."},
      {"503 that is no JSON",
       [](int fd) { FakeHttpServer::Send(fd, FakeHttpServer::Reply(503, "<html>ocupado</html>")); },
       "O servidor respondeu com o estado HTTP 503 (chamada de SetExtratoBancario ao servidor "
       "127.0.0.1:PORT)."},
      {"nested 60,000 deep",
       [&deep](int fd) {
         FakeHttpServer::Send(fd, FakeHttpServer::Reply(200, R"({"jsonrpc":"2.0","id":1,"result":)" + deep + "}"));
       },
       "Resposta inválida (chamada de SetExtratoBancario ao servidor 127.0.0.1:PORT): JSON "
       "inválido: "
       "aninhamento além de 64 níveis (byte 97)."},
      {"trailing garbage",
       [](int fd) {
         FakeHttpServer::Send(fd, FakeHttpServer::Reply(200, std::string(R"({"jsonrpc":"2.0","id":1,"result":true})") +
                                                                 std::string(1, '\0') + "x"));
       },
       "Resposta inválida (chamada de SetExtratoBancario ao servidor 127.0.0.1:PORT): JSON "
       "inválido: texto "
       "depois do fim do valor (byte 39)."},
      {"result twice",
       [](int fd) {
         FakeHttpServer::Send(
             fd, FakeHttpServer::Reply(200,
                                       R"({"jsonrpc":"2.0","id":1,"result":false,"result":true})"));
       },
       "Resposta inválida (chamada de SetExtratoBancario ao servidor 127.0.0.1:PORT): JSON "
       "inválido: chave "
       "\"result\" repetida (byte 40)."},
      {"a packet's rows twice",
       [](int fd) {
         FakeHttpServer::Send(
             fd, FakeHttpServer::Reply(
                     200, R"({"jsonrpc":"2.0","id":1,"result":{"rows":[],"rows":[[1]]}})"));
       },
       "Resposta inválida (chamada de SetExtratoBancario ao servidor 127.0.0.1:PORT): JSON "
       "inválido: chave "
       "\"rows\" repetida (byte 45)."},
      {"answer to another request",
       [](int fd) {
         FakeHttpServer::Send(
             fd, FakeHttpServer::Reply(200, R"({"jsonrpc":"2.0","id":7,"result":true})"));
       },
       "Resposta de outra requisição (chamada de SetExtratoBancario ao servidor "
       "127.0.0.1:PORT)."},
      {"endless trickle",
       [](int fd) {
         FakeHttpServer::Send(fd, "HTTP/1.1 200 OK\r\n");
         for (int i = 0; i < 400 && FakeHttpServer::Send(fd, "X"); ++i)
           std::this_thread::sleep_for(std::chrono::milliseconds(20));
       },
       "Tempo esgotado (300 ms) na chamada de SetExtratoBancario ao servidor 127.0.0.1:PORT."},
      {"a gigabyte announced",
       [](int fd) {
         std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n";
         const std::string chunk(1 << 16, ' ');
         bool alive = FakeHttpServer::Send(fd, head);
         for (int i = 0; alive && i < 16384; ++i) alive = FakeHttpServer::Send(fd, chunk);
       },
       "Falha na chamada de SetExtratoBancario ao servidor 127.0.0.1:PORT: resposta maior que 1 "
       "MiB."},
      {"a gigabyte declared and nothing sent",
       [](int fd) {
         FakeHttpServer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n");
         // Held open until the client leaves (reads time out every 200 ms).
         char byte;
         for (int i = 0; i < 20 && recv(fd, &byte, 1, 0) != 0; ++i) {
         }
       },
       "Falha na chamada de SetExtratoBancario ao servidor 127.0.0.1:PORT: resposta maior que 1 "
       "MiB."},
      {"2 KiB of gzip inflating to 2 MiB",
       [](int fd) {
         const std::string reply = R"({"jsonrpc":"2.0","id":1,"result":")" + std::string(2 << 20, ' ') + "\"}";
         FakeHttpServer::Send(fd, FakeHttpServer::Reply(200, Gzip(reply), "Content-Encoding: gzip\r\n"));
       },
       "Falha na chamada de SetExtratoBancario ao servidor 127.0.0.1:PORT: resposta maior que 1 "
       "MiB."},
  };
  for (const Case& c : cases) {
    FakeHttpServer server([&c](int fd, const FakeHttpServer::Request&) { c.reply(fd); });
    HttpLimits limits;
    limits.deadline_ms = 300;
    limits.max_reply_bytes = 1 << 20;
    auto net = ConnectTo(server, limits);
    std::string expected = c.message;
    expected.replace(expected.find("PORT"), 4, std::to_string(server.Port()));
    const auto start = std::chrono::steady_clock::now();
    try {
      net->Call("SetExtratoBancario", {true});
      ADD_FAILURE() << c.name << ": taken as an answer";
    } catch (const EAbort&) {
      ADD_FAILURE() << c.name << ": taken as the server's refusal";
    } catch (const Exception& e) {
      EXPECT_EQ(expected, e.what()) << c.name;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << c.name;
  }
}

TEST(HttpConnection, RequestsCarryTheTokenAndLargeBodiesGoCompressed) {
  FakeHttpServer server([](int fd, const FakeHttpServer::Request&) {
    const std::string reply = R"({"jsonrpc":"2.0","id":1,"result":{"fields":[{"name":"A","type":"string","size":9}],)"
                              R"("rows":[["S\u00e3o"]]}})";
    FakeHttpServer::Send(fd, FakeHttpServer::Reply(200, Gzip(reply), "Content-Encoding: gzip\r\n"));
  });
  HttpLimits limits;
  limits.compress_above_bytes = 0;
  auto net = ConnectTo(server, limits);
  TClientDataSet table(nullptr);
  table.AddFieldDef("A", TFieldType::ftString, 9);
  table.CreateDataSet();
  table.Append();
  table.FieldByName("A").SetAsString("João"_cp1252);
  table.Post();
  const TServerResult result = net->Call("GetContaCorrente", {TServerArg::Table(table), "x"});
  table.SetData(CheckResultServText(result, true, 0));
  EXPECT_EQ("São"_cp1252, table.FieldByName("A").AsString());

  const auto received = server.Received();
  ASSERT_EQ(1u, received.size());
  EXPECT_NE(std::string::npos, received[0].head.find("Authorization: Bearer segredo\r\n"));
  EXPECT_NE(std::string::npos, received[0].head.find("Content-Encoding: gzip\r\n"));
  EXPECT_NE(std::string::npos, received[0].head.find("Transfer-Encoding: chunked\r\n"));
  EXPECT_NE(std::string::npos, received[0].head.find("Accept-Encoding: gzip"));
  EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"method":"GetContaCorrente","guardar":true,"params":[{"fields":[{"name":"A","type":"string",)"
            R"("size":9}],"rows":[["João"]]},"x"]})",
            Gunzip(received[0].body));
}

// A body of many pieces is compressed on its own thread while the request is
// written: the server gets every piece, once, in order.
TEST(HttpConnection, LargeBodyArrivesWholeAndInOrder) {
  FakeHttpServer server([](int fd, const FakeHttpServer::Request&) {
    FakeHttpServer::Send(fd, FakeHttpServer::Reply(200, R"({"jsonrpc":"2.0","id":1,"result":true})"));
  });
  HttpLimits limits;
  limits.compress_above_bytes = 0;
  auto net = ConnectTo(server, limits);
  TClientDataSet table(nullptr);
  table.AddFieldDef("A", TFieldType::ftString, 40);
  table.CreateDataSet();
  // Some 60 pieces of 64 KB, each row's text its own number.
  std::string rows;
  for (int i = 0; i < 200000; ++i) {
    table.Append();
    table.FieldByName("A").SetAsString("movimento " + std::to_string(i));
    table.Post();
    rows += (i == 0 ? "[\"movimento " : ",[\"movimento ") + std::to_string(i) + "\"]";
  }
  EXPECT_EQ(true, net->Call("ValidExtrato", {TServerArg::Table(table)}).Payload());
  const auto received = server.Received();
  ASSERT_EQ(1u, received.size());
  EXPECT_NE(std::string::npos, received[0].head.find("Content-Encoding: gzip\r\n"));
  const std::string body = Gunzip(received[0].body);
  const std::string packet = R"({"fields":[{"name":"A","type":"string","size":40}],"rows":[)" + rows + "]}";
  const std::string tail = packet + "]}";
  ASSERT_GE(body.size(), tail.size());
  EXPECT_EQ(body.size() - tail.size(), body.rfind(tail)) << "the body ends with the whole packet";
}

// A statement the server kept from ValidExtrato is named in the next call;
// when the server no longer keeps it (-32010), the call goes again with the
// table itself.
TEST(HttpConnection, KeptMovementsAreNamedAndSentAgainWhenTheServerLostThem) {
  FakeHttpServer server([](int fd, const FakeHttpServer::Request& request) {
    std::string reply = R"({"jsonrpc":"2.0","id":1,"result":true,"guardado":"abc"})";
    if (request.body.find(R"("method":"SetExtratoBancario")") != std::string::npos)
      reply = request.body.find(R"({"guardado":"abc"})") != std::string::npos
                  ? R"({"jsonrpc":"2.0","id":2,"error":{"code":-32010,"message":"envie de novo"}})"
                  : R"({"jsonrpc":"2.0","id":3,"result":true})";
    FakeHttpServer::Send(fd, FakeHttpServer::Reply(200, reply));
  });
  auto net = ConnectTo(server);
  TClientDataSet table(nullptr);
  table.AddFieldDef("A", TFieldType::ftString, 9);
  table.CreateDataSet();
  table.Append();
  table.FieldByName("A").SetAsString("x");
  table.Post();
  const TServerResult valid = net->Call("ValidExtrato", {TServerArg::Table(table)});
  EXPECT_EQ("abc", valid.Held());
  const TServerResult stored = net->Call("SetExtratoBancario", {TServerArg::Held(valid.Held(), table), true});
  EXPECT_EQ("true", CheckResultServText(stored, true, 0));
  const auto received = server.Received();
  ASSERT_EQ(3u, received.size());
  EXPECT_NE(std::string::npos, received[0].body.find(R"("guardar":true,"params":[{"fields")"));
  EXPECT_NE(std::string::npos, received[1].body.find(R"("params":[{"guardado":"abc"},true])"));
  EXPECT_NE(std::string::npos, received[2].body.find(R"("params":[{"fields":[{"name":"A")"));
}

TEST(HttpConnection, ProxiesNamedInTheEnvironmentAreNotUsed) {
  // A proxy on a closed loopback port: a call that went through it would fail.
  const char* names[] = {"http_proxy", "https_proxy", "all_proxy", "ALL_PROXY"};
  for (const char* name : names) setenv(name, "http://127.0.0.1:1", 1);
  FakeHttpServer server([](int fd, const FakeHttpServer::Request&) {
    FakeHttpServer::Send(fd, FakeHttpServer::Reply(200, R"({"jsonrpc":"2.0","id":1,"result":true})"));
  });
  try {
    auto net = ConnectTo(server);
    EXPECT_EQ(true, net->Call("ValidExtrato", {true}).Payload());
  } catch (const Exception& e) {
    ADD_FAILURE() << e.what();
  }
  for (const char* name : names) unsetenv(name);
  EXPECT_EQ(1u, server.Received().size());
}

}  // namespace
}  // namespace kvr
