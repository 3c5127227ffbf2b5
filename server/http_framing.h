#pragma once

#include <string>

struct MHD_Connection;

namespace kvr::server {

// Why a request head cannot be framed safely, by the rules of HTTP/1.1
// message framing: status 0 when it can. Any other status is answered with
// message and the connection closed, its body unread.
struct FramingFault {
  int status = 0;
  std::string message;  // Portuguese
};

// Checks the head of the request on connection (as libmicrohttpd parsed it)
// sent as HTTP version: Content-Length together with Transfer-Encoding,
// several different Content-Lengths, Transfer-Encoding in HTTP/1.0, more than
// one Host or none in HTTP/1.1, a field name that is not a token (a blank
// before the colon, a folded line right after the request line), a control
// character other than tab in a value (a bare CR): 400; a transfer coding
// other than chunked alone: 501. Bare LF line ends, a NUL in a value or the
// target and a line folded onto a header never reach here: the library
// accepts and rewrites them while reading the head.
FramingFault CheckFraming(MHD_Connection* connection, const char* version);

}  // namespace kvr::server
