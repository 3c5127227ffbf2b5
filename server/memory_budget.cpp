#include "memory_budget.h"

namespace kvr::server {

bool MemoryBudget::Take(size_t bytes, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (bytes > total_) return false;
  // Queued requests go first: a growing share waits behind them too.
  if (!changed_.wait_until(lock, deadline, [&] { return waiters_.empty() && bytes <= free_; }))
    return false;
  free_ -= bytes;
  return true;
}

MemoryBudget::Use MemoryBudget::InUse() {
  std::lock_guard<std::mutex> lock(mutex_);
  Use use{total_ - free_, 0, waiters_.size()};
  for (const Waiter& waiter : waiters_) use.waiting += waiter.bytes;
  return use;
}

bool MemoryBudget::TryTake(size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!waiters_.empty() || bytes > free_) return false;
  free_ -= bytes;
  return true;
}

void MemoryBudget::Admit(std::vector<Granted>& go) {
  while (!waiters_.empty() && waiters_.front().bytes <= free_) {
    free_ -= waiters_.front().bytes;
    go.push_back(std::move(waiters_.front().granted));
    waiters_.pop_front();
  }
}

void MemoryBudget::Give(size_t bytes) {
  std::vector<Granted> go;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_ += bytes;
    Admit(go);
  }
  changed_.notify_all();
  for (Granted& granted : go) granted(true);
}

void MemoryBudget::Expire(Clock::time_point now) {
  std::vector<Granted> late, go;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = waiters_.begin(); it != waiters_.end();) {
      if (it->deadline <= now) {
        late.push_back(std::move(it->granted));
        it = waiters_.erase(it);
      } else {
        ++it;
      }
    }
    // The first waiter gone may let the next ones in.
    Admit(go);
  }
  if (!late.empty() || !go.empty()) changed_.notify_all();
  for (Granted& granted : late) granted(false);
  for (Granted& granted : go) granted(true);
}

}  // namespace kvr::server
