#include "http/http_loop.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

#include "http/http_connection.h"
#include "http/listen_socket.h"

namespace kvr::server {

namespace {

// Connections taken from the listening socket at a time.
constexpr int kAcceptBatch = 64;
// Without a descriptor to spare, accepting waits this long before trying
// again (the listening socket would otherwise wake the loop at once).
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

// The poll timeout for a wait of wait: whole milliseconds, rounded up so
// that a deadline is never polled for before it is due; -1 for ever.
int PollTimeout(HttpLoop::Clock::duration wait) {
  if (wait == HttpLoop::Clock::duration::max()) return -1;
  if (wait <= HttpLoop::Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

}  // namespace

HttpLoop::HttpLoop(HttpHandler& handler, ConnectionLimit& limit, Settings settings,
                   std::function<Clock::time_point()> now)
    : handler_(handler), limit_(limit), settings_(settings), clock_(std::move(now)) {
  now_ = clock_();
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

HttpLoop::~HttpLoop() {
  CloseAll();
  close(wake_fd_);
}

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

void HttpLoop::Adopt(int fd, std::string client) {
  ConnectionLimit::Entry* entry = limit_.Admit(now_, [this] {
    evictions_.store(true, std::memory_order_release);
    Wake();
  });
  ++open_;
  connections_.push_back(std::make_unique<HttpConnection>(
      std::make_unique<HttpSocket>(fd, settings_.tls), std::move(client), handler_, entry, *this));
}

void HttpLoop::Accept() {
  for (int i = 0; i < kAcceptBatch; ++i) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        accept_after_ = now_ + kAcceptPause;
      return;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Adopt(fd, AddressText(reinterpret_cast<sockaddr*>(&address), length));
  }
}

void HttpLoop::Evict() {
  for (auto& connection : connections_)
    if (connection->Counted()->Evicted()) connection->Evicted();
}

void HttpLoop::Turn(Clock::duration most) {
  ++turns_;
  fds_.clear();
  fds_.push_back({wake_fd_, POLLIN, 0});
  now_ = clock_();
  const bool listening = listen_fd_ >= 0 && !stopped_;
  const bool accepting = listening && now_ >= accept_after_;
  fds_.push_back({accepting ? listen_fd_ : -1, POLLIN, 0});
  bool ready = false;
  const size_t count = connections_.size();
  for (auto& connection : connections_) {
    const short events = connection->Events();
    fds_.push_back({events != 0 ? connection->Fd() : -1, events, 0});
    ready = ready || connection->Ready();
  }
  // The one clock: sleep until the earliest deadline (or the moment
  // accepting may be tried again), a socket or a post.
  Clock::time_point until = timers_.Earliest();
  if (listening && !accepting) until = std::min(until, accept_after_);
  Clock::duration wait = most;
  if (ready) wait = Clock::duration::zero();
  else if (until != Clock::time_point::max()) wait = std::min(wait, until - now_);
  if (poll(fds_.data(), fds_.size(), PollTimeout(wait)) < 0 && errno != EINTR) return;
  now_ = clock_();
  if (fds_[0].revents != 0) {
    std::uint64_t wakes;
    (void)!read(wake_fd_, &wakes, sizeof wakes);
  }
  std::vector<HttpConnection*> resumed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    resumed.swap(resumed_);
  }
  for (HttpConnection* connection : resumed) connection->Resumed();
  if (evictions_.exchange(false, std::memory_order_acq_rel)) Evict();
  if (accepting && fds_[1].revents != 0) Accept();
  for (size_t i = 0; i < count; ++i) {
    HttpConnection& connection = *connections_[i];
    const short revents = fds_[i + 2].revents;
    if (revents != 0 || connection.Ready()) connection.Drive(revents);
  }
  timers_.RunDue(now_);
  Sweep();
}

void HttpLoop::Sweep() {
  // A suspended connection is never closed but by CloseAll: no post to it
  // can be under way once it is gone.
  auto closed = std::remove_if(connections_.begin(), connections_.end(),
                               [](const std::unique_ptr<HttpConnection>& connection) {
                                 return connection->Closed();
                               });
  open_ -= static_cast<size_t>(connections_.end() - closed);
  connections_.erase(closed, connections_.end());
}

void HttpLoop::Stop() {
  stopped_ = true;
  for (auto& connection : connections_) connection->Stopping();
  Sweep();
}

void HttpLoop::CloseAll() {
  for (auto& connection : connections_) connection->Close();
  open_ -= connections_.size();
  connections_.clear();
}

}  // namespace kvr::server
