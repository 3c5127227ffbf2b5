#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "http/http_head_parser.h"

namespace kvr::server {

// Reads a request body sent with "Transfer-Encoding: chunked", strictly:
// each chunk is a hexadecimal size (no overflow), optional extensions by the
// grammar of HTTP/1.1 (";name" or ";name=token" or ";name=\"quoted\""), CRLF,
// exactly that many bytes, CRLF; a chunk of size 0 ends the body, followed
// by trailer lines checked as header lines are, and an empty line. Any other
// shape is a fault (400). Bytes may come in pieces of any size.
class ChunkedDecoder {
 public:
  enum class Step { kMore, kDone, kFault };
  // Receives the body bytes in order; returns false to stop decoding (Feed
  // then returns kMore with what it used so far).
  using Sink = std::function<bool(const char* data, size_t size)>;

  // Decodes from the start of data, handing body bytes to sink. used is set
  // to the bytes of data consumed: all of them for kMore, up to the end of
  // the body (the request after it stays) for kDone. After kFault, Fault()
  // says why; the decoder must not be fed again.
  Step Feed(std::string_view data, size_t& used, const Sink& sink);
  const HeadFault& Fault() const { return fault_; }

 private:
  enum class State { kSize, kData, kDataEnd, kTrailer, kDone };
  // Gathers a line ending with CRLF from data at pos into line_; true once whole.
  bool TakeLine(std::string_view data, size_t& pos);
  bool ParseSize(std::string_view line);
  Step Refuse();

  State state_ = State::kSize;
  std::string line_;
  std::uint64_t left_ = 0;  // bytes of the current chunk still to come
  size_t trailer_bytes_ = 0;
  HeadFault fault_;
};

}  // namespace kvr::server
