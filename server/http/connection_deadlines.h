#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

namespace kvr::server {

// The open connections of the HTTP engine and their clocks. A watcher thread,
// four times a second, shuts down the socket of each connection past its
// deadline (the event loop that owns it then sees it end and closes it),
// and cuts each body that comes too slowly. Admitting a connection past the
// limit closes the one idle longest. Thread-safe.
class ConnectionDeadlines {
 public:
  using Clock = std::chrono::steady_clock;
  // A connection being watched (its handle). Its fields belong to this class.
  struct Connection {
    int fd = -1;
    Clock::time_point deadline;
    bool in_request = false;      // a request head came and its answer has not gone
    // The request waits for memory: evictable as an idle connection is, and
    // then told through end_wait (which answers it).
    std::function<void()> end_wait;
    bool evicted = false;         // shut down to make room; closing
    Clock::time_point idle_since;  // connected, or the last answer went
    // The body being read: since when (max: none), bytes so far, and the
    // watcher's samples of those bytes, one per second since it began.
    Clock::time_point body_since = Clock::time_point::max();
    std::atomic<std::uint64_t> received{0};
    std::uint64_t samples[16] = {};
    long sampled = -1;            // the last second sampled
    // The body was cut for its rate: the event loop answers 408 and closes
    // the connection (shut down kAnswerCut later if it has not).
    std::atomic<bool> cut{false};
    std::string label;            // "ADDRESS POST /path", for the log
  };
  // No deadline: for a connection whose call is under way.
  static constexpr Clock::time_point kNever = Clock::time_point::max();
  // A body must bring at least kMinBodyRate bytes a second over every
  // kRateWindow once its first grace period (the connection timeout) is over.
  static constexpr std::uint64_t kMinBodyRate = 64 * 1024;
  static constexpr int kRateWindow = 10;
  // How long a cut body's connection has to answer it before it is closed.
  static constexpr std::chrono::seconds kAnswerCut{2};

  // Called by the watcher for a body that came too slowly, when it cuts it
  // (logs). The event loop that owns the connection answers it; the watcher
  // shuts the socket down kAnswerCut later.
  using SlowBody = std::function<void(const std::string& label)>;

  // Follows at most limit (at least 1) connections at once (past it, Follow
  // closes the one idle longest), gives a body body_grace before its rate is
  // judged, and tells slow_body of a body cut for its rate.
  ConnectionDeadlines(size_t limit, std::chrono::seconds body_grace, SlowBody slow_body);
  // Stops the watcher and releases every connection still followed.
  ~ConnectionDeadlines();

  ConnectionDeadlines(const ConnectionDeadlines&) = delete;
  ConnectionDeadlines& operator=(const ConnectionDeadlines&) = delete;

  // Follows the connection on socket fd, due by deadline; the handle lives
  // until Forget. When that makes more than the limit, the open connection
  // idle longest without a request in progress (or whose request waits for
  // memory) is shut down; when none is, this one is.
  Connection* Follow(int fd, Clock::time_point deadline);
  // Moves the deadline of connection.
  void Set(Connection* connection, Clock::time_point deadline);
  // The connection's request waits for memory (end_wait set) or no longer
  // does (empty). While it waits it may make room for another connection:
  // end_wait then runs, under the deadlines' lock, and the socket is shut
  // down.
  void Waiting(Connection* connection, std::function<void()> end_wait);
  // A request head came: the connection is busy until EndRequest.
  void BeginRequest(Connection* connection, Clock::time_point deadline);
  // Its body begins to come (label names it in the log) and must be whole
  // by deadline (the average of the floor); both cuts mark the connection
  // cut and go to SlowBody.
  void BeginBody(Connection* connection, std::string label, Clock::time_point deadline);
  // size more bytes of the body came. Lock-free: called for each piece.
  static void Received(Connection* connection, size_t size) {
    connection->received.fetch_add(size, std::memory_order_relaxed);
  }
  // The body is whole: its rate is no longer watched.
  void EndBody(Connection* connection);
  // The answer went: the connection is idle, due again by deadline.
  void EndRequest(Connection* connection, Clock::time_point deadline);
  // Stops following connection and releases it; must come before its
  // socket is closed, so that the watcher never shuts down a reused fd.
  void Forget(Connection* connection);

  // Starts the watcher thread; Stop ends it (harmless when not started).
  // tick runs on the watcher at each round.
  void Start(std::function<void()> tick);
  void Stop();

 private:
  void Watch();
  // True when the body of connection came too slowly by now.
  bool TooSlow(Connection& connection, Clock::time_point now);

  std::mutex mutex_;
  std::unordered_set<Connection*> followed_;
  size_t evicted_ = 0;  // followed connections shut down to make room
  const size_t limit_;
  const std::chrono::seconds body_grace_;
  const SlowBody slow_body_;
  std::function<void()> tick_;
  std::mutex run_mutex_;
  std::condition_variable run_changed_;
  bool stopping_ = false;
  std::thread watcher_;
};

}  // namespace kvr::server
