#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/client_dataset.h"
#include "platform/errors.h"
#include "platform/format_settings.h"
#include "platform/sysutils.h"

namespace kvr {
namespace {

// Rows: doc, date, value, type letter. 04/03/2024 = 45355, 05/03 = 45356,
// 06/03 = 45357. Ordered by date, the all-null row "n" comes first.
class FilteredTable : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatSettings = TFormatSettings{',', '.', '/'};
    ds.AddFieldDef("NRDOCMOVREAL", TFieldType::ftString, 20);
    ds.AddFieldDef("DTMOVREAL", TFieldType::ftDateTime);
    ds.AddFieldDef("VRMOVREAL", TFieldType::ftFloat);
    ds.AddFieldDef("IDTIPOCCORR", TFieldType::ftString, 20);
    ds.SetIndexFieldNames("DTMOVREAL");
    ds.CreateDataSet();
    Add("a", 45355, 10, "C");
    Add("b", 45356, 20.5, "L");
    Add("c", 45356, -3, "C");
    Add("d", 45357, 0, "G");
    ds.Append();  // a row of nulls but the document
    ds.FieldByName("NRDOCMOVREAL").SetAsString("n");
    ds.Post();
  }
  void TearDown() override { FormatSettings = TFormatSettings{}; }

  void Add(const std::string& doc, TDateTime date, double value, const std::string& type) {
    ds.Insert();
    ds.FieldByName("NRDOCMOVREAL").SetAsString(doc);
    ds.FieldByName("DTMOVREAL").SetAsDateTime(date);
    ds.FieldByName("VRMOVREAL").SetAsFloat(value);
    ds.FieldByName("IDTIPOCCORR").SetAsString(type);
    ds.Post();
  }

  std::string Docs() {
    std::string out;
    for (ds.First(); !ds.Eof(); ds.Next()) out += ds.FieldByName("NRDOCMOVREAL").AsString();
    return out;
  }

  std::string With(const std::string& filter) {
    ds.SetFilter(filter);
    ds.SetFiltered(true);
    return Docs();
  }

  TClientDataSet ds{nullptr};
};

TEST_F(FilteredTable, ExpressionShapes) {
  struct Case {
    const char* filter;
    const char* docs;
  };
  const Case cases[] = {
      {"DTMOVREAL>= '05/03/2024'AND DTMOVREAL<= '05/03/2024'", "bc"},
      {"DTMOVREAL>= '05/03/2024' AND DTMOVREAL<= '06/03/2024'", "bcd"},
      {"DTMOVREAL >= '04/03/2024' AND DTMOVREAL <= '04/03/2024'", "a"},
      {"DTMOVREAL>='4/3/2024'AND DTMOVREAL<='5/3/2024'", "abc"},
      {"IDTIPOCCORR= 'C'", "ac"},
      {"IDTIPOCCORR= 'c'", ""},
      {"1 = 2", ""},
      {"1=1", "nabcd"},
      {"VRMOVREAL > 0", "ab"},
      {"VRMOVREAL <> 0", "abc"},
      {"VRMOVREAL < '20,5'", "acd"},
      {"NOT (IDTIPOCCORR = 'C') AND VRMOVREAL >= 0", "bd"},
      {"IDTIPOCCORR = 'G' or IDTIPOCCORR = 'L'", "bd"},
      {"(VRMOVREAL=10 OR VRMOVREAL=0) AND NOT IDTIPOCCORR='G'", "a"},
      {"NRDOCMOVREAL = 'n'", "n"},
      {"'b' = NRDOCMOVREAL", "b"},
      {"DTMOVREAL < '05/03/2024'", "a"},
      {"  ", "nabcd"},
  };
  for (const Case& c : cases) EXPECT_EQ(With(c.filter), c.docs) << c.filter;
}

TEST_F(FilteredTable, DatesFollowTheLocaleSeparator) {
  FormatSettings.DateSeparator = '.';
  EXPECT_EQ(With("DTMOVREAL>= '05.03.2024'AND DTMOVREAL<= '06.03.2024'"), "bcd");
  EXPECT_THROW(With("DTMOVREAL>= '05/03/2024'"), EDatabaseError);
}

