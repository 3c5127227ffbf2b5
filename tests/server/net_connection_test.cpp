#include "host/net_connection.h"

#include <gtest/gtest.h>

#include "json_rpc_double.h"
#include "recording_host.h"
#include "platform/encoding.h"
#include "platform/errors.h"

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
        Cp1252ToUtf8(error.what()));
  }
}

TEST_F(NetConnectionTest, ArgumentsGoOutPositionallyWithTextsInUtf8) {
  net_.SetConnected(true);
  nlohmann::json packet = {{"fields", nlohmann::json::array()}, {"rows", nlohmann::json::array()}};
  net_.Call("Metodo", {std::string("Jo\xE3o"), "123-X", true, false, TServerArg::Packet(packet)});
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
      {{{"error", {{"code", -32000}, {"message", "Conta n\xC3\xA3o cadastrada."}}}},
       true,
       -32000,
       "Conta n\xC3\xA3o cadastrada.",
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
      CheckResultServ(TServerResult::Failure(-32000, "Extrato j\xC3\xA1 cadastrado."), true, 0),
      EAbort);
  EXPECT_EQ(std::vector<std::string>{"Extrato j\xE1 cadastrado."}, host.errors);
  try {
    CheckResultServ(TServerResult::Failure(-32000, "Sem movimentos."), false, 0);
    ADD_FAILURE() << "failure passed";
  } catch (const EAbort&) {
    ADD_FAILURE() << "silent end without a message";
  } catch (const Exception& error) {
    EXPECT_EQ("Sem movimentos.", Cp1252ToUtf8(error.what()));
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
      EXPECT_EQ(c.message, Cp1252ToUtf8(error.what()));
    }
  }
}

}  // namespace
}  // namespace kvr
