#include "http/connection_deadlines.h"

#include <algorithm>

namespace kvr::server {

void ConnectionDeadlines::AwaitHead(Clock::time_point now) {
  phase_ = Phase::kHead;
  since_ = moved_ = now;
  due_ = now + timeout_;
}

void ConnectionDeadlines::ReadBody(Clock::time_point now, std::uint64_t most) {
  phase_ = Phase::kBody;
  since_ = moved_ = now;
  // Besides the floor over every window, the whole body must come at that
  // rate on average once the first T is over (a length past a TiB counts
  // as one: no moment past the clock's range).
  due_ = now + timeout_ + std::chrono::seconds(std::min<std::uint64_t>(most, 1ull << 40) / kMinBodyRate);
  received_ = 0;
  sampled_ = -1;
  slow_ = false;
}

void ConnectionDeadlines::Moved(Clock::time_point now, std::uint64_t body_bytes) {
  moved_ = now;
  if (phase_ != Phase::kBody || body_bytes == 0) return;
  // The seconds passed since the last bytes had the count before these.
  Sample(now);
  received_ += body_bytes;
}

void ConnectionDeadlines::Hold(Clock::time_point until) {
  phase_ = Phase::kHeld;
  due_ = until;
}

void ConnectionDeadlines::Answer(Clock::time_point now) {
  phase_ = Phase::kAnswer;
  moved_ = now;
}

void ConnectionDeadlines::Linger(Clock::time_point now) {
  phase_ = Phase::kLinger;
  due_ = now + kLinger;
}

void ConnectionDeadlines::Sample(Clock::time_point now) {
  if (now < since_) return;
  const long second =
      static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - since_).count());
  for (long s = sampled_ + 1; s <= second; ++s) {
    samples_[s % kSlots] = received_;
    if (s >= FirstJudged() &&
        received_ - samples_[(s - kRateWindow) % kSlots] < kMinBodyRate * kRateWindow)
      slow_ = true;
  }
  sampled_ = std::max(sampled_, second);
}

ConnectionDeadlines::Clock::time_point ConnectionDeadlines::Next() const {
  switch (phase_) {
    case Phase::kHead:
    case Phase::kHeld:
    case Phase::kLinger:
      return due_;
    case Phase::kAnswer:
      return moved_ + timeout_;
    case Phase::kBody:
      // The floor is judged at each whole second from the first window on.
      return std::min({due_, moved_ + timeout_,
                       since_ + std::chrono::seconds(std::max(sampled_ + 1, FirstJudged()))});
  }
  return Clock::time_point::max();
}

ConnectionDeadlines::Late ConnectionDeadlines::Check(Clock::time_point now, bool head_begun) {
  Late late = Late::kNothing;
  switch (phase_) {
    case Phase::kHead:
      if (now >= due_) late = head_begun ? Late::kHead : Late::kIdle;
      break;
    case Phase::kBody:
      Sample(now);
      if (slow_ || now >= due_ || now - moved_ >= timeout_) late = Late::kBody;
      break;
    case Phase::kHeld:
      if (now >= due_) late = Late::kWait;
      break;
    case Phase::kAnswer:
      if (now - moved_ >= timeout_) late = Late::kAnswer;
      break;
    case Phase::kLinger:
      if (now >= due_) late = Late::kLinger;
      break;
  }
  // Spent: nothing more is due until the connection moves to another phase.
  if (late != Late::kNothing) {
    phase_ = Phase::kHeld;
    due_ = Clock::time_point::max();
  }
  return late;
}

}  // namespace kvr::server
