#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace kvr::server {

// Why the server turned a call or a request down, as the counters name it.
enum class Refusal {
  kNone,
  kRecorded,        // SetExtratoBancario of a statement already recorded ("já cadastrado")
  kUnknownAccount,  // an account no CONTCORR row matches
  kPacket,          // a header or movements packet refused for its contents
  kUnauthorized,    // HTTP 401: no key, or a key no clerk has
  kTooManyGuesses,  // HTTP 429: an address that guessed too many keys
};

// What one answered call adds to the counters (filled by AnswerRpcCall).
struct CallSummary {
  std::string method;             // as the request named it (any text)
  const char* outcome = "ok";     // "ok", "recusada" (the module refused it) or "erro"
  Refusal refusal = Refusal::kNone;
  long long stored_movements = -1;  // a statement stored: its movements; -1 none
  bool store = false;             // SetExtratoBancario asked to store (its duration is timed)
  double seconds = 0;             // reading and running the call
  bool database_error = false;    // the database failed the call
};

// The figures that are read when the page is made, not counted.
struct ServerGauges {
  size_t connections = 0;     // open connections
  size_t requests = 0;        // requests between their head and their answer
  size_t memory_total = 0;    // the memory budget (--max-memory)
  size_t memory_in_use = 0;   // taken by requests
  size_t memory_waiting = 0;  // asked for by requests that wait for room
  size_t waiting_requests = 0;
};

// The server's counters, shown by GET /metrics in the Prometheus text format
// (version 0.0.4). Every method is thread-safe and cheap: a few are called for
// each request. Method labels are the module's methods; any other name
// counts as "desconhecido", so a client cannot grow the page.
class ServerMetrics {
 public:
  // Upper bounds of the store duration histogram, in seconds.
  static constexpr std::array<double, 12> kStoreBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                           0.5,   1,    2.5,   5,    10,  30};

  ServerMetrics() = default;
  ServerMetrics(const ServerMetrics&) = delete;
  ServerMetrics& operator=(const ServerMetrics&) = delete;

  // One call answered.
  void CountCall(const CallSummary& call);
  // A request refused before it reached the module (401, 429).
  void CountRefusal(Refusal reason);
  // The database could not be asked (a key check that failed).
  void CountDatabaseError();
  // Bytes of a request's body that came, and of an answer's body that went.
  void CountBytes(size_t in, size_t out);

  // The page: every counter, then the gauges given.
  std::string Text(const ServerGauges& gauges) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, uint64_t> calls_;  // (method, outcome)
  std::map<Refusal, uint64_t> refusals_;
  uint64_t statements_ = 0;
  uint64_t movements_ = 0;
  std::array<uint64_t, kStoreBuckets.size()> store_buckets_{};
  uint64_t store_count_ = 0;
  double store_sum_ = 0;
  uint64_t database_errors_ = 0;
  std::atomic<uint64_t> bytes_in_{0};
  std::atomic<uint64_t> bytes_out_{0};
};

}  // namespace kvr::server
