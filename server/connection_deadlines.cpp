#include "connection_deadlines.h"

#include <sys/socket.h>

namespace kvr::server {

ConnectionDeadlines::~ConnectionDeadlines() {
  Stop();
  for (Connection* connection : followed_) delete connection;
}

ConnectionDeadlines::Connection* ConnectionDeadlines::Follow(int fd, Clock::time_point deadline) {
  auto* connection = new Connection{fd, deadline};
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd >= 0) followed_.insert(connection);
  return connection;
}

void ConnectionDeadlines::Set(Connection* connection, Clock::time_point deadline) {
  if (connection == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  connection->deadline = deadline;
}

void ConnectionDeadlines::Forget(Connection* connection) {
  if (connection == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  followed_.erase(connection);
  delete connection;
}

void ConnectionDeadlines::Start() {
  {
    std::lock_guard<std::mutex> lock(run_mutex_);
    stopping_ = false;
  }
  watcher_ = std::thread([this] { Watch(); });
}

void ConnectionDeadlines::Stop() {
  {
    std::lock_guard<std::mutex> lock(run_mutex_);
    stopping_ = true;
  }
  run_changed_.notify_all();
  if (watcher_.joinable()) watcher_.join();
}

void ConnectionDeadlines::Watch() {
  std::unique_lock<std::mutex> run_lock(run_mutex_);
  while (!stopping_) {
    run_changed_.wait_for(run_lock, std::chrono::milliseconds(250));
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    // Forget takes mutex_ first, so each fd here is still its connection's.
    for (Connection* connection : followed_)
      if (now > connection->deadline) shutdown(connection->fd, SHUT_RDWR);
  }
}

}  // namespace kvr::server
