#pragma once

#include <stdexcept>

namespace kvr {

// Base of every exception of the module, on the client and on the server.
// what() is a Portuguese text for the user: Windows-1252 on the client, like
// every module text, UTF-8 on the server.
class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kvr
