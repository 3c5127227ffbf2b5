#include "platform/client_dataset.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/format_settings.h"
#include "platform/sysutils.h"

namespace kvr {
namespace {

// A movements table shaped like the screen's, smaller.
class MovTable : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatSettings = TFormatSettings{',', '.', '/'};
    ds.AddFieldDef("CDREDUCONT", TFieldType::ftString, 3);
    ds.AddFieldDef("NRDOCMOVREAL", TFieldType::ftString, 20);
    ds.AddFieldDef("DTMOVREAL", TFieldType::ftDateTime);
    ds.AddFieldDef("VRMOVREAL", TFieldType::ftFloat);
    ds.AddFieldDef("DSHISTMOVREAL", TFieldType::ftString, 40);
    ds.CreateDataSet();
  }
  void TearDown() override { FormatSettings = TFormatSettings{}; }

  void Add(const std::string& doc, TDateTime date, double value, const std::string& memo = "") {
    ds.Insert();
    ds.FieldByName("NRDOCMOVREAL").SetAsString(doc);
    ds.FieldByName("DTMOVREAL").SetAsDateTime(date);
    ds.FieldByName("VRMOVREAL").SetAsFloat(value);
    ds.FieldByName("DSHISTMOVREAL").SetAsString(memo);
    ds.Post();
  }

  // The NRDOCMOVREAL of the visible rows, in order, walked with First/Next.
  std::string Docs() {
    std::string out;
    for (ds.First(); !ds.Eof(); ds.Next()) out += ds.FieldByName("NRDOCMOVREAL").AsString() + " ";
    return out;
  }

  TClientDataSet ds{nullptr};
};

TEST_F(MovTable, TextLongerThanItsColumnKeepsItsFirstCharacters) {
  const std::string memo55 = "0123456789012345678901234567890123456789ABCDEFGHIJKLMNO";
  ds.Append();
  ds.FieldByName("DSHISTMOVREAL").SetAsString(memo55);
  ds.FieldByName("CDREDUCONT").SetAsString("00123");
  ds.Post();
  EXPECT_EQ(ds.FieldByName("DSHISTMOVREAL").AsString(), "0123456789012345678901234567890123456789");
  EXPECT_EQ(ds.FieldByName("CDREDUCONT").AsString(), "001");
}

TEST_F(MovTable, ValuesReadBackInEachForm) {
  ds.Append();
  ds.FieldByName("DTMOVREAL").SetAsDateTime(EncodeDate(2024, 3, 5));
  ds.FieldByName("VRMOVREAL").SetAsFloat(1234.5);
  ds.Post();
  EXPECT_EQ(ds.FieldByName("DTMOVREAL").AsString(), "05/03/2024");
  EXPECT_EQ(ds.FieldByName("VRMOVREAL").AsString(), "1234,5");
  EXPECT_EQ(ds.FieldByName("VRMOVREAL").AsFloat(), 1234.5);
  EXPECT_EQ(ds.FieldByName("DTMOVREAL").AsDateTime(), 45356.0);
  EXPECT_TRUE(ds.FieldByName("CDREDUCONT").IsNull());
  EXPECT_EQ(ds.FieldByName("CDREDUCONT").AsString(), "");
  EXPECT_EQ(ds.FieldByName("CDREDUCONT").AsFloat(), 0.0);
  EXPECT_FALSE(ds.FieldByName("VRMOVREAL").IsNull());
}

TEST_F(MovTable, TextSetIntoNumberAndDateColumnsIsConverted) {
  ds.Append();
  ds.FieldByName("VRMOVREAL").SetAsString("12,75");
  ds.FieldByName("DTMOVREAL").SetAsString("01/02/2024");
  ds.Post();
  EXPECT_EQ(ds.FieldByName("VRMOVREAL").AsFloat(), 12.75);
  EXPECT_EQ(ds.FieldByName("DTMOVREAL").AsDateTime(), 45323.0);
  ds.Edit();
  EXPECT_THROW(ds.FieldByName("VRMOVREAL").SetAsString("12x"), EConvertError);
  EXPECT_THROW(ds.FieldByName("DTMOVREAL").SetAsString("31/02/2024"), EConvertError);
  ds.FieldByName("VRMOVREAL").SetAsString("");
  ds.Post();
  EXPECT_TRUE(ds.FieldByName("VRMOVREAL").IsNull());
}

TEST_F(MovTable, StateRulesOfInsertEditPost) {
  EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);
  EXPECT_THROW(ds.FieldByName("VRMOVREAL").SetAsFloat(1), EDatabaseError);
  EXPECT_THROW(ds.Edit(), EDatabaseError);  // no row yet
  ds.Insert();
  EXPECT_EQ(ds.State(), TDataSetState::dsInsert);
  EXPECT_EQ(ds.RecordCount(), 0);  // not posted yet
  ds.FieldByName("NRDOCMOVREAL").SetAsString("A");
  ds.Post();
  EXPECT_EQ(ds.RecordCount(), 1);
  Add("B", 1, 1);
  EXPECT_EQ(ds.FieldByName("NRDOCMOVREAL").AsString(), "B");
  ds.Edit();
  ds.FieldByName("NRDOCMOVREAL").SetAsString("D");
  ds.First();  // moving posts the edit
  EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);
  EXPECT_EQ(ds.FieldByName("NRDOCMOVREAL").AsString(), "D");
}

