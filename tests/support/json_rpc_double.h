#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "host/net_connection.h"
#include "platform/json_tree.h"

namespace kvr::testing {

// A transport answering in the process, for server doubles: it reads the
// params back from the request exactly as they would go on the wire, and
// sends the double's answer as the reply body (status 200; "jsonrpc" and the
// request's "id" filled in).
class JsonRpcDouble : public RpcTransport {
 public:
  // The JSON-RPC response object: "result" or "error".
  virtual nlohmann::json Answer(const std::string& server_name, const std::string& method,
                                const nlohmann::json& params) = 0;

  RpcResponse Call(const std::string& server_name, const RpcRequest& request) final {
    JsonSink body;
    request.WriteBody(body);
    nlohmann::json reply = Answer(server_name, request.Method(), JsonTree(body.text)["params"]);
    reply["jsonrpc"] = "2.0";
    reply["id"] = request.Id();
    return RpcResponse{200, reply.dump()};
  }
};

}  // namespace kvr::testing
