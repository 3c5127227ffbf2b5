// The pieces a large request goes through on the server: the JSON reader,
// the packed rows it fills and the repeat check's keys over them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <iterator>
#include <sstream>
#include <string>

#include "body_stream.h"
#include "json_reader.h"
#include "packed_rows.h"
#include "statement.h"
#include "store_common.h"

namespace kvr::server {
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
std::string Events(std::streambuf& source, size_t max_depth = 64) {
  JsonReader reader(source, max_depth);
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

std::string Events(const std::string& text, size_t max_depth = 64) {
  std::stringbuf whole(text);
  const std::string events = Events(whole, max_depth);
  DripBuf drip(text);
  EXPECT_EQ(events, Events(drip, max_depth)) << "read a byte at a time: " << text;
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

TEST(JsonReader, ReadsEventsWithTheirValues) {
  EXPECT_EQ(
      "{ k:a [ u:1 i:-2 f:2.5 i:0 f:1.84467e+19 b:1 b:0 null s:é😀\n ] k:b { } } end",
      Events("\xef\xbb\xbf{\"a\": [1, -2, 2.5, -0, 18446744073709551616, true, false, null, "
             "\"\\u00e9\\ud83d\\ude00\\n\"], \"b\": {}}  "));
  EXPECT_EQ("[ [ [ u:1 ] ] ] end", Events("[[[1]]]", 3));
  EXPECT_EQ("[ [ [ deep", Events("[[[[1]]]]", 3));
  EXPECT_EQ("[ u:1 error", Events("[1 2]"));
}

TEST(BodyStreamBuf, RefusesNulBytesAndRunsPastTheLimitWhereverTheyFall) {
  const std::string text(kMaxRun - 2, 'a');
  struct Case {
    std::string body;
    const char* fault;  // nullptr: read whole
  };
  const Case cases[] = {
      {"[\"" + text + "\"]", nullptr},  // the run ends at "]" with kMaxRun bytes
      {"[\"" + text + "a\"]", "run"},
      {"[\"" + text.substr(10) + "\\\"" + std::string(20, 'b') + "\"]", "run"},
      {"[\"" + text.substr(10) + "\\\\\", \"" + std::string(20, 'b') + "\"]", nullptr},
      {"[\"" + text + "\",1" + std::string(kMaxRun - 1, '0') + "]", nullptr},
      {"[\"" + text.substr(1000) + std::string(1, '\0') + "\"]", "nul"},
      {"[" + std::string(kMaxRun, ' ') + "1]", "run"},
      {"[\"\\n\", \"" + std::string(kMaxRun - 3, 'c') + "\"]", nullptr},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    for (const bool gzip : {false, true}) {
      const std::string wire = gzip ? GzipCompress(cases[i].body) : cases[i].body;
      std::string fault;
      try {
        EXPECT_EQ(cases[i].body, ReadBody(wire, gzip, 4 * kMaxRun));
      } catch (const BodyError& error) {
        fault = error.Fault() == BodyFault::kLongRun ? "run"
                : error.Fault() == BodyFault::kNulByte ? "nul"
                                                       : "other";
      }
      EXPECT_EQ(cases[i].fault != nullptr ? cases[i].fault : "", fault)
          << "case " << i << (gzip ? " gzip" : "");
    }
  }
}

TEST(PackedRows, KeepsTextsNumbersAndNullsAcrossBlocks) {
  const Layout layout = {{"A", FieldType::kString, 10}, {"B", FieldType::kFloat, 0},
                         {"C", FieldType::kDateTime, 0}};
  PackedRows rows(layout);
  const std::string long_text(300'000, 'x');  // four of them fill a block of texts
  for (int i = 0; i < 10'000; ++i) {
    rows.AddRow();
    if (i % 3 != 0) rows.SetText(0, i % 1000 == 1 ? long_text : std::to_string(i));
    if (i % 5 != 0) rows.SetNumber(1, i == 7 ? -0.0 : i * 0.5);
    if (i % 7 == 0) rows.SetText(2, "");
  }
  ASSERT_EQ(10'000u, rows.size());
  EXPECT_EQ(Row({Cell(), Cell(), Cell(std::string())}), rows.RowAt(0));
  EXPECT_EQ(Row({Cell(long_text), Cell(0.5), Cell()}), rows.RowAt(1));
  EXPECT_EQ(long_text, rows.At(1001, 0).text);
  EXPECT_EQ(Row({Cell(std::string("8002")), Cell(4001.0), Cell()}), rows.RowAt(8002));
  EXPECT_EQ(Row({Cell(std::string("9989")), Cell(4994.5), Cell(std::string())}), rows.RowAt(9989));
  EXPECT_TRUE(std::signbit(rows.At(7, 1).number));
  EXPECT_EQ(CellView::Kind::kNull, rows.At(9999, 0).kind);
  rows.Clear();
  EXPECT_TRUE(rows.empty());
}

TEST(MovementKeys, MatchAllFourColumnsWithNullsApartAndZeroesEqual) {
  const Layout& layout = MovExtrLayout();
  auto movement = [&](Cell date, Cell value, Cell document, Cell fitid) {
    Row row(layout.size());
    row[ColumnIndex(layout, "DTMOVREAL")] = std::move(date);
    row[ColumnIndex(layout, "VRMOVREAL")] = std::move(value);
    row[ColumnIndex(layout, "NRDOCMOVREAL")] = std::move(document);
    row[ColumnIndex(layout, "CDFITIDEXTR")] = std::move(fitid);
    return row;
  };
  const std::string day1 = "2024-01-05T00:00:00", day2 = "2024-01-09T00:00:00";
  const PackedRows rows(layout, {movement(day2, -0.0, std::string("12"), Cell()),
                                 movement(day1, 10.01, Cell(), std::string("F1"))});
  const MovementKeys keys(rows);
  EXPECT_EQ(day1, keys.first);
  EXPECT_EQ(day2, keys.last);
  EXPECT_FALSE(keys.undated);
  struct Case {
    Row key;
    bool found;
  };
  const Case cases[] = {
      {movement(day2, 0.0, std::string("12"), Cell()), true},
      {movement(day2, 0.0, std::string("12"), std::string()), false},
      {movement(day2, 0.0, std::string("012"), Cell()), false},
      {movement(day1, 10.01, Cell(), std::string("F1")), true},
      {movement(day1, 10.0100001, Cell(), std::string("F1")), false},
      {movement(day1, Cell(), Cell(), std::string("F1")), false},
      {movement(Cell(), 10.01, Cell(), std::string("F1")), false},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Row& key = cases[i].key;
    EXPECT_EQ(cases[i].found, keys.Contains(key[ColumnIndex(layout, "DTMOVREAL")],
                                            key[ColumnIndex(layout, "VRMOVREAL")],
                                            key[ColumnIndex(layout, "NRDOCMOVREAL")],
                                            key[ColumnIndex(layout, "CDFITIDEXTR")]))
        << "case " << i;
  }
}

}  // namespace
}  // namespace kvr::server
