#include "http_head_parser.h"

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

}  // namespace
}  // namespace kvr::server
