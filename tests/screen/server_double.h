#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/net_connection.h"
#include "json_rpc_double.h"
#include "platform/errors.h"

namespace kvr::testing {

// What the server double knows and what it was asked; shared between the test
// and the transport that the screen's connection owns.
struct ServerScript {
  struct Call {
    std::string server_name;
    std::string method;
    nlohmann::json params;
  };
  struct Account {
    std::string cdreducont, cdbanco, cdagencia, cdcontcorr, cdpictcont, idtipoccorr;
  };

  // The accounts GetContaCorrente returns, whatever it is asked.
  std::vector<Account> accounts;
  // Answers of ValidExtrato and SetExtratoBancario; a non-null
  // odd_answer replaces the answer of odd_method (an answer of the wrong type).
  bool valid = true;
  bool stored = true;
  std::string odd_method;
  nlohmann::json odd_answer;
  // When not empty, the method of that name answers a JSON-RPC error with
  // failure_message (UTF-8).
  std::string failing_method;
  std::string failure_message = "Falha no servidor.";
  // When not empty, the method of that name throws a transport failure.
  std::string broken_method;
  // When true, Open fails as if the server were not there.
  bool refuse_open = false;

  std::vector<Call> calls;
  std::vector<std::string> opened;  // "host:port" of each Open
  int closes = 0;

  // The calls of one method, in order.
  std::vector<Call> CallsOf(const std::string& method) const {
    std::vector<Call> out;
    for (const auto& c : calls) {
      if (c.method == method) out.push_back(c);
    }
    return out;
  }
  std::vector<std::string> Methods() const {
    std::vector<std::string> out;
    for (const auto& c : calls) out.push_back(c.method);
    return out;
  }
};

// The accounts packet in the layout of cdsContaCorrente.
inline nlohmann::json AccountsPacket(const std::vector<ServerScript::Account>& accounts) {
  nlohmann::json fields = nlohmann::json::array();
  auto field = [&](const char* name, int size) {
    fields.push_back({{"name", name}, {"type", "string"}, {"size", size}});
  };
  field("CDREDUCONT", 3);
  field("CDBANCO", 3);
  field("CDAGENCIA", 5);
  field("CDCONTCORR", 10);
  field("CDPICTCONT", 20);
  field("IDTIPOCCORR", 20);
  nlohmann::json rows = nlohmann::json::array();
  for (const auto& a : accounts) {
    rows.push_back({a.cdreducont, a.cdbanco, a.cdagencia, a.cdcontcorr, a.cdpictcont, a.idtipoccorr});
  }
  return {{"fields", fields}, {"rows", rows}};
}

// A transport that answers the import module's three methods from a script.
class ServerDouble : public JsonRpcDouble {
 public:
  explicit ServerDouble(std::shared_ptr<ServerScript> script) : script_(std::move(script)) {}

  void Open(const std::string& host, int port) override {
    if (script_->refuse_open) {
      throw Exception("servidor " + host + ":" + std::to_string(port) + " não responde");
    }
    script_->opened.push_back(host + ":" + std::to_string(port));
  }
  void Close() override { ++script_->closes; }
  nlohmann::json Answer(const std::string& server_name, const std::string& method,
                        const nlohmann::json& params) override {
    script_->calls.push_back({server_name, method, params});
    if (method == script_->broken_method) throw Exception("conexão perdida");
    nlohmann::json reply = {{"jsonrpc", "2.0"}, {"id", 1}};
    if (method == script_->odd_method) {
      reply["result"] = script_->odd_answer;
    } else if (method == script_->failing_method) {
      reply["error"] = {{"code", -32000}, {"message", script_->failure_message}};
    } else if (method == "GetContaCorrente") {
      reply["result"] = AccountsPacket(script_->accounts);
    } else if (method == "ValidExtrato") {
      reply["result"] = script_->valid;
    } else if (method == "SetExtratoBancario") {
      reply["result"] = script_->stored;
    } else {
      reply["error"] = {{"code", -32601}, {"message", "método desconhecido"}};
    }
    return reply;
  }

 private:
  std::shared_ptr<ServerScript> script_;
};

}  // namespace kvr::testing
