#pragma once

#include <string>

namespace kvr::server {

// A new clerk key: 192 random bits from the system's generator, as 48
// lower-case hex digits. Throws kvr::Exception when no random bytes come.
std::string NewClerkKey();

// The SHA-256 of key as 64 lower-case hex digits: what the database keeps.
std::string ClerkKeyHash(const std::string& key);

}  // namespace kvr::server
