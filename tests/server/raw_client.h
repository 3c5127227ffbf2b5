#pragma once
// A raw TCP connection to the server on 127.0.0.1, for what an HTTP library
// would not send: partial heads, trickled bodies, ambiguous framing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace kvr::testing {

class RawClient {
 public:
  using Clock = std::chrono::steady_clock;

  // Connects to 127.0.0.1:port from source (another loopback address when a
  // second client address is needed); Open() says whether it did.
  explicit RawClient(int port, const char* source = "127.0.0.1") {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~RawClient() {
    if (fd_ >= 0) close(fd_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Open() const { return fd_ >= 0; }
  bool Send(const std::string& bytes) {
    return fd_ >= 0 &&
           send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // What comes until the server closes or until deadline.
  std::string ReadUntil(Clock::time_point deadline) {
    std::string data;
    char buffer[4096];
    while (fd_ >= 0 && !closed_) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0)
        closed_ = true;
      else
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
  }
  // What comes until the server closes or until seconds pass.
  std::string Read(double seconds) {
    return ReadUntil(Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
  }
  // True once the server closed the connection (seen by a read).
  bool Closed() const { return closed_; }

 private:
  int fd_ = -1;
  bool closed_ = false;
};

}  // namespace kvr::testing
