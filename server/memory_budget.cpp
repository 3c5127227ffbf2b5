#include "memory_budget.h"

#include <vector>

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

bool MemoryBudget::TryTake(size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!waiters_.empty() || bytes > free_) return false;
  free_ -= bytes;
  return true;
}

void MemoryBudget::Give(size_t bytes) {
  std::vector<Granted> go;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_ += bytes;
    while (!waiters_.empty() && waiters_.front().bytes <= free_) {
      free_ -= waiters_.front().bytes;
      go.push_back(std::move(waiters_.front().granted));
      waiters_.pop_front();
    }
  }
  changed_.notify_all();
  for (Granted& granted : go) granted(true);
}

void MemoryBudget::Expire(Clock::time_point now) {
  std::vector<Granted> late;
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
    while (!waiters_.empty() && waiters_.front().bytes <= free_) {
      free_ -= waiters_.front().bytes;
      std::vector<Granted>::value_type granted = std::move(waiters_.front().granted);
      waiters_.pop_front();
      late.push_back([granted = std::move(granted)](bool) { granted(true); });
    }
  }
  if (!late.empty()) changed_.notify_all();
  for (Granted& granted : late) granted(false);
}

}  // namespace kvr::server
