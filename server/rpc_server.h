#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "import_module.h"

namespace httplib {
class Server;
}

namespace kvr::server {

// Answers one JSON-RPC 2.0 request body for module (the path it was posted
// to, without the leading "/") and returns the response body. Never throws:
// a body that is not JSON, a request that is not a call, an unknown module or
// method, wrong params, a refused statement and failures of the store are
// answered with a JSON-RPC error whose message is Portuguese. log, when set,
// receives one line per call: method, account, rows, outcome, milliseconds.
std::string AnswerRpc(ImportModule& module, const std::string& module_name,
                      const std::string& body, const std::function<void(const std::string&)>& log);

// How the HTTP server runs.
struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8061;                           // 0: any free port
  size_t max_body = 48u * 1024u * 1024u;     // larger requests are refused
  int threads = 8;
  int timeout_seconds = 60;                  // read and write timeouts
  std::function<void(const std::string&)> log;
};

// The HTTP/1.1 endpoint of the module: POST /kvr61400.rdmImportOFX with a
// JSON-RPC body; GET / answers the server's name (the client's connect check).
class RpcServer {
 public:
  // module must outlive the server.
  RpcServer(ImportModule& module, ServerOptions options);
  ~RpcServer();

  RpcServer(const RpcServer&) = delete;
  RpcServer& operator=(const RpcServer&) = delete;

  // Binds the listening socket; returns the port (the real one for port 0).
  // Throws kvr::Exception naming host and port when it cannot bind.
  int Bind();
  // Serves until Stop; returns false when serving failed.
  bool Run();
  // Stops Run from another thread (a signal waiter, a test). Harmless twice.
  // A Stop that comes before Run has started listening has no effect: wait
  // for IsRunning first.
  void Stop();
  // True while Run is listening.
  bool IsRunning() const;

 private:
  ImportModule& module_;
  ServerOptions options_;
  std::unique_ptr<httplib::Server> http_;
};

}  // namespace kvr::server
