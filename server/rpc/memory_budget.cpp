#include "rpc/memory_budget.h"

#include <algorithm>
#include <utility>

namespace kvr::server {

class MemoryBudget::Ticket {
 public:
  enum class State { kQueued, kTaken, kRefused, kClaimed, kWithdrawn };

  size_t bytes = 0;
  std::string key, address;
  State state = State::kQueued;  // under the budget's lock
  // Guards wake: Withdraw clears it while no one runs it.
  std::mutex wake_mutex;
  std::function<void()> wake;
};

MemoryBudget::MemoryBudget(size_t bytes, size_t per_key, size_t per_address)
    : free_(bytes),
      total_(bytes),
      per_key_(std::max<size_t>(per_key, 1)),
      per_address_(std::max<size_t>(per_address, 1)) {}

MemoryBudget::~MemoryBudget() = default;

MemoryBudget::Outcome MemoryBudget::TakeOrWait(size_t bytes, const Who& who,
                                               std::function<void()> wake,
                                               std::shared_ptr<Ticket>& ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes <= free_ && (waiters_.empty() || bytes <= kSmallShare)) {
    free_ -= bytes;
    return Outcome::kTaken;
  }
  if (closed_) return Outcome::kClosed;
  if (by_key_[who.key] >= per_key_ || by_address_[who.address] >= per_address_)
    return Outcome::kBusy;
  ++by_key_[who.key];
  ++by_address_[who.address];
  ticket = std::make_shared<Ticket>();
  ticket->bytes = bytes;
  ticket->key = who.key;
  ticket->address = who.address;
  ticket->wake = std::move(wake);
  waiters_.push_back(ticket);
  return Outcome::kWaiting;
}

void MemoryBudget::Leave(std::deque<std::shared_ptr<Ticket>>::iterator it, bool taken,
                         Woken& woken) {
  Ticket& ticket = **it;
  if (taken) free_ -= ticket.bytes;
  ticket.state = taken ? Ticket::State::kTaken : Ticket::State::kRefused;
  if (--by_key_[ticket.key] == 0) by_key_.erase(ticket.key);
  if (--by_address_[ticket.address] == 0) by_address_.erase(ticket.address);
  woken.push_back(std::move(*it));
  waiters_.erase(it);
}

void MemoryBudget::Admit(Woken& woken) {
  while (!waiters_.empty() && waiters_.front()->bytes <= free_)
    Leave(waiters_.begin(), true, woken);
}

void MemoryBudget::Wake(Woken& woken) {
  for (const std::shared_ptr<Ticket>& ticket : woken) {
    std::lock_guard<std::mutex> lock(ticket->wake_mutex);
    if (ticket->wake) std::exchange(ticket->wake, nullptr)();
  }
}

bool MemoryBudget::Claim(const std::shared_ptr<Ticket>& ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ticket->state != Ticket::State::kTaken) return false;
  ticket->state = Ticket::State::kClaimed;
  return true;
}

void MemoryBudget::Withdraw(const std::shared_ptr<Ticket>& ticket) {
  Woken woken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (ticket->state) {
      case Ticket::State::kQueued: {
        auto it = std::find(waiters_.begin(), waiters_.end(), ticket);
        Woken gone;  // its own wake is not run
        Leave(it, false, gone);
        // The first waiter gone may let the next ones in.
        Admit(woken);
        break;
      }
      case Ticket::State::kTaken:
        free_ += ticket->bytes;
        Admit(woken);
        break;
      default:
        break;
    }
    if (ticket->state != Ticket::State::kClaimed) ticket->state = Ticket::State::kWithdrawn;
  }
  {
    // Waits for a wake under way on another thread, and disarms it.
    std::lock_guard<std::mutex> lock(ticket->wake_mutex);
    ticket->wake = nullptr;
  }
  Wake(woken);
}

void MemoryBudget::Evict(const std::shared_ptr<Ticket>& ticket) {
  Woken woken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ticket->state != Ticket::State::kQueued) return;
    Leave(std::find(waiters_.begin(), waiters_.end(), ticket), false, woken);
    Admit(woken);
  }
  Wake(woken);
}

MemoryBudget::Use MemoryBudget::InUse() {
  std::lock_guard<std::mutex> lock(mutex_);
  Use use{total_ - free_, 0, waiters_.size()};
  for (const std::shared_ptr<Ticket>& waiter : waiters_) use.waiting += waiter->bytes;
  return use;
}

bool MemoryBudget::TryTake(size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!waiters_.empty() || bytes > free_) return false;
  free_ -= bytes;
  return true;
}

bool MemoryBudget::Grow(size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes > free_) return false;
  free_ -= bytes;
  return true;
}

void MemoryBudget::Give(size_t bytes) {
  if (bytes == 0) return;
  Woken woken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_ += bytes;
    Admit(woken);
  }
  Wake(woken);
}

void MemoryBudget::Close() {
  Woken woken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    while (!waiters_.empty()) Leave(waiters_.begin(), false, woken);
  }
  Wake(woken);
}

size_t MemoryBudget::Waiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiters_.size();
}

}  // namespace kvr::server
