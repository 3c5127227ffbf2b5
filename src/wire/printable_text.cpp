#include "wire/printable_text.h"

#include <cstdio>

#include "wire/utf8.h"

namespace kvr {

namespace {

std::string Hex(const char* format, unsigned value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// The length of the valid UTF-8 sequence at text[i] and its code point, or
// 0 when the byte there does not begin one.
size_t Decode(const std::string& text, size_t i, unsigned& code) {
  const auto first = static_cast<unsigned char>(text[i]);
  code = first;
  if (first < 0x80) return 1;
  const Utf8LeadByte lead = Utf8Lead(first);
  const size_t length = static_cast<size_t>(lead.more) + 1;
  if (lead.more == 0 || i + length > text.size()) return 0;
  code = first & (0x7Fu >> length);
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if (next < (k == 1 ? lead.low : 0x80) || next > (k == 1 ? lead.high : 0xBF)) return 0;
    code = (code << 6) | (next & 0x3Fu);
  }
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

}  // namespace kvr
