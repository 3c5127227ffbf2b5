// The request head as the engine reads it off a socket: where it ends, how
// it is parsed and how its body is framed, each table fed whole, byte by byte
// and split at every offset.
#include "http/http_head_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "piecewise.h"

namespace kvr::server {
namespace {

using testing::Feedings;

const std::string kBareLineFeed =
    "400 Requisição recusada: linha do cabeçalho terminada só com LF; termine cada linha com "
    "CRLF.";
const std::string kTooLong =
    "431 Requisição recusada: o cabeçalho passa de 32 KiB; envie menos cabeçalhos ou mais "
    "curtos.";
const std::string kBadRequestLine =
    "400 Requisição recusada: linha de requisição inválida; envie \"MÉTODO /caminho HTTP/1.1\", "
    "separados por um espaço, sem caracteres de controle.";
const std::string kBadName =
    "400 Requisição recusada: nome de cabeçalho com espaço ou caractere inválido, ou linha de "
    "cabeçalho dobrada; envie cada cabeçalho numa linha \"Nome: valor\", sem espaço antes dos "
    "dois-pontos.";
const std::string kBadValue =
    "400 Requisição recusada: valor de cabeçalho com caractere de controle (CR solto, por "
    "exemplo); termine cada linha com CRLF e envie só texto nos valores.";

std::string Text(const HeadFault& fault) {
  return std::to_string(fault.status) + " " + fault.message;
}

// Reads a request head from bytes arriving in the pieces ends gives, as the
// connection does: FindHeadEnd over what came so far, then ParseHead and
// CheckFraming once the head is whole. The outcome: "more" while the head is
// not whole, "STATUS message" for a fault, or "SIZE: METHOD target VERSION"
// and " | Name: value" for each field of a head accepted.
std::string ReadHead(std::string_view bytes, const std::vector<size_t>& ends) {
  std::string data;
  size_t scanned = 0;
  size_t from = 0;
  for (const size_t end : ends) {
    data.append(bytes.substr(from, end - from));
    from = end;
    HeadFault fault;
    const size_t size = FindHeadEnd(data, scanned, fault);
    if (fault.status != 0) return Text(fault);
    if (size == 0) continue;
    HttpHead head;
    fault = ParseHead(std::string_view(data).substr(0, size), head);
    if (fault.status == 0) fault = CheckFraming(head);
    if (fault.status != 0) return Text(fault);
    std::string text = std::to_string(size) + ": " + head.method + " " + head.target +
                       (head.http10 ? " HTTP/1.0" : " HTTP/1.1");
    for (const HttpField& field : head.fields) text += " | " + field.name + ": " + field.value;
    return text;
  }
  return "more";
}

struct Case {
  const char* what;
  std::string bytes;
  std::string outcome;
};

// Every case of cases read in every feeding: the first feeding that differs
// from the expected outcome fails the case.
void ExpectEveryFeeding(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    for (const testing::Feeding& feeding : Feedings(c.bytes.size())) {
      const std::string outcome = ReadHead(c.bytes, feeding.ends);
      if (outcome != c.outcome) {
        ADD_FAILURE() << c.what << ", fed " << feeding.name << "\n  expected: " << c.outcome
                      << "\n  read:     " << outcome;
        break;
      }
    }
  }
}

const std::string kLine = "POST /kvr61400.rdmImportOFX HTTP/1.1\r\n";

// A head of fields (each "Name: value") after a POST request line.
std::string Head(const std::vector<std::string>& fields) {
  std::string head = kLine;
  for (const std::string& field : fields) head += field + "\r\n";
  return head + "\r\n";
}

TEST(HeadEnd, EveryLineEndsWithCrlfAndTheHeadWithinItsLimit) {
  const std::string small = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
  // A field that brings the head to exactly its limit.
  const std::string filler_name = "X-Enche: ";
  const std::string prefix = "GET / HTTP/1.1\r\nHost: a\r\n" + filler_name;
  const std::string full =
      prefix + std::string(kMaxHead - prefix.size() - 4, 'f') + "\r\n\r\n";
  ASSERT_EQ(kMaxHead, full.size());
  const std::string over = prefix + std::string(kMaxHead - prefix.size() - 3, 'f') + "\r\n\r\n";
  ExpectEveryFeeding({
      {"a head", small, "27: GET / HTTP/1.1 | Host: a"},
      {"a head and the body after it", small + "{\"a\":\n1}", "27: GET / HTTP/1.1 | Host: a"},
      {"a head and the next request", small + small, "27: GET / HTTP/1.1 | Host: a"},
      {"no empty line yet", "GET / HTTP/1.1\r\nHost: a\r\n", "more"},
      {"the last CR came, not its LF", "GET / HTTP/1.1\r\nHost: a\r\n\r", "more"},
      {"LF alone in the request line", "GET / HTTP/1.1\nHost: a\r\n\r\n", kBareLineFeed},
      {"LF alone, the rest not yet come", "GET / HTTP/1.1\n", kBareLineFeed},
      {"LF alone as the first byte", "\n", kBareLineFeed},
      {"LF alone as the empty line", "GET / HTTP/1.1\r\nHost: a\r\n\n", kBareLineFeed},
      {"LF alone after a field", "GET / HTTP/1.1\r\nHost: a\n\r\n", kBareLineFeed},
      {"a head of exactly the limit", full,
       std::to_string(kMaxHead) + ": GET / HTTP/1.1 | Host: a | X-Enche: " +
           std::string(kMaxHead - prefix.size() - 4, 'f')},
      {"a head one byte past the limit", over, kTooLong},
      {"the limit reached without an end", std::string(kMaxHead, 'a'), kTooLong},
      {"one byte short of the limit without an end", std::string(kMaxHead - 1, 'a'), "more"},
  });
}

TEST(HeadParse, RequestLineAndFieldsAreReadStrictly) {
  ExpectEveryFeeding({
      {"fields kept in order, values without blanks around",
       Head({"Host: a", "X-A: \t um  dois \t", "X-Vazio:", "x-b:3"}),
       "85: POST /kvr61400.rdmImportOFX HTTP/1.1 | Host: a | X-A: um  dois | X-Vazio:  | x-b: 3"},
      {"bytes past ASCII in a value", Head({"Host: a", "X-A: S\xc3\xa3o \xe3"}),
       "62: POST /kvr61400.rdmImportOFX HTTP/1.1 | Host: a | X-A: S\xc3\xa3o \xe3"},
      {"HTTP/1.0 without Host", "POST /x HTTP/1.0\r\nContent-Length: 0\r\n\r\n",
       "39: POST /x HTTP/1.0 | Content-Length: 0"},
      {"a method of token marks", "M-1.X~ * HTTP/1.1\r\nHost: a\r\n\r\n",
       "30: M-1.X~ * HTTP/1.1 | Host: a"},
      {"HTTP/2.0", "GET / HTTP/2.0\r\nHost: a\r\n\r\n",
       "505 Versão HTTP/2.0 não suportada; envie HTTP/1.1."},
      {"HTTP/1.2", "GET / HTTP/1.2\r\nHost: a\r\n\r\n",
       "505 Versão HTTP/1.2 não suportada; envie HTTP/1.1."},
      {"the version in lower case", "GET / http/1.1\r\nHost: a\r\n\r\n", kBadRequestLine},
      {"a version of two digits", "GET / HTTP/1.10\r\nHost: a\r\n\r\n", kBadRequestLine},
      {"no version", "GET /\r\nHost: a\r\n\r\n", kBadRequestLine},
      {"two blanks after the method", "GET  / HTTP/1.1\r\nHost: a\r\n\r\n", kBadRequestLine},
      {"a blank after the version", "GET / HTTP/1.1 \r\nHost: a\r\n\r\n", kBadRequestLine},
      {"a blank inside the target", "GET /a b HTTP/1.1\r\nHost: a\r\n\r\n", kBadRequestLine},
      {"a tab inside the target", "GET /a\tb HTTP/1.1\r\nHost: a\r\n\r\n", kBadRequestLine},
      {"DEL inside the target", "GET /a\x7f HTTP/1.1\r\nHost: a\r\n\r\n", kBadRequestLine},
      {"NUL inside the target",
       std::string("POST /kvr61400.rdm\0ImportOFX HTTP/1.1\r\nHost: a\r\n\r\n", 50),
       kBadRequestLine},
      {"a CR alone in the request line", "GET / HTTP/1.1\rX\r\nHost: a\r\n\r\n", kBadRequestLine},
      {"a method that is no token", "G(T / HTTP/1.1\r\nHost: a\r\n\r\n", kBadRequestLine},
      {"an empty request line", "\r\nHost: a\r\n\r\n", kBadRequestLine},
      {"a blank before the colon", Head({"Host: a", "Content-Length : 5"}), kBadName},
      {"a blank inside the name", Head({"Host: a", "X A: 5"}), kBadName},
      {"no colon", Head({"Host: a", "X-A 5"}), kBadName},
      {"no name", Head({"Host: a", ": 5"}), kBadName},
      {"a line folded right after the request line", Head({" Host: a"}), kBadName},
      {"a line folded onto a field", Head({"Host: a", "X-A: a", " b"}), kBadName},
      {"a line folded with a tab", Head({"Host: a", "X-A: a", "\tb"}), kBadName},
      {"a CR alone inside a field", Head({"Host: a", "X-A: a\rContent-Length: 5"}), kBadValue},
      {"an escape in a value", Head({"Host: a", "X-A: a\x1b[2J"}), kBadValue},
      {"DEL in a value", Head({"Host: a", "X-A: a\x7f"}), kBadValue},
      {"NUL in a value", Head({"Host: a", std::string("X-A: a\0b", 8)}), kBadValue},
  });
}

// A field of one value on two lines is refused whatever the values: a proxy
// in front might read the first and the server the second. A list field on
// several lines is one list.
TEST(HeadParse, OneValueFieldsRepeatedAreRefusedAndListFieldsCombine) {
  const std::string twice = " aparece mais de uma vez; envie um só.";
  ExpectEveryFeeding({
      {"Authorization twice",
       Head({"Host: a", "Authorization: Bearer um", "Authorization: Bearer dois"}),
       "400 Requisição recusada: o cabeçalho Authorization" + twice},
      {"Authorization twice, the same, in other cases",
       Head({"Host: a", "authorization: Bearer um", "AUTHORIZATION: Bearer um"}),
       "400 Requisição recusada: o cabeçalho Authorization" + twice},
      {"Content-Type twice",
       Head({"Host: a", "Content-Type: application/json", "Content-Type: text/plain"}),
       "400 Requisição recusada: o cabeçalho Content-Type" + twice},
      {"Content-Encoding twice",
       Head({"Host: a", "Content-Encoding: identity", "Content-Encoding: gzip"}),
       "400 Requisição recusada: o cabeçalho Content-Encoding" + twice},
      {"Host twice", Head({"Host: a", "Host: b"}),
       "400 Requisição recusada: o cabeçalho Host" + twice},
      {"list fields on several lines, one-value fields once",
       Head({"Host: a", "Connection: keep-alive", "Connection: close",
             "Accept-Encoding: identity", "Accept-Encoding: gzip", "Expect: 100-continue",
             "Expect: 100-continue", "Authorization: Bearer um", "Content-Type: a",
             "Content-Encoding: gzip"}),
       "253: POST /kvr61400.rdmImportOFX HTTP/1.1 | Host: a | Connection: keep-alive | "
       "Connection: close | Accept-Encoding: identity | Accept-Encoding: gzip | Expect: "
       "100-continue | Expect: 100-continue | Authorization: Bearer um | Content-Type: a | "
       "Content-Encoding: gzip"},
  });
}

TEST(HeadFraming, ContentLengthAndTransferEncodingByTheRulesOfHttp11) {
  const std::string unsupported =
      "\" não suportado; envie o corpo com Content-Length ou Transfer-Encoding: chunked.";
  ExpectEveryFeeding({
      {"one length", Head({"Host: a", "Content-Length: 74"}),
       "69: POST /kvr61400.rdmImportOFX HTTP/1.1 | Host: a | Content-Length: 74"},
      {"the same length twice", Head({"Host: a", "Content-Length: 5", "Content-Length: 5"}),
       "87: POST /kvr61400.rdmImportOFX HTTP/1.1 | Host: a | Content-Length: 5 | "
       "Content-Length: 5"},
      {"a length past 64 bits (refused later for its size)",
       Head({"Host: a", "Content-Length: 99999999999999999999999"}),
       "90: POST /kvr61400.rdmImportOFX HTTP/1.1 | Host: a | Content-Length: "
       "99999999999999999999999"},
      {"chunked", Head({"Host: a", "Transfer-Encoding: chunked"}),
       "77: POST /kvr61400.rdmImportOFX HTTP/1.1 | Host: a | Transfer-Encoding: chunked"},
      {"chunked in any case", Head({"Host: a", "transfer-encoding: Chunked "}),
       "78: POST /kvr61400.rdmImportOFX HTTP/1.1 | Host: a | transfer-encoding: Chunked"},
      {"no body", Head({"Host: a"}), "49: POST /kvr61400.rdmImportOFX HTTP/1.1 | Host: a"},
      {"two lengths", Head({"Host: a", "Content-Length: 5", "Content-Length: 6"}),
       "400 Requisição recusada: Content-Length repetido com valores diferentes; envie um só."},
      {"a length and chunked", Head({"Host: a", "Content-Length: 5", "Transfer-Encoding: chunked"}),
       "400 Requisição recusada: Content-Length e Transfer-Encoding juntos tornam o fim do corpo "
       "ambíguo; envie só um dos dois."},
      {"chunked and a length",
       Head({"Host: a", "Transfer-Encoding: chunked", "Content-Length: 5"}),
       "400 Requisição recusada: Content-Length e Transfer-Encoding juntos tornam o fim do corpo "
       "ambíguo; envie só um dos dois."},
      {"a length with a sign", Head({"Host: a", "Content-Length: +5"}),
       "400 Requisição recusada: Content-Length \"+5\" não é um número; envie o tamanho do corpo "
       "em bytes."},
      {"an empty length", Head({"Host: a", "Content-Length:"}),
       "400 Requisição recusada: Content-Length \"\" não é um número; envie o tamanho do corpo "
       "em bytes."},
      {"a list of lengths", Head({"Host: a", "Content-Length: 5, 5"}),
       "400 Requisição recusada: Content-Length \"5, 5\" não é um número; envie o tamanho do "
       "corpo em bytes."},
      {"a long length that is no number", Head({"Host: a", "Content-Length: " + std::string(50, 'x')}),
       "400 Requisição recusada: Content-Length \"" + std::string(40, 'x') +
           "\" não é um número; envie o tamanho do corpo em bytes."},
      {"HTTP/1.1 without Host", Head({"Content-Length: 5"}),
       "400 Requisição recusada: falta o cabeçalho Host, obrigatório em HTTP/1.1."},
      {"chunked in HTTP/1.0", "POST /x HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n",
       "400 Requisição recusada: Transfer-Encoding não existe em HTTP/1.0; envie "
       "Content-Length."},
      {"an unknown coding", Head({"Host: a", "Transfer-Encoding: xchunked"}),
       "501 Transfer-Encoding \"xchunked" + unsupported},
      {"chunked after another coding", Head({"Host: a", "Transfer-Encoding: gzip, chunked"}),
       "501 Transfer-Encoding \"gzip, chunked" + unsupported},
      {"chunked twice, on two lines",
       Head({"Host: a", "Transfer-Encoding: chunked", "Transfer-Encoding: chunked"}),
       "501 Transfer-Encoding \"chunked, chunked" + unsupported},
      {"chunked and an empty item", Head({"Host: a", "Transfer-Encoding: chunked,"}),
       "501 Transfer-Encoding \"chunked," + unsupported},
      {"an empty coding", Head({"Host: a", "Transfer-Encoding:"}),
       "501 Transfer-Encoding \"" + unsupported},
      {"a long list of codings",
       Head({"Host: a", "Transfer-Encoding: " + std::string(70, 'g') + ", chunked"}),
       "501 Transfer-Encoding \"" + std::string(60, 'g') + "..." + unsupported},
  });
}

// The lists of Transfer-Encoding, Connection and Accept-Encoding are split
// at commas, with the blanks around each item dropped and nothing else.
TEST(ListItems, SplitAtCommasAndDropTheBlanksAroundEachItem) {
  struct ListCase {
    const char* value;
    std::vector<std::string> items;
  };
  const ListCase cases[] = {
      {"chunked", {"chunked"}},
      {"gzip, chunked", {"gzip", "chunked"}},
      {"\tkeep-alive ,Upgrade\t", {"keep-alive", "Upgrade"}},
      {"gzip;q=0 , x-gzip ; q=0.5", {"gzip;q=0", "x-gzip ; q=0.5"}},
      {"a,,b", {"a", "", "b"}},
      {"", {""}},
      {" , ", {"", ""}},
  };
  for (const ListCase& c : cases) EXPECT_EQ(c.items, ListItems(c.value)) << '"' << c.value << '"';
}

TEST(HeadFields, ListFieldsJoinEveryLineInOrder) {
  HttpHead head;
  ASSERT_EQ(0, ParseHead(Head({"Host: a", "Connection: keep-alive", "accept-encoding: identity",
                               "CONNECTION: close", "Accept-Encoding: gzip;q=1"}),
                         head)
                   .status);
  EXPECT_EQ("keep-alive, close", head.Joined("Connection").value_or("(nenhum)"));
  EXPECT_EQ("identity, gzip;q=1", head.Joined("Accept-Encoding").value_or("(nenhum)"));
  EXPECT_FALSE(head.Joined("Expect").has_value());
  EXPECT_EQ("a", *head.Find("host"));
  EXPECT_EQ(nullptr, head.Find("Hos"));
}

}  // namespace
}  // namespace kvr::server
