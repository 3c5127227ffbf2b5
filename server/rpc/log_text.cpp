#include "rpc/log_text.h"

#include <cstdio>
#include <string_view>

#include "wire/utf8.h"

namespace kvr::server {

std::string LogForSink(const std::string& line, bool journal) {
  const bool marked = line.size() >= 3 && line[0] == '<' && line[1] >= '0' && line[1] <= '7' &&
                      line[2] == '>';
  if (journal) return marked ? line : kLogInfo + line;
  return marked ? line.substr(3) : line;
}

std::string CutText(const std::string& text, size_t max) {
  const size_t end = Utf8Prefix(text, max);
  return end == text.size() ? text : text.substr(0, end) + "...";
}

std::string LogText(const std::string& text, size_t max) {
  const size_t end = Utf8Prefix(text, max);
  static constexpr std::string_view kNamed = "\n\r\t\\";
  static constexpr const char* kEscapes[] = {"\\n", "\\r", "\\t", "\\\\"};
  std::string out;
  out.reserve(end + 16);
  for (size_t i = 0; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (const size_t named = kNamed.find(static_cast<char>(c)); named != kNamed.npos) {
      out += kEscapes[named];
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
