#include "reader/tag_scan.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "wire/utf8.h"

namespace kvr::tag_scan {

namespace {

struct TagName {
  const char* name;
  std::uint32_t bit;
};

// The reader's opening tags, upper case, without the angle brackets.
constexpr TagName kNames[] = {
    {"OFX", kOfx},           {"BANKID", kBankId},   {"ACCTID", kAcctId},   {"DTSTART", kDtStart},
    {"DTEND", kDtEnd},       {"STMTTRN", kStmtTrn}, {"BALAMT", kBalAmt},   {"TRNTYPE", kTrnType},
    {"DTPOSTED", kDtPosted}, {"DTUSER", kDtUser},   {"TRNAMT", kTrnAmt},   {"FITID", kFitId},
    {"CHECKNUM", kCheckNum}, {"NUMREF", kNumRef},   {"PAYEEID", kPayeeId}, {"REFNUM", kRefNum},
    {"MEMO", kMemo},         {"NAME", kName},       {"STMTRS", kStmtRs},   {"CCSTMTRS", kCcStmtRs},
    {"AVAILBAL", kAvailBal}, {"CURDEF", kCurDef}};

// A name of up to eight bytes as a little-endian word, the bytes past its
// length zero.
constexpr std::uint64_t Word(const char* name) {
  std::uint64_t w = 0;
  for (int i = 0; i < 8 && name[i] != 0; ++i) {
    w |= static_cast<std::uint64_t>(static_cast<unsigned char>(name[i])) << (8 * i);
  }
  return w;
}

// Names are found in a table of 64 places by a multiplicative hash of their
// word: one multiplication and one comparison, where comparing by length and
// first letter took branches that the processor guesses badly as the tags
// change from line to line. The multiplier is the first odd number from a
// fixed start that gives every name a place of its own.
constexpr unsigned PlaceOf(std::uint64_t word, std::uint64_t multiplier) {
  return static_cast<unsigned>((word * multiplier) >> 58);
}

constexpr std::uint64_t FindMultiplier() {
  for (std::uint64_t multiplier = 0x9E3779B97F4A7C15ull;; multiplier += 2) {
    std::uint64_t taken = 0;
    bool apart = true;
    for (const TagName& tag : kNames) {
      const std::uint64_t place = std::uint64_t{1} << PlaceOf(Word(tag.name), multiplier);
      apart = apart && (taken & place) == 0;
      taken |= place;
    }
    if (apart) return multiplier;
  }
}

constexpr std::uint64_t kMultiplier = FindMultiplier();

struct TagPlace {
  std::uint64_t word = 0;
  std::size_t length = 0;  // 0: a free place
  std::uint32_t bit = 0;
};

constexpr std::array<TagPlace, 64> MakePlaces() {
  std::array<TagPlace, 64> places{};
  for (const TagName& tag : kNames) {
    std::size_t length = 0;
    while (tag.name[length] != 0) ++length;
    places[PlaceOf(Word(tag.name), kMultiplier)] = {Word(tag.name), length, tag.bit};
  }
  return places;
}

constexpr std::array<TagPlace, 64> kPlaces = MakePlaces();

// The tag bit of an upper-cased name of length bytes held as a Word; 0 for a
// name that is no reader tag.
inline std::uint32_t Lookup(std::uint64_t word, size_t length) {
  const TagPlace& place = kPlaces[PlaceOf(word, kMultiplier)];
  return place.word == word && place.length == length ? place.bit : 0u;
}

// The ASCII letters a to z of the eight bytes of w upper-cased, the other
// bytes as they are.
inline std::uint64_t UpperWord(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  const std::uint64_t low7 = w & (kOnes * 0x7F);
  const std::uint64_t from_a = low7 + kOnes * (0x80 - 'a');    // top bit: >= 'a'
  const std::uint64_t beyond_z = low7 + kOnes * (0x7F - 'z');  // top bit: > 'z'
  const std::uint64_t lower = (from_a ^ beyond_z) & ~w & (kOnes * 0x80);
  return w - (lower >> 2);
}

std::array<char, 256> MakeValidTable() {
  // The accented capitals and small letters of Windows-1252 by their plain
  // capital.
  static constexpr struct {
    unsigned char from, to;
    char plain;
  } kAccented[] = {{192, 196, 'A'}, {224, 228, 'A'}, {199, 199, 'C'}, {231, 231, 'C'},
                   {200, 203, 'E'}, {232, 235, 'E'}, {204, 207, 'I'}, {236, 239, 'I'},
                   {210, 214, 'O'}, {242, 246, 'O'}, {217, 220, 'U'}, {249, 252, 'U'}};
  std::array<char, 256> t{};
  for (int b = 0; b < 256; ++b) {
    const char c = Upper(static_cast<char>(b));
    const bool kept = c == ' ' || c == '%' || c == ',' || c == '-' || c == '.' || c == '/' ||
                      c == '\\' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Q') ||
                      (c >= 'S' && c <= 'Z');
    t[static_cast<size_t>(b)] = kept ? c : ' ';
  }
  for (const auto& [from, to, plain] : kAccented) std::fill(&t[from], &t[to] + 1, plain);
  return t;
}

const std::array<char, 256> kValid = MakeValidTable();

// The tag, if any, that starts right after the "<" at lt; no byte from end
// on is read. As a tag's name holds no line break, end may be the line's
// end or any point after it.
inline std::uint32_t TagAfter(const char* lt, const char* end) {
  // Closing tags are the other half of the "<"s; of them only "</STMTTRN>"
  // and "</AVAILBAL>" count.
  if (lt + 1 < end && lt[1] == '/') {
    if (end - lt < 10) return 0;
    // The eight bytes after the "</" as one word.
    std::uint64_t w = 0;
    std::memcpy(&w, lt + 2, 8);
    if (lt[9] == '>') {
      w = UpperWord(w) & ((std::uint64_t{1} << 56) - 1);
      return w == Word("STMTTRN") ? static_cast<std::uint32_t>(kStmtTrnEnd) : 0u;
    }
    if (end - lt < 11 || lt[10] != '>') return 0;
    return UpperWord(w) == Word("AVAILBAL") ? static_cast<std::uint32_t>(kAvailBalEnd) : 0u;
  }
  const char* const q = lt + 1;
  const size_t avail = static_cast<size_t>(end - q);
  size_t len = 0;
  std::uint64_t w = 0;
  if (avail > 8 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
    // The first ">" among the eight bytes after the "<" (the lowest zero
    // byte of w ^ ">>>>>>>>" is found exactly), or right after them; worked
    // out without branches, as names of every length follow one another.
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    std::memcpy(&w, q, 8);
    const std::uint64_t x = w ^ (kOnes * '>');
    const std::uint64_t zero = (x - kOnes) & ~x & (kOnes * 0x80);
    len = zero != 0 ? static_cast<size_t>(__builtin_ctzll(zero)) / 8 : q[8] == '>' ? 8 : 9;
    if (len > 8) return 0;
    w &= len < 8 ? (std::uint64_t{1} << (8 * len)) - 1 : ~std::uint64_t{0};
  } else {
    while (len < avail && q[len] != '>') ++len;
    if (len == avail) return 0;
    for (size_t i = 0; i < len; ++i) {
      w |= static_cast<std::uint64_t>(static_cast<unsigned char>(q[i])) << (8 * i);
    }
  }
  if (len < 3) return 0;  // no reader tag's name is that short
  return Lookup(UpperWord(w), len);
}

// The marks of the 64 bytes at p: bit i set when byte i is a line break,
// a "<", a ">".
inline void Mark(const char* p, std::uint64_t& breaks_out, std::uint64_t& lts_out,
                 std::uint64_t& gts_out) {
  std::uint64_t breaks = 0, lts = 0, gts = 0;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lt = _mm_set1_epi8('<');
  const __m128i gt = _mm_set1_epi8('>');
  for (int k = 0; k < 4; ++k) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    auto bits = [k](__m128i hits) {
      return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << (16 * k);
    };
    breaks |= bits(_mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, cr)));
    lts |= bits(_mm_cmpeq_epi8(bytes, lt));
    gts |= bits(_mm_cmpeq_epi8(bytes, gt));
  }