TEST_F(MovTable, UnorderedInsertGoesBeforeTheCurrentRowAppendAtTheEnd) {
  Add("1", 1, 1);  // [1]
  Add("2", 1, 1);  // inserted before 1: [2 1]
  ds.Next();       // on 1
  Add("3", 1, 1);  // [2 3 1]
  ds.Append();
  ds.FieldByName("NRDOCMOVREAL").SetAsString("4");
  ds.Post();
  EXPECT_EQ(Docs(), "2 3 1 4 ");
}

TEST_F(MovTable, OrderedByDateKeepsTiesInInsertionOrder) {
  ds.SetIndexFieldNames("DTMOVREAL");
  Add("a", 45356, 1);
  Add("b", 45350, 1);
  Add("c", 45356, 1);
  Add("d", 45300, 1);
  Add("e", 45350, 1);
  EXPECT_EQ(Docs(), "d b e a c ");
  // An edited date moves the row; it goes after rows of the same date.
  ds.First();
  ds.Edit();
  ds.FieldByName("DTMOVREAL").SetAsDateTime(45356);
  ds.Post();
  EXPECT_EQ(Docs(), "b e a c d ");
}

TEST_F(MovTable, SettingAnIndexReordersStablyAndUnknownColumnsAreRejected) {
  Add("x", 3, 1);
  Add("y", 1, 1);
  Add("z", 3, 1);  // present order: z y x
  ds.SetIndexFieldNames("DTMOVREAL");
  EXPECT_EQ(Docs(), "y z x ");
  EXPECT_THROW(ds.SetIndexFieldNames("NAOEXISTE"), EDatabaseError);
  EXPECT_EQ(ds.IndexFieldNames(), "DTMOVREAL");
}

TEST_F(MovTable, EmptyCloseAndCreateLeaveTheExpectedRows) {
  Add("1", 1, 1);
  Add("2", 1, 1);
  EXPECT_EQ(ds.RecordCount(), 2);
  ds.EmptyDataSet();
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Active());
  Add("3", 1, 1);
  ds.Close();
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_THROW(ds.EmptyDataSet(), EDatabaseError);
  EXPECT_THROW(ds.Insert(), EDatabaseError);
  ds.CreateDataSet();
  EXPECT_EQ(ds.RecordCount(), 0);
}

TEST_F(MovTable, GetTextHandlersSurviveRecreation) {
  int calls = 0;
  ds.FieldByName("VRMOVREAL").OnGetText = [&](TField& f, std::string& text, bool) {
    ++calls;
    text = "<" + f.AsString() + ">";
  };
  ds.Close();
  ds.CreateDataSet();
  Add("1", 1, 2.5);
  Add("2", 1, 7);
  EXPECT_EQ(ds.CellDisplayText(0, ds.FieldByName("VRMOVREAL").Index()), "<7>");
  EXPECT_EQ(ds.CellDisplayText(1, ds.FieldByName("VRMOVREAL").Index()), "<2,5>");
  EXPECT_EQ(calls, 2);
  // The current row did not move.
  EXPECT_EQ(ds.FieldByName("NRDOCMOVREAL").AsString(), "2");
  EXPECT_THROW(ds.CellDisplayText(2, 0), EDatabaseError);
}

TEST_F(MovTable, UnknownColumnNamesTheColumn) {
  try {
    ds.FieldByName("XPTO");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(std::string(e.what()), "Coluna \"XPTO\" não encontrada.");
  }
  EXPECT_EQ(&ds.FieldByName("dtmovreal"), &ds.FieldByName("DTMOVREAL"));
}

TEST_F(MovTable, RecNoFollowsTheCurrentRow) {
  ds.SetIndexFieldNames("DTMOVREAL");
  Add("a", 3, 1);
  Add("b", 1, 1);
  Add("c", 2, 1);
  EXPECT_EQ(ds.RecNo(), 2);  // c sits between b and a
  ds.First();
  EXPECT_EQ(ds.RecNo(), 1);
}

TEST_F(MovTable, ObserversHearRowsFilterAndStructureChanges) {
  std::vector<DataChange> seen;
  const int id = ds.AddObserver([&](TClientDataSet&, DataChange c) { seen.push_back(c); });
  Add("1", 1, 1);
  ds.SetFilter("1 = 2");
  ds.SetFiltered(true);
  ds.First();
  ds.Close();
  const std::vector<DataChange> expected = {DataChange::State, DataChange::Rows, DataChange::Filter,
                                            DataChange::CurrentRow, DataChange::Structure};
  EXPECT_EQ(seen, expected);
  ds.RemoveObserver(id);
  ds.CreateDataSet();
  EXPECT_EQ(seen.size(), 5u);
}

TEST_F(MovTable, DisableControlsHoldsNotificationsUntilEnabled) {
  int count = 0;
  ds.AddObserver([&](TClientDataSet&, DataChange) { ++count; });
  ds.DisableControls();
  Add("1", 1, 1);
  Add("2", 1, 1);
  EXPECT_EQ(count, 0);
  ds.EnableControls();
  EXPECT_EQ(count, 1);
}

}  // namespace
}  // namespace kvr
