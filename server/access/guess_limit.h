#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace kvr::server {

// Slows down the guessing of secrets: an address whose keys were refused
// kMaxRefusals times within kWindow is blocked for kBlock: meanwhile a
// missing or wrong key from it is refused at once (HTTP 429, no look-up),
// while a key known to be right still passes (behind one address, a proxy
// or one machine, a guesser must not lock the clerks out). Other addresses
// are not affected. Whether a key is valid is decided elsewhere; this only
// counts. Thread-safe.
class GuessLimit {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kMaxRefusals = 10;
  static constexpr std::chrono::seconds kWindow{60};
  static constexpr std::chrono::seconds kBlock{60};

  // True while address (the client's address without its port) is blocked:
  // asked before its key is looked up.
  bool Blocked(const std::string& address, Clock::time_point now = Clock::now());

  // Counts a wrong key from address (not counted while it is blocked); true
  // when it reached the limit and the block begins now (logged once).
  bool Refused(const std::string& address, Clock::time_point now = Clock::now());

 private:
  struct Record {
    Clock::time_point times[kMaxRefusals];  // the latest refusals, a ring
    int count = 0;                          // refusals in the ring
    int next = 0;
    Clock::time_point blocked_until{};
  };
  // Drops the addresses that neither refused recently nor are blocked.
  void Sweep(Clock::time_point now);

  std::mutex mutex_;
  std::unordered_map<std::string, Record> records_;
  size_t sweep_at_ = 1024;
};

}  // namespace kvr::server
