#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "access/access.h"
#include "rpc/import_module.h"
#include "rpc/json_rpc.h"       // ReadRpcCall, AnswerRpcCall: the answer to one body, without HTTP
#include "http/listen_socket.h"  // IsLoopbackHost, for the callers that choose the address
#include "http/tls_credentials.h"

namespace kvr::server {

// How the HTTP server runs.
struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8061;                            // 0: any free port
  size_t max_body = 48u * 1024u * 1024u;      // bytes on the wire; larger requests are refused
  size_t max_inflated = 1024u * 1024u * 1024u;  // a gzip body once inflated
  int threads = 8;                            // workers for calls (the database work)
  int http_threads = 2;                       // event loops of the HTTP engine
  // Open connections at once; past it, the connection idle longest (no
  // request in progress) is closed to admit a new one.
  int max_connections = 1000;
  // A connection silent this long is closed; a request head must arrive
  // whole within it, and a body at no less than 64 KiB/s over every 10 s
  // after it (408 otherwise). A request waits at most this long for memory.
  int timeout_seconds = 30;
  // The memory all requests may take at once: bodies being read and rows
  // being built. A request that does not fit waits for room, then gets 503.
  size_t max_memory = 2048u * 1024u * 1024u;
  // When not empty, every request must carry "Authorization: Bearer token".
  // Used when access is not given.
  std::string token;
  // Who may call (clerk keys, the shared secret); must outlive the server.
  // nullptr: only token is asked for.
  AccessControl* access = nullptr;
  // The certificate for HTTPS; must outlive the server. nullptr: plain HTTP.
  TlsCredentials* tls = nullptr;
  // Small account look-ups answered on the event loop itself. Only for a
  // store that answers at once (a local file): a look-up that waits on a
  // database server would stall every connection of that loop.
  bool quick_calls = true;
  std::function<void(const std::string&)> log;
};

// The HTTP/1.1 endpoint of the module: POST /kvr61400.rdmImportOFX with a
// JSON-RPC body (optionally gzip); GET / answers the server's name (the
// client's connect check); GET /saude whether the database answers (no key
// asked: for load balancers; see HealthCheck); GET /metrics the counters
// (ServerMetrics) for an administrator's key, or on loopback without keys. Event-driven: a slow client holds a connection,
// never a thread; the calls themselves run on a bounded pool of workers.
class RpcServer {
 public:
  // module must outlive the server.
  RpcServer(ImportModule& module, ServerOptions options);
  ~RpcServer();

  RpcServer(const RpcServer&) = delete;
  RpcServer& operator=(const RpcServer&) = delete;

  // Binds the listening socket, exclusively (a port some other process
  // listens on is refused); returns the port (the real one for port 0).
  // Throws kvr::Exception with the Portuguese reason: "porta HOST:PORT já
  // está em uso ..." or another failure naming host and port.
  int Bind();
  // Serves until Stop; returns false when the HTTP engine could not start.
  bool Run();
  // Stops Run from another thread (a signal waiter, a test): calls under way
  // finish, calls waiting for a worker are answered 503. Harmless twice; a
  // Stop before Run makes Run return at once.
  void Stop();
  // True while Run is serving.
  bool IsRunning() const;

  // For the service watchdog, from one thread: false when an event loop made
  // no round since the last call, or when the workers hang (calls wait and
  // none began or ended since the last call). Each call wakes the loops, so
  // that live ones make a round before the next. True while not serving.
  bool Turning();
  // What the server is doing now, for the service's status line.
  struct Activity {
    size_t connections = 0;
    size_t requests = 0;  // requests between their head and their answer
  };
  Activity Now();

  // The address as Bind resolved it: "127.0.0.1" or "[::1]".
  std::string HostText() const;

 private:
  struct Engine;
  ImportModule& module_;
  ServerOptions options_;
  std::unique_ptr<Engine> engine_;
};

}  // namespace kvr::server
