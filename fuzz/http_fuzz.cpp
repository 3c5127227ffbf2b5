// Feeds arbitrary bytes to the server's HTTP reading as a connection reads
// them: FindHeadEnd over the growing input, ParseHead on the head it
// delimits, then the rest to the ChunkedDecoder. Besides crashes, leaks and
// undefined behaviour it stops when reading in pieces (sizes taken from the
// input's first byte) ends otherwise than reading all at once: another head
// end, another fault, other body bytes, or another point where the body ends.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/chunked_decoder.h"
#include "http/http_head_parser.h"

namespace {

using kvr::server::ChunkedDecoder;
using kvr::server::HeadFault;

void Fail(const char* what) {
  std::fprintf(stderr, "http_fuzz: %s\n", what);
  std::abort();
}

// The head end as found when data arrives in pieces of at most step bytes.
size_t HeadEndInPieces(std::string_view data, size_t step, HeadFault& fault) {
  size_t scanned = 0;
  for (size_t have = 0; have < data.size();) {
    have = std::min(data.size(), have + step);
    size_t end = kvr::server::FindHeadEnd(data.substr(0, have), scanned, fault);
    if (end != 0 || fault.status != 0) return end;
  }
  return 0;
}

// What a chunked decoder makes of body fed in pieces of at most step bytes.
struct Decoded {
  ChunkedDecoder::Step step = ChunkedDecoder::Step::kMore;
  std::string bytes;
  size_t used = 0;  // bytes of body read up to the end of the chunked body
  int status = 0;
};

Decoded DecodeInPieces(std::string_view body, size_t step) {
  ChunkedDecoder decoder;
  Decoded out;
  auto sink = [&out](const char* data, size_t size) {
    out.bytes.append(data, size);
    return true;
  };
  for (size_t at = 0; at < body.size();) {
    size_t used = 0;
    std::string_view piece = body.substr(at, step);
    out.step = decoder.Feed(piece, used, sink);
    out.used += used;
    if (out.step == ChunkedDecoder::Step::kFault) out.status = decoder.Fault().status;
    if (out.step != ChunkedDecoder::Step::kMore) return out;
    if (used != piece.size()) Fail("the decoder left bytes of a piece without finishing");
    at += piece.size();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t step = 1 + data[0] % 7;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  HeadFault whole_fault;
  size_t whole_scanned = 0;
  size_t end = kvr::server::FindHeadEnd(input, whole_scanned, whole_fault);
  HeadFault piece_fault;
  size_t piece_end = HeadEndInPieces(input, step, piece_fault);
  if (end != piece_end || whole_fault.status != piece_fault.status)
    Fail("the head ends elsewhere when read in pieces");
  if (end == 0 || whole_fault.status != 0) return 0;
  if (end > input.size()) Fail("the head ends past the input");

  kvr::server::HttpHead head;
  HeadFault fault = kvr::server::ParseHead(input.substr(0, end), head);
  if (fault.status != 0) {
    if (fault.status != 400 && fault.status != 505) Fail("a head refused with an unexpected status");
    if (fault.message.empty()) Fail("a head refused without a message");
    return 0;
  }

  std::string_view body = input.substr(end);
  Decoded whole = DecodeInPieces(body, body.size() + 1);
  Decoded pieces = DecodeInPieces(body, step);
  if (whole.step != pieces.step || whole.bytes != pieces.bytes || whole.status != pieces.status ||
      (whole.step == ChunkedDecoder::Step::kDone && whole.used != pieces.used))
    Fail("a chunked body reads otherwise in pieces");
  if (whole.step == ChunkedDecoder::Step::kFault && whole.status != 400 && whole.status != 413)
    Fail("a chunked body refused with an unexpected status");
  if (whole.bytes.size() > body.size()) Fail("more body bytes than were sent");
  return 0;
}
