#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace kvr::server {

// The memory the server lets its requests take at once: bodies being read
// and rows being built. A request takes its share before it goes on and
// gives it back when answered; one that does not fit waits, first come first
// served, until there is room or its deadline passes. Thread-safe.
class MemoryBudget {
 public:
  using Clock = std::chrono::steady_clock;
  // Told once whether the bytes were taken (false: the deadline passed).
  using Granted = std::function<void(bool taken)>;

  explicit MemoryBudget(size_t bytes) : free_(bytes), total_(bytes) {}

  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  size_t Total() const { return total_; }
  // What requests hold now, what the waiting ones ask for, and how many
  // wait: a moment's view, for the server's metrics.
  struct Use {
    size_t in_use = 0;
    size_t waiting = 0;
    size_t waiters = 0;
  };
  Use InUse();

  // Takes bytes at once and returns true when they fit and nobody waits
  // before; otherwise queues the request and returns false: waiting() runs
  // under the budget's lock, before granted can be called (the HTTP engine
  // suspends the connection there); granted(true) runs once the bytes are
  // taken, granted(false) once deadline passed (Expire), on whichever thread
  // gives room or expires, never under the lock. bytes above Total() never
  // fit: the caller must refuse them itself.
  template <typename Waiting>
  bool TakeOrWait(size_t bytes, Clock::time_point deadline, Waiting&& waiting, Granted granted) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiters_.empty() && bytes <= free_) {
      free_ -= bytes;
      return true;
    }
    waiting();
    waiters_.push_back({bytes, deadline, std::move(granted)});
    return false;
  }

  // Takes bytes when they fit now and nobody waits before; never waits.
  bool TryTake(size_t bytes);

  // Takes bytes, waiting (this thread) up to deadline; false when they did
  // not fit by then. For a share that grows while a request is read.
  bool Take(size_t bytes, Clock::time_point deadline);

  // Gives bytes back and lets the waiters that now fit go on.
  void Give(size_t bytes);

  // Answers the waiters whose deadline passed (called a few times a second).
  void Expire(Clock::time_point now);

 private:
  struct Waiter {
    size_t bytes;
    Clock::time_point deadline;
    Granted granted;
  };
  // Under the lock: takes the room of the first waiters that now fit, and
  // hands their callbacks to go.
  void Admit(std::vector<Granted>& go);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Waiter> waiters_;
  size_t free_;
  const size_t total_;
};

}  // namespace kvr::server
