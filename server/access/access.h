#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "store/access_store.h"

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
// included); with none, only the shared secret (when given) is asked for,
// and without it everyone is let in.
//
// The event loops never wait for the database here: a thread of this object
// reads the active keys every kRecheck, so a key revoked on any server
// sharing the database is refused within about that; a key not among them
// (made since, or wrong) is looked up by that thread while its request
// waits. Read keys serve while the database is slow or locked, for at most
// kStale. Refusals are written to the trail by another thread of this
// object, never by the caller's.
class AccessControl {
 public:
  static constexpr std::chrono::seconds kRecheck{2};
  static constexpr std::chrono::seconds kStale{30};

  // store (may be null: no clerk keys) must outlive this object.
  AccessControl(AccessStore* store, std::string shared_secret);
  ~AccessControl();
  AccessControl(const AccessControl&) = delete;
  AccessControl& operator=(const AccessControl&) = delete;

  // The decision for a request that came from address with the value of its
  // Authorization header (nullptr: none), made at once from what this object
  // holds, with no database call; nullopt when the key must be looked up
  // (Lookup). blocked: the guess limit blocks the address: a key not known to
  // be valid is refused with status 429 (no message: the caller words it),
  // without a look-up and without a row in the trail. Never throws: keys not
  // read for kStale refuse with 503.
  std::optional<AccessDecision> Decide(const char* authorization, const std::string& address,
                                       bool blocked);

  // Looks the key of a request Decide did not know up on this object's
  // thread and calls done there with the decision (503 when the database
  // cannot be asked). done is called once; after StopLookups, at once on the
  // caller's thread with 503, and never again for a look-up under way.
  void Lookup(const char* authorization, const std::string& address,
              std::function<void(AccessDecision)> done);

  // The server stops: every look-up still waiting is answered 503 now, so
  // that no request waits for a database that does not answer.
  void StopLookups();

  // Appends event to the trail on this object's thread (a failure is only
  // logged through log).
  void RecordLater(AuditEvent event);

  // Where failures of the trail's writes go; set before the first request.
  void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Job {
    std::string authorization;
    std::string address;
    std::function<void(AccessDecision)> done;
    bool answered = false;
  };

  // Decide's work, under mutex_.
  std::optional<AccessDecision> Held(const std::string& given, const std::string& address,
                                     bool blocked, Clock::time_point now);
  // Reads the keys; the failure's message, or "" when read.
  std::string Load();
  void Refresh();
  void Write();
  void Answer(Job& job, AccessDecision decision);

  AccessStore* store_;
  std::string shared_secret_;
  std::function<void(const std::string&)> log_;

  std::mutex mutex_;
  std::condition_variable jobs_changed_;
  bool loaded_ = false;                  // the keys were read once
  Clock::time_point read_at_;            // when the last good read began
  std::string failure_;                  // why the last read failed, "" when it did not
  bool any_key_ = false;
  std::map<std::string, Clerk> keys_;    // active, by the SHA-256 of their key
  std::map<std::string, Clock::time_point> misses_;  // looked up, not found
  std::map<std::string, Clock::time_point> touched_;
  std::deque<std::shared_ptr<Job>> jobs_;
  std::shared_ptr<Job> running_;
  bool lookups_stopped_ = false;
  bool stopping_ = false;
  std::thread refresher_;

  std::mutex queue_mutex_;
  std::condition_variable queue_changed_;
  std::deque<AuditEvent> queue_;
  bool writer_stopping_ = false;
  std::thread writer_;
};

}  // namespace kvr::server
