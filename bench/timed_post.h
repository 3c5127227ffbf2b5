#pragma once

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace kvr::bench {

// Posts body to the module's endpoint on 127.0.0.1:port (waiting up to 15
// minutes) and returns the seconds until the reply; -1, with the reply's
// start on stderr, when the call did not answer true.
inline double TimedPost(int port, const std::string& body, const httplib::Headers& headers = {}) {
  httplib::Client http("127.0.0.1", port);
  http.set_read_timeout(900, 0);
  http.set_write_timeout(900, 0);
  const auto start = std::chrono::steady_clock::now();
  auto reply = http.Post("/kvr61400.rdmImportOFX", headers, body, "application/json");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!reply || reply->status != 200 || reply->body.find("\"result\":true") == std::string::npos) {
    std::fprintf(stderr, "refused: %s\n", reply ? reply->body.substr(0, 300).c_str() : "no reply");
    return -1;
  }
  return seconds;
}

}  // namespace kvr::bench