#else
  for (int i = 0; i < 64; ++i) {
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (p[i] == '\n' || p[i] == '\r') breaks |= bit;
    if (p[i] == '<') lts |= bit;
    if (p[i] == '>') gts |= bit;
  }
#endif
  breaks_out = breaks;
  lts_out = lts;
  gts_out = gts;
}

// The value of a line (see ValueOf) that ends at eol, from its first ">"
// and its first "</" (nullptr when it has none). Both are above code 32, so
// trimming the line moves neither.
std::string_view ValueIn(const char* eol, const char* gt, const char* close) {
  if (gt == nullptr || (close != nullptr && close < gt)) return {};
  const char* end = close;
  if (end == nullptr) {
    end = eol;
    while (end > gt + 1 && static_cast<unsigned char>(end[-1]) <= 32) --end;
  }
  return {gt + 1, static_cast<size_t>(end - gt - 1)};
}

// The position of the first opening tag of text after its first byte, or
// text.size() when there is none.
size_t NextOpening(std::string_view text) {
  const size_t n = text.size();
  for (size_t i = 1; i + 1 < n; ++i) {
    const void* lt = std::memchr(text.data() + i, '<', n - 1 - i);
    if (lt == nullptr) break;
    i = static_cast<size_t>(static_cast<const char*>(lt) - text.data());
    if (IsAsciiLetter(text[i + 1])) return i;
  }
  return n;
}

}  // namespace

TagLineReader::TagLineReader(std::string_view text)
    : p_(text.data()), end_(text.data() + text.size()), block_(text.data()) {
  if (p_ < end_) MarkBlock();
}

