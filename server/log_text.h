#pragma once

#include <cstddef>
#include <string>

namespace kvr::server {

// text made safe for one line of the server's log: control characters
// (below 32, and 127) written as \n, \r, \t or \xHH, a backslash doubled, and
// the whole cut after max characters (counted in UTF-8 characters) with
// "...(N bytes)" appended, so that no client can forge a line or flood the log
// through a method name, a path or a message that repeats them.
std::string LogText(const std::string& text, size_t max = 120);

// text cut after max UTF-8 characters with "..." appended; unchanged when
// shorter. For quoting client-sent texts in messages that go back to it.
std::string CutText(const std::string& text, size_t max);

}  // namespace kvr::server
