#include "http/http_engine.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "http/http_connection.h"
#include "http/listen_socket.h"

namespace kvr::server {

namespace {

using Clock = std::chrono::steady_clock;

// Connections taken from the listening socket at a time.
constexpr int kAcceptBatch = 64;
// How long a stopping loop lets answers under way go out.
constexpr auto kStopGrace = std::chrono::seconds(3);
// Without a descriptor to spare, accepting waits this long before trying
// again (the listening socket would otherwise wake the loop at once).
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

}  // namespace

void HttpLoop::Post(HttpConnection* connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    resumed_.push_back(connection);
  }
  Wake();
}

void HttpLoop::Wake() {
  const std::uint64_t one = 1;
  (void)!write(wake_fd_, &one, sizeof one);
}

HttpEngine::HttpEngine(HttpHandler& handler, ConnectionDeadlines& deadlines, Settings settings)
    : handler_(handler), deadlines_(deadlines), settings_(settings) {}

HttpEngine::~HttpEngine() { Stop(); }

void HttpEngine::Start(int listen_fd) {
  listen_fd_ = listen_fd;
  // Every loop polls the socket and tries to accept: the ones that lose the
  // race must find it empty, not wait in accept.
  fcntl(listen_fd_, F_SETFL, fcntl(listen_fd_, F_GETFL) | O_NONBLOCK);
  const int loops = std::max(1, settings_.loops);
  for (int i = 0; i < loops; ++i) {
    auto loop = std::unique_ptr<HttpLoop>(new HttpLoop);
    loop->wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (loop->wake_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    loops_.push_back(std::move(loop));
  }
  for (auto& loop : loops_) {
    HttpLoop* own = loop.get();
    own->thread_ = std::thread([this, own] { Run(*own); });
  }
}

void HttpEngine::Stop() {
  stopping_ = true;
  for (auto& loop : loops_) loop->Wake();
  for (auto& loop : loops_) {
    if (loop->thread_.joinable()) loop->thread_.join();
    if (loop->wake_fd_ >= 0) close(loop->wake_fd_);
  }
  loops_.clear();
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
}

bool HttpEngine::Turning() {
  bool turning = true;
  for (auto& loop : loops_) {
    const unsigned long long turns = loop->turns_;
    turning = turning && (turns != loop->seen_turns_ || loop->seen_turns_ == ~0ull);
    loop->seen_turns_ = turns;
    loop->Wake();
  }
  return turning;
}

void HttpEngine::Accept(HttpLoop& loop) {
  for (int i = 0; i < kAcceptBatch; ++i) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        throw std::system_error(errno, std::generic_category());
      return;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ConnectionDeadlines::Connection* tracked =
        deadlines_.Follow(fd, Clock::now() + settings_.timeout);
    ++open_;
    loop.connections_.push_back(std::make_unique<HttpConnection>(
        std::make_unique<HttpSocket>(fd, settings_.tls),
        AddressText(reinterpret_cast<sockaddr*>(&address), length), handler_, deadlines_, tracked,
        loop));
  }
}

void HttpEngine::Run(HttpLoop& loop) {
  std::vector<pollfd> fds;
  bool stopped = false;
  Clock::time_point give_up;
  Clock::time_point accept_after;
  Clock::time_point next_expiry;
  auto sweep = [this, &loop] {
    auto& list = loop.connections_;
    for (auto& connection : list)
      if (connection->Closed()) {
        // Forgotten before its descriptor closes: the deadlines never shut
        // down a number reused by another connection.
        deadlines_.Forget(connection->Tracked());
        connection.reset();
        --open_;
      }
    list.erase(std::remove(list.begin(), list.end(), nullptr), list.end());
  };
  while (true) {
    ++loop.turns_;
    if (stopping_ && !stopped) {
      stopped = true;
      give_up = Clock::now() + kStopGrace;
      for (auto& connection : loop.connections_) connection->Stopping();
    }
    sweep();
    if (stopped && (loop.connections_.empty() || Clock::now() > give_up)) break;
    fds.clear();
    fds.push_back({loop.wake_fd_, POLLIN, 0});
    const bool accepting = !stopped && Clock::now() >= accept_after;
    fds.push_back({accepting ? listen_fd_ : -1, POLLIN, 0});
    bool ready = false;
    const size_t count = loop.connections_.size();
    for (auto& connection : loop.connections_) {
      const short events = connection->Events();
      fds.push_back({events != 0 ? connection->Fd() : -1, events, 0});
      ready = ready || connection->Ready();
    }
    // With connections, the loop wakes at least once a second to close the
    // silent ones.
    const int wait = ready                                    ? 0
                     : (stopped || !accepting)                ? 100
                     : loop.connections_.empty() ? -1 : 1000;
    if (poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR) continue;
    if (fds[0].revents != 0) {
      std::uint64_t wakes;
      (void)!read(loop.wake_fd_, &wakes, sizeof wakes);
    }
    std::vector<HttpConnection*> resumed;
    {
      std::lock_guard<std::mutex> lock(loop.mutex_);
      resumed.swap(loop.resumed_);
    }
    for (HttpConnection* connection : resumed) connection->Resumed();
    if (accepting && fds[1].revents != 0) {
      try {
        Accept(loop);
      } catch (const std::system_error&) {
        accept_after = Clock::now() + kAcceptPause;
      }
    }
    for (size_t i = 0; i < count; ++i) {
      HttpConnection& connection = *loop.connections_[i];
      const short revents = fds[i + 2].revents;
      if (revents != 0 || connection.Ready()) connection.Drive(revents);
    }
    const Clock::time_point now = Clock::now();
    if (now >= next_expiry) {
      next_expiry = now + std::chrono::milliseconds(250);
      for (auto& connection : loop.connections_) connection->Expire(now, settings_.timeout);
    }
  }
  // What is left when the grace ran out is closed, and told to its handler.
  for (auto& connection : loop.connections_) connection->Close();
  sweep();
}

}  // namespace kvr::server
