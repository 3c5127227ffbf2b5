#include "access.h"

#include <strings.h>

#include <exception>

#include "clerk_key.h"

namespace kvr::server {

namespace {

// A clerk's last use is written at most this often.
constexpr std::chrono::seconds kTouchEvery{60};
// Keys remembered at most; past it the memory starts afresh (a client
// trying many keys must not grow it).
constexpr size_t kMaxKnown = 4096;

// Compares a client's secret with ours in time that depends only on the
// length of ours.
bool SameSecret(const std::string& given, const std::string& secret) {
  unsigned char difference = given.size() == secret.size() ? 0 : 1;
  for (size_t i = 0; i < secret.size(); ++i)
    difference |= static_cast<unsigned char>((i < given.size() ? given[i] : 0) ^ secret[i]);
  return difference == 0;
}

// "127.0.0.1:41474" or "[::1]:41474" without the port: the trail names the
// client's machine, not its connection.
std::string AddressOnly(const std::string& address) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || (address.front() != '[' && address.find(':') != colon))
    return address;
  std::string host = address.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  return host;
}

// decision as a refusal because the store could not check the key.
AccessDecision Unchecked(AccessDecision decision, const std::exception& error) {
  decision.status = 503;
  decision.message = std::string("Não foi possível conferir a chave de acesso: ") + error.what();
  decision.note = "(chave não conferida)";
  return decision;
}

}  // namespace

AccessControl::AccessControl(AccessStore* store, std::string shared_secret)
    : store_(store), shared_secret_(std::move(shared_secret)) {
  if (store_ != nullptr) writer_ = std::thread([this] { Write(); });
}

AccessControl::~AccessControl() {
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    stopping_ = true;
  }
  queue_changed_.notify_all();
  if (writer_.joinable()) writer_.join();
}

bool AccessControl::AnyKey(Clock::time_point now) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (any_key_ && now - any_checked_ < kRecheck) return *any_key_;
  }
  const bool any = store_->AnyKey();
  std::lock_guard<std::mutex> lock(mutex_);
  any_key_ = any;
  any_checked_ = now;
  return any;
}

std::optional<Clerk> AccessControl::Lookup(const std::string& hash, Clock::time_point now) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = known_.find(hash);
    if (it != known_.end() && now - it->second.checked < kRecheck) return it->second.clerk;
  }
  std::optional<Clerk> clerk = store_->FindKey(hash);
  std::lock_guard<std::mutex> lock(mutex_);
  if (known_.size() >= kMaxKnown) known_.clear();
  known_[hash] = Known{clerk, now};
  return clerk;
}

AccessDecision AccessControl::Check(const char* authorization, const std::string& address) {
  AccessDecision decision;
  decision.caller.address = AddressOnly(address);
  const Clock::time_point now = Clock::now();
  bool keys = false;
  try {
    keys = store_ != nullptr && AnyKey(now);
  } catch (const std::exception& error) {
    return Unchecked(std::move(decision), error);
  }
  if (!keys && shared_secret_.empty()) {
    decision.allowed = true;
    return decision;
  }
  const std::string given = authorization != nullptr ? authorization : "";
  const bool bearer = given.size() > 7 && strncasecmp(given.c_str(), "Bearer ", 7) == 0;
  const std::string key = bearer ? given.substr(7) : "";
  if (bearer && !shared_secret_.empty() && SameSecret(key, shared_secret_)) {
    decision.allowed = true;
    decision.caller.user = kSharedKeyUser;
    return decision;
  }
  if (bearer && keys) {
    std::optional<Clerk> clerk;
    try {
      clerk = Lookup(ClerkKeyHash(key), now);
    } catch (const std::exception& error) {
      return Unchecked(std::move(decision), error);
    }
    if (clerk) {
      decision.allowed = true;
      decision.caller.user = clerk->name;
      decision.caller.administrator = clerk->administrator;
      bool touch = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = touched_.find(clerk->name);
        touch = it == touched_.end() || now - it->second >= kTouchEvery;
        if (touch) touched_[clerk->name] = now;
      }
      if (touch) {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        AuditEvent use;
        use.user = clerk->name;  // no event: only the clerk's last use
        queue_.push_back(std::move(use));
        queue_changed_.notify_one();
      }
      return decision;
    }
  }
  if (!keys) {
    decision.message = bearer ? "Acesso negado: o segredo informado não confere com o do servidor."
                              : "Acesso negado: o servidor exige o segredo compartilhado "
                                "(cabeçalho Authorization: Bearer).";
    decision.note = bearer ? "(segredo errado)" : "(sem segredo)";
  } else {
    decision.message = bearer ? "Acesso negado: a chave de acesso informada não vale neste "
                                "servidor (desconhecida ou revogada)."
                              : "Acesso negado: o servidor exige uma chave de acesso "
                                "(cabeçalho Authorization: Bearer).";
    decision.note = bearer ? "(chave recusada)" : "(sem chave)";
  }
  AuditEvent refused;
  refused.address = decision.caller.address;
  refused.event = "acesso_negado";
  refused.detail = bearer ? "chave recusada" : "sem chave";
  RecordLater(std::move(refused));
  return decision;
}

void AccessControl::RecordLater(AuditEvent event) {
  if (store_ == nullptr) return;
  std::lock_guard<std::mutex> lock(queue_mutex_);
  // A flood of refusals must not grow without bound while the database is slow.
  if (queue_.size() >= kMaxKnown) return;
  queue_.push_back(std::move(event));
  queue_changed_.notify_one();
}

void AccessControl::Write() {
  std::unique_lock<std::mutex> lock(queue_mutex_);
  for (;;) {
    queue_changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    AuditEvent event = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    try {
      if (event.event.empty())
        store_->TouchKey(event.user);
      else
        store_->Record(event);
    } catch (const std::exception& error) {
      if (log_) log_(std::string("kvr61400-server: trilha de auditoria: ") + error.what());
    }
    lock.lock();
  }
}

}  // namespace kvr::server
