// The worker pool without sockets: jobs held and released by the test, so
// that each state is reached by an event, never by a pause.
#include "rpc/worker_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wait_until.h"

namespace kvr::server {
namespace {

// What the jobs did, in order ("A", "B cancelled").
class Journal {
 public:
  void Add(std::string entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> Entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> entries_;
};

// A job that reports it began, then waits until released.
struct HeldJob {
  std::promise<void> began, release;
  WorkerPool::Job Job(Journal& journal, std::string name) {
    return [this, &journal, name](bool cancelled) {
      began.set_value();
      release.get_future().wait();
      journal.Add(name + (cancelled ? " cancelled" : ""));
    };
  }
};

WorkerPool::Job Recorded(Journal& journal, std::string name) {
  return [&journal, name](bool cancelled) { journal.Add(name + (cancelled ? " cancelled" : "")); };
}

TEST(WorkerPool, JobsRunInOrderAndStoppingCancelsTheWaitingOnes) {
  Journal journal;
  WorkerPool pool;
  pool.Start(1);
  HeldJob held;
  int accepted = 0;
  ASSERT_TRUE(pool.Submit(held.Job(journal, "A"), [&] { ++accepted; }));
  held.began.get_future().wait();
  for (const char* name : {"B", "C"}) ASSERT_TRUE(pool.Submit(Recorded(journal, name), [&] { ++accepted; }));
  std::thread stopper([&] { pool.Stop(); });
  // Once the pool refuses a job it is stopping (the jobs it took meanwhile
  // do nothing): B and C wait, A goes on.
  EXPECT_TRUE(testing::WaitUntil(std::chrono::seconds(30),
                                 [&] { return !pool.Submit([](bool) {}, [] {}); }));
  held.release.set_value();
  stopper.join();
  EXPECT_EQ((std::vector<std::string>{"A", "B cancelled", "C cancelled"}), journal.Entries());
  EXPECT_EQ(3, accepted);
  // A stopped pool refuses jobs and never runs them; it starts again.
  EXPECT_FALSE(pool.Submit(Recorded(journal, "D"), [&] { ++accepted; }));
  pool.Start(2);
  std::promise<void> done;
  ASSERT_TRUE(pool.Submit([&](bool cancelled) { journal.Add(cancelled ? "E cancelled" : "E");
                                                done.set_value(); },
                          [] {}));
  done.get_future().wait();
  pool.Stop();
  EXPECT_EQ((std::vector<std::string>{"A", "B cancelled", "C cancelled", "E"}), journal.Entries());
}

// The service watchdog asks Turning every few seconds: jobs waiting across
// two questions with none begun or ended between mean the workers hang.
TEST(WorkerPool, TurningIsFalseOnlyWhileJobsWaitBehindWorkersThatDoNotMove) {
  Journal journal;
  WorkerPool pool;
  pool.Start(1);
  EXPECT_TRUE(pool.Turning());  // idle
  EXPECT_TRUE(pool.Turning());
  HeldJob held;
  ASSERT_TRUE(pool.Submit(held.Job(journal, "A"), [] {}));
  held.began.get_future().wait();
  EXPECT_TRUE(pool.Turning());  // busy, nothing waits
  std::promise<void> second_ran;
  ASSERT_TRUE(pool.Submit([&](bool) { second_ran.set_value(); }, [] {}));
  EXPECT_TRUE(pool.Turning());   // a job waits: seen once
  EXPECT_FALSE(pool.Turning());  // still waits, nothing moved
  EXPECT_FALSE(pool.Turning());
  held.release.set_value();
  second_ran.get_future().wait();
  EXPECT_TRUE(pool.Turning());
  pool.Stop();
}

}  // namespace
}  // namespace kvr::server
