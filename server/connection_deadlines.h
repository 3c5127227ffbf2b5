#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_set>

namespace kvr::server {

// The deadlines of open connections: a watcher thread, four times a second,
// shuts down the socket of each connection past its deadline (the event loop
// that owns it then sees it end and closes it). Thread-safe.
class ConnectionDeadlines {
 public:
  using Clock = std::chrono::steady_clock;
  // A connection being watched (its handle).
  struct Connection {
    int fd = -1;
    Clock::time_point deadline;
  };
  // No deadline: for a connection whose call is under way.
  static constexpr Clock::time_point kNever = Clock::time_point::max();

  ConnectionDeadlines() = default;
  // Stops the watcher and releases every connection still followed.
  ~ConnectionDeadlines();

  ConnectionDeadlines(const ConnectionDeadlines&) = delete;
  ConnectionDeadlines& operator=(const ConnectionDeadlines&) = delete;

  // Follows the connection on socket fd (not followed when fd < 0), due by
  // deadline; the handle lives until Forget.
  Connection* Follow(int fd, Clock::time_point deadline);
  // Moves the deadline of connection (nullptr: nothing).
  void Set(Connection* connection, Clock::time_point deadline);
  // Stops following connection and releases it; must come before its
  // socket is closed, so that the watcher never shuts down a reused fd.
  void Forget(Connection* connection);

  // Starts the watcher thread; Stop ends it (harmless when not started).
  void Start();
  void Stop();

 private:
  void Watch();

  std::mutex mutex_;
  std::unordered_set<Connection*> followed_;
  std::mutex run_mutex_;
  std::condition_variable run_changed_;
  bool stopping_ = false;
  std::thread watcher_;
};

}  // namespace kvr::server
