#include "platform/json_tree.h"

#include <gtest/gtest.h>

#include "platform/data_packet.h"

namespace kvr {
namespace {

TEST(JsonTree, BuildsTheSameTreeAsAFullParser) {
  const char* texts[] = {
      "null", "true", "-7", "18446744073709551615", "0.5", "\"a\\u00e9\"", "[]", "{}",
      R"({"jsonrpc":"2.0","result":[{"fields":[{"name":"CDREDUCONT","type":"string","size":3}],)"
      R"("rows":[["001",null,1.0e2,[[[]]],{"b":{"c":[1,2]}}]]}],"id":1})",
      R"([[1,[2,[3]]],{"x":[{}]},4])",
  };
  for (const char* text : texts) EXPECT_EQ(JsonTree(text), nlohmann::json::parse(text)) << text;
}

TEST(JsonTree, RefusesWhatTheStrictReaderRefusesAndRepeatedKeys) {
  struct Case {
    std::string text;
    const char* message;
  } cases[] = {
      {"[1,]", "JSON inválido: "},
      {"\"\xC3\"", "JSON inválido: "},
      {std::string(65, '[') + std::string(65, ']'), "JSON inválido: "},
      {R"({"result":false,"result":true})",
       "JSON inválido: chave \"result\" repetida (byte 26)"},
      {R"({"a":1,"b":{"c":1,"c":2}})", "JSON inválido: chave \"c\" repetida (byte 23)"},
  };
  for (const Case& c : cases) {
    try {
      JsonTree(c.text);
      ADD_FAILURE() << c.text;
    } catch (const EJsonError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
    }
  }
}

}  // namespace
}  // namespace kvr
