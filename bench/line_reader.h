#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kvr::bench {

// Walks the lines of a text held by the caller, first to last, without
// copying: each line is a view into that text, which must outlive the reader
// and every view it gave. A line ends at CR LF, at LF alone or at CR alone;
// the terminator is not part of the line, and one at the very end of the
// text starts no empty line. The plain line scan the reader is measured
// beside.
class TLineReader {
 public:
  explicit TLineReader(std::string_view text) : text_(text) {}

  // Sets line to the next line and returns true; returns false, leaving line
  // unchanged, when every line has been given.
  bool Next(std::string_view& line) {
    const std::size_t n = text_.size();
    if (pos_ >= n) return false;
    const char* base = text_.data();
    const char* start = base + pos_;
    const char* end = base + n;
    const char* p = FindLineEnd(start, end);
    line = std::string_view(start, static_cast<std::size_t>(p - start));
    if (p < end) {
      if (*p == '\r' && p + 1 < end && p[1] == '\n') ++p;
      ++p;
    }
    pos_ = static_cast<std::size_t>(p - base);
    return true;
  }

 private:
  static_assert(std::endian::native == std::endian::little, "FindLineEnd reads words little-endian");

  // The first CR or LF in [p, end), or end.
  static const char* FindLineEnd(const char* p, const char* end) {
    // Eight bytes at a time: a byte equal to LF or CR shows as a zero byte of
    // the word xor-ed with that byte repeated.
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      const std::uint64_t lf = word ^ (kOnes * '\n');
      const std::uint64_t cr = word ^ (kOnes * '\r');
      const std::uint64_t hit = ((lf - kOnes) & ~lf & kHighs) | ((cr - kOnes) & ~cr & kHighs);
      if (hit != 0) {
        // Little-endian: the lowest marked byte is the first in memory. The
        // borrow of the subtraction can only mark bytes after a true hit.
        return p + (__builtin_ctzll(hit) >> 3);
      }
      p += 8;
    }
    while (p < end && *p != '\n' && *p != '\r') ++p;
    return p;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace kvr::bench
