#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "http/connection_deadlines.h"
#include "http/http_exchange.h"

namespace kvr::server {

class HttpConnection;
class TlsCredentials;

// One event loop of the engine: a thread polling its connections, the
// listening socket (every loop accepts from it) and a wake-up descriptor.
class HttpLoop {
 public:
  // Hands a resumed connection to the loop; any thread. connection must
  // belong to this loop.
  void Post(HttpConnection* connection);

 private:
  friend class HttpEngine;
  HttpLoop() = default;
  void Wake();

  int wake_fd_ = -1;
  std::mutex mutex_;
  std::vector<HttpConnection*> resumed_;
  std::vector<std::unique_ptr<HttpConnection>> connections_;
  std::thread thread_;
  // Rounds of the loop, and what Turning saw last.
  std::atomic<unsigned long long> turns_{0};
  unsigned long long seen_turns_ = ~0ull;
};

// The server's HTTP/1.1 engine: event loops on non-blocking sockets, each
// connection driven by its loop, never holding a thread while it waits for
// its client; TLS through GnuTLS when a context is given. Requests go to the
// handler. The deadlines follow every connection (its limit, its timeouts);
// the engine follows and forgets them.
class HttpEngine {
 public:
  struct Settings {
    int loops = 2;
    std::chrono::seconds timeout{30};  // a new connection's head is due within it
    const TlsCredentials* tls = nullptr;  // must outlive the engine; nullptr: plain HTTP
  };

  // handler and deadlines must outlive the engine.
  HttpEngine(HttpHandler& handler, ConnectionDeadlines& deadlines, Settings settings);
  // Stops the loops (Stop).
  ~HttpEngine();
  HttpEngine(const HttpEngine&) = delete;
  HttpEngine& operator=(const HttpEngine&) = delete;

  // Serves the listening socket listen_fd (taken: closed by Stop) on the
  // loops. Throws std::system_error when a loop cannot be made.
  void Start(int listen_fd);
  // Stops accepting; closes the connections idle or reading a request;
  // lets the answers being made or written go out (for up to a few
  // seconds), then closes every connection and joins the loops. Every
  // suspended exchange must have been resumed, or be resumed meanwhile
  // (the caller stops whatever holds them first). Harmless twice.
  void Stop();

  // The connections open now, on every loop.
  size_t OpenConnections() const { return open_; }
  // True when every loop made a round since the last call (true the first
  // time), then wakes each one so that a loop alive makes one before the
  // next. For one watching thread (the service watchdog).
  bool Turning();

 private:
  void Run(HttpLoop& loop);
  void Accept(HttpLoop& loop);

  HttpHandler& handler_;
  ConnectionDeadlines& deadlines_;
  Settings settings_;
  int listen_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> open_{0};
  std::vector<std::unique_ptr<HttpLoop>> loops_;
};

}  // namespace kvr::server
