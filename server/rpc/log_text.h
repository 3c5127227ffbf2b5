#pragma once

#include <cstddef>
#include <string>

namespace kvr::server {

// A line of the server's log may begin with its syslog priority, so that the
// journal can filter it; a line without one is information. The serve
// command keeps the prefix when systemd's journal reads its stderr and drops
// it on a terminal (LogForSink).
constexpr const char* kLogError = "<3>";
constexpr const char* kLogWarning = "<4>";
constexpr const char* kLogInfo = "<6>";

// line as the sink writes it: for the journal with its priority prefix
// ("<6>" added when it has none), elsewhere without one.
std::string LogForSink(const std::string& line, bool journal);

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
