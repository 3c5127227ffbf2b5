#include "http/tls_credentials.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>

#include <atomic>
#include <new>

#include "http/private_file.h"
#include "wire/errors.h"

namespace kvr::server {

namespace {

// A chain longer than this is not a server certificate of ours.
constexpr unsigned kMaxChain = 16;
// Larger files are not a certificate chain or a key (a log, /dev/zero).
constexpr size_t kMaxCertFile = 256 * 1024;
constexpr size_t kMaxKeyFile = 64 * 1024;
// TLS 1.2 or later.
constexpr const char* kPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

}  // namespace

struct TlsCredentials::Pair {
  gnutls_pcert_st chain[kMaxChain];
  unsigned count = 0;
  gnutls_privkey_t key = nullptr;

  ~Pair() {
    for (unsigned i = 0; i < count; ++i) gnutls_pcert_deinit(&chain[i]);
    if (key != nullptr) gnutls_privkey_deinit(key);
  }
};

namespace {

// The pair in use, for the callback (see the class comment).
std::atomic<TlsCredentials::Pair*> g_current{nullptr};

int Retrieve(gnutls_session_t, const gnutls_datum_t*, int, const gnutls_pk_algorithm_t*, int,
             gnutls_pcert_st** chain, unsigned int* count, gnutls_privkey_t* key) {
  TlsCredentials::Pair* pair = g_current.load();
  if (pair == nullptr) return -1;
  *chain = pair->chain;
  *count = pair->count;
  *key = pair->key;
  return 0;
}

}  // namespace

TlsCredentials::TlsCredentials(std::string cert_path, std::string key_path)
    : cert_path_(std::move(cert_path)), key_path_(std::move(key_path)) {
  if (gnutls_certificate_allocate_credentials(&credentials_) < 0 ||
      gnutls_priority_init(&priorities_, kPriorities, nullptr) < 0) {
    Free();
    throw std::bad_alloc();
  }
  gnutls_certificate_set_retrieve_function2(credentials_, &Retrieve);
  try {
    Reload();
  } catch (...) {
    Free();
    throw;
  }
}

TlsCredentials::~TlsCredentials() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!pairs_.empty() && g_current.load() == pairs_.back().get()) g_current = nullptr;
  Free();
}

void TlsCredentials::Free() {
  if (priorities_ != nullptr) gnutls_priority_deinit(priorities_);
  if (credentials_ != nullptr) gnutls_certificate_free_credentials(credentials_);
}

std::unique_ptr<TlsCredentials::Pair> TlsCredentials::Load() const {
  // Each file is read once, and what was checked is what is served: a pair
  // renewed between two reads would otherwise be served mismatched.
  const std::string cert = ReadSmallFile(cert_path_, "certificado", kMaxCertFile);
  std::string key = ReadOwnerOnlyFile(key_path_, "arquivo da chave privada", kMaxKeyFile);
  struct Wipe {
    std::string& text;
    ~Wipe() { gnutls_memset(text.data(), 0, text.size()); }
  } wipe{key};
  const gnutls_datum_t cert_data{
      reinterpret_cast<unsigned char*>(const_cast<char*>(cert.data())),
      static_cast<unsigned>(cert.size())};
  const gnutls_datum_t key_data{reinterpret_cast<unsigned char*>(key.data()),
                                static_cast<unsigned>(key.size())};

  // The library's own loader says whether the key belongs to the
  // certificate.
  gnutls_certificate_credentials_t check = nullptr;
  if (gnutls_certificate_allocate_credentials(&check) < 0) throw std::bad_alloc();
  const int matched = gnutls_certificate_set_x509_key_mem2(check, &cert_data, &key_data,
                                                           GNUTLS_X509_FMT_PEM, nullptr, 0);
  gnutls_certificate_free_credentials(check);
  if (matched < 0)
    throw Exception("não foi possível usar o certificado \"" + cert_path_ + "\" com a chave \"" +
                    key_path_ + "\": " + gnutls_strerror(matched) + ".");

  auto pair = std::make_unique<Pair>();
  pair->count = kMaxChain;
  int code = gnutls_pcert_list_import_x509_raw(pair->chain, &pair->count, &cert_data,
                                               GNUTLS_X509_FMT_PEM, 0);
  if (code < 0) {
    pair->count = 0;
    throw Exception("não foi possível ler o certificado \"" + cert_path_ +
                    "\": " + gnutls_strerror(code) + ".");
  }
  code = gnutls_privkey_init(&pair->key);
  if (code >= 0)
    code = gnutls_privkey_import_x509_raw(pair->key, &key_data, GNUTLS_X509_FMT_PEM, nullptr, 0);
  if (code < 0)
    throw Exception("não foi possível ler a chave \"" + key_path_ + "\": " + gnutls_strerror(code) +
                    ".");
  return pair;
}

void TlsCredentials::Reload() {
  std::unique_ptr<Pair> pair = Load();
  std::lock_guard<std::mutex> lock(mutex_);
  g_current = pair.get();
  pairs_.push_back(std::move(pair));
}

bool TlsCredentials::SetUp(gnutls_session_t session) const {
  return gnutls_priority_set(session, priorities_) >= 0 &&
         gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials_) >= 0;
}

}  // namespace kvr::server
