#include "platform/encoding.h"

#include "platform/cp1252.h"
#include "wire/utf8.h"

namespace kvr {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t i = 0;
  const size_t n = utf8.size();
  while (i < n) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    if (lead < 0xC0 || lead > 0xF7) {
      // A stray continuation byte or a byte that never starts a sequence.
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    // The continuation bytes the lead announces, its payload bits, and the
    // least code point that needs that many (below it: an overlong form).
    const size_t need = lead >= 0xF0 ? 3 : (lead >= 0xE0 ? 2 : 1);
    char32_t cp = lead & (0x3Fu >> need);
    const char32_t min = need == 1 ? 0x80 : (need == 2 ? 0x800 : 0x10000);
    size_t got = 0;
    while (got < need && i + 1 + got < n &&
           IsContinuation(static_cast<unsigned char>(utf8[i + 1 + got]))) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + 1 + got]) & 0x3F);
      ++got;
    }
    i += 1 + got;
    if (got < need || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(kReplacement);
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToCp1252(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      // A character beyond U+FFFF: one character, one "?".
      out.push_back('?');
      ++i;
      continue;
    }
    const int byte = CodePointToCp1252(unit);
    out.push_back(byte < 0 ? '?' : static_cast<char>(byte));
  }
  return out;
}

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (char c : text) AppendUtf8(out, Cp1252ToCodePoint(static_cast<unsigned char>(c)));
  return out;
}

std::string Utf8ToCp1252(std::string_view utf8) { return Utf16ToCp1252(Utf8ToUtf16(utf8)); }

}  // namespace kvr
