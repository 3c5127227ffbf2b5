#pragma once

#include <cstdint>
#include <string_view>

namespace kvr::tag_scan {

// The reader's tags, one bit each, so that one pass over a line tells which
// of them it holds. Internal to the reader.
enum TTagBit : std::uint32_t {
  kOfx = 1u << 0,
  kBankId = 1u << 1,
  kAcctId = 1u << 2,
  kDtStart = 1u << 3,
  kDtEnd = 1u << 4,
  kStmtTrn = 1u << 5,
  kBalAmt = 1u << 6,
  kTrnType = 1u << 7,
  kDtPosted = 1u << 8,
  kDtUser = 1u << 9,
  kTrnAmt = 1u << 10,
  kFitId = 1u << 11,
  kCheckNum = 1u << 12,
  kNumRef = 1u << 13,
  kPayeeId = 1u << 14,
  kRefNum = 1u << 15,
  kMemo = 1u << 16,
};

// The set of reader tags ("<NAME>", any letter case) that occur anywhere in
// line. Each bit is set exactly when the case-insensitive search for that
// tag's text would find it.
std::uint32_t TagsIn(std::string_view line);

// Walks the lines of a text (split as TLineReader splits them) and gives
// each with its TagsIn, found in the same pass over its bytes. The text must
// outlive the reader and the views it gives.
class TTagLineReader {
 public:
  explicit TTagLineReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  // Sets line and tags to the next line and its tags and returns true, or
  // returns false when every line has been given.
  bool Next(std::string_view& line, std::uint32_t& tags);

 private:
  const char* p_;
  const char* end_;
};

// The value of a tag line, as a view into line (see TVQOFXReader::InfLine).
std::string_view ValueOf(std::string_view line);

// The text without leading and trailing bytes of code 32 or less.
std::string_view Trim(std::string_view text);

// Upper-cases the ASCII letters a to z only.
inline char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// The CampoValido filter of one byte.
char ValidChar(char c);

}  // namespace kvr::tag_scan
