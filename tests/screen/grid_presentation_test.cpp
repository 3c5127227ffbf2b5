// The grid's texts for the debit/credit flag and the amount, and the key it
// refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/cp1252.h"
#include "screen_fixture.h"

namespace kvr::testing {
namespace {

using GridPresentation = ScreenTest;

TEST_F(GridPresentation, FlagShowsDebitoOrCreditoAndAmountIsGroupedWithTwoDecimals) {
  const std::vector<Trn> trns = {
      {"20240105", "-1234.50", "A1", "1", "UM"},
      {"20240106", "0.00", "A2", "2", "DOIS"},
      {"20240107", "1234567.891", "A3", "3", "TRES"},
  };
  struct Case {
    char decimal, thousands;
    std::vector<std::string> amounts;
  };
  const Case cases[] = {
      {',', '.', {"1.234,50", "0,00", "1.234.567,89"}},
      {'.', ',', {"1,234.50", "0.00", "1,234,567.89"}},
  };
  for (const auto& c : cases) {
    FormatSettings.DecimalSeparator = c.decimal;
    FormatSettings.ThousandSeparator = c.thousands;
    ASSERT_EQ(Load(WriteFile("a.ofx", OfxText("341", "1", "20240101", "20240131", trns, "1"))), "");
    EXPECT_EQ(Column("VRMOVREAL"), c.amounts);
    EXPECT_EQ(Column("IDMOVREAL"),
              (std::vector<std::string>{"Débito"_cp1252, "Crédito"_cp1252, "Crédito"_cp1252}));
  }
  const auto& columns = Form().dbgExtrBanco->Columns();
  ASSERT_EQ(columns.size(), 13u);
  EXPECT_EQ(columns[5].Title, "Tipo");
  EXPECT_EQ(columns[6].Title, "Valor");
}

TEST_F(GridPresentation, FlagTextIsEmptyWhileTheFilterLetsNoRowThrough) {
  ASSERT_EQ(Load(WriteFile("a.ofx", OfxText("341", "1", "20240101", "20240131",
                                            {{"20240105", "-1.00", "A1", "1", "UM"}}, "1"))),
            "");
  TfrmImportOFX& f = Form();
  f.cdsMovExtrBanco->First();
  TField& flag = f.cdsMovExtrBanco->FieldByName("IDMOVREAL");
  std::string text = "antes";
  f.cdsMovExtrBancoIDMOVREALGetText(flag, text, true);
  EXPECT_EQ(text, "Débito"_cp1252);
  f.cdsMovExtrBanco->SetFilter("1 = 2");
  f.cdsMovExtrBanco->SetFiltered(true);
  text = "antes";
  f.cdsMovExtrBancoIDMOVREALGetText(flag, text, true);
  EXPECT_EQ(text, "");
  // The same test serves the copy table's column.
  f.cdsMovExtrAux->Append();
  f.cdsMovExtrAux->FieldByName("IDMOVREAL").SetAsString("C");
  f.cdsMovExtrAux->Post();
  EXPECT_EQ(f.cdsMovExtrAux->FieldByName("IDMOVREAL").DisplayText(), "");
  f.cdsMovExtrBanco->SetFiltered(false);
  EXPECT_EQ(f.cdsMovExtrAux->FieldByName("IDMOVREAL").DisplayText(), "Crédito"_cp1252);
}

TEST_F(GridPresentation, OtherFlagValuesAndNullAmountsShowNothing) {
  TfrmImportOFX& f = Form();
  ASSERT_EQ(Load(WriteFile("a.ofx", OfxText("341", "1", "20240101", "20240131",
                                            {{"20240105", "-1.00", "A1", "1", "UM"}}, "1"))),
            "");
  f.cdsMovExtrBanco->Append();
  f.cdsMovExtrBanco->FieldByName("IDMOVREAL").SetAsString("X");
  f.cdsMovExtrBanco->FieldByName("DTMOVREAL").SetAsDateTime(EncodeDate(2024, 1, 9));
  f.cdsMovExtrBanco->Post();
  EXPECT_EQ(f.cdsMovExtrBanco->FieldByName("IDMOVREAL").DisplayText(), "");
  EXPECT_EQ(f.cdsMovExtrBanco->FieldByName("VRMOVREAL").DisplayText(), "");
}

TEST_F(GridPresentation, CtrlDeleteIsSwallowedEveryOtherKeyPasses) {
  struct Case {
    TKey key;
    TShiftState shift;
    TKey expected;
  };
  const Case cases[] = {
      {VK_DELETE, ssCtrl, 0},
      {VK_DELETE, ssCtrl | ssShift, 0},
      {VK_DELETE, ssCtrl | ssAlt | ssLeft, 0},
      {VK_DELETE, 0, VK_DELETE},
      {VK_DELETE, ssShift, VK_DELETE},
      {VK_TAB, ssCtrl, VK_TAB},
      {VK_RETURN, 0, VK_RETURN},
  };
  TfrmImportOFX& f = Form();
  for (const auto& c : cases) {
    EXPECT_EQ(f.dbgExtrBanco->UserKeyDown(c.key, c.shift), c.expected)
        << c.key << " with " << c.shift;
  }
}

}  // namespace
}  // namespace kvr::testing
