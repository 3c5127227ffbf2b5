#pragma once

#include <sys/socket.h>

#include <string>

namespace kvr::server {

// A TCP socket listening on one address, bound exclusively: a port another
// socket listens on is refused, never shared (SO_REUSEPORT is never set).
// Closes the socket when destroyed or replaced, unless Release handed it on.
class ListenSocket {
 public:
  // The listen backlog: connections the kernel queues before they are taken.
  static constexpr int kBacklog = 4096;

  ListenSocket() = default;
  ~ListenSocket() { Close(); }

  ListenSocket(const ListenSocket&) = delete;
  ListenSocket& operator=(const ListenSocket&) = delete;

  // Binds host ("127.0.0.1", "::1", "[::1]", a name; empty for every
  // address) and port (0: any free port) and listens, in place of the socket
  // held before (closed once the new one listens). Throws kvr::Exception
  // with the Portuguese reason naming HOST:PORT: "porta HOST:PORT já está em
  // uso ..." when another socket listens there, an unknown address, or
  // another failure of the system; the socket held before is then kept.
  void Open(const std::string& host, int port);

  // The descriptor, or -1 without a socket.
  int Fd() const { return fd_; }
  // The port bound (the real one for port 0).
  int Port() const { return port_; }
  // The address bound, numeric: "127.0.0.1" or "[::1]".
  const std::string& HostText() const { return host_text_; }
  // Hands the descriptor to whoever will close it; this no longer holds one
  // (Port and HostText still say where it listens).
  int Release();

 private:
  void Close();

  int fd_ = -1;
  int port_ = 0;
  std::string host_text_;
};

// True when host (a name or numeric address, IPv6 possibly in brackets)
// denotes only the loopback interface: 127.0.0.0/8, ::1 or "localhost".
bool IsLoopbackHost(const std::string& host);

// "127.0.0.1:5000" or "[::1]:5000" for a socket address; "?" when there is
// none or it cannot be written.
std::string AddressText(const sockaddr* address, socklen_t length);

}  // namespace kvr::server
