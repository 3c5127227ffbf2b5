#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "store/statement.h"

namespace kvr::server {

// The statements that ValidExtrato found new, kept for the SetExtratoBancario
// that follows it: the client then names them ({"guardado": TOKEN}) instead
// of sending and the server reading a million movements a second time. A
// statement is kept only when its client asks ("guardar": true) and its rows
// fit in the server's memory budget; it is given back when taken and after a
// minute unclaimed. Clerks without a key share one user (""), so a user may
// have several kept at once. Thread-safe.
class HeldStatements {
 public:
  using Clock = std::chrono::steady_clock;
  // How long a statement waits for its SetExtratoBancario.
  static constexpr std::chrono::seconds kKeepFor{60};
  // At most this many statements are kept at once, and half of them for one
  // user.
  static constexpr size_t kMaxHeld = 16;
  static constexpr size_t kMaxPerUser = kMaxHeld / 2;

  // take(bytes) claims room from the memory budget (false: no room);
  // give(bytes) hands it back. Both must outlive this.
  HeldStatements(std::function<bool(size_t)> take, std::function<void(size_t)> give);
  ~HeldStatements();
  HeldStatements(const HeldStatements&) = delete;
  HeldStatements& operator=(const HeldStatements&) = delete;

  // Keeps statement for user (who the request's key is, "" for none) and
  // returns the token that names it; "" when it is not kept (no room in the
  // budget or in the limits above), the statement then being dropped.
  std::string Hold(const std::string& user, Statement statement, Clock::time_point now = Clock::now());
  // The statement kept under token for user, no longer kept; none when there
  // is none (never kept, taken already, expired, or another user's).
  std::optional<Statement> Take(const std::string& token, const std::string& user);
  // Gives back what was kept longer than kKeepFor before now.
  void Expire(Clock::time_point now);
  // How many statements are kept now.
  size_t Count();

 private:
  struct Held {
    std::string user;
    Statement statement;
    size_t bytes = 0;
    Clock::time_point since;
  };
  // Under the lock: drops the entry at token, giving its bytes back.
  void DropLocked(std::map<std::string, Held>::iterator it);

  std::function<bool(size_t)> take_;
  std::function<void(size_t)> give_;
  std::mutex mutex_;
  std::map<std::string, Held> held_;
};

}  // namespace kvr::server
