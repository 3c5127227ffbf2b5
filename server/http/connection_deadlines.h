#pragma once

#include <chrono>
#include <cstdint>

namespace kvr::server {

// The time limits of one connection of the HTTP engine, and the one answer
// to each; T is the engine's timeout (--timeout):
//
//   what passed                                            answer
//   idle: no byte of a request head T after the            close
//     connection came (TLS handshake included) or after
//     the last answer went (keep-alive)
//   head: part of a head came, not all of it T after       408, then close
//     that same moment (more bytes earn no more time)
//   body: no byte of it for T; or, once T passed, less     408, then close
//     than kMinBodyRate a second over some kRateWindow
//     seconds; or not whole T + its length at
//     kMinBodyRate after it began
//   wait: the handler suspended the exchange until a       the handler ends the
//     moment (memory), and it came                         wait (503)
//   answer: no byte of it went for T                       close
//   linger: kLinger after a closing answer went            close
//
// While the handler holds the exchange without a moment (a worker, a key
// being looked up), no limit runs. The answers are HttpConnection's; this
// class only says which limit passed. It holds no clock: each call is told
// the time, so a test moves it by hand. Not thread-safe: the connection's
// loop alone uses it.
class ConnectionDeadlines {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::uint64_t kMinBodyRate = 64 * 1024;
  static constexpr int kRateWindow = 10;
  static constexpr std::chrono::seconds kLinger{2};

  enum class Late {
    kNothing,  // no limit passed: look again at Next()
    kIdle,
    kHead,
    kBody,
    kWait,
    kAnswer,
    kLinger,
  };

  explicit ConnectionDeadlines(std::chrono::seconds timeout) : timeout_(timeout) {}

  // A request head is due from now (the connection came, or its last
  // answer went and it is kept alive).
  void AwaitHead(Clock::time_point now);
  // The body begins to come now; most: the bytes it may bring (its length).
  void ReadBody(Clock::time_point now, std::uint64_t most);
  // A byte came or went now; body_bytes of the body among them (the rate
  // counts those).
  void Moved(Clock::time_point now, std::uint64_t body_bytes = 0);
  // The handler holds the exchange until it resumes it, without a limit
  // (until max) or until that moment.
  void Hold(Clock::time_point until = Clock::time_point::max());
  // The answer goes out from now.
  void Answer(Clock::time_point now);
  // The closing answer went: the client has kLinger to take it and close.
  void Linger(Clock::time_point now);

  // The moment to look again: a limit may pass then, not before
  // (Clock::time_point::max() when none can).
  Clock::time_point Next() const;
  // Which limit passed by now; head_begun: part of a head is held. A
  // limit reported is spent (the connection answers or closes): Late::kWait
  // comes once per Hold.
  Late Check(Clock::time_point now, bool head_begun);

 private:
  enum class Phase { kHead, kBody, kHeld, kAnswer, kLinger };
  // Takes the body's count at each whole second passed by now, and judges
  // the windows that end there.
  void Sample(Clock::time_point now);
  // The first second whose window is judged.
  long FirstJudged() const { return static_cast<long>(timeout_.count()) + kRateWindow; }

  const std::chrono::seconds timeout_;
  Phase phase_ = Phase::kHead;
  Clock::time_point since_;    // the phase began
  Clock::time_point moved_;    // a byte last came or went
  Clock::time_point due_ = Clock::time_point::max();  // head, body, hold or linger
  // The body's bytes so far, and their count at each whole second since it
  // began (a ring, the last kSlots seconds).
  static constexpr long kSlots = 16;
  std::uint64_t received_ = 0;
  std::uint64_t samples_[kSlots] = {};
  long sampled_ = -1;  // the last second sampled
  bool slow_ = false;  // a window came under the floor
};

}  // namespace kvr::server
