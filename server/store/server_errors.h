#pragma once

#include "wire/errors.h"

namespace kvr::server {

// A packet that does not fit its layout, or a statement the module refuses.
// what() is the Portuguese sentence for the user (UTF-8).
class InvalidRequest : public Exception {
 public:
  using Exception::Exception;
};

// A failure of the database, or a change it refuses (a code already taken, a
// newer schema). what() is Portuguese (UTF-8) and names the database.
class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace kvr::server
