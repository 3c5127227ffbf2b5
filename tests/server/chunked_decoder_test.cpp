// The chunked body as the engine reads it off a socket: every case fed
// whole, byte by byte and split at every offset, to a sink that takes all
// and to one that stops after each piece it is handed.
#include "http/chunked_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "piecewise.h"

namespace kvr::server {
namespace {

// Decodes bytes arriving in the pieces ends gives, as the connection does:
// the decoder is fed what came and it left unused (a sink that stops leaves
// the rest of its piece). The outcome: "more: BODY" while the body is not
// whole, "done: BODY | rest: REST" with the bytes after the body (the next
// request), or "STATUS message after BODY" for a fault.
std::string Decode(std::string_view bytes, const std::vector<size_t>& ends, bool stopping) {
  ChunkedDecoder decoder;
  std::string body, pending;
  size_t from = 0;
  for (const size_t end : ends) {
    pending.append(bytes.substr(from, end - from));
    from = end;
    while (!pending.empty()) {
      bool stopped = false;
      size_t used = 0;
      const ChunkedDecoder::Step step =
          decoder.Feed(pending, used, [&](const char* data, size_t size) {
            body.append(data, size);
            stopped = stopping;
            return !stopping;
          });
      if (step == ChunkedDecoder::Step::kFault)
        return std::to_string(decoder.Fault().status) + " " + decoder.Fault().message +
               " after \"" + body + "\"";
      pending.erase(0, used);
      if (step == ChunkedDecoder::Step::kDone)
        return "done: " + body + " | rest: " + pending + std::string(bytes.substr(from));
      if (!stopped) break;
    }
  }
  return "more: " + body;
}

const std::string kBad =
    "400 Requisição recusada: corpo em pedaços (chunked) malformado; envie cada pedaço como "
    "tamanho em hexadecimal, CRLF, os bytes e CRLF, e termine com \"0\", CRLF e CRLF. after ";

TEST(ChunkedDecoder, ReadsStrictChunksTheSameHoweverTheBytesCome) {
  const std::string next = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
  struct Case {
    const char* what;
    std::string bytes;
    std::string outcome;
  };
  // Trailer lines that together pass 32 KiB, each short.
  std::string long_trailer = "0\r\n";
  for (int i = 0; i < 40; ++i) long_trailer += "X-T: " + std::string(1000, 't') + "\r\n";
  long_trailer += "\r\n";
  const Case cases[] = {
      {"two chunks", "4\r\nWiki\r\n5\r\npedia\r\n0\r\n\r\n", "done: Wikipedia | rest: "},
      {"the next request after the body", "4\r\nWiki\r\n0\r\n\r\n" + next,
       "done: Wiki | rest: " + next},
      {"no chunk before the last", "0\r\n\r\n", "done:  | rest: "},
      {"sizes in upper case and with zeros before",
       "00A\r\n0123456789\r\n0000\r\n\r\n", "done: 0123456789 | rest: "},
      {"a chunk of line ends and NUL, read as bytes", std::string("3\r\n\r\n\0\r\n0\r\n\r\n", 13),
       "done: " + std::string("\r\n\0", 3) + " | rest: "},
      {"extensions of every form",
       "4;a\r\nWiki\r\n5 ; b = c ;d=\"x; \\\"y\\\"\"\r\npedia\r\n0;e\r\n\r\n",
       "done: Wikipedia | rest: "},
      {"trailer fields", "4\r\nWiki\r\n0\r\nX-Soma: 1\r\nX-Outra:\r\n\r\n" + next,
       "done: Wiki | rest: " + next},
      {"the largest size, its bytes still to come", "ffffffffffffffff\r\nab", "more: ab"},
      {"a chunk not whole", "4\r\nWi", "more: Wi"},
      {"the size not whole", "4\r\nWiki\r\n1", "more: Wiki"},
      {"no empty line after the last chunk", "4\r\nWiki\r\n0\r\n", "more: Wiki"},
      {"a trailer not ended", "4\r\nWiki\r\n0\r\nX-Soma: 1\r\n", "more: Wiki"},
      {"a chunk longer than its size", "3\r\nWiki\r\n0\r\n\r\n", kBad + "\"Wik\""},
      {"a chunk shorter than its size", "5\r\nWiki\r\n0\r\n\r\n", kBad + "\"Wiki\r\""},
      {"a size past 64 bits", "10000000000000000\r\nWiki\r\n0\r\n\r\n", kBad + "\"\""},
      {"a negative size", "-4\r\nWiki\r\n0\r\n\r\n", kBad + "\"\""},
      {"a size in C's hexadecimal", "0x4\r\nWiki\r\n0\r\n\r\n", kBad + "\"\""},
      {"no size", "\r\nWiki\r\n0\r\n\r\n", kBad + "\"\""},
      {"a blank before the size", " 4\r\nWiki\r\n0\r\n\r\n", kBad + "\"\""},
      {"a size line ended by LF alone", "4\nWiki\r\n0\r\n\r\n", kBad + "\"\""},
      {"a chunk ended by LF alone", "4\r\nWiki\n0\r\n\r\n", kBad + "\"Wiki\""},
      {"a CR alone in a size line", "4\r;a\r\nWiki\r\n0\r\n\r\n", kBad + "\"\""},
      {"an extension without a name", "4;\r\nWiki\r\n0\r\n\r\n", kBad + "\"\""},
      {"an extension without its value", "4;a=\r\nWiki\r\n0\r\n\r\n", kBad + "\"\""},
      {"an extension's quotes not closed", "4;a=\"x\r\nWiki\r\n0\r\n\r\n", kBad + "\"\""},
      {"an extension without its semicolon", "4 a\r\nWiki\r\n0\r\n\r\n", kBad + "\"\""},
      {"two values for an extension", "4;a=b c\r\nWiki\r\n0\r\n\r\n", kBad + "\"\""},
      {"a trailer name with a blank", "4\r\nWiki\r\n0\r\nX A: 1\r\n\r\n", kBad + "\"Wiki\""},
      {"a folded trailer line", "4\r\nWiki\r\n0\r\nX-A: 1\r\n 2\r\n\r\n", kBad + "\"Wiki\""},
      {"a trailer with a control character", "0\r\nX-A: \x1b\r\n\r\n", kBad + "\"\""},
      {"a size line past 4 KiB, its end not yet come", "4;" + std::string(5000, 'a'),
       kBad + "\"\""},
      {"trailers past 32 KiB", long_trailer, kBad + "\"\""},
  };
  for (const Case& c : cases) {
    for (const bool stopping : {false, true}) {
      for (const testing::Feeding& feeding : testing::Feedings(c.bytes.size())) {
        const std::string outcome = Decode(c.bytes, feeding.ends, stopping);
        if (outcome != c.outcome) {
          ADD_FAILURE() << c.what << ", fed " << feeding.name
                        << (stopping ? " to a sink that stops" : "")
                        << "\n  expected: " << c.outcome << "\n  read:     " << outcome;
          break;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kvr::server
