#include "printable_text.h"

#include <cstdio>

namespace kvr::server {

namespace {

std::string Hex(const char* format, unsigned value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// The length of the valid UTF-8 sequence at text[i] and its code point, or
// 0 when the byte there does not begin one.
size_t Decode(const std::string& text, size_t i, unsigned& code) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned first = byte(i);
  size_t length = first < 0x80                    ? 1
                  : first >= 0xC2 && first < 0xE0 ? 2
                  : first >= 0xE0 && first < 0xF0 ? 3
                  : first >= 0xF0 && first < 0xF5 ? 4
                                                  : 0;
  if (length == 0 || i + length > text.size()) return 0;
  code = length == 1 ? first : first & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms and surrogates are not valid.
  if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) ||
      (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
    return 0;
  return length;
}

}  // namespace

std::string EscapeControls(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned code = 0;
    const size_t length = Decode(text, i, code);
    if (length == 0) {
      out += Hex("\\x%02X", static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    if (code == '\t')
      out += "\\t";
    else if (code == '\n')
      out += "\\n";
    else if (code == '\r')
      out += "\\r";
    else if (code < 0x20 || (code >= 0x7F && code <= 0x9F))
      out += Hex("\\x%02X", code);
    else if ((code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069))
      out += Hex("\\u%04X", code);
    else
      out.append(text, i, length);
    i += length;
  }
  return out;
}

}  // namespace kvr::server
