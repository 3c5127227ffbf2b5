#include "rpc/request_cost.h"

#include <algorithm>

namespace kvr::server {

void RequestCost::Charge(size_t bytes) {
  used_ += bytes;
  if (used_ <= granted_) return;
  const size_t missing = used_ - granted_;
  // In steps of a quarter of what the request holds (at least 256 KiB), so
  // that a request that grows row by row asks a few times, not per row.
  const size_t step = std::max({missing, granted_ / 4, size_t{256 * 1024}});
  if (grow_ && grow_(step)) {
    granted_ += step;
    return;
  }
  if (grow_ && step > missing && grow_(missing)) {
    granted_ += missing;
    return;
  }
  used_ -= bytes;
  throw BodyError(BodyFault::kNoMemory,
                  "O servidor está sem memória livre para esta requisição agora; tente de novo "
                  "em instantes.");
}

}  // namespace kvr::server
