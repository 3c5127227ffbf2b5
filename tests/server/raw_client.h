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
#include <utility>

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
  // One whole answer (its head and the Content-Length bytes after it), for a
  // connection kept alive; what came when the server closes or deadline
  // passes first.
  std::string ReadAnswer(Clock::time_point deadline) {
    char buffer[4096];
    while (fd_ >= 0 && !closed_) {
      const size_t head_end = pending_.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        size_t length = 0;
        const size_t field = pending_.find("Content-Length: ");
        if (field != std::string::npos && field < head_end)
          length = std::stoul(pending_.substr(field + 16));
        const size_t size = head_end + 4 + length;
        if (pending_.size() >= size) {
          std::string answer = pending_.substr(0, size);
          pending_.erase(0, size);
          return answer;
        }
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0)
        closed_ = true;
      else
        pending_.append(buffer, static_cast<size_t>(n));
    }
    return std::exchange(pending_, std::string());
  }
  // True once the server closed the connection (seen by a read).
  bool Closed() const { return closed_; }

 private:
  int fd_ = -1;
  bool closed_ = false;
  std::string pending_;  // bytes read past the last whole answer
};

}  // namespace kvr::testing
