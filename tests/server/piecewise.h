#pragma once
// The ways a table test feeds bytes to a reader that takes them as a socket
// delivers them: whole, one byte at a time, and in two pieces split at every
// offset. A reader must give the same result for every way.

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "http/body_stream.h"

namespace kvr::testing {

// One way of feeding size bytes: the end of each piece, the last one size.
struct Feeding {
  std::string name;
  std::vector<size_t> ends;
};

// Whole, byte by byte, and split in two at every offset. Past 4 KiB the
// split offsets are the first and last 64 and about 500 spread between
// (every offset of a large case would cost its size squared).
inline std::vector<Feeding> Feedings(size_t size) {
  std::vector<Feeding> feedings = {{"whole", {size}}};
  if (size <= 1) return feedings;
  Feeding bytes{"byte by byte", {}};
  for (size_t end = 1; end <= size; ++end) bytes.ends.push_back(end);
  feedings.push_back(std::move(bytes));
  const size_t stride = size <= 4096 ? 1 : size / 500;
  for (size_t at = 1; at < size; ++at) {
    const bool edge = at <= 64 || size - at <= 64;
    if (edge || at % stride == 0) feedings.push_back({"split at " + std::to_string(at), {at, size}});
  }
  return feedings;
}

// The ends of pieces of at most piece bytes (the last one shorter).
inline std::vector<size_t> EndsEvery(size_t size, size_t piece) {
  std::vector<size_t> ends;
  for (size_t end = piece; end < size; end += piece) ends.push_back(end);
  if (size > 0) ends.push_back(size);
  return ends;
}

// A body handed on in the pieces ending at ends, as a socket delivered it.
class PieceSource : public kvr::server::BodySource {
 public:
  PieceSource(const std::string& body, std::vector<size_t> ends) : body_(body), ends_(std::move(ends)) {}
  bool Next(const char*& data, size_t& size) override {
    if (next_ == ends_.size()) return false;
    const size_t begin = next_ == 0 ? 0 : ends_[next_ - 1];
    data = body_.data() + begin;
    size = ends_[next_++] - begin;
    return true;
  }

 private:
  const std::string& body_;
  const std::vector<size_t> ends_;
  size_t next_ = 0;
};

}  // namespace kvr::testing
