#pragma once

// Waits for an event the test cannot be told of (a row another process
// writes, a state a server reports): asks done every few milliseconds until it
// answers true or limit passes. Returns done's last answer. The limit is a
// deadline for a broken system, never the time the event is expected in.

#include <chrono>
#include <thread>

namespace kvr::testing {

template <typename Done>
bool WaitUntil(std::chrono::milliseconds limit, Done&& done,
               std::chrono::milliseconds step = std::chrono::milliseconds(20)) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= give_up) return done();
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace kvr::testing
