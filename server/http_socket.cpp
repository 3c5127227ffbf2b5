#include "http_socket.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "tls_credentials.h"

namespace kvr::server {

struct TlsContext::Parts {
  gnutls_certificate_credentials_t credentials = nullptr;
  gnutls_priority_t priorities = nullptr;
};

TlsContext::TlsContext() : parts_(new Parts) {
  if (gnutls_certificate_allocate_credentials(&parts_->credentials) < 0 ||
      gnutls_priority_init(&parts_->priorities, TlsCredentials::Priorities(), nullptr) < 0) {
    this->~TlsContext();
    throw std::bad_alloc();
  }
  gnutls_certificate_set_retrieve_function2(
      parts_->credentials,
      reinterpret_cast<gnutls_certificate_retrieve_function2*>(
          TlsCredentials::CertificateCallback()));
}

TlsContext::~TlsContext() {
  if (parts_ == nullptr) return;
  if (parts_->priorities != nullptr) gnutls_priority_deinit(parts_->priorities);
  if (parts_->credentials != nullptr) gnutls_certificate_free_credentials(parts_->credentials);
  delete parts_;
  parts_ = nullptr;
}

struct HttpSocket::Tls {
  gnutls_session_t session = nullptr;
};

HttpSocket::HttpSocket(int fd, const TlsContext* tls) : fd_(fd) {
  if (tls == nullptr) {
    handshaken_ = true;
    return;
  }
  tls_ = new Tls;
  if (gnutls_init(&tls_->session, GNUTLS_SERVER | GNUTLS_NONBLOCK | GNUTLS_NO_SIGNAL) < 0 ||
      gnutls_priority_set(tls_->session, tls->Get().priorities) < 0 ||
      gnutls_credentials_set(tls_->session, GNUTLS_CRD_CERTIFICATE, tls->Get().credentials) < 0) {
    failed_ = true;
    return;
  }
  gnutls_certificate_server_set_request(tls_->session, GNUTLS_CERT_IGNORE);
  gnutls_transport_set_int(tls_->session, fd);
}

HttpSocket::~HttpSocket() {
  if (tls_ != nullptr) {
    if (tls_->session != nullptr) gnutls_deinit(tls_->session);
    delete tls_;
  }
  close(fd_);
}

bool HttpSocket::Handshake() {
  if (handshaken_ || failed_) return handshaken_;
  const int result = gnutls_handshake(tls_->session);
  if (result == GNUTLS_E_SUCCESS) {
    handshaken_ = true;
    wants_write_ = false;
  } else if (result == GNUTLS_E_AGAIN || result == GNUTLS_E_INTERRUPTED ||
             !gnutls_error_is_fatal(result)) {
    wants_write_ = gnutls_record_get_direction(tls_->session) == 1;
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
  const ssize_t n = gnutls_record_recv(tls_->session, data, size);
  if (n > 0) return n;
  if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
    wants_write_ = gnutls_record_get_direction(tls_->session) == 1;
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
  const ssize_t n = gnutls_record_send(tls_->session, data, size);
  if (n >= 0) return n;
  if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
    wants_write_ = gnutls_record_get_direction(tls_->session) == 1;
    return kAgain;
  }
  return kClosed;
}

bool HttpSocket::Pending() const {
  return tls_ != nullptr && handshaken_ && gnutls_record_check_pending(tls_->session) > 0;
}

void HttpSocket::CloseWrite() {
  // One try: the close notice is a courtesy; a full buffer is no reason to wait.
  if (tls_ != nullptr && handshaken_) gnutls_bye(tls_->session, GNUTLS_SHUT_WR);
  shutdown(fd_, SHUT_WR);
}

}  // namespace kvr::server
