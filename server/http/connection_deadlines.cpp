#include "http/connection_deadlines.h"

#include <sys/socket.h>

#include <utility>

namespace kvr::server {

ConnectionDeadlines::~ConnectionDeadlines() {
  Stop();
  for (Connection* connection : followed_) delete connection;
}

ConnectionDeadlines::ConnectionDeadlines(size_t limit, std::chrono::seconds body_grace,
                                         SlowBody slow_body)
    : limit_(limit), body_grace_(body_grace), slow_body_(std::move(slow_body)) {}

ConnectionDeadlines::Connection* ConnectionDeadlines::Follow(int fd, Clock::time_point deadline) {
  auto* connection = new Connection;
  connection->fd = fd;
  connection->deadline = deadline;
  connection->idle_since = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  followed_.insert(connection);
  if (followed_.size() - evicted_ <= limit_) return connection;
  // One slot too many: the connection idle longest makes room. A new
  // connection counts as idle since it came, so a crowd of silent ones
  // goes first; a request under way is never cut for a newcomer.
  Connection* victim = nullptr;
  for (Connection* other : followed_)
    if (other != connection && (!other->in_request || other->end_wait) && !other->evicted &&
        (victim == nullptr || other->idle_since < victim->idle_since))
      victim = other;
  if (victim == nullptr) victim = connection;
  victim->evicted = true;
  ++evicted_;
  shutdown(victim->fd, SHUT_RDWR);
  if (victim->end_wait) std::exchange(victim->end_wait, nullptr)();
  return connection;
}

void ConnectionDeadlines::Set(Connection* connection, Clock::time_point deadline) {
  std::lock_guard<std::mutex> lock(mutex_);
  connection->deadline = deadline;
}

void ConnectionDeadlines::Waiting(Connection* connection, std::function<void()> end_wait) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Waiting since now: the longest waiting goes first.
  if (end_wait) connection->idle_since = Clock::now();
  connection->end_wait = std::move(end_wait);
}

void ConnectionDeadlines::BeginRequest(Connection* connection, Clock::time_point deadline) {
  std::lock_guard<std::mutex> lock(mutex_);
  connection->in_request = true;
  connection->deadline = deadline;
}

void ConnectionDeadlines::BeginBody(Connection* connection, std::string label,
                                    Clock::time_point deadline) {
  std::lock_guard<std::mutex> lock(mutex_);
  connection->label = std::move(label);
  connection->deadline = deadline;
  connection->received = 0;
  connection->cut = false;
  connection->sampled = -1;
  connection->body_since = Clock::now();
}

void ConnectionDeadlines::EndBody(Connection* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  connection->body_since = Clock::time_point::max();
}

void ConnectionDeadlines::EndRequest(Connection* connection, Clock::time_point deadline) {
  std::lock_guard<std::mutex> lock(mutex_);
  connection->in_request = false;
  connection->body_since = Clock::time_point::max();
  connection->idle_since = Clock::now();
  connection->deadline = deadline;
}

void ConnectionDeadlines::Forget(Connection* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  followed_.erase(connection);
  if (connection->evicted) --evicted_;
  delete connection;
}

void ConnectionDeadlines::Start(std::function<void()> tick) {
  {
    std::lock_guard<std::mutex> lock(run_mutex_);
    stopping_ = false;
    tick_ = std::move(tick);
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

bool ConnectionDeadlines::TooSlow(Connection& connection, Clock::time_point now) {
  if (connection.body_since == Clock::time_point::max() || now < connection.body_since)
    return false;
  const long second = static_cast<long>(
      std::chrono::duration_cast<std::chrono::seconds>(now - connection.body_since).count());
  if (second <= connection.sampled) return false;
  const std::uint64_t received = connection.received.load(std::memory_order_relaxed);
  constexpr long kSlots = sizeof connection.samples / sizeof connection.samples[0];
  // Seconds the watcher missed (a busy machine) take the count it sees now:
  // that only makes the window look faster, never slower.
  for (long s = connection.sampled + 1; s <= second; ++s) connection.samples[s % kSlots] = received;
  connection.sampled = second;
  // Only windows that begin after the grace period are judged.
  if (second - kRateWindow < body_grace_.count()) return false;
  const std::uint64_t before = connection.samples[(second - kRateWindow) % kSlots];
  return received - before < kMinBodyRate * kRateWindow;
}

void ConnectionDeadlines::Watch() {
  std::unique_lock<std::mutex> run_lock(run_mutex_);
  while (!stopping_) {
    run_changed_.wait_for(run_lock, std::chrono::milliseconds(250));
    tick_();
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    // Forget takes mutex_ first, so each fd here is still its connection's.
    for (Connection* connection : followed_) {
      if (connection->evicted) continue;
      const bool in_body = connection->body_since != Clock::time_point::max();
      if (TooSlow(*connection, now) || (in_body && now > connection->deadline)) {
        connection->body_since = Clock::time_point::max();
        connection->deadline = now + kAnswerCut;
        connection->cut = true;
        slow_body_(connection->label);
      }
      if (now > connection->deadline) shutdown(connection->fd, SHUT_RDWR);
    }
  }
}

}  // namespace kvr::server
