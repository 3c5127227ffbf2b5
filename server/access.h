#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "access_store.h"

namespace kvr::server {

// Who made a call, as the module and the audit trail name them. An open
// loopback server (no keys, no shared secret) lets everyone in as user ""
// with administrator rights; the shared secret of --token-file is the user
// "compartilhada", also an administrator.
struct Caller {
  std::string user;
  bool administrator = true;
  std::string address;
};

// The name the shared secret of --token-file has in the trail.
constexpr const char* kSharedKeyUser = "compartilhada";

// The answer to "who is this request's key": let in as caller, or refused
// with an HTTP status, the Portuguese message and a note for the log.
struct AccessDecision {
  bool allowed = false;
  Caller caller;
  int status = 401;
  std::string message;
  std::string note;
};

// Decides which clerk a request's key belongs to. Once any clerk key exists
// (also one revoked since) every request needs a valid one (loopback
// included); with none, only the
// shared secret (when given) is asked for, and without it everyone is let
// in. A key looked up is trusted for at most kRecheck, so a key revoked on
// any server sharing the database is refused within it. Refusals are
// written to the trail by a thread of this object, never by the caller's.
class AccessControl {
 public:
  static constexpr std::chrono::seconds kRecheck{2};

  // store (may be null: no clerk keys) must outlive this object.
  AccessControl(AccessStore* store, std::string shared_secret);
  ~AccessControl();
  AccessControl(const AccessControl&) = delete;
  AccessControl& operator=(const AccessControl&) = delete;

  // The decision for a request that came from address with the value of its
  // Authorization header (nullptr: none). Never throws: a database that
  // cannot be asked refuses with 503.
  AccessDecision Check(const char* authorization, const std::string& address);

  // Appends event to the trail on this object's thread (a failure is only
  // logged through log).
  void RecordLater(AuditEvent event);

  // Where failures of the trail's writes go; set before the first request.
  void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Known {
    std::optional<Clerk> clerk;
    Clock::time_point checked;
  };

  bool AnyKey(Clock::time_point now);
  std::optional<Clerk> Lookup(const std::string& hash, Clock::time_point now);
  void Write();

  AccessStore* store_;
  std::string shared_secret_;
  std::function<void(const std::string&)> log_;

  std::mutex mutex_;
  std::optional<bool> any_key_;
  Clock::time_point any_checked_;
  std::map<std::string, Known> known_;
  std::map<std::string, Clock::time_point> touched_;

  std::mutex queue_mutex_;
  std::condition_variable queue_changed_;
  std::deque<AuditEvent> queue_;
  bool stopping_ = false;
  std::thread writer_;
};

}  // namespace kvr::server
