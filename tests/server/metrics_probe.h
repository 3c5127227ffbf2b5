#pragma once
// Reads the gauges of a server's /metrics page (open connections, requests
// under way, memory taken and waited for), so that a test waits on the state
// the server reports instead of a pause.

#include <chrono>
#include <memory>
#include <string>

#include "raw_client.h"
#include "wait_until.h"

namespace kvr::testing {

// Asks over one connection kept alive, opened when the probe is made: asking
// opens no connection of its own, so a test of connection limits can count
// this one among the others (it is idle since its last answer). The server
// closes it once idle past its timeout; it is then opened again. Loopback
// without keys only (the page then needs none).
class MetricsProbe {
 public:
  explicit MetricsProbe(int port) : port_(port), client_(std::make_unique<RawClient>(port)) {}

  // The value of the sample name (one without labels), or -1 when the page
  // did not come within 30 s.
  double Get(const std::string& name) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (client_->Closed()) client_ = std::make_unique<RawClient>(port_);
      if (!client_->Send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) {
        client_ = std::make_unique<RawClient>(port_);
        continue;
      }
      const std::string page =
          client_->ReadAnswer(RawClient::Clock::now() + std::chrono::seconds(30));
      const std::string line = "\n" + name + " ";
      const size_t at = page.find(line);
      if (at != std::string::npos) return std::stod(page.substr(at + line.size()));
    }
    return -1;
  }

  // Waits until done(value of name) holds, for at most 30 s (a deadline for
  // a broken server, not the time the state is expected in); returns the
  // last value read.
  template <typename Done>
  double WaitFor(const std::string& name, Done done) {
    double value = -1;
    WaitUntil(std::chrono::seconds(30), [&] { return done(value = Get(name)); });
    return value;
  }

 private:
  int port_;
  std::unique_ptr<RawClient> client_;
};

}  // namespace kvr::testing
