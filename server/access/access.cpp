#include "access/access.h"

#include <strings.h>

#include <exception>

#include "access/clerk_key.h"

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
AccessDecision Unchecked(AccessDecision decision, const std::string& reason) {
  decision.status = 503;
  decision.message = "Não foi possível conferir a chave de acesso: " + reason;
  decision.note = "(chave não conferida)";
  return decision;
}

}  // namespace

AccessControl::AccessControl(AccessStore* store, std::string shared_secret)
    : store_(store), shared_secret_(std::move(shared_secret)) {
  if (store_ == nullptr) return;
  writer_ = std::thread([this] { Write(); });
  refresher_ = std::thread([this] { Refresh(); });
}

AccessControl::~AccessControl() {
  StopLookups();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  jobs_changed_.notify_all();
  if (refresher_.joinable()) refresher_.join();
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    writer_stopping_ = true;
  }
  queue_changed_.notify_all();
  if (writer_.joinable()) writer_.join();
}

std::string AccessControl::Load() {
  const Clock::time_point started = Clock::now();
  try {
    const bool any = store_->AnyKey();
    std::map<std::string, Clerk> keys = store_->ActiveKeys();
    std::lock_guard<std::mutex> lock(mutex_);
    any_key_ = any;
    keys_ = std::move(keys);
    loaded_ = true;
    read_at_ = started;
    failure_.clear();
    return "";
  } catch (const std::exception& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = error.what();
    return failure_;
  }
}

void AccessControl::Refresh() {
  Clock::time_point next = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (!jobs_.empty()) {
      running_ = std::move(jobs_.front());
      jobs_.pop_front();
      std::shared_ptr<Job> job = running_;
      const bool load = !loaded_;
      lock.unlock();
      std::string failed;
      if (load) {
        failed = Load();
        next = Clock::now() + kRecheck;
      }
      const std::string given = job->authorization;
      const bool bearer = given.size() > 7 && strncasecmp(given.c_str(), "Bearer ", 7) == 0;
      if (failed.empty() && bearer) {
        const std::string hash = ClerkKeyHash(given.substr(7));
        try {
          std::optional<Clerk> clerk = store_->FindKey(hash);
          std::lock_guard<std::mutex> found(mutex_);
          if (clerk) {
            keys_[hash] = std::move(*clerk);
          } else {
            // A client trying many keys must not grow the memory.
            if (misses_.size() >= kMaxKnown) misses_.clear();
            misses_[hash] = Clock::now();
          }
        } catch (const std::exception& error) {
          failed = error.what();
        }
      }
      lock.lock();
      std::optional<AccessDecision> decision;
      if (failed.empty()) decision = Held(given, job->address, false, Clock::now());
      if (!decision) {
        AccessDecision unchecked;
        unchecked.caller.address = AddressOnly(job->address);
        decision = Unchecked(std::move(unchecked),
                             failed.empty() ? "a chave não pôde ser lida" : failed);
      }
      Answer(*job, std::move(*decision));
      running_.reset();
      continue;
    }
    if (Clock::now() >= next) {
      lock.unlock();
      Load();
      next = Clock::now() + kRecheck;
      lock.lock();
      continue;
    }
    jobs_changed_.wait_until(lock, next, [this] { return stopping_ || !jobs_.empty(); });
  }
}

void AccessControl::Answer(Job& job, AccessDecision decision) {
  if (job.answered) return;
  job.answered = true;
  job.done(std::move(decision));
}

void AccessControl::Lookup(const char* authorization, const std::string& address,
                           std::function<void(AccessDecision)> done) {
  auto job = std::make_shared<Job>();
  job->authorization = authorization != nullptr ? authorization : "";
  job->address = address;
  job->done = std::move(done);
  std::lock_guard<std::mutex> lock(mutex_);
  if (lookups_stopped_ || store_ == nullptr) {
    AccessDecision stopping;
    stopping.caller.address = AddressOnly(address);
    return Answer(*job, Unchecked(std::move(stopping), "o servidor está encerrando"));
  }
  jobs_.push_back(std::move(job));
  jobs_changed_.notify_one();
}

void AccessControl::StopLookups() {
  std::lock_guard<std::mutex> lock(mutex_);
  lookups_stopped_ = true;
  if (running_) jobs_.push_front(running_);
  for (const std::shared_ptr<Job>& job : jobs_) {
    AccessDecision stopping;
    stopping.caller.address = AddressOnly(job->address);
    Answer(*job, Unchecked(std::move(stopping), "o servidor está encerrando"));
  }
  jobs_.clear();
}

std::optional<AccessDecision> AccessControl::Decide(const char* authorization,
                                                    const std::string& address, bool blocked) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Held(authorization != nullptr ? authorization : "", address, blocked, Clock::now());
}

std::optional<AccessDecision> AccessControl::Held(const std::string& given,
                                                  const std::string& address, bool blocked,
                                                  Clock::time_point now) {
  AccessDecision decision;
  decision.caller.address = AddressOnly(address);
  bool keys = false;
  if (store_ != nullptr) {
    if (!loaded_) {
      if (failure_.empty()) return std::nullopt;
      return Unchecked(std::move(decision), failure_);
    }
    // Keys read long ago may have been revoked since.
    if (now - read_at_ > kStale)
      return Unchecked(std::move(decision),
                       failure_.empty() ? "as chaves não foram lidas a tempo" : failure_);
    keys = any_key_;
  }
  if (!keys && shared_secret_.empty()) {
    decision.allowed = true;
    return decision;
  }
  const bool bearer = given.size() > 7 && strncasecmp(given.c_str(), "Bearer ", 7) == 0;
  const std::string key = bearer ? given.substr(7) : "";
  if (bearer && !shared_secret_.empty() && SameSecret(key, shared_secret_)) {
    decision.allowed = true;
    decision.caller.user = kSharedKeyUser;
    return decision;
  }
  if (bearer && keys) {
    const std::string hash = ClerkKeyHash(key);
    const auto known = keys_.find(hash);
    if (known != keys_.end()) {
      const Clerk& clerk = known->second;
      decision.allowed = true;
      decision.caller.user = clerk.name;
      decision.caller.administrator = clerk.administrator;
      auto it = touched_.find(clerk.name);
      if (it == touched_.end() || now - it->second >= kTouchEvery) {
        touched_[clerk.name] = now;
        AuditEvent use;
        use.user = clerk.name;  // no event: only the clerk's last use
        RecordLater(std::move(use));
      }
      return decision;
    }
    // A key made since the keys were read is found by a look-up; a blocked
    // address gets none.
    const auto missed = misses_.find(hash);
    const bool recent_miss = missed != misses_.end() && now - missed->second < kRecheck;
    if (!recent_miss && !blocked) return std::nullopt;
  }
  if (blocked) {
    decision.status = 429;
    decision.note = "(bloqueado)";
    return decision;
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
    queue_changed_.wait(lock, [this] { return writer_stopping_ || !queue_.empty(); });
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
