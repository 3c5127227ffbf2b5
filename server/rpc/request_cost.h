#pragma once

#include <cstddef>
#include <functional>

#include "http/body_stream.h"

namespace kvr::server {

// The memory reading one request builds (its parameters, their values and
// rows), kept within what the server granted the request: every piece is
// charged as it is built; past the grant more is asked of grow, which never
// waits, and when it refuses the reading stops with BodyFault::kNoMemory. So
// a request costs at most what the server's memory budget gave it.
class RequestCost {
 public:
  // Asked for at least bytes more; true when they were taken.
  using Grow = std::function<bool(size_t bytes)>;

  // granted bytes, of which used are already spent (the body).
  RequestCost(size_t granted, size_t used, Grow grow)
      : granted_(granted), used_(used), grow_(std::move(grow)) {}

  // bytes more are built; throws BodyError (kNoMemory) when they do not fit.
  void Charge(size_t bytes);
  // bytes built before are gone.
  void Release(size_t bytes) { used_ -= bytes < used_ ? bytes : used_; }

  size_t Used() const { return used_; }
  size_t Granted() const { return granted_; }

 private:
  size_t granted_;
  size_t used_;
  Grow grow_;
};

}  // namespace kvr::server
