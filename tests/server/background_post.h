#pragma once

#include <httplib.h>

#include <string>
#include <thread>

namespace kvr::testing {

// A call posted to the server's endpoint on a thread of its own: a clerk
// whose store takes a while, while the test looks at the server meanwhile.
// body must outlive it. The thread is joined by Reply or, should the test
// stop early, on destruction.
class BackgroundPost {
 public:
  BackgroundPost(int port, const std::string& body)
      : thread_([this, port, &body] {
          httplib::Client http("127.0.0.1", port);
          http.set_read_timeout(120, 0);
          if (auto result = http.Post("/kvr61400.rdmImportOFX", body, "application/json"))
            reply_ = result->body;
        }) {}
  ~BackgroundPost() { Wait(); }
  BackgroundPost(const BackgroundPost&) = delete;
  BackgroundPost& operator=(const BackgroundPost&) = delete;

  // Waits for the answer; its body, or "" when none came.
  const std::string& Reply() {
    Wait();
    return reply_;
  }

 private:
  void Wait() {
    if (thread_.joinable()) thread_.join();
  }

  std::string reply_;  // before thread_: it exists when the thread starts
  std::thread thread_;
};

}  // namespace kvr::testing
