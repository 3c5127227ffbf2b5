#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvr::server {

// The answer of GET /saude: the HTTP status (200 or 503) and its JSON body.
struct HealthAnswer {
  int status = 200;
  std::string body;
};

// Whether the database answers, asked on threads of its own so that a
// database that hangs stalls neither an event loop nor a worker: one probe
// (a trivial query) runs at a time; every request that asks while it runs
// gets its result, or a 503 when it takes longer than kDeadline. Bodies:
// {"status":"ok","banco":"ok"}, or {"status":"falha","banco":"..."} saying
// what failed ("inacessível", "sem resposta em 1 s"), and nothing else about
// the server: the database's own message, which names it, goes to the log,
// once when the database fails and once when it answers again.
class HealthCheck {
 public:
  static constexpr std::chrono::seconds kDeadline{1};
  using Done = std::function<void(HealthAnswer)>;

  // probe runs the trivial query and throws (any exception, its what() the
  // reason) when the database does not answer. log receives the changes.
  HealthCheck(std::function<void()> probe, std::function<void(const std::string&)> log);
  // Stop.
  ~HealthCheck();
  HealthCheck(const HealthCheck&) = delete;
  HealthCheck& operator=(const HealthCheck&) = delete;

  // Asks; done runs once, on a thread of this object, within about
  // kDeadline (at once with 503 after Stop).
  void Ask(Done done);
  // Answers every request still waiting (503) and joins the threads; a probe
  // that hangs in the database keeps Stop waiting for it. Harmless twice.
  void Stop();

 private:
  using Clock = std::chrono::steady_clock;
  struct Waiting {
    Done done;
    Clock::time_point deadline;
  };
  void Probe();
  void Expire();

  std::function<void()> probe_;
  std::function<void(const std::string&)> log_;
  bool failing_ = false;  // the last probe failed (its thread's own)
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Waiting> waiting_;
  bool stopping_ = false;
  std::thread prober_;
  std::thread timer_;
};

}  // namespace kvr::server
