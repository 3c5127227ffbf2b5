#include "rpc/held_statements.h"

#include <gnutls/crypto.h>

#include <utility>

namespace kvr::server {

namespace {

// 128 random bits in hexadecimal; "" when the system gives none.
std::string NewToken() {
  unsigned char bytes[16];
  if (gnutls_rnd(GNUTLS_RND_NONCE, bytes, sizeof bytes) != 0) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 15]);
  }
  return token;
}

// The memory a statement's rows take, about.
size_t BytesOf(const Statement& statement) {
  return statement.movements.Bytes() + statement.header.size() * 64 + 1024;
}

}  // namespace

HeldStatements::HeldStatements(std::function<bool(size_t)> take, std::function<void(size_t)> give)
    : take_(std::move(take)), give_(std::move(give)) {}

HeldStatements::~HeldStatements() {
  std::lock_guard<std::mutex> lock(mutex_);
  while (!held_.empty()) DropLocked(held_.begin());
}

void HeldStatements::DropLocked(std::map<std::string, Held>::iterator it) {
  const size_t bytes = it->second.bytes;
  held_.erase(it);
  give_(bytes);
}

std::string HeldStatements::Hold(const std::string& user, Statement statement, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t of_user = 0;
  for (auto it = held_.begin(); it != held_.end();) {
    auto next = std::next(it);
    if (now - it->second.since > kKeepFor)
      DropLocked(it);
    else if (it->second.user == user)
      ++of_user;
    it = next;
  }
  if (held_.size() >= kMaxHeld || of_user >= kMaxPerUser) return "";
  const size_t bytes = BytesOf(statement);
  std::string token = NewToken();
  if (token.empty() || !take_(bytes)) return "";
  held_.emplace(token, Held{user, std::move(statement), bytes, now});
  return token;
}

std::optional<Statement> HeldStatements::Take(const std::string& token, const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = held_.find(token);
  if (it == held_.end() || it->second.user != user) return std::nullopt;
  std::optional<Statement> statement(std::move(it->second.statement));
  DropLocked(it);
  return statement;
}

void HeldStatements::Expire(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = held_.begin(); it != held_.end();) {
    auto next = std::next(it);
    if (now - it->second.since > kKeepFor) DropLocked(it);
    it = next;
  }
}

size_t HeldStatements::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_.size();
}

}  // namespace kvr::server
