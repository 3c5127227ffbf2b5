#include "http/http_engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace kvr::server {

namespace {

// How long a stopping loop lets answers under way go out.
constexpr auto kStopGrace = std::chrono::seconds(3);

}  // namespace

HttpEngine::HttpEngine(HttpHandler& handler, Settings settings)
    : handler_(handler), settings_(settings), limit_(settings.max_connections) {}

HttpEngine::~HttpEngine() { Stop(); }

void HttpEngine::Start(int listen_fd) {
  listen_fd_ = listen_fd;
  // Every loop polls the socket and tries to accept: the ones that lose the
  // race must find it empty, not wait in accept.
  fcntl(listen_fd_, F_SETFL, fcntl(listen_fd_, F_GETFL) | O_NONBLOCK);
  const int loops = std::max(1, settings_.loops);
  const HttpLoop::Settings loop_settings{
      .timeout = settings_.timeout, .max_body = settings_.max_body, .tls = settings_.tls};
  for (int i = 0; i < loops; ++i) {
    loops_.push_back(std::make_unique<HttpLoop>(handler_, limit_, loop_settings));
    loops_.back()->Listen(listen_fd_);
  }
  seen_turns_.assign(loops_.size(), ~0ull);
  for (auto& loop : loops_) {
    HttpLoop* own = loop.get();
    threads_.emplace_back([this, own] { Run(*own); });
  }
}

void HttpEngine::Stop() {
  stopping_ = true;
  for (auto& loop : loops_) loop->Wake();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  loops_.clear();
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
}

size_t HttpEngine::OpenConnections() const {
  size_t open = 0;
  for (const auto& loop : loops_) open += loop->Open();
  return open;
}

bool HttpEngine::Turning() {
  bool turning = true;
  for (size_t i = 0; i < loops_.size(); ++i) {
    const unsigned long long turns = loops_[i]->Turns();
    turning = turning && (turns != seen_turns_[i] || seen_turns_[i] == ~0ull);
    seen_turns_[i] = turns;
    loops_[i]->Wake();
  }
  return turning;
}

void HttpEngine::Run(HttpLoop& loop) {
  bool stopped = false;
  HttpLoop::Clock::time_point give_up;
  while (true) {
    if (stopping_ && !stopped) {
      stopped = true;
      give_up = loop.Now() + kStopGrace;
      loop.Stop();
    }
    if (stopped && (loop.Open() == 0 || loop.Now() >= give_up)) break;
    loop.Turn(stopped ? give_up - loop.Now() : HttpLoop::Clock::duration::max());
  }
  // What is left when the grace ran out is closed, and told to its handler.
  loop.CloseAll();
}

}  // namespace kvr::server
