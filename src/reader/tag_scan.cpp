#include "reader/tag_scan.h"

#include <array>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kvr::tag_scan {

namespace {

struct TTagName {
  const char* name;
  std::uint32_t bit;
};

// Tag names by length, upper case, without the angle brackets.
const TTagName kLen3[] = {{"OFX", kOfx}};
const TTagName kLen4[] = {{"MEMO", kMemo}};
const TTagName kLen5[] = {{"DTEND", kDtEnd}, {"FITID", kFitId}};
const TTagName kLen6[] = {{"BANKID", kBankId}, {"ACCTID", kAcctId}, {"BALAMT", kBalAmt},
                          {"DTUSER", kDtUser}, {"NUMREF", kNumRef}, {"REFNUM", kRefNum},
                          {"TRNAMT", kTrnAmt}};
const TTagName kLen7[] = {{"DTSTART", kDtStart}, {"STMTTRN", kStmtTrn}, {"TRNTYPE", kTrnType},
                          {"PAYEEID", kPayeeId}};
const TTagName kLen8[] = {{"CHECKNUM", kCheckNum}, {"DTPOSTED", kDtPosted}};

inline bool Is(const char* name, const char* tag, size_t len) { return std::memcmp(name, tag, len) == 0; }

// The tag bit of an upper-cased name, by its length and first letter; 0 for
// a name that is no reader tag.
std::uint32_t Lookup(const char* name, size_t len) {
  switch (len) {
    case 3: return Is(name, "OFX", 3) ? kOfx : 0u;
    case 4: return Is(name, "MEMO", 4) ? kMemo : 0u;
    case 5:
      if (name[0] == 'D') return Is(name, "DTEND", 5) ? kDtEnd : 0u;
      return Is(name, "FITID", 5) ? kFitId : 0u;
    case 6:
      switch (name[0]) {
        case 'A': return Is(name, "ACCTID", 6) ? kAcctId : 0u;
        case 'B': return Is(name, "BANKID", 6) ? kBankId : Is(name, "BALAMT", 6) ? kBalAmt : 0u;
        case 'D': return Is(name, "DTUSER", 6) ? kDtUser : 0u;
        case 'N': return Is(name, "NUMREF", 6) ? kNumRef : 0u;
        case 'R': return Is(name, "REFNUM", 6) ? kRefNum : 0u;
        case 'T': return Is(name, "TRNAMT", 6) ? kTrnAmt : 0u;
        default: return 0;
      }
    case 7:
      switch (name[0]) {
        case 'D': return Is(name, "DTSTART", 7) ? kDtStart : 0u;
        case 'S': return Is(name, "STMTTRN", 7) ? kStmtTrn : 0u;
        case 'T': return Is(name, "TRNTYPE", 7) ? kTrnType : 0u;
        case 'P': return Is(name, "PAYEEID", 7) ? kPayeeId : 0u;
        default: return 0;
      }
    case 8:
      if (name[0] == 'C') return Is(name, "CHECKNUM", 8) ? kCheckNum : 0u;
      return Is(name, "DTPOSTED", 8) ? kDtPosted : 0u;
    default: return 0;
  }
}

constexpr size_t kLongestName = 8;

std::array<char, 256> MakeValidTable() {
  std::array<char, 256> t{};
  for (int b = 0; b < 256; ++b) {
    char c = Upper(static_cast<char>(b));
    const unsigned char u = static_cast<unsigned char>(c);
    char out = ' ';
    if (c == ' ' || c == '%' || c == ',' || c == '-' || c == '.' || c == '/' || c == '\\' ||
        (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Q') || (c >= 'S' && c <= 'Z')) {
      out = c;
    } else if ((u >= 192 && u <= 196) || (u >= 224 && u <= 228)) {
      out = 'A';
    } else if (u == 199 || u == 231) {
      out = 'C';
    } else if ((u >= 200 && u <= 203) || (u >= 232 && u <= 235)) {
      out = 'E';
    } else if ((u >= 204 && u <= 207) || (u >= 236 && u <= 239)) {
      out = 'I';
    } else if ((u >= 210 && u <= 214) || (u >= 242 && u <= 246)) {
      out = 'O';
    } else if ((u >= 217 && u <= 220) || (u >= 249 && u <= 252)) {
      out = 'U';
    }
    t[static_cast<size_t>(b)] = out;
  }
  return t;
}

const std::array<char, 256> kValid = MakeValidTable();

// The tag, if any, that starts right after the "<" at lt, in a line ending
// at end.
inline std::uint32_t TagAfter(const char* lt, const char* end) {
  // Closing tags are the other half of the "<"s; of them only "</STMTTRN>"
  // counts.
  if (lt + 1 < end && lt[1] == '/') {
    if (end - lt < 10 || lt[9] != '>') return 0;
    char name[7];
    for (int i = 0; i < 7; ++i) name[i] = Upper(lt[2 + i]);
    return std::memcmp(name, "STMTTRN", 7) == 0 ? static_cast<std::uint32_t>(kStmtTrnEnd) : 0u;
  }
  char name[kLongestName];
  size_t len = 0;
  const char* q = lt + 1;
  while (q < end && *q != '>' && len < kLongestName) name[len++] = Upper(*q++);
  return q < end && *q == '>' && len > 0 ? Lookup(name, len) : 0;
}

}  // namespace

bool TTagLineReader::Next(std::string_view& line, std::uint32_t& tags) {
  if (p_ >= end_) return false;
  const char* const start = p_;
  const char* p = p_;
  // The text comes from a file mapping in pages of its own: ask for the
  // bytes a few lines ahead before they are needed.
  __builtin_prefetch(p + 1024);
  std::uint32_t mask = 0;
  unsigned opening = 0;
  const char* eol = nullptr;
#if defined(__SSE2__)
  // Sixteen bytes at a time: where the line ends and where a "<" stands.
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lt = _mm_set1_epi8('<');
  while (end_ - p >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned ends = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, lf), _mm_cmpeq_epi8(block, cr))));
    unsigned opens = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, lt)));
    if (ends != 0) {
      const unsigned at = static_cast<unsigned>(__builtin_ctz(ends));
      eol = p + at;
      opens &= (1u << at) - 1;
    }
    while (opens != 0) {
      const unsigned at = static_cast<unsigned>(__builtin_ctz(opens));
      opens &= opens - 1;
      // The name may run on past this block; it is read up to the line's
      // end, found below when not yet known.
      const char* const lt_at = p + at;
      const char* const limit = eol != nullptr ? eol : end_;
      // A letter is never a line break, so the text's end bounds the look.
      if (lt_at + 1 < limit && IsAsciiLetter(lt_at[1])) ++opening;
      if (eol != nullptr) {
        mask |= TagAfter(lt_at, eol);
      } else {
        const char* stop = lt_at + 1;
        while (stop < end_ && stop <= lt_at + kLongestName + 1 && *stop != '\n' && *stop != '\r') ++stop;
        mask |= TagAfter(lt_at, stop);
      }
    }
    if (eol != nullptr) break;
    p += 16;
  }
