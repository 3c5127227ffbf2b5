#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <unordered_set>

namespace kvr::server {

// How many connections the HTTP engine holds open at once, on all its
// loops, and which one makes room for a newcomer past that: the one idle
// longest (no request under way, or its request waits for memory, counted
// from when it began to wait), the newcomer itself when every other is
// busy. A request under way is never cut for a newcomer. It touches no
// socket: the connection chosen is marked evicted and its own loop is told
// (Entry's notify), which closes it. Thread-safe.
class ConnectionLimit {
 public:
  using Clock = std::chrono::steady_clock;

  // One connection counted. Its fields belong to the limit.
  class Entry {
   public:
    // Marked to make room: its loop closes the connection (any thread).
    bool Evicted() const { return evicted_.load(std::memory_order_acquire); }

   private:
    friend class ConnectionLimit;
    std::function<void()> notify_;
    Clock::time_point idle_since_;
    bool busy_ = false;     // a request under way that is not waiting for memory
    std::atomic<bool> evicted_{false};
  };

  // limit: connections at once (at least 1).
  explicit ConnectionLimit(size_t limit);
  // Releases the entries still counted.
  ~ConnectionLimit();
  ConnectionLimit(const ConnectionLimit&) = delete;
  ConnectionLimit& operator=(const ConnectionLimit&) = delete;

  // Counts a new connection, idle since now, until Release. Past the limit
  // the connection chosen (maybe this one) is marked and its notify runs,
  // under the limit's lock: notify must only tell the owning loop.
  Entry* Admit(Clock::time_point now, std::function<void()> notify);
  // The connection's request began: it cannot make room.
  void Busy(Entry* entry);
  // Its request waits for memory (since now) or it has none (idle since
  // now): it may make room.
  void Idle(Entry* entry, Clock::time_point now);
  // Stops counting entry and releases it.
  void Release(Entry* entry);

 private:
  std::mutex mutex_;
  std::unordered_set<Entry*> entries_;
  size_t evicted_ = 0;  // entries marked and not yet released
  const size_t limit_;
};

}  // namespace kvr::server