TEST_F(FilteredTable, SwitchingOffAndOnKeepsEveryRowInOrder) {
  EXPECT_EQ(With("1 = 2"), "");
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Eof());
  ds.SetFiltered(false);
  EXPECT_EQ(Docs(), "nabcd");
  EXPECT_EQ(ds.RecordCount(), 5);
  ds.SetFiltered(true);
  EXPECT_EQ(ds.RecordCount(), 0);
  ds.SetFilter("IDTIPOCCORR= 'C'");  // changed while on: applies at once
  EXPECT_EQ(Docs(), "ac");
  EXPECT_EQ(ds.RecordCount(), 2);
}

TEST_F(FilteredTable, RowsInsertedUnderAFilterAreKeptButHidden) {
  With("DTMOVREAL>= '05/03/2024'AND DTMOVREAL<= '05/03/2024'");
  Add("x", 45360, 1, "C");
  Add("y", 45356, 1, "C");
  EXPECT_EQ(Docs(), "bcy");
  EXPECT_EQ(ds.RecordCount(), 3);
  ds.SetFiltered(false);
  EXPECT_EQ(Docs(), "nabcydx");
}

TEST_F(FilteredTable, EditingARowOutOfTheFilterHidesIt) {
  With("IDTIPOCCORR= 'C'");
  ds.First();
  ds.Edit();
  ds.FieldByName("IDTIPOCCORR").SetAsString("L");
  ds.Post();
  EXPECT_EQ(ds.RecordCount(), 1);
  EXPECT_EQ(Docs(), "c");
}

TEST_F(FilteredTable, MalformedFiltersAreRejectedWhenSwitchedOn) {
  const char* bad[] = {
      "NAOEXISTE = 'C'",
      "DTMOVREAL >= '32/01/2024'",
      "DTMOVREAL >= 'ontem'",
      "VRMOVREAL = 'abc'",
      "IDTIPOCCORR = 'C",
      "IDTIPOCCORR 'C'",
      "(IDTIPOCCORR = 'C'",
      "IDTIPOCCORR = 'C')",
      "IDTIPOCCORR = 'C' AND",
      "= 'C'",
      "IDTIPOCCORR == 'C'",
      "IDTIPOCCORR = 'C' ; DROP",
  };
  for (const char* text : bad) {
    ds.SetFiltered(false);
    ds.SetFilter(text);  // not checked while off
    EXPECT_THROW(ds.SetFiltered(true), EDatabaseError) << text;
    EXPECT_FALSE(ds.Filtered()) << text;
    EXPECT_EQ(ds.RecordCount(), 5) << text;
  }
}

TEST_F(FilteredTable, ChangingToABadFilterWhileOnKeepsTheOldOne) {
  With("IDTIPOCCORR= 'C'");
  EXPECT_THROW(ds.SetFilter("IDTIPOCCORR= "), EDatabaseError);
  EXPECT_EQ(ds.Filter(), "IDTIPOCCORR= 'C'");
  EXPECT_EQ(Docs(), "ac");
}

TEST_F(FilteredTable, MessageQuotesTheExpressionAndPosition) {
  ds.SetFilter("XYZ = 1");
  try {
    ds.SetFiltered(true);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Filtro \"XYZ = 1\" inválido: coluna \"XYZ\" desconhecida na posição 1.");
  }
}

TEST_F(FilteredTable, QuotedQuoteInALiteral) {
  ds.Append();
  ds.FieldByName("NRDOCMOVREAL").SetAsString("d'agua");
  ds.Post();
  EXPECT_EQ(With("NRDOCMOVREAL = 'd''agua'"), "d'agua");
}

