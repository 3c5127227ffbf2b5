#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvr::server {

// Why a request head (or a chunked body) is refused: the HTTP status and the
// Portuguese message answered; status 0 when nothing is wrong.
struct HeadFault {
  int status = 0;
  std::string message;
};

// One header line of a request: the name as sent, the value without the
// blanks around it.
struct HttpField {
  std::string name;
  std::string value;
};

// A request head as read by ParseHead.
struct HttpHead {
  std::string method;
  std::string target;
  bool http10 = false;  // "HTTP/1.0"; otherwise "HTTP/1.1"
  std::vector<HttpField> fields;

  // The value of the field named name (any case), or nullptr: for a field
  // of one value (ParseHead refuses Authorization, Content-Type,
  // Content-Encoding and Host repeated; CheckFraming a Content-Length
  // repeated with another value).
  const std::string* Find(std::string_view name) const;
  // The values of every field named name (any case) joined by ", ", as a
  // list field (Connection, Transfer-Encoding, Accept-Encoding, Expect)
  // written over several lines means; nullopt when there is none.
  std::optional<std::string> Joined(std::string_view name) const;
};

// The most bytes a request head may take, request line included; a longer
// one is answered 431.
constexpr size_t kMaxHead = 32 * 1024;

// Where the head at the start of data ends, read strictly: every line ends
// with CRLF. Returns the size of the head with its empty last line; 0 while
// more bytes are needed. scanned carries, between calls on the same growing
// data, how far the bytes were checked (start it at 0). A line feed not
// preceded by a carriage return sets fault (400) at once, without waiting for
// the rest; a head past kMaxHead sets fault 431.
size_t FindHeadEnd(std::string_view data, size_t& scanned, HeadFault& fault);

// Reads a whole head (as FindHeadEnd delimited it) into head. The request
// line must be exactly METHOD SP target SP HTTP/1.0 or HTTP/1.1 (another
// HTTP version: 505); a field name must be a token followed at once by ":";
// a line beginning with a blank (a folded line) is refused; no control
// character but tab in the target or a value (a bare CR or a NUL among
// them); a field of one value (Authorization, Content-Type,
// Content-Encoding, Host) given on more than one line. Returns the first
// fault found (status 400 or 505); head is then partly filled.
HeadFault ParseHead(std::string_view text, HttpHead& head);

// The comma-separated items of a field value (as in Connection or
// Transfer-Encoding), each without the blanks around it; empty items kept.
std::vector<std::string> ListItems(std::string_view value);

// Whether text is a token: letters, digits and !#$%&'*+-.^_`|~, at least one.
bool IsToken(std::string_view text);

// Whether c may stand in a field value: tab, visible ASCII, blank, or a byte
// of 0x80 and above.
inline bool IsFieldChar(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7f); }

// Checks one "name: value" line (a header or a trailer), without its CRLF,
// and stores it in field: 400 for a line folded onto the one before, a name
// that is not a token, or a control character in the value.
HeadFault ParseField(std::string_view line, HttpField& field);

// Checks how the body of head is delimited, by the rules of HTTP/1.1 message
// framing: Content-Length together with Transfer-Encoding, several different
// Content-Lengths, Transfer-Encoding in HTTP/1.0, more than one Host or none
// in HTTP/1.1: 400; a transfer coding other than chunked alone: 501. Any
// fault is answered and the connection closed, its body unread.
HeadFault CheckFraming(const HttpHead& head);

}  // namespace kvr::server
