#include "reader/tag_scan.h"

#include <array>
#include <cstring>

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

template <size_t N>
std::uint32_t Match(const TTagName (&names)[N], const char* name, size_t len) {
  for (const auto& t : names) {
    if (std::memcmp(t.name, name, len) == 0) return t.bit;
  }
  return 0;
}

std::uint32_t Lookup(const char* name, size_t len) {
  switch (len) {
    case 3: return Match(kLen3, name, len);
    case 4: return Match(kLen4, name, len);
    case 5: return Match(kLen5, name, len);
    case 6: return Match(kLen6, name, len);
    case 7: return Match(kLen7, name, len);
    case 8: return Match(kLen8, name, len);
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

}  // namespace

std::uint32_t TagsIn(std::string_view line) {
  std::uint32_t mask = 0;
  const char* p = line.data();
  const char* const end = p + line.size();
  while (p < end) {
    const void* found = std::memchr(p, '<', static_cast<size_t>(end - p));
    if (found == nullptr) break;
    p = static_cast<const char*>(found) + 1;
    // A tag is "<" + name + ">": read the name up to the first ">".
    char name[kLongestName];
    size_t len = 0;
    const char* q = p;
    while (q < end && *q != '>' && len < kLongestName) name[len++] = Upper(*q++);
    if (q < end && *q == '>' && len > 0) mask |= Lookup(name, len);
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
  const size_t gt = t.find('>');
  if (gt == std::string_view::npos) return {};
  const size_t start = gt + 1;
  const size_t close = t.find("</");
  const size_t end = close == std::string_view::npos ? t.size() : close;
  if (end <= start) return {};
  return t.substr(start, end - start);
}

char ValidChar(char c) { return kValid[static_cast<unsigned char>(c)]; }

}  // namespace kvr::tag_scan