// Locate over the movements key, as the confirmation searches.
class LocateTable : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatSettings = TFormatSettings{',', '.', '/'};
    ds.AddFieldDef("CDREDUCONT", TFieldType::ftString, 3);
    ds.AddFieldDef("VRMOVREAL", TFieldType::ftFloat);
    ds.AddFieldDef("NRDOCMOVREAL", TFieldType::ftString, 20);
    ds.AddFieldDef("DTMOVREAL", TFieldType::ftDateTime);
    ds.AddFieldDef("CDFITIDEXTR", TFieldType::ftString, 10);
    ds.AddFieldDef("DSHISTMOVREAL", TFieldType::ftString, 40);
    ds.CreateDataSet();
  }
  void TearDown() override { FormatSettings = TFormatSettings{}; }

  void Add(const std::string& code, double value, const std::string& doc, TDateTime date, const std::string& fitid,
           const std::string& memo) {
    ds.Insert();
    ds.FieldByName("CDREDUCONT").SetAsString(code);
    ds.FieldByName("VRMOVREAL").SetAsFloat(value);
    ds.FieldByName("NRDOCMOVREAL").SetAsString(doc);
    ds.FieldByName("DTMOVREAL").SetAsDateTime(date);
    ds.FieldByName("CDFITIDEXTR").SetAsString(fitid);
    ds.FieldByName("DSHISTMOVREAL").SetAsString(memo);
    ds.Post();
  }

  bool Find(const std::string& code, const std::string& value_text, const std::string& doc, TDateTime date,
            const std::string& fitid, bool ci = true) {
    return ds.Locate(kKeys, {code, value_text, doc, date, fitid}, TLocateOptions{ci});
  }

  static constexpr const char* kKeys = "CDREDUCONT;VRMOVREAL;NRDOCMOVREAL;DTMOVREAL;CDFITIDEXTR";
  TClientDataSet ds{nullptr};
};

TEST_F(LocateTable, WholeValuesNumbersAndDatesCaseInsensitive) {
  Add("001", 200.15, "   123", 45356, "F1a", "first");
  Add("001", 0.1 + 0.2, "9", 45357, "F2", "second");
  struct Case {
    const char* label;
    std::string code, value, doc;
    TDateTime date;
    std::string fitid;
    bool ci;
    bool found;
  };
  const Case cases[] = {
      {"exact", "001", "200,15", "   123", 45356, "F1a", true, true},
      {"case of the FITID ignored", "001", "200,15", "   123", 45356, "f1A", true, true},
      {"case kept without the option", "001", "200,15", "   123", 45356, "f1A", false, false},
      {"number written otherwise", "001", "200,150", "   123", 45356, "F1a", true, true},
      {"number at 15 digits", "001", "0,3", "9", 45357, "F2", true, true},
      {"other amount", "001", "200,16", "   123", 45356, "F1a", true, false},
      {"prefix of the document", "001", "200,15", "   12", 45356, "F1a", true, false},
      {"document without blanks", "001", "200,15", "123", 45356, "F1a", true, false},
      {"prefix of the FITID", "001", "200,15", "   123", 45356, "F1", true, false},
      {"other date", "001", "200,15", "   123", 45357, "F1a", true, false},
      {"other account", "002", "200,15", "   123", 45356, "F1a", true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Find(c.code, c.value, c.doc, c.date, c.fitid, c.ci), c.found) << c.label;
  }
  ASSERT_TRUE(Find("001", "200,15", "   123", 45356, "F1A"));
  EXPECT_EQ(ds.FieldByName("DSHISTMOVREAL").AsString(), "first");
}

TEST_F(LocateTable, FailedSearchKeepsTheCurrentRow) {
  Add("001", 1, "1", 45356, "A", "one");
  Add("001", 2, "2", 45356, "B", "two");
  EXPECT_FALSE(Find("001", "3", "3", 45356, "C"));
  EXPECT_EQ(ds.FieldByName("DSHISTMOVREAL").AsString(), "two");
}

TEST_F(LocateTable, IndexFollowsEditsInsertsAndEmptying) {
  Add("001", 1, "1", 45356, "A", "one");
  EXPECT_TRUE(Find("001", "1", "1", 45356, "A"));  // builds the index
  ds.Edit();
  ds.FieldByName("CDFITIDEXTR").SetAsString("Z");
  ds.Post();
  EXPECT_FALSE(Find("001", "1", "1", 45356, "A"));
  EXPECT_TRUE(Find("001", "1", "1", 45356, "Z"));
  Add("001", 5, "5", 45356, "E", "five");
  EXPECT_TRUE(Find("001", "5", "5", 45356, "E"));
  ds.EmptyDataSet();
  EXPECT_FALSE(Find("001", "1", "1", 45356, "Z"));
}

