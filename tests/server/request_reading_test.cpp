// The pieces a large request goes through on the server: the body stream,
// the packed rows the JSON reader fills and the repeat check's keys over them.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <iterator>
#include <string>

#include "http/body_stream.h"
#include "piecewise.h"
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
      // A number that begins after a text, in the first window: its run from its first digit.
      {"[\"a\",1" + std::string(kMaxRun - 1, '0') + "]", nullptr},
      {"[\"a\",1" + std::string(kMaxRun, '0') + "]", "run"},
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

// The body as read, or why not.
std::string Outcome(const std::string& wire, bool gzip) {
  try {
    return "read: " + ReadBody(wire, gzip, 1024 * 1024);
  } catch (const BodyError& error) {
    return error.Fault() == BodyFault::kNotGzip ? "not gzip" : "other fault";
  }
}

// A gzip body cut anywhere before its end is refused, never read in part; a
// body sent as two gzip members split at any offset reads as the one body.
TEST(BodyStreamBuf, GzipCutAnywhereIsRefusedAndMembersSplitAnywhereReadAsOne) {
  const std::string body =
      R"({"jsonrpc":"2.0","id":7,"method":"GetContaCorrente","params":["237","55"]})";
  const std::string gzip = GzipCompress(body);
  ASSERT_EQ("read: " + body, Outcome(gzip, true));
  for (size_t size = 0; size < gzip.size(); ++size)
    EXPECT_EQ("not gzip", Outcome(gzip.substr(0, size), true)) << "cut to " << size << " bytes";
  for (size_t at = 0; at <= body.size(); ++at)
    EXPECT_EQ("read: " + body,
              Outcome(GzipCompress(body.substr(0, at)) + GzipCompress(body.substr(at)), true))
        << "split at " << at;
  EXPECT_EQ("not gzip", Outcome(gzip + "{}", true));
  EXPECT_EQ("not gzip", Outcome(gzip + gzip.substr(0, 12), true));
}

// The gzip wrapper's less common forms, whole and a byte at a time: a header
// with every optional field, a stored block, and what must be refused in the
// header (flags reserved for future use, a wrong header CRC) and the trailer.
TEST(BodyStreamBuf, GzipHeaderFieldsStoredBlocksAndBadTrailersWholeOrByteByByte) {
  const std::string body = R"({"jsonrpc":"2.0","id":1,"method":"GetContaCorrente","params":["1","2"]})";
  const std::string member = GzipCompress(body);
  const std::string header = member.substr(0, 10), trailer = member.substr(member.size() - 8);
  const std::string deflated = member.substr(10, member.size() - 18);
  auto with_flags = [&](char flags) {
    std::string changed = header;
    changed[3] = flags;
    return changed;
  };
  auto crc16 = [](const std::string& bytes) {
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
    return std::string{static_cast<char>(crc & 0xFF), static_cast<char>(crc >> 8 & 0xFF)};
  };
  // FEXTRA (3 bytes), FNAME, FCOMMENT and FHCRC.
  const std::string fields = with_flags(0x1E) + std::string("\x03\x00xyz", 5) + "corpo.json" +
                             std::string(1, '\0') + "comentario" + std::string(1, '\0');
  std::string bad_hcrc = crc16(fields);
  bad_hcrc[0] ^= 1;
  const std::string len{static_cast<char>(body.size()), 0};
  const std::string nlen{static_cast<char>(~body.size()), static_cast<char>(0xFF)};
  std::string bad_crc = trailer, bad_size = trailer;
  bad_crc[0] ^= 1;
  bad_size[4] ^= 1;
  struct Case {
    std::string wire;
    bool read;
  };
  const Case cases[] = {
      {fields + crc16(fields) + deflated + trailer, true},
      {fields + bad_hcrc + deflated + trailer, false},
      {with_flags(0x01) + deflated + trailer, true},  // FTEXT: only a hint
      {with_flags(0x20) + deflated + trailer, false},
      {with_flags(static_cast<char>(0x80)) + deflated + trailer, false},
      {member + with_flags(0x40) + deflated + trailer, false},
      {header + deflated + bad_crc, false},
      {header + deflated + bad_size, false},
      {header + "\x01" + len + nlen + body + trailer, true},
      {header + "\x01" + len + len + body + trailer, false},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].read ? "read: " + body : "not gzip", Outcome(cases[i].wire, true))
        << "case " << i << " whole";
    kvr::testing::PieceSource source(cases[i].wire, kvr::testing::EndsEvery(cases[i].wire.size(), 1));
    BodyStreamBuf buffer(source, true, 1024 * 1024);
    std::string read;
    try {
      read = "read: " + std::string(std::istreambuf_iterator<char>(&buffer),
                                    std::istreambuf_iterator<char>());
    } catch (const BodyError& error) {
      read = error.Fault() == BodyFault::kNotGzip ? "not gzip" : "other fault";
    }
    EXPECT_EQ(cases[i].read ? "read: " + body : "not gzip", read) << "case " << i << " byte by byte";
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
