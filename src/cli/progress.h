#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace kvr::cli {

// Progress of the long steps of a large statement on the terminal: one line
// per step on stderr, its elapsed seconds ticking, then its duration. Silent
// when stderr is no terminal.
class Progress {
 public:
  Progress();
  ~Progress() { End(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  bool Enabled() const { return enabled_; }

  // Starts a step (ending the one in progress).
  void Begin(const std::string& label);
  // Ends the step in progress, with its duration.
  void End();

 private:
  using Clock = std::chrono::steady_clock;
  double Elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
  void Tick();

  bool enabled_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string label_;
  Clock::time_point start_;
  bool running_ = false;
  std::thread ticker_;
};

}  // namespace kvr::cli
