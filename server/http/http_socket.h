#pragma once

#include <gnutls/gnutls.h>
#include <sys/types.h>

#include <cstddef>

namespace kvr::server {

class TlsCredentials;

// One accepted connection's byte stream, plain or TLS (GnuTLS), on a
// non-blocking socket. Reads and writes never block: they report kAgain and
// say through WantsWrite which readiness to wait for. Owns the descriptor
// and closes it when destroyed. Not thread-safe: one event loop uses it.
class HttpSocket {
 public:
  static constexpr ssize_t kAgain = -1;   // nothing now: wait for readiness
  static constexpr ssize_t kClosed = -2;  // the peer ended the stream, or it failed

  // Takes fd (non-blocking); tls, when not nullptr, must outlive the socket:
  // the connection then begins with a TLS handshake.
  HttpSocket(int fd, const TlsCredentials* tls);
  ~HttpSocket();
  HttpSocket(const HttpSocket&) = delete;
  HttpSocket& operator=(const HttpSocket&) = delete;

  int Fd() const { return fd_; }
  // Advances the TLS handshake; true once it is done (always for plain).
  // kClosed-like failures make Failed() true.
  bool Handshake();
  bool Failed() const { return failed_; }

  // Reads up to size bytes: the count read, kAgain, or kClosed.
  ssize_t Read(char* data, size_t size);
  // Writes up to size bytes: the count written, kAgain, or kClosed. After
  // kAgain on TLS the same bytes must be offered again.
  ssize_t Write(const char* data, size_t size);
  // Whether the last kAgain waits for the socket to be writable.
  bool WantsWrite() const { return wants_write_; }
  // Whether TLS holds bytes already read from the socket but not yet taken.
  bool Pending() const;
  // Ends the sending side (a TLS close notice, then FIN); reading goes on.
  void CloseWrite();

 private:
  int fd_;
  gnutls_session_t tls_ = nullptr;  // nullptr: plain
  bool handshaken_ = false;
  bool failed_ = false;
  bool wants_write_ = false;
};

}  // namespace kvr::server
