// Progress lines of kvr61400 import on the terminal.
#include "cli/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace kvr::cli {

Progress::Progress() : enabled_(isatty(STDERR_FILENO) != 0) {}

void Progress::Begin(const std::string& label) {
  if (!enabled_) return;
  End();
  std::lock_guard<std::mutex> lock(mutex_);
  label_ = label;
  start_ = Clock::now();
  running_ = true;
  std::cerr << label_ << "..." << std::flush;
  ticker_ = std::thread([this] { Tick(); });
}

void Progress::End() {
  if (!enabled_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    running_ = false;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", Elapsed());
    std::string shown = buf;
    std::replace(shown.begin(), shown.end(), '.', ',');
    std::cerr << "\r" << label_ << ": " << shown << " s\n" << std::flush;
  }
  changed_.notify_all();
  if (ticker_.joinable()) ticker_.join();
}

void Progress::Tick() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (running_) {
    if (changed_.wait_for(lock, std::chrono::seconds(1), [this] { return !running_; })) break;
    std::cerr << "\r" << label_ << "... " << static_cast<int>(Elapsed()) << " s" << std::flush;
  }
}

}  // namespace kvr::cli