#endif
  if (eol == nullptr) {
    while (p < end_ && *p != '\n' && *p != '\r') {
      if (*p == '<') {
        if (p + 1 < end_ && IsAsciiLetter(p[1])) ++opening;
        const char* stop = p + 1;
        while (stop < end_ && stop <= p + kLongestName + 1 && *stop != '\n' && *stop != '\r') ++stop;
        mask |= TagAfter(p, stop);
      }
      ++p;
    }
    eol = p;
  }
  line = std::string_view(start, static_cast<size_t>(eol - start));
  tags = opening > 1 ? mask | static_cast<std::uint32_t>(kSeveralOpen) : mask;
  p = eol;
  if (p < end_) {
    if (*p == '\r' && p + 1 < end_ && p[1] == '\n') ++p;
    ++p;
  }
  p_ = p;
  return true;
}

void TPieceReader::Cut(std::string_view& piece, std::uint32_t& tags, long long& line) {
  // The piece runs to the next opening tag after the line's first one (the
  // first piece of a line may start with text before its first tag).
  const std::string_view text = rest_;
  size_t first = 0;
  if (!(text.size() > 1 && text[0] == '<' && IsAsciiLetter(text[1]))) first = NextOpening(text);
  const size_t cut = first < text.size() ? first + NextOpening(text.substr(first)) : text.size();
  piece = text.substr(0, cut);
  rest_ = text.substr(cut);
  tags = TagsIn(piece);
  line = line_;
}

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

bool IsMultiByteUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  bool multi = false;
  auto cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (end - p < static_cast<std::ptrdiff_t>(len) || p[1] < lo || p[1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if (!cont(p[k])) return false;
    }
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
  const size_t n = t.size();
  const char* const d = t.data();
  // One pass up to the first "</" (which may stand before the first ">"):
  // lines are short, and a plain loop beats library calls here.
  size_t gt = n;
  size_t end = n;
  for (size_t i = 0; i < n; ++i) {
    if (d[i] == '>') {
      if (gt == n) gt = i;
    } else if (d[i] == '<' && i + 1 < n && d[i + 1] == '/') {
      end = i;
      break;
    }
  }
  if (gt >= end) return {};
  return t.substr(gt + 1, end - gt - 1);
}

char ValidChar(char c) { return kValid[static_cast<unsigned char>(c)]; }

}  // namespace kvr::tag_scan
