#include "http/loop_timers.h"

#include <utility>

namespace kvr::server {

void LoopTimers::Put(size_t index, Timer* timer) {
  heap_[index] = timer;
  timer->index_ = index;
}

void LoopTimers::Place(size_t index) {
  Timer* timer = heap_[index];
  while (index > 0) {
    const size_t parent = (index - 1) / 2;
    if (!(timer->when_ < heap_[parent]->when_)) break;
    Put(index, heap_[parent]);
    index = parent;
  }
  while (true) {
    size_t child = 2 * index + 1;
    if (child >= heap_.size()) break;
    if (child + 1 < heap_.size() && heap_[child + 1]->when_ < heap_[child]->when_) ++child;
    if (!(heap_[child]->when_ < timer->when_)) break;
    Put(index, heap_[child]);
    index = child;
  }
  Put(index, timer);
}

LoopTimers::Timer* LoopTimers::Take(size_t index) {
  Timer* timer = heap_[index];
  Timer* last = heap_.back();
  heap_.pop_back();
  if (last != timer) {
    Put(index, last);
    Place(index);
  }
  timer->index_ = Timer::kNone;
  return timer;
}

void LoopTimers::Arm(Timer& timer, Clock::time_point when) {
  timer.when_ = when;
  if (!timer.Armed()) {
    heap_.push_back(&timer);
    timer.index_ = heap_.size() - 1;
  }
  Place(timer.index_);
}

void LoopTimers::ArmBy(Timer& timer, Clock::time_point when) {
  if (!timer.Armed() || when < timer.when_) Arm(timer, when);
}

void LoopTimers::Cancel(Timer& timer) {
  if (timer.Armed()) Take(timer.index_);
}

void LoopTimers::RunDue(Clock::time_point now) {
  // Bounded by the timers there were: one armed again for a moment already
  // past must not keep the loop here.
  for (size_t left = heap_.size(); left > 0 && !heap_.empty() && heap_.front()->when_ <= now;
       --left)
    Take(0)->Expired(now);
}

}  // namespace kvr::server
