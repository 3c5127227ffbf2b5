#pragma once

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
  // ("chmod 600"), a key that does not belong to the certificate.
  TlsCredentials(std::string cert_path, std::string key_path);
  ~TlsCredentials();
  TlsCredentials(const TlsCredentials&) = delete;
  TlsCredentials& operator=(const TlsCredentials&) = delete;

  // Reads the files again; on failure throws as the constructor does and the
  // pair in use stays. Safe while the server runs.
  void Reload();

  // The certificate callback (a gnutls_certificate_retrieve_function2, for
  // gnutls_certificate_set_retrieve_function2) and the GnuTLS priorities:
  // TLS 1.2 or later.
  static void* CertificateCallback();
  static const char* Priorities();

  const std::string& CertPath() const { return cert_path_; }

  // A certificate chain with its key, as read (opaque outside the .cpp).
  struct Pair;

 private:
  std::unique_ptr<Pair> Load() const;

  std::string cert_path_;
  std::string key_path_;
  std::mutex mutex_;
  // Every pair read stays until the object goes: a handshake under way may
  // still use one that a reload replaced.
  std::vector<std::unique_ptr<Pair>> pairs_;
};

}  // namespace kvr::server
