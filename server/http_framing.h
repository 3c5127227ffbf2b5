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
// one Host or none in HTTP/1.1: 400; a transfer coding other than chunked
// alone: 501.
FramingFault CheckFraming(MHD_Connection* connection, const char* version);

}  // namespace kvr::server
