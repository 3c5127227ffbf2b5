#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kvr::server {

// The memory the server lets its requests take at once: bodies being read
// and what reading them builds. A request takes its whole share before it
// goes on and gives it back when answered; one that does not fit waits,
// holding nothing more, in arrival order, until there is room, its wait is
// ended (Evict: its deadline passed on its connection's loop, or the
// connection made room for another) or the budget closes. Waiters are
// limited per key and per address, so that one client cannot fill the
// queue. Thread-safe.
class MemoryBudget {
 public:
  // A share this small never waits behind a larger one when it fits at once:
  // a look-up is not held up by a statement that waits for room.
  static constexpr size_t kSmallShare = 64 * 1024;

  // One request's wait, shared by the request and the budget.
  class Ticket;
  // Who waits: the key the request came with ("" for none) and its address.
  struct Who {
    std::string key;
    std::string address;
  };
  enum class Outcome {
    kTaken,    // the bytes are the request's now
    kWaiting,  // queued: wake will run once the wait ends
    kBusy,     // who already has as many requests waiting as it may
    kClosed,   // the budget no longer lets anyone wait (the server stops)
  };

  // bytes in all; at most per_key requests of one key and per_address of
  // one address wait at once (at least 1 each).
  MemoryBudget(size_t bytes, size_t per_key, size_t per_address);
  ~MemoryBudget();

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

  // Takes bytes at once when they fit and nobody waits before (or they are a
  // small share that fits); otherwise queues the request (kWaiting, with
  // ticket set) unless who may not wait. wake runs once when the wait ends,
  // on whichever thread ends it, never under the budget's lock; Claim then
  // tells whether the bytes were taken. bytes above Total() never fit: the
  // caller must refuse them itself.
  Outcome TakeOrWait(size_t bytes, const Who& who, std::function<void()> wake,
                     std::shared_ptr<Ticket>& ticket);
  // After wake: true when the ticket's bytes were taken; they are then the
  // request's, to Give back when done.
  bool Claim(const std::shared_ptr<Ticket>& ticket);
  // The request is gone before it claimed its ticket: its wake will not run
  // (once this returns) and bytes taken for it go back. Harmless after Claim.
  void Withdraw(const std::shared_ptr<Ticket>& ticket);
  // Ends the wait of ticket now, without the bytes (its deadline passed, or
  // its connection made room for another): its wake runs. Harmless once the
  // wait ended (the bytes came first: the request keeps them).
  void Evict(const std::shared_ptr<Ticket>& ticket);

  // Takes bytes when they fit now and nobody waits before; never waits.
  bool TryTake(size_t bytes);
  // Takes bytes when they fit now, whoever waits: more room for a request
  // already under way, which never waits holding what it has.
  bool Grow(size_t bytes);

  // Gives bytes back and lets the waiters that now fit go on.
  void Give(size_t bytes);

  // Ends every wait, without the bytes, and lets no one wait from now on.
  void Close();

  // Requests waiting now (for the tests' and the log's sake).
  size_t Waiting();

 private:
  using Woken = std::vector<std::shared_ptr<Ticket>>;
  // Under the lock: takes the room of the first waiters that now fit.
  void Admit(Woken& woken);
  // Under the lock: the waiter at it leaves the queue, taken or not.
  void Leave(std::deque<std::shared_ptr<Ticket>>::iterator it, bool taken, Woken& woken);
  // Not under the lock: runs the wakes of woken.
  static void Wake(Woken& woken);

  std::mutex mutex_;
  std::deque<std::shared_ptr<Ticket>> waiters_;
  std::map<std::string, size_t> by_key_, by_address_;
  size_t free_;
  const size_t total_;
  const size_t per_key_, per_address_;
  bool closed_ = false;
};

}  // namespace kvr::server
