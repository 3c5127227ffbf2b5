#include "http/http_socket.h"

#include <gnutls/gnutls.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "http/tls_credentials.h"

namespace kvr::server {

HttpSocket::HttpSocket(int fd, const TlsCredentials* tls) : fd_(fd) {
  if (tls == nullptr) {
    handshaken_ = true;
    return;
  }
  // A session that cannot be made fails the handshake: the socket is never
  // read or written.
  if (gnutls_init(&tls_, GNUTLS_SERVER | GNUTLS_NONBLOCK | GNUTLS_NO_SIGNAL) < 0 ||
      !tls->SetUp(tls_)) {
    failed_ = true;
    return;
  }
  gnutls_certificate_server_set_request(tls_, GNUTLS_CERT_IGNORE);
  gnutls_transport_set_int(tls_, fd);
}

HttpSocket::~HttpSocket() {
  if (tls_ != nullptr) gnutls_deinit(tls_);
  close(fd_);
}

bool HttpSocket::Handshake() {
  if (handshaken_ || failed_) return handshaken_;
  const int result = gnutls_handshake(tls_);
  if (result == GNUTLS_E_SUCCESS) {
    handshaken_ = true;
    wants_write_ = false;
  } else if (result == GNUTLS_E_AGAIN || result == GNUTLS_E_INTERRUPTED ||
             !gnutls_error_is_fatal(result)) {
    wants_write_ = gnutls_record_get_direction(tls_) == 1;
  } else {
    failed_ = true;
  }
  return handshaken_;
}

ssize_t HttpSocket::Read(char* data, size_t size) {
  wants_write_ = false;
  if (tls_ == nullptr) {
    const ssize_t n = recv(fd_, data, size, 0);
    if (n > 0) return n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return kAgain;
    return kClosed;
  }
  const ssize_t n = gnutls_record_recv(tls_, data, size);
  if (n > 0) return n;
  if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
    wants_write_ = gnutls_record_get_direction(tls_) == 1;
    return kAgain;
  }
  // A client's renegotiation request or another warning: nothing to read now.
  if (n < 0 && !gnutls_error_is_fatal(static_cast<int>(n))) return kAgain;
  return kClosed;
}

ssize_t HttpSocket::Write(const char* data, size_t size) {
  wants_write_ = false;
  if (tls_ == nullptr) {
    const ssize_t n = send(fd_, data, size, MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      wants_write_ = true;
      return kAgain;
    }
    return kClosed;
  }
  const ssize_t n = gnutls_record_send(tls_, data, size);
  if (n >= 0) return n;
  if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
    wants_write_ = gnutls_record_get_direction(tls_) == 1;
    return kAgain;
  }
  return kClosed;
}

bool HttpSocket::Pending() const {
  return tls_ != nullptr && handshaken_ && gnutls_record_check_pending(tls_) > 0;
}

void HttpSocket::CloseWrite() {
  // One try: the close notice is a courtesy; a full buffer is no reason to wait.
  if (tls_ != nullptr && handshaken_) gnutls_bye(tls_, GNUTLS_SHUT_WR);
  shutdown(fd_, SHUT_WR);
}

}  // namespace kvr::server
