#include "http/http_head_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kvr::server {
namespace {

// The lists of Transfer-Encoding, Connection and Accept-Encoding are split
// at commas, with the blanks around each item dropped and nothing else.
TEST(ListItems, SplitAtCommasAndDropTheBlanksAroundEachItem) {
  struct Case {
    const char* value;
    std::vector<std::string> items;
  };
  const Case cases[] = {
      {"chunked", {"chunked"}},
      {"gzip, chunked", {"gzip", "chunked"}},
      {"\tkeep-alive ,Upgrade\t", {"keep-alive", "Upgrade"}},
      {"gzip;q=0 , x-gzip ; q=0.5", {"gzip;q=0", "x-gzip ; q=0.5"}},
      {"a,,b", {"a", "", "b"}},
      {"", {""}},
      {" , ", {"", ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.items, ListItems(c.value)) << '"' << c.value << '"';
}

// A head with fields (each "Name: value") after a POST request line.
std::string Head(const std::vector<std::string>& fields) {
  std::string head = "POST /kvr61400.rdmImportOFX HTTP/1.1\r\n";
  for (const std::string& field : fields) head += field + "\r\n";
  return head + "\r\n";
}

// A field of one value on two lines is refused whatever the values: a proxy
// in front might read the first and the server the second. A list field on
// several lines is one list, and a Content-Length repeated with its own
// value is still one length.
TEST(HeadFields, OneValueFieldsRepeatedAreRefusedAndListFieldsCombine) {
  const std::string twice = " aparece mais de uma vez; envie um só.";
  struct Case {
    std::vector<std::string> fields;
    int status;
    std::string message;  // checked when not empty
  };
  const Case cases[] = {
      {{"Host: a", "Authorization: Bearer um", "Authorization: Bearer dois"}, 400,
       "Requisição recusada: o cabeçalho Authorization" + twice},
      {{"Host: a", "authorization: Bearer um", "AUTHORIZATION: Bearer um"}, 400,
       "Requisição recusada: o cabeçalho Authorization" + twice},
      {{"Host: a", "Content-Type: application/json", "Content-Type: text/plain"}, 400,
       "Requisição recusada: o cabeçalho Content-Type" + twice},
      {{"Host: a", "Content-Encoding: identity", "Content-Encoding: gzip"}, 400,
       "Requisição recusada: o cabeçalho Content-Encoding" + twice},
      {{"Host: a", "Host: b"}, 400, "Requisição recusada: o cabeçalho Host" + twice},
      {{"Host: a", "Content-Length: 5", "Content-Length: 6"}, 400,
       "Requisição recusada: Content-Length repetido com valores diferentes; envie um só."},
      {{"Host: a", "Content-Length: 5", "Content-Length: 5"}, 0, ""},
      {{"Host: a", "Connection: keep-alive", "Connection: close"}, 0, ""},
      {{"Host: a", "Accept-Encoding: identity", "Accept-Encoding: gzip"}, 0, ""},
      {{"Host: a", "Expect: 100-continue", "Expect: 100-continue"}, 0, ""},
      {{"Host: a", "Transfer-Encoding: chunked", "Transfer-Encoding: chunked"}, 501, ""},
      {{"Host: a", "Authorization: Bearer um", "Content-Type: a", "Content-Encoding: gzip"}, 0,
       ""},
  };
  for (const Case& c : cases) {
    const std::string text = Head(c.fields);
    HttpHead head;
    HeadFault fault = ParseHead(text, head);
    if (fault.status == 0) fault = CheckFraming(head);
    EXPECT_EQ(c.status, fault.status) << text;
    if (!c.message.empty()) {
      EXPECT_EQ(c.message, fault.message) << text;
    }
  }
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
}

}  // namespace
}  // namespace kvr::server
