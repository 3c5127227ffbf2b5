#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kvr::server {

class RpcServer;

// Tells systemd how a serving server does, when a unit of Type=notify runs it
// ($NOTIFY_SOCKET set; otherwise nothing is sent): a status line with the
// open connections and the requests under way every few seconds, and, when
// the unit sets WatchdogSec=, WATCHDOG=1 only while every event loop and the
// worker pool turn (RpcServer::Turning). A server whose loops or workers hang
// stops sending it, and systemd restarts it once WatchdogSec= passes.
class ServiceNotifier {
 public:
  // How often the status is sent, and the loops are looked at, at most.
  static constexpr std::chrono::seconds kStatusEvery{5};

  // server must outlive this object; log receives the lines about the
  // watchdog (when a check fails, when it passes again).
  ServiceNotifier(RpcServer& server, std::function<void(const std::string&)> log);
  // Stop.
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Sends STOPPING=1 and ends the thread. Harmless twice.
  void Stop();

 private:
  void Run(std::chrono::microseconds watchdog);

  RpcServer& server_;
  std::function<void(const std::string&)> log_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kvr::server