void TagLineReader::MarkBlock() {
  // Asks for the bytes a few lines ahead before they are needed: the
  // processor's own look-ahead stops at the end of each 4 KB page.
  __builtin_prefetch(block_ + 1024);
  if (end_ - block_ >= static_cast<std::ptrdiff_t>(kBlock)) {
    Mark(block_, breaks_, lts_, gts_);
    return;
  }
  // The text's last block, short: its bytes followed by zeros, which mark
  // nothing.
  char tail[kBlock] = {};
  std::memcpy(tail, block_, static_cast<size_t>(end_ - block_));
  Mark(tail, breaks_, lts_, gts_);
}

bool TagLineReader::Next(ScanLine& line) {
  if (p_ >= end_) return false;
  const char* const start = p_;
  const char* eol = nullptr;
  const char* gt = nullptr;     // the line's first ">"
  const char* close = nullptr;  // the line's first "</"
  std::uint32_t tags = 0;
  unsigned opening = 0;
  // The line's part in each block, from p_ to the first break after it or
  // to the block's end.
  for (;;) {
    std::uint64_t in_line = ~std::uint64_t{0} << (p_ - block_);
    const std::uint64_t breaks = breaks_ & in_line;
    if (breaks != 0) in_line &= (breaks & (~breaks + 1)) - 1;
    for (std::uint64_t lts = lts_ & in_line; lts != 0; lts &= lts - 1) {
      const char* const lt = block_ + __builtin_ctzll(lts);
      if (lt + 1 == end_) break;
      const bool closing = lt[1] == '/';
      if (!closing && !IsAsciiLetter(lt[1])) continue;
      if (closing && close == nullptr) close = lt;
      if (!closing) ++opening;
      // A tag's name holds no line break, so the text's end bounds the look.
      tags |= TagAfter(lt, end_);
    }
    const std::uint64_t gts = gts_ & in_line;
    if (gt == nullptr && gts != 0) gt = block_ + __builtin_ctzll(gts);
    if (breaks != 0) {
      eol = block_ + __builtin_ctzll(breaks);
      break;
    }
    NextBlock();
    if (block_ >= end_) {
      eol = end_;
      break;
    }
    p_ = block_;
  }
  line.text = std::string_view(start, static_cast<size_t>(eol - start));
  line.value = ValueIn(eol, gt, close);
  line.tags = opening > 1 ? tags | static_cast<std::uint32_t>(kSeveralOpen) : tags;
  const char* p = eol;
  if (p < end_) {
    if (*p == '\r' && p + 1 < end_ && p[1] == '\n') ++p;
    ++p;
  }
  p_ = p;
  // A CR LF may end at the next block's first byte.
  if (p_ < end_ && p_ - block_ >= static_cast<std::ptrdiff_t>(kBlock)) NextBlock();
  return true;
}

void PieceReader::Cut(ScanLine& piece) {
  // The piece runs to the next opening tag after the line's first one (the
  // first piece of a line may start with text before its first tag).
  const std::string_view text = rest_;
  size_t first = 0;
  if (!(text.size() > 1 && text[0] == '<' && IsAsciiLetter(text[1]))) first = NextOpening(text);
  const size_t cut = first < text.size() ? first + NextOpening(text.substr(first)) : text.size();
  piece.text = text.substr(0, cut);
  piece.value = ValueOf(piece.text);
  piece.tags = TagsIn(piece.text);
  piece.number = line_;
  rest_ = text.substr(cut);
}

bool IsMultiByteUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  bool multi = false;
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      // The rest of an ASCII run, eight bytes at a time.
      while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if ((word & 0x8080808080808080ull) != 0) break;
        p += 8;
      }
      continue;
    }
    const Utf8LeadByte lead = Utf8Lead(c);
    const size_t len = static_cast<size_t>(lead.more) + 1;
    if (lead.more == 0 || end - p < static_cast<std::ptrdiff_t>(len) || p[1] < lead.low ||
        p[1] > lead.high)
      return false;
    for (size_t k = 2; k < len; ++k)
      if ((p[k] & 0xC0) != 0x80) return false;
    p += len;
    multi = true;
  }
  return multi;
}

std::uint32_t TagsIn(std::string_view line) {
  std::uint32_t mask = 0;
  const char* p = line.data();
  const char* const end = p + line.size();
  while (p < end) {
    // Lines are short: a plain loop beats a library call here.
    while (p < end && *p != '<') ++p;
    if (p == end) break;
    mask |= TagAfter(p, end);
    ++p;
  }
  return mask;
}

std::string_view Trim(std::string_view text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
  return text.substr(b, e - b);
}

std::string_view ValueOf(std::string_view line) {
  const std::string_view t = Trim(line);
  const std::string_view head = t.substr(0, t.find("</"));
  const size_t gt = head.find('>');
  return gt == std::string_view::npos ? std::string_view() : head.substr(gt + 1);
}

char ValidChar(char c) {
  return kValid[static_cast<unsigned char>(c)];
}

}  // namespace kvr::tag_scan
