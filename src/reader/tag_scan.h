#pragma once

#include <cstddef>
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
  // The closing tag "</STMTTRN>".
  kStmtTrnEnd = 1u << 17,
  // Set by TTagLineReader only: the line holds more than one opening tag (a
  // "<" followed by an ASCII letter), so TPieceReader cuts it.
  kSeveralOpen = 1u << 31,
};

// The set of reader tags ("<NAME>", any letter case, and "</STMTTRN>") that
// occur anywhere in line. Each bit is set exactly when the case-insensitive
// search for that tag's text would find it. Never sets kSeveralOpen.
std::uint32_t TagsIn(std::string_view line);

// True when c is an ASCII letter: a "<" before one opens a tag.
inline bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Walks the lines of a text (split as TLineReader splits them) and gives
// each with its TagsIn, plus kSeveralOpen when it holds more than one opening
// tag, found in the same pass over its bytes. The text must outlive the
// reader and the views it gives. Copyable: a copy goes on from the same line.
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

// Walks the pieces of a text: its lines, where a line holding more than one
// opening tag is cut before each opening tag after its first (closing tags
// stay on the piece before them). Some exporters write a whole statement on
// one line, or "<STMTTRN><TRNTYPE>..." together; cut so, every tag stands on
// a piece of its own, as the fixed positions expect. Gives each piece with
// its TagsIn and the 0-based number of the file's line it comes from. The
// text must outlive the reader and the views it gives. Copyable: a copy goes
// on from the same piece.
class TPieceReader {
 public:
  explicit TPieceReader(std::string_view text) : lines_(text) {}

  // Sets piece, tags and line to the next piece and returns true, or returns
  // false when every piece has been given.
  bool Next(std::string_view& piece, std::uint32_t& tags, long long& line) {
    if (rest_.empty()) {
      if (!lines_.Next(piece, tags)) return false;
      line = ++line_;
      if ((tags & kSeveralOpen) == 0) return true;
      rest_ = piece;
    }
    Cut(piece, tags, line);
    return true;
  }

 private:
  // The next piece of rest_, a line being cut.
  void Cut(std::string_view& piece, std::uint32_t& tags, long long& line);

  TTagLineReader lines_;
  std::string_view rest_;  // what is left of a line being cut
  long long line_ = -1;
};

// The position of the first opening tag of text after its first byte, or
// text.size() when there is none.
std::size_t NextOpening(std::string_view text);

// True when text is valid UTF-8 (no overlong form, surrogate or value above
// U+10FFFF) holding at least one multi-byte sequence.
bool IsMultiByteUtf8(std::string_view text);

// The value of a tag line, as a view into line (see TVQOFXReader::InfLine).
std::string_view ValueOf(std::string_view line);

// The text without leading and trailing bytes of code 32 or less.
std::string_view Trim(std::string_view text);

// Upper-cases the ASCII letters a to z only.
inline char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// The CampoValido filter of one byte.
char ValidChar(char c);

}  // namespace kvr::tag_scan
