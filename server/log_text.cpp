#include "log_text.h"

#include <cstdio>

#include "wire/utf8.h"

namespace kvr::server {

std::string CutText(const std::string& text, size_t max) {
  const size_t end = Utf8Prefix(text, max);
  return end == text.size() ? text : text.substr(0, end) + "...";
}

std::string LogText(const std::string& text, size_t max) {
  const size_t end = Utf8Prefix(text, max);
  std::string out;
  out.reserve(end + 16);
  for (size_t i = 0; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 32 || c == 127) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (end < text.size()) out += "...(" + std::to_string(text.size()) + " bytes)";
  return out;
}

}  // namespace kvr::server
