#pragma once

// Stored texts are shown through the escape the client shares
// (wire/printable_text.h).
#include "wire/printable_text.h"
#include "wire/utf8.h"

namespace kvr::server {

using kvr::EscapeControls;

// text followed by blanks up to width characters (UTF-8), or by one blank
// when it is that long already: a column of a table.
inline std::string Pad(const std::string& text, size_t width) {
  const size_t length = Utf8Length(text);
  return length >= width ? text + " " : text + std::string(width - length, ' ');
}

// A stored date, "AAAA-MM-DD...", as "DD/MM/AAAA"; "-" for an empty text, and a
// shorter text unchanged.
inline std::string ShowDay(const std::string& text) {
  if (text.size() < 10) return text.empty() ? "-" : text;
  return text.substr(8, 2) + "/" + text.substr(5, 2) + "/" + text.substr(0, 4);
}

}  // namespace kvr::server
