#pragma once

#include "http_head_parser.h"

namespace kvr::server {

// Checks how the body of head is delimited, by the rules of HTTP/1.1 message
// framing: Content-Length together with Transfer-Encoding, several different
// Content-Lengths, Transfer-Encoding in HTTP/1.0, more than one Host or none
// in HTTP/1.1: 400; a transfer coding other than chunked alone: 501. Any
// fault is answered and the connection closed, its body unread.
HeadFault CheckFraming(const HttpHead& head);

}  // namespace kvr::server
