#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kvr {

// The byte order mark some tools write before a UTF-8 text: EF BB BF.
inline constexpr std::string_view kUtf8Bom = "\uFEFF";
static_assert(kUtf8Bom.size() == 3, "plain literals are UTF-8");

// What a lead byte promises in well-formed UTF-8 (RFC 3629: no overlong
// forms, no surrogates, nothing past U+10FFFF): how many continuation bytes
// follow it and the range the first of them must lie in (the others lie in
// 0x80-0xBF). more is 0 for a byte that begins no multi-byte sequence.
struct Utf8LeadByte {
  int more = 0;
  unsigned char low = 0x80, high = 0xBF;
};

constexpr Utf8LeadByte Utf8Lead(unsigned char lead) {
  Utf8LeadByte out;
  if (lead >= 0xC2 && lead <= 0xDF) {
    out.more = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    out.more = 2;
    if (lead == 0xE0) out.low = 0xA0;
    if (lead == 0xED) out.high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    out.more = 3;
    if (lead == 0xF0) out.low = 0x90;
    if (lead == 0xF4) out.high = 0x8F;
  }
  return out;
}

// Appends code point code (at most U+10FFFF, no surrogate) as UTF-8.
inline void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The characters of a UTF-8 text: the bytes that are not continuation bytes
// (for valid UTF-8, as texts read by JsonReader are, the code points).
inline std::size_t Utf8Length(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  return count;
}

// The byte length of the first max characters of a UTF-8 text (all of it
// when it has no more than max).
inline std::size_t Utf8Prefix(std::string_view text, std::size_t max) {
  std::size_t end = 0, count = 0;
  while (end < text.size() && count < max) {
    ++end;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    ++count;
  }
  return end;
}

}  // namespace kvr
