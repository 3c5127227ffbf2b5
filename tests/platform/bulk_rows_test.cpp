// The table's one-step operations against the row-by-row calls they stand for.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "platform/cell_values.h"
#include "platform/client_dataset.h"
#include "platform/data_packet.h"
#include "platform/format_settings.h"

namespace kvr {

void PrintTo(const TRowMatch& m, std::ostream* os) { *os << "{" << m.found << ", " << m.source << "}"; }

namespace {

// A movement of the source table; nullopt is a null cell.
struct Mov {
  std::optional<std::string> conta;
  std::optional<std::string> doc;
  std::optional<double> date;
  std::optional<double> amount;
  std::string fitid;
};

struct Case {
  const char* name;
  std::vector<Mov> rows;
  std::string filter;          // on the source, "" = none
  std::string order;           // the source's IndexFieldNames
  std::string stamp = "001";   // the source's column is 3 characters
  std::vector<Mov> already;    // rows in the copy's table before the copy
  std::vector<TRowMatch> found;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void Define(TClientDataSet& t, int memo_size) {
  t.AddFieldDef("CDREDUCONT", TFieldType::ftString, 3);
  t.AddFieldDef("NRDOCMOVREAL", TFieldType::ftString, 20);
  t.AddFieldDef("DTMOVREAL", TFieldType::ftDateTime);
  t.AddFieldDef("VRMOVREAL", TFieldType::ftFloat);
  t.AddFieldDef("CDFITIDCOMPL", TFieldType::ftString, memo_size);
  t.AddFieldDef("SEMCOPIA", TFieldType::ftString, 5);
  t.CreateDataSet();
}

void Add(TClientDataSet& t, const Mov& m) {
  t.Append();
  if (m.conta) t.FieldByName("CDREDUCONT").SetAsString(*m.conta);
  if (m.doc) t.FieldByName("NRDOCMOVREAL").SetAsString(*m.doc);
  if (m.date) t.FieldByName("DTMOVREAL").SetAsDateTime(*m.date);
  if (m.amount) t.FieldByName("VRMOVREAL").SetAsFloat(*m.amount);
  t.FieldByName("CDFITIDCOMPL").SetAsString(m.fitid);
  t.Post();
}

// The confirmation's copy as it was written before the one-pass copy: each
// row edited, searched among the copies before it, appended and posted.
std::vector<TRowMatch> CopyRowByRow(TClientDataSet& from, TClientDataSet& to, const std::string& stamp) {
  std::vector<TRowMatch> found;
  std::vector<TVariant> key(5);
  key[0] = stamp;
  for (from.First(); !from.Eof(); from.Next()) {
    from.Edit();
    from.FieldByName("CDREDUCONT").SetAsString(stamp);
    key[1] = from.FieldByName("VRMOVREAL").AsFloat();
    key[2] = from.FieldByName("NRDOCMOVREAL").AsString();
    key[3] = from.FieldByName("DTMOVREAL").AsDateTime();
    key[4] = from.FieldByName("CDFITIDCOMPL").AsString();
    if (to.Locate("CDREDUCONT;VRMOVREAL;NRDOCMOVREAL;DTMOVREAL;CDFITIDCOMPL", key, {true}))
      found.push_back({to.RecNo() - 1, from.RecNo() - 1});
    to.Append();
    for (const char* name : {"CDREDUCONT", "NRDOCMOVREAL", "DTMOVREAL", "VRMOVREAL", "CDFITIDCOMPL"}) {
      const TField& f = from.FieldByName(name);
      if (f.DataType() == TFieldType::ftString)
        to.FieldByName(name).SetAsString(f.AsString());
      else
        to.FieldByName(name).SetAsFloat(f.AsFloat());
    }
    to.Post();
  }
  return found;
}

std::string Packet(TClientDataSet& t) {
  JsonSink sink;
  WriteDataPacket(t, sink);
  return sink.text;
}

class CopyRows : public ::testing::TestWithParam<Case> {};

TEST_P(CopyRows, OnePassGivesWhatTheRowByRowLoopGives) {
  FormatSettings = TFormatSettings{',', '.', '/'};
  const Case& c = GetParam();
  // Twice the same tables: one copied row by row, the other in one pass. The
  // copy keeps 8 characters of the whole FITID: a longer one is cut there.
  TClientDataSet src0{nullptr}, src1{nullptr}, dst0{nullptr}, dst1{nullptr};
  TClientDataSet* src[2] = {&src0, &src1};
  TClientDataSet* dst[2] = {&dst0, &dst1};
  for (int i = 0; i < 2; ++i) {
    Define(*src[i], 255);
    Define(*dst[i], 8);
    for (const Mov& m : c.rows) Add(*src[i], m);
    for (const Mov& m : c.already) Add(*dst[i], m);
    if (!c.order.empty()) src[i]->SetIndexFieldNames(c.order);
    if (!c.filter.empty()) {
      src[i]->SetFilter(c.filter);
      src[i]->SetFiltered(true);
    }
  }
  const std::vector<TRowMatch> by_row = CopyRowByRow(src0, dst0, c.stamp);

  TCopyRows plan;
  for (const char* name : {"CDREDUCONT", "NRDOCMOVREAL", "DTMOVREAL", "VRMOVREAL", "CDFITIDCOMPL"})
    plan.columns.emplace_back(src1.FieldByName(name).Index(), dst1.FieldByName(name).Index());
  plan.stamp_column = 0;
  plan.stamp_text = c.stamp;
  plan.keys = "CDREDUCONT;VRMOVREAL;NRDOCMOVREAL;DTMOVREAL;CDFITIDCOMPL";
  plan.options.CaseInsensitive = true;
  const std::vector<TRowMatch> one_pass = dst1.CopyRowsFrom(src1, plan);

  EXPECT_EQ(one_pass, by_row);
  EXPECT_EQ(one_pass, c.found);
  EXPECT_EQ(Packet(dst1), Packet(dst0));
  EXPECT_EQ(Packet(src1), Packet(src0));
  EXPECT_EQ(src1.RecNo(), src0.RecNo());
  EXPECT_EQ(src1.Eof(), src0.Eof());
  EXPECT_EQ(src1.RecordCount(), src0.RecordCount());
  EXPECT_EQ(dst1.RecNo(), dst0.RecNo());
  // The search after the copy sees what it would have seen.
  const std::vector<TVariant> key{std::string("001"), 5.0, std::string("D1"), 45000.0, std::string("F1")};
  EXPECT_EQ(dst1.Locate(plan.keys, key, {true}), dst0.Locate(plan.keys, key, {true}));
  EXPECT_EQ(dst1.RecNo(), dst0.RecNo());
  FormatSettings = TFormatSettings{};
}

std::string PrintCase(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Statements, CopyRows,
    ::testing::Values(
        // Keys differing only in the case of letters are equal; the first
        // copy holding the key is the one found, however often it repeats.
        Case{"CaseOfLetters",
             {{{}, "D1", 45000, 5, "F1"}, {{}, "d1", 45000, 5, "f1"}, {{}, "D1", 45000, 5, "f1"},
              {{}, "D2", 45000, 5, "F1"}},
             "", "", "001", {}, {{0, 1}, {0, 2}}},
        // Amounts equal at 15 significant digits are equal (0.1 + 0.2 and 0.3,
        // 1 and the next double); 1.00000000000001 differs at the 15th.
        Case{"AmountsAt15Digits",
             {{{}, "A", 45000, 0.1 + 0.2, "F"}, {{}, "A", 45000, 0.3, "F"}, {{}, "B", 45000, 1.0, "F"},
              {{}, "B", 45000, 1.0000000000000002, "F"}, {{}, "B", 45000, 1.00000000000001, "F"},
              {{}, "C", 45000, -0.0, "F"}, {{}, "C", 45000, 0.0, "F"}},
             "", "", "001", {}, {{0, 1}, {2, 3}, {5, 6}}},
        // A NaN amount equals nothing, not even itself; a null amount is 0 and
        // a null document "" on both sides of the search.
        Case{"NaNNullAndEmpty",
             {{{}, "N", 45000, kNaN, "F"}, {{}, "N", 45000, kNaN, "F"}, {{}, {}, 45000, {}, "F"},
              {{}, "", 45000, 0.0, "F"}, {{}, {}, 45000, 0.0, ""}, {{}, "", 45000, {}, ""}},
             "", "", "001", {}, {{2, 3}, {4, 5}}},
        // The copy keeps 8 characters of the FITID and the key searched is
        // whole: a longer FITID never finds its copy, the cut one does.
        Case{"TextCutByTheCopy",
             {{{}, "L", 45000, 1, "123456789"}, {{}, "L", 45000, 1, "123456789"},
              {{}, "L", 45000, 1, "12345678"}},
             "", "", "001", {}, {{0, 2}}},
        // Only the rows the source's filter lets through are copied and
        // searched; positions count the visible rows.
        Case{"FilterOnTheSource",
             {{{}, "P", 45000, 7, "F"}, {{}, "P", 45000, -7, "F"}, {{}, "P", 45000, 7, "F"},
              {{}, "Q", 45000, -1, "G"}, {{}, "Q", 45000, 2, "G"}, {{}, "P", 45000, 7, "f"}},
             "VRMOVREAL > 0", "", "001", {}, {{0, 1}, {0, 3}}},
        // A filter on the stamped column: each row stamped leaves the visible
        // rows, so every source position is 0.
        Case{"StampHidesTheRows",
             {{"AA", "S", 45000, 3, "F"}, {{}, "S", 45000, 3, "F"}, {"BB", "S", 45000, 3, "F"},
              {"CC", "T", 45000, 3, "F"}, {"DD", "S", 45000, 3, "F"}},
             "CDREDUCONT <> 'ZZ'", "", "ZZ", {}, {{0, 0}, {0, 0}}},
        // Ordered by date, as the screen shows the movements: the copies go in
        // that order.
        Case{"OrderedByDate",
             {{{}, "O", 45003, 4, "F"}, {{}, "O", 45001, 4, "F"}, {{}, "O", 45003, 4, "F"},
              {{}, "O", 45001, 4, "F"}, {{}, "O", 45002, 4, "F"}},
             "", "DTMOVREAL", "001", {}, {{0, 1}, {3, 4}}},
        // Searched by date among the rows of the same date while the dates
        // go up; a null date (searched as 0) before negative ones goes back,
        // and the search goes on among every row.
        Case{"NullDateBeforeNegatives",
             {{{}, "A", 45001, 1, "F"}, {{}, "A", {}, 1, "F"}, {{}, "A", -5, 1, "F"}, {{}, "A", 0.0, 1, "F"},
              {{}, "A", 45001, 1, "F"}, {{}, "A", -5, 1, "F"}},
             "", "DTMOVREAL", "001", {}, {{1, 2}, {0, 3}, {4, 5}}},
        // A stamp longer than its column is stored cut but searched whole:
        // nothing repeats.
        Case{"StampLongerThanItsColumn",
             {{{}, "D1", 45000, 5, "F1"}, {{}, "D1", 45000, 5, "F1"}}, "", "", "00123", {}, {}},
        // Each of ten movements twice, ten rows apart: a long statement's
        // repeats are found however far apart.
        Case{"RepeatsFarApart",
             [] {
               std::vector<Mov> rows;
               for (int i = 0; i < 20; ++i) rows.push_back({{}, "R" + std::to_string(i % 10), 45000, 5, "F"});
               return rows;
             }(),
             "", "", "001", {},
             {{0, 10}, {1, 11}, {2, 12}, {3, 13}, {4, 14}, {5, 15}, {6, 16}, {7, 17}, {8, 18}, {9, 19}}},
        // Six thousand rows under a filter, each document every 97 rows: a
        // long table is made in pieces on a second thread, and repeats are
        // found across the pieces.
        [] {
          Case c{"ManyRowsInPieces", {}, "VRMOVREAL > 0", "", "001", {}, {}};
          std::vector<int> first_at(97, -1);
          int position = 0;
          for (int i = 0; i < 6000; ++i) {
            const bool shown = i % 5 != 4;
            c.rows.push_back({{}, "M" + std::to_string(i % 97), 45000, shown ? 5.0 : -1.0, "F"});
            if (!shown) continue;
            int& first = first_at[static_cast<size_t>(i % 97)];
            if (first >= 0) c.found.push_back({first, position});
            if (first < 0) first = position;
            ++position;
          }
          return c;
        }(),
        // Rows already in the copy's table come first and are searched too.
        Case{"RowsAlreadyCopied",
             {{{}, "D1", 45000, 5, "F1"}, {{}, "D9", 45000, 5, "F1"}, {{}, "D1", 45000, 5, "F1"}},
             "", "", "001", {{"001", "X", 45000, 5, "F1"}, {"001", "d1", 45000, 5.0000000000000001, "f1"}},
             {{1, 0}, {1, 2}}}),
    PrintCase);

}  // namespace
}  // namespace kvr

namespace kvr {
namespace {

// Rows given to InsertRow: texts, numbers and nulls, some not of their
// column's kind (columns: CDREDUCONT text 3, NRDOCMOVREAL text 20, DTMOVREAL
// date, VRMOVREAL number, CDFITIDCOMPL text 255, SEMCOPIA text 5).
std::vector<RowCell> Row(std::vector<RowCell> cells) { return cells; }
RowCell T(std::string_view t) { return RowCell{RowCell::Text, 0, t}; }
RowCell N(double d) { return RowCell{RowCell::Number, d, {}}; }
const RowCell kNull{};

struct InsertCase {
  const char* name;
  std::string order;   // IndexFieldNames
  std::string filter;  // "" = none
  int current;         // the row made current before (1-based RecNo), 0 = none
};

class InsertRowCase : public ::testing::TestWithParam<InsertCase> {};

TEST_P(InsertRowCase, GivesWhatInsertTheSettersAndPostGive) {
  FormatSettings = TFormatSettings{',', '.', '/'};
  const InsertCase& c = GetParam();
  const std::vector<std::vector<RowCell>> rows = {
      Row({T("0012"), T("D1"), N(45003), N(1.5), T("F1"), kNull}),          // a text cut to 3
      Row({kNull, T("D2"), N(45001), N(-2), T("F2"), T("abcdefgh")}),      // cut to 5
      Row({N(7.25), kNull, N(45003), kNull, kNull, kNull}),                // number to a text column
      Row({kNull, T("D4"), T("02/03/2023"), T("3,5"), T("F4"), kNull}),    // texts to a date and a number
      Row({kNull, T("D5"), T(""), T(""), T(""), T("")}),                   // "" to a date and a number: null
      Row({kNull, T("D6"), N(45002), N(0.1 + 0.2), T("F6"), kNull}),
  };
  TClientDataSet one{nullptr}, each{nullptr};
  for (TClientDataSet* t : {&one, &each}) {
    Define(*t, 255);
    for (const Mov& m : {Mov{"001", "X1", 45002, 9, "G"}, Mov{"001", "X2", 45000, 8, "H"},
                         Mov{"001", "X3", 45004, 7, "I"}})
      Add(*t, m);
    if (!c.order.empty()) t->SetIndexFieldNames(c.order);
    if (!c.filter.empty()) {
      t->SetFilter(c.filter);
      t->SetFiltered(true);
    }
    t->First();
    for (int i = 1; i < c.current; ++i) t->Next();
  }
  for (const std::vector<RowCell>& row : rows) {
    one.InsertRow(row);
    each.Insert();
    for (size_t i = 0; i < row.size(); ++i)
      if (row[i].kind != RowCell::Null) each.Fields(static_cast<int>(i)).SetValue(ToVariant(row[i]));
    each.Post();
    EXPECT_EQ(one.RecNo(), each.RecNo()) << c.name;
  }
  EXPECT_EQ(Packet(one), Packet(each)) << c.name;
  EXPECT_EQ(one.RecordCount(), each.RecordCount()) << c.name;
  FormatSettings = TFormatSettings{};
}

INSTANTIATE_TEST_SUITE_P(Tables, InsertRowCase,
                         ::testing::Values(InsertCase{"OrderedByDate", "DTMOVREAL", "", 2},
                                           InsertCase{"UnorderedBeforeTheCurrentRow", "", "", 2},
                                           InsertCase{"UnorderedWithoutRows", "", "1 = 2", 0},
                                           InsertCase{"FilteredAndOrdered", "DTMOVREAL", "VRMOVREAL > 1", 1}),
                         [](const ::testing::TestParamInfo<InsertCase>& info) { return info.param.name; });

}  // namespace
// Rounding to 15 significant digits finds the decimal exponent without the
// logarithm; it must round as the logarithm's exponent did, on both sides of
// every power of ten and across the magnitudes of amounts and dates.
TEST(Round15, RoundsAsWithTheLogarithm) {
  const auto by_logarithm = [](double v) {
    if (v == 0.0 || !std::isfinite(v)) return v == 0.0 ? 0.0 : v;
    const int shift = 14 - static_cast<int>(std::floor(std::log10(std::fabs(v))));
    if (shift >= 0 && shift <= 22) return std::round(v * std::pow(10.0, shift)) / std::pow(10.0, shift);
    if (shift < 0 && -shift <= 22) return std::round(v / std::pow(10.0, -shift)) * std::pow(10.0, -shift);
    return v;
  };
  std::vector<double> values;
  for (int k = -3; k <= 17; ++k) {
    double up = std::pow(10.0, k), down = up;
    for (int step = 0; step < 200; ++step) {
      values.insert(values.end(), {up, down, up * 1.5, down * 0.75});
      up = std::nextafter(up, INFINITY);
      down = std::nextafter(down, 0.0);
    }
  }
  std::mt19937_64 random(15);
  std::uniform_real_distribution<double> exponent(-3, 17);
  for (int i = 0; i < 200000; ++i) values.push_back(std::pow(10.0, exponent(random)));
  for (int cents = 0; cents < 100000; ++cents) values.push_back(cents / 100.0 + 12345);
  int differ = 0;
  for (double v : values)
    for (double x : {v, -v})
      if (Round15(x) != by_logarithm(x) && ++differ <= 5) ADD_FAILURE() << x;
  EXPECT_EQ(differ, 0);
}

}  // namespace kvr
