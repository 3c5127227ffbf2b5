#include "rpc/worker_pool.h"

namespace kvr::server {

WorkerPool::~WorkerPool() { Stop(); }

void WorkerPool::Start(int threads) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    accepting_ = true;
  }
  for (int i = 0; i < (threads > 0 ? threads : 1); ++i) workers_.emplace_back([this] { Work(); });
}

void WorkerPool::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    accepting_ = false;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void WorkerPool::Work() {
  for (;;) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !accepting_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Job job = std::move(queue_.front());
    queue_.pop_front();
    const bool cancelled = !accepting_;
    ++progress_;
    lock.unlock();
    job(cancelled);
    ++progress_;
  }
}

bool WorkerPool::Turning() {
  std::lock_guard<std::mutex> lock(mutex_);
  const unsigned long long progress = progress_;
  const bool waiting = !queue_.empty();
  const bool stuck = waiting && seen_waiting_ && progress == seen_progress_;
  seen_waiting_ = waiting;
  seen_progress_ = progress;
  return !stuck;
}

}  // namespace kvr::server
