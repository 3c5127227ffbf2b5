#pragma once

#include <gnutls/gnutls.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kvr::server {

// The server's certificate and private key for HTTPS, read from PEM files
// and read again on Reload (SIGHUP) without stopping the server: new
// handshakes get the new pair, connections open keep theirs. One per
// process: the TLS library's certificate callback has no place for a
// pointer of ours, so the last object made serves every TLS server of the
// process.
class TlsCredentials {
 public:
  // Reads the pair. Throws kvr::Exception naming the file and the reason: a
  // file missing or unreadable, not PEM, a key readable by group or others
  // ("chmod 600"), a key that does not belong to the certificate;
  // std::bad_alloc when the TLS library has no memory for its credentials.
  TlsCredentials(std::string cert_path, std::string key_path);
  ~TlsCredentials();
  TlsCredentials(const TlsCredentials&) = delete;
  TlsCredentials& operator=(const TlsCredentials&) = delete;

  // Reads the files again; on failure throws as the constructor does and the
  // pair in use stays. Safe while the server runs.
  void Reload();

  // Sets a server session up with what every TLS connection shares: the
  // certificate (asked of this object at each handshake, so a reloaded pair
  // serves the next one) and the protocol versions (TLS 1.2 or later).
  // false when the TLS library refuses.
  bool SetUp(gnutls_session_t session) const;

  const std::string& CertPath() const { return cert_path_; }

  // A certificate chain with its key, as read (opaque outside the .cpp).
  struct Pair;

 private:
  std::unique_ptr<Pair> Load() const;
  void Free();

  gnutls_certificate_credentials_t credentials_ = nullptr;
  gnutls_priority_t priorities_ = nullptr;
  std::string cert_path_;
  std::string key_path_;
  std::mutex mutex_;
  // Every pair read stays until the object goes: a handshake under way may
  // still use one that a reload replaced.
  std::vector<std::unique_ptr<Pair>> pairs_;
};

}  // namespace kvr::server
