#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

namespace kvr::server {

// The deadlines of one event loop, earliest first (a binary heap): the loop
// sleeps until the earliest and runs the ones due, on its own thread. A
// Timer belongs to what it wakes, sits in at most one heap, and must be
// cancelled (or have fired) before it is destroyed. Not thread-safe: only
// its loop uses it.
class LoopTimers {
 public:
  using Clock = std::chrono::steady_clock;

  class Timer {
   public:
    Timer() = default;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    bool Armed() const { return index_ != kNone; }
    // The moment it is armed for (meaningless when not armed).
    Clock::time_point When() const { return when_; }
    // Runs on the loop when the moment came (now: the loop's time); the
    // timer is disarmed by then and may be armed again.
    virtual void Expired(Clock::time_point now) = 0;

   protected:
    ~Timer() = default;

   private:
    friend class LoopTimers;
    static constexpr size_t kNone = ~size_t{0};
    Clock::time_point when_;
    size_t index_ = kNone;
  };

  // Arms timer for when, or moves it there when it is armed.
  void Arm(Timer& timer, Clock::time_point when);
  // Arms timer for when unless it is armed for that moment or an earlier
  // one: its owner looks at a timer that comes early and arms it again, so a
  // deadline that moves later costs no work on the heap.
  void ArmBy(Timer& timer, Clock::time_point when);
  // Disarms timer (harmless when it is not armed).
  void Cancel(Timer& timer);

  // The earliest moment armed, or Clock::time_point::max() when none is.
  Clock::time_point Earliest() const {
    return heap_.empty() ? Clock::time_point::max() : heap_.front()->when_;
  }
  // Runs Expired for each timer due at now, earliest first. A timer armed
  // again for now or before waits for the next call.
  void RunDue(Clock::time_point now);
  size_t Size() const { return heap_.size(); }

 private:
  // Moves the timer at index up or down to where it belongs.
  void Place(size_t index);
  void Put(size_t index, Timer* timer);
  Timer* Take(size_t index);

  std::vector<Timer*> heap_;
};

}  // namespace kvr::server
