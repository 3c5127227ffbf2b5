#include "access/guess_limit.h"

namespace kvr::server {

bool GuessLimit::Blocked(const std::string& address, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = records_.find(address);
  return found != records_.end() && now < found->second.blocked_until;
}

bool GuessLimit::Refused(const std::string& address, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = records_.find(address);
  if (found != records_.end() && now < found->second.blocked_until) return false;
  if (found == records_.end()) {
    if (records_.size() >= sweep_at_) Sweep(now);
    found = records_.emplace(address, Record{}).first;
  }
  Record& record = found->second;
  record.times[record.next] = now;
  record.next = (record.next + 1) % kMaxRefusals;
  if (record.count < kMaxRefusals) ++record.count;
  // With the ring full, the slot to be overwritten next holds the oldest
  // of the last kMaxRefusals refusals.
  if (record.count == kMaxRefusals && now - record.times[record.next] < kWindow) {
    record.blocked_until = now + kBlock;
    record.count = 0;
    return true;
  }
  return false;
}

void GuessLimit::Sweep(Clock::time_point now) {
  std::erase_if(records_, [now](const auto& entry) {
    const Record& record = entry.second;
    const int last = (record.next + kMaxRefusals - 1) % kMaxRefusals;
    const bool recent = record.count > 0 && now - record.times[last] < kWindow;
    return !recent && now >= record.blocked_until;
  });
  // Many addresses guessing at once: the next sweep waits until the map
  // has doubled, so each costs its size once.
  sweep_at_ = records_.size() * 2 > 1024 ? records_.size() * 2 : 1024;
}

}  // namespace kvr::server
