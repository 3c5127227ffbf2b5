#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/connection_limit.h"
#include "http/http_exchange.h"
#include "http/loop_timers.h"

namespace kvr::server {

class HttpConnection;
class TlsCredentials;

// One event loop of the HTTP engine and its one clock: the connections it
// owns, their deadlines in one heap (poll sleeps until the earliest, and
// the ones due run here, see ConnectionDeadlines), a wake-up descriptor
// through which other threads post to it, and the listening socket it takes
// connections from. Only its sockets' owner touches them: other threads
// only Post, Wake and read the counters. Everything else runs on the
// thread that calls Turn.
class HttpLoop {
 public:
  using Clock = std::chrono::steady_clock;
  struct Settings {
    std::chrono::seconds timeout{30};  // see ConnectionDeadlines (T)
    // The largest body a handler takes: a chunked body must come within T
    // plus this at the floor's rate.
    std::uint64_t max_body = 48u * 1024u * 1024u;
    const TlsCredentials* tls = nullptr;  // must outlive the loop; nullptr: plain HTTP
  };

  // handler and limit must outlive the loop; now is its clock
  // (steady_clock's in the server, one moved by hand in tests). Throws
  // std::system_error when its wake-up descriptor cannot be made.
  HttpLoop(HttpHandler& handler, ConnectionLimit& limit, Settings settings,
           std::function<Clock::time_point()> now = Clock::now);
  // Closes every connection left (CloseAll).
  ~HttpLoop();
  HttpLoop(const HttpLoop&) = delete;
  HttpLoop& operator=(const HttpLoop&) = delete;

  // Accepts from the listening socket listen_fd (non-blocking, not taken;
  // other loops may accept from it too) from the next Turn on.
  void Listen(int listen_fd) { listen_fd_ = listen_fd; }
  // Takes the connected non-blocking socket fd of client ("ADDRESS:PORT").
  void Adopt(int fd, std::string client);
  // One round: waits at most most for a socket, a post or the earliest
  // deadline, then takes what was posted, accepts, drives the connections
  // that can go on, runs the deadlines due and forgets the closed.
  void Turn(Clock::duration most = Clock::duration::max());
  // The server stops: no more accepting; idle connections and those
  // reading a request close, the others once answered.
  void Stop();
  // Ends every connection now, telling the handler of requests under way.
  void CloseAll();

  // The loop's time, as read after its last wait.
  Clock::time_point Now() const { return now_; }
  LoopTimers& Timers() { return timers_; }
  ConnectionLimit& Limit() { return limit_; }
  const Settings& GetSettings() const { return settings_; }

  // Connections open now; any thread.
  size_t Open() const { return open_.load(std::memory_order_relaxed); }
  // Rounds made so far; any thread.
  unsigned long long Turns() const { return turns_.load(std::memory_order_relaxed); }
  // Hands a resumed connection to the loop; any thread. connection must
  // belong to this loop.
  void Post(HttpConnection* connection);
  // Makes the loop go round; any thread.
  void Wake();

 private:
  void Accept();
  // Tells the connections the limit evicted.
  void Evict();
  // Forgets the connections closed.
  void Sweep();

  HttpHandler& handler_;
  ConnectionLimit& limit_;
  const Settings settings_;
  const std::function<Clock::time_point()> clock_;
  Clock::time_point now_;
  LoopTimers timers_;
  int wake_fd_ = -1;
  int listen_fd_ = -1;
  bool stopped_ = false;
  Clock::time_point accept_after_;  // accepting waits for a descriptor to spare
  std::vector<std::unique_ptr<HttpConnection>> connections_;
  std::vector<pollfd> fds_;
  std::mutex mutex_;
  std::vector<HttpConnection*> resumed_;  // under mutex_
  std::atomic<bool> evictions_{false};    // the limit marked one of ours
  std::atomic<size_t> open_{0};
  std::atomic<unsigned long long> turns_{0};
};

}  // namespace kvr::server