TEST_F(LocateTable, DuplicatesGiveTheFirstInTableOrder) {
  ds.Append();
  ds.FieldByName("DSHISTMOVREAL").SetAsString("first");
  ds.FieldByName("CDFITIDEXTR").SetAsString("K");
  ds.Post();
  ds.Append();
  ds.FieldByName("DSHISTMOVREAL").SetAsString("second");
  ds.FieldByName("CDFITIDEXTR").SetAsString("K");
  ds.Post();
  ASSERT_TRUE(ds.Locate("CDFITIDEXTR", {std::string("K")}));
  EXPECT_EQ(ds.FieldByName("DSHISTMOVREAL").AsString(), "first");
  // Nulls match only nulls.
  ASSERT_TRUE(ds.Locate("CDFITIDEXTR;CDREDUCONT", {std::string("K"), TVariant{}}));
  EXPECT_FALSE(ds.Locate("CDFITIDEXTR;CDREDUCONT", {std::string("K"), std::string("")}));
}

TEST_F(LocateTable, HiddenRowsAreNotFound) {
  Add("001", 1, "1", 45356, "A", "one");
  ds.SetFilter("DTMOVREAL > '05/03/2024'");
  ds.SetFiltered(true);
  EXPECT_FALSE(Find("001", "1", "1", 45356, "A"));
  ds.SetFiltered(false);
  EXPECT_TRUE(Find("001", "1", "1", 45356, "A"));
}

TEST_F(LocateTable, BadArgumentsAreErrors) {
  EXPECT_THROW(ds.Locate("CDREDUCONT;XPTO", {std::string("1"), std::string("2")}), EDatabaseError);
  EXPECT_THROW(ds.Locate("CDREDUCONT;VRMOVREAL", {std::string("1")}), EDatabaseError);
  EXPECT_THROW(ds.Locate("VRMOVREAL", {std::string("abc")}), EConvertError);
}

}  // namespace
}  // namespace kvr

namespace kvr {
namespace {

// Enough rows to make the search index grow and reuse the slots of changed keys.
TEST(LocateIndexGrowth, EveryRowIsFoundAfterInsertsAndEdits) {
  TClientDataSet ds(nullptr);
  ds.AddFieldDef("DOC", TFieldType::ftString, 10);
  ds.AddFieldDef("VALUE", TFieldType::ftFloat);
  ds.CreateDataSet();
  ASSERT_FALSE(ds.Locate("DOC;VALUE", {std::string("0"), 0.0}));  // index built on the empty table
  for (int i = 0; i < 5000; ++i) {
    ds.Append();
    ds.FieldByName("DOC").SetAsString(std::to_string(i));
    ds.FieldByName("VALUE").SetAsFloat(i * 0.1);
    ds.Post();
  }
  int found = 0;
  for (int i = 0; i < 5000; ++i) found += ds.Locate("DOC;VALUE", {std::to_string(i), i * 0.1}) ? 1 : 0;
  EXPECT_EQ(found, 5000);
  // Change the key of the even rows, then look for all of them again.
  for (int i = 0; i < 5000; i += 2) {
    ASSERT_TRUE(ds.Locate("DOC;VALUE", {std::to_string(i), i * 0.1}));
    ds.Edit();
    ds.FieldByName("DOC").SetAsString("e" + std::to_string(i));
    ds.Post();
  }
  found = 0;
  int changed = 0;
  for (int i = 0; i < 5000; ++i) {
    found += ds.Locate("DOC;VALUE", {std::to_string(i), i * 0.1}) ? 1 : 0;
    changed += ds.Locate("DOC;VALUE", {"e" + std::to_string(i), i * 0.1}) ? 1 : 0;
  }
  EXPECT_EQ(found, 2500);
  EXPECT_EQ(changed, 2500);
  EXPECT_EQ(ds.RecordCount(), 5000);
}

}  // namespace
}  // namespace kvr
