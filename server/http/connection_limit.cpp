#include "http/connection_limit.h"

#include <algorithm>
#include <utility>

namespace kvr::server {

ConnectionLimit::ConnectionLimit(size_t limit) : limit_(std::max<size_t>(limit, 1)) {}

ConnectionLimit::~ConnectionLimit() {
  for (Entry* entry : entries_) delete entry;
}

ConnectionLimit::Entry* ConnectionLimit::Admit(Clock::time_point now,
                                               std::function<void()> notify) {
  auto* entry = new Entry;
  entry->notify_ = std::move(notify);
  entry->idle_since_ = now;
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.insert(entry);
  if (entries_.size() - evicted_ <= limit_) return entry;
  // One too many: the connection idle longest makes room. A new connection
  // counts as idle since it came, so a crowd of silent ones goes first.
  Entry* victim = nullptr;
  for (Entry* other : entries_)
    if (other != entry && !other->busy_ && !other->Evicted() &&
        (victim == nullptr || other->idle_since_ < victim->idle_since_))
      victim = other;
  if (victim == nullptr) victim = entry;
  victim->evicted_.store(true, std::memory_order_release);
  ++evicted_;
  victim->notify_();
  return entry;
}

void ConnectionLimit::Busy(Entry* entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entry->busy_ = true;
}

void ConnectionLimit::Idle(Entry* entry, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  entry->busy_ = false;
  entry->idle_since_ = now;
}

void ConnectionLimit::Release(Entry* entry) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.erase(entry);
    if (entry->Evicted()) --evicted_;
  }
  delete entry;
}

}  // namespace kvr::server
