// The pieces a large request goes through on the server: the body stream,
// the packed rows the JSON reader fills and the repeat check's keys over them.
#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <string>

#include "http/body_stream.h"
#include "store/packed_rows.h"
#include "store/statement.h"
#include "store/store_common.h"

namespace kvr::server {
namespace {

// The whole body as BodyStreamBuf reads it.
std::string ReadBody(const std::string& body, bool gzip, size_t max_inflated) {
  BodyStreamBuf buffer(body, gzip, max_inflated);
  return std::string(std::istreambuf_iterator<char>(&buffer), std::istreambuf_iterator<char>());
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
  auto movement = [&](Cell date, Cell value, Cell document, Cell fitid, Cell whole = Cell()) {
    Row row(layout.size());
    row[ColumnIndex(layout, "DTMOVREAL")] = std::move(date);
    row[ColumnIndex(layout, "VRMOVREAL")] = std::move(value);
    row[ColumnIndex(layout, "NRDOCMOVREAL")] = std::move(document);
    row[ColumnIndex(layout, "CDFITIDEXTR")] = std::move(fitid);
    row[ColumnIndex(layout, "CDFITIDCOMPL")] = std::move(whole);
    return row;
  };
  const std::string day1 = "2024-01-05T00:00:00", day2 = "2024-01-09T00:00:00";
  const std::string day3 = "2023-03-31T00:00:00";
  // Movements repeated in the statement, one that differs from another in
  // its document only, and one with its whole FITID before one without.
  const PackedRows rows(layout, {movement(day2, -0.0, std::string("12"), Cell()),
                                 movement(day1, 10.01, Cell(), std::string("F1")),
                                 movement(day2, 0.0, std::string("12"), Cell()),
                                 movement(day1, 10.01, Cell(), std::string("F1")),
                                 movement(day1, 10.01, std::string("7"), std::string("F1")),
                                 movement(day3, 3000.0, Cell(), std::string("2023033107"),
                                          std::string("202303310772")),
                                 movement(day3, 5.0, Cell(), std::string("2023033107"),
                                          std::string("202303310772")),
                                 movement(day3, 5.0, Cell(), std::string("2023033107"))});
  const MovementKeys keys(rows);
  EXPECT_EQ(day3, keys.first);
  EXPECT_EQ(day2, keys.last);
  EXPECT_FALSE(keys.undated);
  struct Case {
    Row key;
    bool found;
  };
  const std::string cut = "2023033107";
  const Case cases[] = {
      {movement(day2, 0.0, std::string("12"), Cell()), true},
      {movement(day2, 0.0, std::string("12"), std::string()), false},
      {movement(day2, 0.0, std::string("012"), Cell()), false},
      {movement(day1, 10.01, Cell(), std::string("F1")), true},
      {movement(day1, 10.01, std::string("7"), std::string("F1")), true},
      {movement(day1, 10.01, std::string("8"), std::string("F1")), false},
      {movement(day1, 10.0100001, Cell(), std::string("F1")), false},
      {movement(day1, Cell(), Cell(), std::string("F1")), false},
      {movement(Cell(), 10.01, Cell(), std::string("F1")), false},
      // Whole FITIDs on both sides decide: the next transfer of the day is new.
      {movement(day3, 3000.0, Cell(), cut, std::string("202303310773")), false},
      {movement(day3, 3000.0, Cell(), cut, std::string("202303310772")), true},
      // A side without the whole FITID compares the first 10 characters.
      {movement(day3, 3000.0, Cell(), cut), true},
      {movement(day1, 10.01, Cell(), std::string("F1"), std::string("F1")), true},
      {movement(day1, 10.01, Cell(), std::string("F2"), std::string("F1")), false},
      // The movement without it still meets a stored one of another whole FITID.
      {movement(day3, 5.0, Cell(), cut, std::string("202303310773")), true},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Row& key = cases[i].key;
    EXPECT_EQ(cases[i].found, keys.Contains(key[ColumnIndex(layout, "DTMOVREAL")],
                                            key[ColumnIndex(layout, "VRMOVREAL")],
                                            key[ColumnIndex(layout, "NRDOCMOVREAL")],
                                            key[ColumnIndex(layout, "CDFITIDEXTR")],
                                            key[ColumnIndex(layout, "CDFITIDCOMPL")]))
        << "case " << i;
  }
}

}  // namespace
}  // namespace kvr::server
