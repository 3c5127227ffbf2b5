#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "http/connection_limit.h"
#include "http/http_exchange.h"
#include "http/http_loop.h"

namespace kvr::server {

class TlsCredentials;

// The server's HTTP/1.1 engine: event loops on non-blocking sockets, each
// connection driven by its loop, never holding a thread while it waits for
// its client; TLS through GnuTLS when a context is given. Requests go to the
// handler. Each loop keeps its connections' deadlines on its own clock
// (HttpLoop, ConnectionDeadlines); the engine holds their number within its
// limit.
class HttpEngine {
 public:
  struct Settings {
    int loops = 2;
    std::chrono::seconds timeout{30};  // see ConnectionDeadlines
    std::uint64_t max_body = 48u * 1024u * 1024u;  // see HttpLoop::Settings
    // Open connections at once; past it the one idle longest makes room
    // (ConnectionLimit).
    size_t max_connections = 1000;
    const TlsCredentials* tls = nullptr;  // must outlive the engine; nullptr: plain HTTP
  };

  // handler must outlive the engine.
  HttpEngine(HttpHandler& handler, Settings settings);
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
  size_t OpenConnections() const;
  // True when every loop made a round since the last call (true the first
  // time), then wakes each one so that a loop alive makes one before the
  // next. For one watching thread (the service watchdog).
  bool Turning();

 private:
  void Run(HttpLoop& loop);

  HttpHandler& handler_;
  Settings settings_;
  ConnectionLimit limit_;
  int listen_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::vector<std::unique_ptr<HttpLoop>> loops_;
  std::vector<std::thread> threads_;
  // What Turning saw of each loop last.
  std::vector<unsigned long long> seen_turns_;
};

}  // namespace kvr::server
