#include "http/listen_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "wire/errors.h"

namespace kvr::server {

namespace {

// host without the brackets of an IPv6 address ("[::1]" -> "::1").
std::string Unbracketed(const std::string& host) {
  return host.size() > 1 && host.front() == '[' && host.back() == ']'
             ? host.substr(1, host.size() - 2)
             : host;
}

// The passive (listening) addresses of name and port; nullptr when there is
// none. The caller frees them.
addrinfo* Resolve(const std::string& name, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.empty() ? nullptr : name.c_str(), port.c_str(), &hints, &found) != 0)
    return nullptr;
  return found;
}

}  // namespace

void ListenSocket::Open(const std::string& host, int port) {
  const std::string name = Unbracketed(host);
  const std::string shown = (name.find(':') != std::string::npos ? "[" + name + "]" : name) +
                            ":" + std::to_string(port);
  addrinfo* found = Resolve(name, std::to_string(port));
  if (found == nullptr)
    throw Exception("Não foi possível ouvir em " + shown + ": endereço \"" + name +
                    "\" desconhecido.");
  int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  if (fd < 0) {
    freeaddrinfo(found);
    throw Exception("Não foi possível ouvir em " + shown + ": " + std::strerror(errno) + ".");
  }
  // SO_REUSEADDR lets a restarted server take its port while old
  // connections linger in TIME_WAIT; on Linux it never lets two sockets
  // listen on one port (SO_REUSEPORT would, and is never set).
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (found->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  const int bound = bind(fd, found->ai_addr, found->ai_addrlen);
  const int bind_error = errno;
  freeaddrinfo(found);
  if (bound != 0) {
    close(fd);
    if (bind_error == EADDRINUSE)
      throw Exception("porta " + shown +
                      " já está em uso; encerre o outro servidor ou escolha outra porta com "
                      "--listen.");
    throw Exception("Não foi possível ouvir em " + shown + ": " + std::strerror(bind_error) + ".");
  }
  if (listen(fd, kBacklog) != 0) {
    const int listen_error = errno;
    close(fd);
    throw Exception("Não foi possível ouvir em " + shown + ": " + std::strerror(listen_error) +
                    ".");
  }
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string bound_at = AddressText(reinterpret_cast<sockaddr*>(&address), length);
  Close();
  const size_t colon = bound_at.rfind(':');
  host_text_ = bound_at.substr(0, colon);
  port_ = std::atoi(bound_at.c_str() + colon + 1);
  fd_ = fd;
}

void ListenSocket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

int ListenSocket::Release() { return std::exchange(fd_, -1); }

bool IsLoopbackHost(const std::string& host) {
  addrinfo* found = Resolve(Unbracketed(host), "0");
  bool loopback = found != nullptr;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      loopback = loopback && (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    } else if (a->ai_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
      const in6_addr& address = v6->sin6_addr;
      const bool mapped_loopback = IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
      loopback = loopback && (IN6_IS_ADDR_LOOPBACK(&address) || mapped_loopback);
    } else {
      loopback = false;
    }
  }
  if (found != nullptr) freeaddrinfo(found);
  return loopback;
}

std::string AddressText(const sockaddr* address, socklen_t length) {
  if (address == nullptr) return "?";
  char host[NI_MAXHOST], port[NI_MAXSERV];
  if (getnameinfo(address, length, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "?";
  if (address->sa_family == AF_INET6) return std::string("[") + host + "]:" + port;
  return std::string(host) + ":" + port;
}

}  // namespace kvr::server
