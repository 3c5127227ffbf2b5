// The guess limit on a clock the test sets: each case a script of refusals
// and questions at given seconds, with the answer each must get.
#include "access/guess_limit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kvr::server {
namespace {

using Clock = GuessLimit::Clock;

// Refused (true: the block begins) or Blocked, from address, at seconds after
// the script's start.
struct Step {
  enum Kind { kRefused, kBlocked } kind;
  std::string address;
  double at;
  bool answer;
};

// count refusals from address, every seconds apart from at; the one at
// index blocks (-1: none) answers true.
std::vector<Step> Refusals(const std::string& address, double at, double every, int count,
                           int blocks = -1) {
  std::vector<Step> steps;
  for (int i = 0; i < count; ++i)
    steps.push_back({Step::kRefused, address, at + i * every, i == blocks});
  return steps;
}

// Refusals from address at each of times, none of them blocking.
std::vector<Step> TimedRefusals(const std::string& address, const std::vector<double>& times) {
  std::vector<Step> steps;
  for (const double at : times) steps.push_back({Step::kRefused, address, at, false});
  return steps;
}

std::vector<Step> Then(std::vector<Step> first, const std::vector<Step>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

Step Blocked(const std::string& address, double at, bool answer) {
  return {Step::kBlocked, address, at, answer};
}

TEST(GuessLimit, TenRefusalsWithinAMinuteBlockTheirAddressForAMinute) {
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"ten in ten seconds block from the tenth, for 60 s",
       Then(Refusals("a", 0, 1, 9),
            {Blocked("a", 8.5, false), {Step::kRefused, "a", 9, true}, Blocked("a", 9, true),
             Blocked("a", 68.999, true), Blocked("a", 69, false)})},
      {"ten in exactly 60 s do not block; an eleventh soon after does",
       Then(TimedRefusals("a", {0, 10, 20, 30, 40, 50, 55, 58, 59, 60}),
            {{Step::kRefused, "a", 60.5, true}, Blocked("a", 61, true)})},
      {"ten over more than a minute never block",
       Then(Refusals("a", 0, 7, 30), {Blocked("a", 210, false)})},
      {"another address is neither counted nor blocked",
       Then(Then(Refusals("a", 0, 1, 9), Refusals("b", 9, 1, 1)),
            {Blocked("b", 10, false), {Step::kRefused, "a", 10, true}, Blocked("b", 11, false),
             Blocked("a", 11, true)})},
      {"refusals during the block are not counted; after it counting starts afresh",
       Then(Then(Refusals("a", 0, 1, 10, 9), Refusals("a", 10, 1, 59)),
            Refusals("a", 69, 1, 10, 9))},
  };
  for (const Case& c : cases) {
    GuessLimit limit;
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      const auto now = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(step.at));
      const bool answer = step.kind == Step::kRefused ? limit.Refused(step.address, now)
                                                      : limit.Blocked(step.address, now);
      EXPECT_EQ(step.answer, answer)
          << c.what << ": step " << i << ", " << (step.kind == Step::kRefused ? "Refused" : "Blocked")
          << " from " << step.address << " at " << step.at << " s";
    }
  }
}

// A crowd of addresses refused once makes the limit drop the stale ones; an
// address blocked or close to it is kept.
TEST(GuessLimit, ACrowdOfAddressesNeitherLiftsABlockNorForgetsRecentRefusals) {
  GuessLimit limit;
  const Clock::time_point start = Clock::now();
  const auto at = [start](int seconds) { return start + std::chrono::seconds(seconds); };
  for (int i = 0; i < 10; ++i) limit.Refused("bloqueado", at(i));
  for (int i = 0; i < 9; ++i) limit.Refused("quase", at(10 + i));
  for (int i = 0; i < 3000; ++i) EXPECT_FALSE(limit.Refused("10.0." + std::to_string(i), at(20)));
  EXPECT_TRUE(limit.Blocked("bloqueado", at(60)));
  EXPECT_TRUE(limit.Refused("quase", at(21)));
}

}  // namespace
}  // namespace kvr::server
