#include "admin/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "rpc/log_text.h"
#include "rpc/rpc_server.h"

namespace kvr::server {

ServiceNotifier::ServiceNotifier(RpcServer& server, std::function<void(const std::string&)> log)
    : server_(server), log_(std::move(log)) {
  // Without a unit that listens there is nothing to tell.
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket == nullptr || *socket == '\0') return;
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) usec = 0;
  if (usec > 0 && log_)
    log_(kLogInfo + std::string("kvr61400-server: vigia do systemd ativo: ") +
         std::to_string(usec / 1000000) + " s sem sinal de vida reiniciam o servidor.");
  thread_ = std::thread([this, usec] { Run(std::chrono::microseconds(usec)); });
}

ServiceNotifier::~ServiceNotifier() { Stop(); }

void ServiceNotifier::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
    sd_notify(0, "STOPPING=1\nSTATUS=encerrando");
  }
}

void ServiceNotifier::Run(std::chrono::microseconds watchdog) {
  // The loops are looked at a few times per watchdog interval: one check
  // missed (a loop busy for a moment) is not yet a restart.
  const std::chrono::microseconds every =
      watchdog.count() > 0 ? std::min<std::chrono::microseconds>(kStatusEvery, watchdog / 3)
                           : std::chrono::microseconds(kStatusEvery);
  bool failing = false;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    const RpcServer::Activity now = server_.Now();
    std::string message = "STATUS=" + std::to_string(now.connections) + " conexões abertas, " +
                          std::to_string(now.requests) + " requisições em andamento";
    if (watchdog.count() > 0) {
      const bool turning = server_.Turning();
      if (turning) message += "\nWATCHDOG=1";
      if (turning == failing && log_)
        log_(turning ? kLogInfo + std::string("kvr61400-server: vigia: o servidor voltou a girar.")
                     : kLogError + std::string("kvr61400-server: vigia: um laço de eventos ou os "
                                              "trabalhadores pararam; sem sinal de vida ao systemd."));
      failing = !turning;
    }
    sd_notify(0, message.c_str());
    lock.lock();
    changed_.wait_for(lock, every, [this] { return stopping_; });
  }
}

}  // namespace kvr::server
