#pragma once

#include <string>

namespace kvr {

// A UTF-8 text as a terminal can show it safely: control characters
// (U+0000 to U+001F, U+007F to U+009F) and the direction overrides that
// reorder what follows them (U+202A to U+202E, U+2066 to U+2069) are written
// as escapes: "\t", "\n", "\r", "\xHH" below U+0100, "\uHHHH" above. Bytes
// that are not valid UTF-8 are written as "\xHH" too. Everything else is
// unchanged. The server's listings and the client's printed messages (a
// server's text among them) go through it.
std::string EscapeControls(const std::string& text);

}  // namespace kvr
