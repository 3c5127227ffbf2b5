#include "rpc/health_check.h"

#include <exception>

#include <nlohmann/json.hpp>

namespace kvr::server {

namespace {

HealthAnswer Ok() { return {200, R"({"status":"ok","banco":"ok"})"}; }

HealthAnswer Failed(const std::string& reason) {
  const nlohmann::ordered_json body = {{"status", "falha"}, {"banco", reason}};
  return {503, body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
}

}  // namespace

HealthCheck::HealthCheck(std::function<void()> probe,
                         std::function<void(const std::string&)> log)
    : probe_(std::move(probe)), log_(std::move(log)) {
  prober_ = std::thread([this] { Probe(); });
  timer_ = std::thread([this] { Expire(); });
}

HealthCheck::~HealthCheck() { Stop(); }

void HealthCheck::Ask(Done done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) {
      waiting_.push_back({std::move(done), Clock::now() + kDeadline});
      changed_.notify_all();
      return;
    }
  }
  done(Failed("não verificado: o servidor está encerrando"));
}

void HealthCheck::Stop() {
  std::vector<Waiting> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    left.swap(waiting_);
    changed_.notify_all();
  }
  for (Waiting& waiting : left) waiting.done(Failed("não verificado: o servidor está encerrando"));
  if (prober_.joinable()) prober_.join();
  if (timer_.joinable()) timer_.join();
}

void HealthCheck::Probe() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
    if (stopping_) return;
    lock.unlock();
    HealthAnswer answer = Ok();
    std::string reason;
    try {
      probe_();
    } catch (const std::exception& error) {
      reason = error.what();
    } catch (...) {
      reason = "falha desconhecida";
    }
    if (!reason.empty()) answer = Failed("inacessível");
    if (log_ && failing_ != !reason.empty())
      log_(reason.empty() ? "<6>kvr61400-server: saúde: o banco de dados respondeu de novo."
                          : "<3>kvr61400-server: saúde: banco de dados inacessível: " + reason);
    failing_ = !reason.empty();
    lock.lock();
    // Those who asked while the probe ran get its result: it is at most a
    // second old.
    std::vector<Waiting> answered;
    answered.swap(waiting_);
    lock.unlock();
    for (Waiting& waiting : answered) waiting.done(answer);
    lock.lock();
  }
}

void HealthCheck::Expire() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (waiting_.empty()) {
      changed_.wait(lock);
      continue;
    }
    Clock::time_point first = Clock::time_point::max();
    for (const Waiting& waiting : waiting_) first = std::min(first, waiting.deadline);
    changed_.wait_until(lock, first);
    const Clock::time_point now = Clock::now();
    std::vector<Waiting> late;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      if (it->deadline <= now) {
        late.push_back(std::move(*it));
        it = waiting_.erase(it);
      } else {
        ++it;
      }
    }
    if (late.empty()) continue;
    lock.unlock();
    for (Waiting& waiting : late)
      waiting.done(Failed("sem resposta em " + std::to_string(kDeadline.count()) + " s"));
    lock.lock();
  }
}

}  // namespace kvr::server
