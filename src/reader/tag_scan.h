#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kvr::tag_scan {

// The reader's tags, one bit each, so that one pass over a line tells which
// of them it holds. Internal to the reader.
enum TagBit : std::uint32_t {
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
  kName = 1u << 18,
  // The statement aggregates of a bank account and of a credit card.
  kStmtRs = 1u << 19,
  kCcStmtRs = 1u << 20,
  // The available balance's aggregate, and its closing tag "</AVAILBAL>".
  kAvailBal = 1u << 21,
  kAvailBalEnd = 1u << 22,
  // The statement's currency.
  kCurDef = 1u << 23,
  // Set by TagLineReader only: the line holds more than one opening tag (a
  // "<" followed by an ASCII letter), so PieceReader cuts it.
  kSeveralOpen = 1u << 31,
};

// The set of reader tags ("<NAME>", any letter case, "</STMTTRN>" and "</AVAILBAL>") that
// occur anywhere in line. Each bit is set exactly when the case-insensitive
// search for that tag's text would find it. Never sets kSeveralOpen.
std::uint32_t TagsIn(std::string_view line);

// True when c is an ASCII letter: a "<" before one opens a tag.
inline bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A line of a text, or a piece of one, with what the scan found in it.
struct ScanLine {
  std::string_view text;   // without its line break
  std::string_view value;  // ValueOf(text), a view into text
  std::uint32_t tags = 0;  // TagsIn(text), and kSeveralOpen (see TagLineReader)
  long long number = -1;   // the 0-based line of the text (PieceReader only)
};

// Walks the lines of a text (split as LineReader splits them) and gives
// each with its value and its tags, plus kSeveralOpen when it holds more
// than one opening tag, found in one pass over the text: its line breaks,
// "<" and ">" are marked 64 bytes at a time, and a line's tags and value
// are read from those marks. The text must outlive the reader and the views
// it gives. Copyable: a copy goes on from the same line.
class TagLineReader {
 public:
  explicit TagLineReader(std::string_view text);

  // Sets line's text, value and tags to those of the next line and returns
  // true, or returns false when every line has been given.
  bool Next(ScanLine& line);

 private:
  // Marks the bytes of the block at block_.
  void MarkBlock();
  // Moves to the block after the present one and marks it.
  void NextBlock() {
    block_ += kBlock;
    if (block_ < end_) MarkBlock();
  }

  static constexpr std::size_t kBlock = 64;
  const char* p_;      // the start of the next line
  const char* end_;    // the end of the text
  const char* block_;  // the block holding p_, kBlock bytes from the text's start
  // The block's marks: bit i is set when its byte i is a line break (CR or
  // LF), a "<", a ">".
  std::uint64_t breaks_ = 0;
  std::uint64_t lts_ = 0;
  std::uint64_t gts_ = 0;
};

// Walks the pieces of a text: its lines, where a line holding more than one
// opening tag is cut before each opening tag after its first (closing tags
// stay on the piece before them). Some exporters write a whole statement on
// one line, or "<STMTTRN><TRNTYPE>..." together; cut so, every tag stands on
// a piece of its own, as the fixed positions expect. Gives each piece with
// its value, its TagsIn and the 0-based number of the file's line it comes
// from. The text must outlive the reader and the views it gives. Copyable: a
// copy goes on from the same piece.
class PieceReader {
 public:
  explicit PieceReader(std::string_view text) : lines_(text) {}

  // Sets piece to the next piece and returns true, or returns false when
  // every piece has been given.
  bool Next(ScanLine& piece) {
    if (rest_.empty()) {
      if (!lines_.Next(piece)) return false;
      piece.number = ++line_;
      if ((piece.tags & kSeveralOpen) == 0) return true;
      rest_ = piece.text;
    }
    Cut(piece);
    return true;
  }

 private:
  // The next piece of rest_, a line being cut.
  void Cut(ScanLine& piece);

  TagLineReader lines_;
  std::string_view rest_;  // what is left of a line being cut
  long long line_ = -1;
};

// True when text is valid UTF-8 (no overlong form, surrogate or value above
// U+10FFFF) holding at least one multi-byte sequence.
bool IsMultiByteUtf8(std::string_view text);

// The value of a tag line, as a view into line (see TVQOFXReader::InfLine).
std::string_view ValueOf(std::string_view line);

// The text without leading and trailing bytes of code 32 or less.
std::string_view Trim(std::string_view text);

// Upper-cases the ASCII letters a to z only.
inline char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

// The CampoValido filter of one byte.
char ValidChar(char c);

}  // namespace kvr::tag_scan
