#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kvr::server {

// A fixed number of threads that run jobs in the order they were handed in.
// Stopping cancels the jobs still waiting: each is run with cancelled true
// (to answer that it was not carried out), the jobs under way finish.
class WorkerPool {
 public:
  // A job; cancelled is true when the pool stopped before the job began.
  using Job = std::function<void(bool cancelled)>;

  WorkerPool() = default;
  // Stops the pool.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts threads workers (at least one) and accepts jobs. Requires the
  // pool to be stopped (as it is when made).
  void Start(int threads);

  // Queues job unless the pool is stopping or stopped (then returns false and
  // job is dropped). accepted() runs under the pool's lock once job is
  // accepted, before any worker can take it: what must precede the job (the
  // HTTP engine suspends the job's connection there).
  template <typename Accepted>
  bool Submit(Job job, Accepted&& accepted) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!accepting_) return false;
    accepted();
    queue_.push_back(std::move(job));
    changed_.notify_one();
    return true;
  }

  // Refuses new jobs, runs the waiting ones cancelled and joins the workers.
  // Harmless on a stopped pool.
  void Stop();

  // False when jobs waited at this call and the one before while no job
  // began or ended in between: the workers hang. For one watching thread.
  bool Turning();

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> queue_;
  bool accepting_ = false;
  std::vector<std::thread> workers_;
  // Jobs begun and ended; what Turning saw last.
  std::atomic<unsigned long long> progress_{0};
  unsigned long long seen_progress_ = 0;
  bool seen_waiting_ = false;
};

}  // namespace kvr::server
