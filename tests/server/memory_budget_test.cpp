// The memory budget's rules on one thread, step by step: whole shares in
// arrival order, limits per key and address, and requests that leave while
// they wait (closed at the stop, evicted) never give back what they did not
// take nor are woken once gone.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "rpc/memory_budget.h"

namespace kvr::server {
namespace {

using Outcome = MemoryBudget::Outcome;

constexpr size_t kMiB = 1024 * 1024;

// One request of a test: its ticket and how often it was woken.
struct Waiter {
  std::shared_ptr<MemoryBudget::Ticket> ticket;
  int woken = 0;
};

class MemoryBudgetTest : public ::testing::Test {
 protected:
  Outcome Ask(Waiter& waiter, size_t bytes, const std::string& key = "ana",
              const std::string& address = "127.0.0.1") {
    return budget_.TakeOrWait(bytes, {key, address}, [&waiter] { ++waiter.woken; },
                              waiter.ticket);
  }
  // True when bytes fit now (and gives them back).
  bool Free(size_t bytes) {
    if (!budget_.Grow(bytes)) return false;
    budget_.Give(bytes);
    return true;
  }

  MemoryBudget budget_{10 * kMiB, 2, 3};
};

TEST_F(MemoryBudgetTest, SharesAreWholeAndGrantedInArrivalOrder) {
  Waiter a, b, c, small;
  ASSERT_EQ(Outcome::kTaken, Ask(a, 8 * kMiB));
  ASSERT_EQ(Outcome::kWaiting, Ask(b, 6 * kMiB, "bia"));
  // c fits now, but b came first.
  ASSERT_EQ(Outcome::kWaiting, Ask(c, 2 * kMiB, "caio"));
  // A small call that fits does not wait behind them.
  ASSERT_EQ(Outcome::kTaken, Ask(small, MemoryBudget::kSmallShare, "dora"));
  budget_.Give(MemoryBudget::kSmallShare);
  // b holds nothing while it waits: 2 MiB are still free.
  EXPECT_TRUE(Free(2 * kMiB));
  budget_.Give(8 * kMiB);
  // b's deadline comes on its loop just after the room came: b keeps it.
  budget_.Evict(b.ticket);
  EXPECT_EQ(1, b.woken);
  EXPECT_EQ(1, c.woken);
  EXPECT_TRUE(budget_.Claim(b.ticket));
  EXPECT_TRUE(budget_.Claim(c.ticket));
  EXPECT_FALSE(Free(3 * kMiB));
  EXPECT_TRUE(Free(2 * kMiB));
  EXPECT_EQ(0u, budget_.Waiting());
}

TEST_F(MemoryBudgetTest, AKeyOrAnAddressMayHaveOnlyItsShareOfWaiters) {
  Waiter holder, w[6];
  ASSERT_EQ(Outcome::kTaken, Ask(holder, 10 * kMiB, "chefe"));
  EXPECT_EQ(Outcome::kWaiting, Ask(w[0], kMiB, "ana", "127.0.0.1"));
  EXPECT_EQ(Outcome::kWaiting, Ask(w[1], kMiB, "ana", "127.0.0.2"));
  EXPECT_EQ(Outcome::kBusy, Ask(w[2], kMiB, "ana", "127.0.0.3"));
  EXPECT_EQ(Outcome::kWaiting, Ask(w[3], kMiB, "bia", "127.0.0.1"));
  EXPECT_EQ(Outcome::kWaiting, Ask(w[4], kMiB, "caio", "127.0.0.1"));
  EXPECT_EQ(Outcome::kBusy, Ask(w[5], kMiB, "dora", "127.0.0.1"));
  // An evicted waiter is woken without the bytes and makes room for its key.
  budget_.Evict(w[0].ticket);
  EXPECT_EQ(1, w[0].woken);
  EXPECT_FALSE(budget_.Claim(w[0].ticket));
  Waiter again;
  EXPECT_EQ(Outcome::kWaiting, Ask(again, kMiB, "ana", "127.0.0.3"));
}

TEST_F(MemoryBudgetTest, ARequestGoneWhileItWaitsGivesBackOnlyWhatWasTakenAndIsNotWoken) {
  Waiter holder, queued, granted, late;
  ASSERT_EQ(Outcome::kTaken, Ask(holder, 10 * kMiB));
  ASSERT_EQ(Outcome::kWaiting, Ask(queued, 4 * kMiB, "bia"));
  ASSERT_EQ(Outcome::kWaiting, Ask(granted, 4 * kMiB, "caio"));
  // queued's connection closes before any room came: nothing was taken.
  budget_.Withdraw(queued.ticket);
  budget_.Give(10 * kMiB);
  EXPECT_EQ(0, queued.woken);
  EXPECT_EQ(1, granted.woken);
  // granted's connection closes after the bytes were taken for it, before
  // it claimed them: they go back.
  budget_.Withdraw(granted.ticket);
  EXPECT_TRUE(Free(10 * kMiB));
  // Past its deadline (its loop evicts it), the wait ends without the bytes.
  ASSERT_EQ(Outcome::kTaken, Ask(holder, 10 * kMiB));
  ASSERT_EQ(Outcome::kWaiting, Ask(late, kMiB, "dora", "127.0.0.1"));
  budget_.Evict(late.ticket);
  EXPECT_EQ(1, late.woken);
  EXPECT_FALSE(budget_.Claim(late.ticket));
  budget_.Withdraw(late.ticket);  // harmless once answered
  EXPECT_FALSE(Free(kMiB));
}

TEST_F(MemoryBudgetTest, OnceClosedEveryWaitEndsAndNoneBegins) {
  Waiter holder, waiting, after;
  ASSERT_EQ(Outcome::kTaken, Ask(holder, 10 * kMiB));
  ASSERT_EQ(Outcome::kWaiting, Ask(waiting, kMiB, "bia"));
  budget_.Close();
  EXPECT_EQ(1, waiting.woken);
  EXPECT_FALSE(budget_.Claim(waiting.ticket));
  EXPECT_EQ(Outcome::kClosed, Ask(after, kMiB, "caio"));
  EXPECT_EQ(nullptr, after.ticket);
  budget_.Give(10 * kMiB);
  EXPECT_TRUE(Free(10 * kMiB));
}

}  // namespace
}  // namespace kvr::server
