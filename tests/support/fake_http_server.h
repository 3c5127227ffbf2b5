#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvr::testing {

// A fake HTTP server on 127.0.0.1 (a free port) for the client's failure
// paths: GET / is answered 200, each POST by the test's handler, which writes
// whatever reply it likes on the socket. Stopped (and its threads joined)
// when the object goes; a handler that loops must watch Stopping().
class FakeHttpServer {
 public:
  struct Request {
    std::string head;  // request line and headers, each line ending in CRLF
    std::string body;  // as received (Content-Length bytes)
  };
  using Handler = std::function<void(int fd, const Request& request)>;

  explicit FakeHttpServer(Handler handler) : handler_(std::move(handler)) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listen_, 16);
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~FakeHttpServer() {
    stopping_ = true;
    shutdown(listen_, SHUT_RDWR);
    close(listen_);
    acceptor_.join();
    for (std::thread& t : connections_) t.join();
  }
  int Port() const { return port_; }
  bool Stopping() const { return stopping_; }
  std::vector<Request> Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

  // Writes all of text; false when the peer is gone.
  static bool Send(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  static std::string Reply(int status, const std::string& body,
                           const std::string& extra_headers = "") {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\n" +
           extra_headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }

 private:
  void Accept() {
    while (!stopping_) {
      const int fd = accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      connections_.emplace_back([this, fd] {
        Serve(fd);
        close(fd);
      });
    }
  }
  void Serve(int fd) {
    timeval tv{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string data;
    char buf[65536];
    while (!stopping_) {
      const size_t end = data.find("\r\n\r\n");
      if (end == std::string::npos) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0) return;
        if (n > 0) data.append(buf, static_cast<size_t>(n));
        continue;
      }
      Request request;
      request.head = data.substr(0, end + 2);
      size_t length = 0;
      const size_t at = request.head.find("Content-Length: ");
      if (at != std::string::npos) length = std::stoul(request.head.substr(at + 16));
      while (data.size() < end + 4 + length && !stopping_) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0) return;
        if (n > 0) data.append(buf, static_cast<size_t>(n));
      }
      request.body = data.substr(end + 4, length);
      data.erase(0, end + 4 + length);
      if (request.head.find("Transfer-Encoding: chunked") != std::string::npos &&
          !ReadChunks(fd, data, request.body))
        return;
      if (request.head.rfind("GET ", 0) == 0) {
        if (!Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nkvr61400")) return;
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(request);
      }
      handler_(fd, request);
    }
  }

  // Appends a chunked body's chunks to body, taking them from data (and the
  // socket); false when the connection ends first.
  bool ReadChunks(int fd, std::string& data, std::string& body) {
    char buf[65536];
    auto fill = [&](size_t wanted) {
      while (data.size() < wanted && !stopping_) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0) return false;
        if (n > 0) data.append(buf, static_cast<size_t>(n));
      }
      return data.size() >= wanted;
    };
    for (;;) {
      size_t line_end;
      while ((line_end = data.find("\r\n")) == std::string::npos)
        if (!fill(data.size() + 1)) return false;
      const size_t size = std::stoul(data.substr(0, line_end), nullptr, 16);
      if (!fill(line_end + 2 + size + 2)) return false;
      body.append(data, line_end + 2, size);
      data.erase(0, line_end + 2 + size + 2);
      if (size == 0) return true;
    }
  }

  Handler handler_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<std::thread> connections_;
  std::mutex mutex_;
  std::vector<Request> received_;
};

}  // namespace kvr::testing
