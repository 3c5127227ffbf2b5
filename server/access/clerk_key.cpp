#include "access/clerk_key.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include "wire/errors.h"

namespace kvr::server {

namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

}  // namespace

std::string NewClerkKey() {
  unsigned char bytes[24];
  if (gnutls_rnd(GNUTLS_RND_KEY, bytes, sizeof bytes) != 0)
    throw Exception("não foi possível gerar uma chave aleatória.");
  return Hex(bytes, sizeof bytes);
}

std::string ClerkKeyHash(const std::string& key) {
  unsigned char digest[32];
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, key.data(), key.size(), digest) != 0)
    throw Exception("não foi possível calcular o SHA-256 da chave.");
  return Hex(digest, sizeof digest);
}

}  // namespace kvr::server
