// Reading a stream buffer ahead on a thread gives what reading it directly
// gives: the same bytes in the same windows, and a failure at the same one.
#include <gtest/gtest.h>

#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "rpc/read_ahead.h"

namespace kvr::server {
namespace {

// A source of size bytes (a pattern), handed out chunk bytes at a time, that
// fails at byte fail_at when that is before its end.
class PatternSource : public std::streambuf {
 public:
  PatternSource(size_t size, size_t chunk, size_t fail_at) : size_(size), chunk_(chunk), fail_at_(fail_at) {}

 protected:
  int_type underflow() override {
    if (made_ >= fail_at_ && fail_at_ < size_) throw std::runtime_error("falha em " + std::to_string(made_));
    if (made_ >= size_) return traits_type::eof();
    size_t n = std::min(chunk_, size_ - made_);
    if (fail_at_ > made_) n = std::min(n, fail_at_ - made_);
    bytes_.resize(n);
    for (size_t i = 0; i < n; ++i) bytes_[i] = static_cast<char>('a' + (made_ + i) * 7 % 26);
    made_ += n;
    setg(bytes_.data(), bytes_.data(), bytes_.data() + n);
    return traits_type::to_int_type(bytes_[0]);
  }

 private:
  size_t size_, chunk_, fail_at_, made_ = 0;
  std::string bytes_;
};

// What a reader asking for window bytes at a time gets, at most windows of
// them: each window's bytes, then the failure's text (if any).
std::vector<std::string> ReadWindows(std::streambuf& source, size_t window, size_t windows) {
  std::vector<std::string> got;
  std::string buffer(window, '\0');
  try {
    for (size_t i = 0; i < windows; ++i) {
      const std::streamsize n = source.sgetn(buffer.data(), static_cast<std::streamsize>(window));
      got.push_back(buffer.substr(0, static_cast<size_t>(n)));
      if (n == 0) break;
    }
  } catch (const std::runtime_error& e) {
    got.push_back(std::string("! ") + e.what());
  }
  return got;
}

struct Case {
  const char* name;
  size_t size, chunk, fail_at, window, pieces, windows;
};

class ReadAhead : public ::testing::TestWithParam<Case> {};

TEST_P(ReadAhead, GivesTheWindowsAndTheFailureOfTheSourceReadDirectly) {
  const Case& c = GetParam();
  PatternSource direct(c.size, c.chunk, c.fail_at);
  const std::vector<std::string> expected = ReadWindows(direct, c.window, c.windows);
  for (int round = 0; round < 20; ++round) {
    PatternSource source(c.size, c.chunk, c.fail_at);
    std::vector<std::string> got;
    {
      ReadAheadBuf ahead(source, c.window, c.pieces);
      got = ReadWindows(ahead, c.window, c.windows);
    }
    ASSERT_EQ(got, expected) << "vez " << round;
  }
}

constexpr size_t kNever = static_cast<size_t>(-1);

INSTANTIATE_TEST_SUITE_P(
    Sources, ReadAhead,
    ::testing::Values(Case{"Empty", 0, 5, kNever, 8, 4, 100},
                      Case{"LessThanAWindow", 5, 3, kNever, 8, 4, 100},
                      Case{"WholeWindows", 64, 5, kNever, 8, 4, 100},
                      Case{"ManyPiecesInASmallRing", 1000, 7, kNever, 8, 2, 1000},
                      Case{"FailsAtOnce", 100, 7, 0, 8, 4, 100},
                      Case{"FailsInsideAWindow", 100, 7, 43, 8, 3, 100},
                      Case{"FailsAtTheEndOfAWindow", 100, 7, 48, 8, 3, 100},
                      // The reader stops before the failure: it never sees it.
                      Case{"ReaderStopsBeforeTheFailure", 1000, 7, 900, 8, 4, 10},
                      Case{"ReaderStopsEarly", 100000, 100, kNever, 64, 4, 3}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
}  // namespace kvr::server
