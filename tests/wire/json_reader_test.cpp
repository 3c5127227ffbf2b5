// The one JSON reader of the client and the server: what it accepts (against
// nlohmann's strict parser), the events it gives, where it says a text went
// wrong, and the offsets the client cuts a reply's result with.
#include "wire/json_reader.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>

namespace kvr {
namespace {

// Hands out its bytes one at a time, so that every token crosses a window.
class DripBuf : public std::stringbuf {
 public:
  explicit DripBuf(const std::string& text) : std::stringbuf(text) {}

 protected:
  std::streamsize xsgetn(char* out, std::streamsize count) override {
    return std::stringbuf::xsgetn(out, count > 0 ? 1 : 0);
  }
};

// The events of text, one word each: "{", "}", "[", "]", "k:NAME", "s:TEXT",
// "u:N", "i:N", "f:N", "b:1", "null", then "end", "error" or "deep".
std::string Events(JsonReader& reader) {
  std::ostringstream out;
  for (;;) {
    switch (reader.Next()) {
      case JsonReader::Event::kNull: out << "null "; break;
      case JsonReader::Event::kBoolean: out << "b:" << reader.Boolean() << ' '; break;
      case JsonReader::Event::kInteger: out << "i:" << reader.Integer() << ' '; break;
      case JsonReader::Event::kUnsigned: out << "u:" << reader.Unsigned() << ' '; break;
      case JsonReader::Event::kFloat: out << "f:" << reader.Float() << ' '; break;
      case JsonReader::Event::kString: out << "s:" << reader.Text() << ' '; break;
      case JsonReader::Event::kKey: out << "k:" << reader.Text() << ' '; break;
      case JsonReader::Event::kStartObject: out << "{ "; break;
      case JsonReader::Event::kEndObject: out << "} "; break;
      case JsonReader::Event::kStartArray: out << "[ "; break;
      case JsonReader::Event::kEndArray: out << "] "; break;
      case JsonReader::Event::kEnd: out << "end"; return out.str();
      case JsonReader::Event::kError: out << "error"; return out.str();
      case JsonReader::Event::kTooDeep: out << "deep"; return out.str();
    }
  }
}

std::string Events(std::streambuf& source, size_t max_depth = 64) {
  JsonReader reader(source, max_depth);
  return Events(reader);
}

std::string Events(const std::string& text, size_t max_depth = 64) {
  std::stringbuf whole(text);
  const std::string events = Events(whole, max_depth);
  DripBuf drip(text);
  EXPECT_EQ(events, Events(drip, max_depth)) << "read a byte at a time: " << text;
  JsonReader from_text(std::string_view(text), max_depth);
  EXPECT_EQ(events, Events(from_text)) << "read from the text itself: " << text;
  return events;
}

bool Ends(const std::string& events) {
  return events.size() >= 3 && events.substr(events.size() - 3) == "end";
}

TEST(JsonReader, AcceptsExactlyWhatAStrictJsonParserAccepts) {
  const std::string cases[] = {
      "", " ", "{}", "[]", " [ ] \r\n\t", "[1,]", "{\"a\":1,}", "[01]", "-", "-0", "1.", ".5",
      "1e", "1e+", "1E-2", "+1", "tru", "true", "truex", "nul", "null", "[true false]",
      "\"\\u00e9\"", "\"\\u00E9\"", "\"\\ud83d\\ude00\"", "\"\\ud83d\"", "\"\\ude00\"",
      "\"\\ud83dx\"", "\"\\ud83d\\u0041\"", "\"\\u12\"", "\"\\x\"", "\"\\/\\b\\f\\n\\r\\t\"",
      "\"\x01\"", "\"\x7f\"", "\"\xc3\xa9\"", "\"\xc3\"", "\"\xc3(\"", "\"\xc0\xaf\"",
      "\"\xe0\x80\x80\"", "\"\xe0\xa0\x80\"", "\"\xed\xa0\x80\"", "\"\xed\x9f\xbf\"",
      "\"\xf0\x8f\xbf\xbf\"", "\"\xf0\x9f\x98\x80\"", "\"\xf4\x8f\xbf\xbf\"",
      "\"\xf4\x90\x80\x80\"", "\"\xf5\x80\x80\x80\"", "\"\xff\"", "\xef\xbb\xbf{}",
      " \xef\xbb\xbf{}", "\xef\xbb{}", "\xef\xbb\xbf", "1e400", "-1e400", "1e-400",
      "18446744073709551615", "18446744073709551616", "-9223372036854775808",
      "-9223372036854775809", "[1] [2]", "{} x", "{\"a\" 1}", "{1:2}", "[\"a\":1]", "\"abc",
      "[", "{\"a\":[}]", "{\"a\":1 \"b\":2}", "[1,,2]", "{\"a\":{\"b\":[null,{}]},\"c\":\"\"}",
      "/* c */ 1", "NaN", "[-]", "0.0e0", "-0.5E+3", "\xc3\xa9",
  };
  for (const std::string& text : cases)
    EXPECT_EQ(nlohmann::json::accept(text), Ends(Events(text))) << text;
  // A request with a few bytes changed, many times over (the same ones each run).
  const std::string request =
      "{\"jsonrpc\":\"2.0\",\"id\":-7,\"method\":\"ValidExtrato\",\"params\":[{\"rows\":"
      "[[\"001\",null,1e3,-0.25,\"2024-01-05T00:00:00\",\"Pag\\u00e9 \\ud83d\\ude00\xc3\xa9\"]],"
      "\"fields\":[]},true,false]}";
  const char replacements[] = "{}[]\",:0-.eE+\\u\x01\x80\xc3\xed\xf4 tfn";
  unsigned seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  for (int i = 0; i < 3000; ++i) {
    std::string text = request;
    for (unsigned changes = 1 + next() % 3; changes > 0; --changes) {
      const size_t at = next() % text.size();
      switch (next() % 3) {
        case 0: text[at] = replacements[next() % (sizeof replacements - 1)]; break;
        case 1: text.erase(at, 1); break;
        default: text.insert(at, 1, replacements[next() % (sizeof replacements - 1)]);
      }
    }
    std::stringbuf source(text);
    ASSERT_EQ(nlohmann::json::accept(text), Ends(Events(source))) << text;
  }
}

// A text's plain bytes are skipped several at a time: whatever ends the
// plain run (a quote, an escape, a control character, a multi-byte
// sequence, valid or not) is found at every position of a long text.
TEST(JsonReader, FindsWhatEndsAPlainRunAtEveryPosition) {
  const std::string specials[] = {"\"", "\\n", "\\u00e9", "\x01", "\x1f", "\x7f", "\xc3\xa9", "\xff", "\xc3"};
  for (const std::string& special : specials) {
    for (size_t at = 0; at <= 17; ++at) {
      const std::string text = "\"" + std::string(at, 'a') + special + std::string(20 - at, ' ') + "\"";
      const bool valid = nlohmann::json::accept(text);
      const std::string events = Events(text);
      ASSERT_EQ(valid, Ends(events)) << text;
      if (valid) EXPECT_EQ("s:" + nlohmann::json::parse(text).get<std::string>() + " end", events) << text;
    }
  }
}

TEST(JsonReader, ReadsEventsWithTheirValues) {
  EXPECT_EQ(
      "{ k:a [ u:1 i:-2 f:2.5 i:0 f:1.84467e+19 b:1 b:0 null s:é😀\n ] k:b { } } end",
      Events("\xef\xbb\xbf{\"a\": [1, -2, 2.5, -0, 18446744073709551616, true, false, null, "
             "\"\\u00e9\\ud83d\\ude00\\n\"], \"b\": {}}  "));
  EXPECT_EQ("[ [ [ u:1 ] ] ] end", Events("[[[1]]]", 3));
  EXPECT_EQ("[ [ [ deep", Events("[[[[1]]]]", 3));
  EXPECT_EQ("[ u:1 error", Events("[1 2]"));
}


// The client's messages quote these texts and bytes ("JSON inválido: ...
// (byte N)"), read from a window of the text or from the text itself.
TEST(JsonReader, SaysWhatIsWrongAndAtWhichByte) {
  const std::string deep = std::string(4, '[') + std::string(4, ']');
  struct Case {
    std::string text;
    std::string what;
    size_t offset;
  };
  const Case cases[] = {
      {"", "o texto termina no meio de um valor", 0},
      {"[1,", "o texto termina no meio de um valor", 3},
      {"{\"a\":1} x", "texto depois do fim do valor", 8},
      {std::string("[1] \0", 5), "texto depois do fim do valor", 4},
      {"[1,]", "valor inesperado", 3},
      {"[tru]", "valor inesperado", 1},
      {"[1 2]", "esperado \",\" ou \"]\"", 3},
      {"{\"a\":1 \"b\":2}", "esperado \",\" ou \"}\"", 7},
      {"{1:2}", "esperado o nome de um membro", 1},
      {"{\"a\" 1}", "esperado \":\" depois do nome do membro", 5},
      {"[\"abc", "texto sem aspas de fechamento", 1},
      {"[\"a\tb\"]", "caractere de controle dentro de um texto", 3},
      {"[\"a\\x\"]", "escape desconhecido", 4},
      {"[\"\\u12g4\"]", "escape \\u malformado", 6},
      {"[\"\\ude00\"]", "escape \\u de metade de um par substituto", 7},
      {"[\"\\ud83d!\"]", "escape \\u de metade de um par substituto", 8},
      {"[\"caf\xc3(\"]", "texto que não é UTF-8 válido", 6},
      {"[\"\xed\xa0\x80\"]", "texto que não é UTF-8 válido", 3},
      {"[01]", "número com zero à esquerda", 1},
      {"[-]", "número malformado", 1},
      {"[1.e5]", "número malformado", 1},
      {"[1e999]", "número fora do intervalo", 1},
      {"[[[[1]]]]", "aninhamento além de 3 níveis", 3},
      {"\xef\xbb{}", "valor inesperado", 0},
  };
  for (const Case& c : cases) {
    for (const bool windowed : {false, true}) {
      std::stringbuf source(c.text);
      JsonReader from_source(source, 3);
      JsonReader from_text(std::string_view(c.text), 3);
      JsonReader& reader = windowed ? from_source : from_text;
      JsonReader::Event event;
      do event = reader.Next();
      while (event != JsonReader::Event::kError && event != JsonReader::Event::kTooDeep &&
             event != JsonReader::Event::kEnd);
      EXPECT_EQ(c.what, reader.ErrorText()) << c.text;
      EXPECT_EQ(c.offset, reader.ErrorOffset()) << c.text;
    }
  }
}

TEST(JsonReader, SkipsValuesAndKnowsWhereTheyLie) {
  const std::string text = "{\"a\": [1, {\"b\": \"x\"}] , \"c\":\ttrue, \"d\": [[[1]]]}";
  JsonReader reader(std::string_view(text), 3);
  EXPECT_EQ(JsonReader::Event::kStartObject, reader.Next());
  EXPECT_EQ(JsonReader::Event::kKey, reader.Next());
  const JsonReader::Event list = reader.Next();
  EXPECT_EQ(6u, reader.EventOffset());
  ASSERT_TRUE(reader.SkipValue(list));
  EXPECT_EQ(21u, reader.Offset());
  EXPECT_EQ(JsonReader::Event::kKey, reader.Next());
  EXPECT_EQ(24u, reader.EventOffset());
  const JsonReader::Event scalar = reader.Next();
  EXPECT_EQ(29u, reader.EventOffset());
  ASSERT_TRUE(reader.SkipValue(scalar));
  EXPECT_EQ(33u, reader.Offset());
  EXPECT_EQ(JsonReader::Event::kKey, reader.Next());
  EXPECT_FALSE(reader.SkipValue(reader.Next()));
  EXPECT_EQ(JsonReader::Event::kTooDeep, reader.Next());
  EXPECT_EQ(42u, reader.ErrorOffset());
}

}  // namespace
}  // namespace kvr
