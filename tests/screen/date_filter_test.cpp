// The movement date filter: bank 237 (a range the user gives, starting at
// yesterday), bank 104 (the statement's own period), every other bank none.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/cp1252.h"
#include "screen_fixture.h"

namespace kvr::testing {
namespace {

class DateFilter : public ScreenTest {
 protected:
  // "Today" is 6 March 2024.
  const std::vector<Trn> kMarch = {
      {"20240304", "-1.00", "F1", "1", "ANTEONTEM"},
      {"20240305", "-2.00", "F2", "2", "ONTEM A"},
      {"20240305", "3.00", "F3", "3", "ONTEM B"},
      {"20240306", "4.00", "F4", "4", "HOJE"},
  };
  std::string Load237(const std::string& bank = "237") {
    return Load(WriteFile("237.ofx", OfxText(bank, "1234-5", "20240301", "20240306", kMarch, "9")));
  }
};

TEST_F(DateFilter, BankKeyIsCharactersTwoToFourOfTheCodeRightAlignedInFour) {
  struct Case {
    const char* bank;
    const char* key;
  };
  const Case cases[] = {{"237", "237"}, {"0237", "237"}, {"2370", "370"}, {"104", "104"},
                        {"0104", "104"}, {"", "   "},    {"21", " 21"}};
  TfrmImportOFX& f = Form();
  ASSERT_EQ(Load237(), "");
  for (const auto& c : cases) {
    f.edtBanco->SetText(c.bank);
    EXPECT_EQ(f.ChaveBanco(), c.key) << c.bank;
  }
}

TEST_F(DateFilter, Bank237ShowsTheGroupAndOnlyYesterdaysTransactions) {
  ASSERT_EQ(Load237(), "");
  TfrmImportOFX& f = Form();
  EXPECT_TRUE(f.grbDtMovimento->Visible());
  EXPECT_EQ(f.pnlExtrBanc->Top(), 168);
  EXPECT_EQ(f.Height(), 423);
  EXPECT_EQ(f.grbDadosRel->Height(), 384);  // grows with the screen: the panel stays inside
  EXPECT_EQ(f.panMenu->Height(), 384);
  EXPECT_EQ(f.depMovDe->Text(), "05/03/2024");
  EXPECT_EQ(f.depMovAte->Text(), "05/03/2024");
  EXPECT_EQ(f.ActiveControl(), f.depMovDe);
  EXPECT_EQ(f.cdsMovExtrBanco->Filter(), "DTMOVREAL>= '05/03/2024'AND DTMOVREAL<= '05/03/2024'");
  EXPECT_TRUE(f.cdsMovExtrBanco->Filtered());
  EXPECT_EQ(Column("DSHISTMOVREAL"), (std::vector<std::string>{"ONTEM A", "ONTEM B"}));
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "CDFITIDEXTR").size(), 4u);

  ASSERT_EQ(Confirm(), "");
  auto valid = script->CallsOf("ValidExtrato");
  ASSERT_EQ(valid.size(), 1u);
  const auto& rows = valid[0].params[1]["rows"];
  ASSERT_EQ(rows.size(), 2u);
  // The hidden transactions are not stamped either (table order is by date).
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "CDREDUCONT"),
            (std::vector<std::string>{"", "001", "001", ""}));
}

TEST_F(DateFilter, Bank0237OpensTheGroupAndAnotherBankAfterItClosesIt) {
  ASSERT_EQ(Load237("0237"), "");
  TfrmImportOFX& f = Form();
  EXPECT_TRUE(f.grbDtMovimento->Visible());
  ASSERT_EQ(Load(WriteFile("341.ofx", OfxText("341", "1234-5", "20240301", "20240306", kMarch, "9"))),
            "");
  EXPECT_FALSE(f.grbDtMovimento->Visible());
  EXPECT_EQ(f.pnlExtrBanc->Top(), 122);
  EXPECT_EQ(f.Height(), 377);
  EXPECT_EQ(f.grbDadosRel->Height(), 338);
  EXPECT_FALSE(f.cdsMovExtrBanco->Filtered());
  EXPECT_EQ(f.dbgExtrBanco->RowCount(), 4);
  ASSERT_EQ(Load237("2370"), "");
  EXPECT_FALSE(f.grbDtMovimento->Visible());
  EXPECT_EQ(f.dbgExtrBanco->RowCount(), 4);
}

TEST_F(DateFilter, FocusLeftInTheHiddenGroupAppliesNoRangeToTheNextBank) {
  ASSERT_EQ(Load237(), "");
  TfrmImportOFX& f = Form();
  ASSERT_EQ(f.ActiveControl(), f.depMovDe);
  // A one-day range typed into the group, the focus still in it.
  f.depMovAte->UserSetText("04/03/2024");
  f.depMovDe->UserSetText("04/03/2024");
  ASSERT_EQ(Load(WriteFile("341.ofx", OfxText("341", "1234-5", "20240301", "20240306", kMarch, "9"))),
            "");
  EXPECT_EQ(f.ActiveControl(), nullptr);
  // The user clicks the grid: no range check, no range of the hidden group.
  EXPECT_EQ(Act([&] { f.UserFocus(*f.dbgExtrBanco); }), "");
  EXPECT_TRUE(host.errors.empty());
  EXPECT_FALSE(f.cdsMovExtrBanco->Filtered());
  EXPECT_EQ(f.dbgExtrBanco->RowCount(), 4);
  ASSERT_EQ(Confirm(), "");
  EXPECT_EQ(script->CallsOf("SetExtratoBancario").back().params[1]["rows"].size(), 4u);
}

TEST_F(DateFilter, TypingBlocksTheGridAndLeavingWithAValidRangeShowsIt) {
  ASSERT_EQ(Load237(), "");
  TfrmImportOFX& f = Form();
  f.depMovDe->UserSetText("04/03/2024");
  EXPECT_EQ(f.cdsMovExtrBanco->Filter(), "1 = 2");
  EXPECT_EQ(f.dbgExtrBanco->RowCount(), 0);
  f.depMovAte->UserSetText("06/03/2024");
  EXPECT_EQ(f.dbgExtrBanco->RowCount(), 0);
  EXPECT_EQ(Act([&] { f.UserFocus(*f.depMovAte); }), "");  // leaves depMovDe
  EXPECT_EQ(f.cdsMovExtrBanco->Filter(), "DTMOVREAL>= '04/03/2024' AND DTMOVREAL<= '06/03/2024'");
  EXPECT_EQ(Column("DSHISTMOVREAL"),
            (std::vector<std::string>{"ANTEONTEM", "ONTEM A", "ONTEM B", "HOJE"}));
  EXPECT_EQ(f.ActiveControl(), f.depMovAte);

  f.depMovAte->UserSetText("04/03/2024");
  EXPECT_EQ(f.dbgExtrBanco->RowCount(), 0);
  EXPECT_EQ(Act([&] { f.UserFocus(*f.dbgExtrBanco); }), "");  // leaves depMovAte; equal dates pass
  EXPECT_EQ(Column("DSHISTMOVREAL"), (std::vector<std::string>{"ANTEONTEM"}));
  EXPECT_TRUE(host.errors.empty());
}

TEST_F(DateFilter, InvalidRangeKeepsTheGridBlockedAndFocusesTheEditToCorrect) {
  struct Case {
    const char* de;
    const char* ate;
    const char* message;
    bool focus_de;
  };
  const Case cases[] = {
      {"06/03/2024", "05/03/2024",
       "Data de movimento final deve ser maior ou igual à data de movimento inicial."_cp1252, false},
      {"", "05/03/2024", "Data de movimento inicial deve ser informada.", true},
      {"05/03/2024", "", "Data de movimento final deve ser informada.", false},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Load237(), "");
    TfrmImportOFX& f = Form();
    host.errors.clear();
    f.depMovDe->UserSetText(c.de);
    f.depMovAte->UserSetText(c.ate);
    f.SetActiveControl(f.depMovAte);
    EXPECT_EQ(Act([&] { f.UserFocus(*f.dbgExtrBanco); }), "abort") << c.message;
    EXPECT_EQ(host.errors, (std::vector<std::string>{c.message}));
    EXPECT_EQ(f.ActiveControl(), c.focus_de ? static_cast<TControl*>(f.depMovDe) : f.depMovAte);
    EXPECT_EQ(f.cdsMovExtrBanco->Filter(), "1 = 2");
    EXPECT_EQ(f.dbgExtrBanco->RowCount(), 0);
    // A confirmation in that state finds nothing to send.
    EXPECT_EQ(Confirm(), "abort");
    EXPECT_EQ(host.errors.back(), "Arquivo sem dados para importação."_cp1252);
  }
  EXPECT_TRUE(script->CallsOf("ValidExtrato").empty());
  EXPECT_TRUE(script->CallsOf("SetExtratoBancario").empty());
}

TEST_F(DateFilter, InvalidTypedDateIsRejectedBeforeTheRangeCheck) {
  ASSERT_EQ(Load237(), "");
  TfrmImportOFX& f = Form();
  f.depMovDe->UserSetText("31/02/2024");
  EXPECT_EQ(Act([&] { f.depMovDeExit(f.depMovDe); }),
            "Data inválida: \"31/02/2024\". Digite uma data que existe, no formato dd/mm/aaaa (por exemplo, "
            "05/03/2024).");
  EXPECT_TRUE(host.errors.empty());
  EXPECT_EQ(f.cdsMovExtrBanco->Filter(), "1 = 2");
}

TEST_F(DateFilter, Bank104ShowsAndSendsOnlyTheStatementsPeriod) {
  const std::vector<Trn> trns = {
      {"20240229", "1.00", "G1", "1", "ANTES"},
      {"20240301", "2.00", "G2", "2", "INICIO"},
      {"20240315", "3.00", "G3", "3", "MEIO"},
      {"20240331", "4.00", "G4", "4", "FIM"},
      {"20240401", "5.00", "G5", "5", "DEPOIS"},
  };
  ASSERT_EQ(Load(WriteFile("104.ofx", OfxText("104", "1", "20240301", "20240331", trns, "9"))), "");
  TfrmImportOFX& f = Form();
  EXPECT_FALSE(f.grbDtMovimento->Visible());
  EXPECT_EQ(f.cdsMovExtrBanco->Filter(), "DTMOVREAL>= '01/03/2024'AND DTMOVREAL<= '31/03/2024'");
  EXPECT_EQ(Column("DSHISTMOVREAL"), (std::vector<std::string>{"INICIO", "MEIO", "FIM"}));
  ASSERT_EQ(Confirm(), "");
  auto stored = script->CallsOf("SetExtratoBancario");
  ASSERT_EQ(stored.size(), 1u);
  std::vector<std::string> memos;
  for (const auto& row : stored[0].params[1]["rows"]) memos.push_back(row[7].get<std::string>());
  std::sort(memos.begin(), memos.end());
  EXPECT_EQ(memos, (std::vector<std::string>{"FIM", "INICIO", "MEIO"}));
}

TEST_F(DateFilter, OtherBanksAreNotFiltered) {
  ASSERT_EQ(Load(WriteFile("341.ofx", OfxText("341", "1", "20240305", "20240305", kMarch, "9"))), "");
  EXPECT_FALSE(Form().cdsMovExtrBanco->Filtered());
  EXPECT_EQ(Form().dbgExtrBanco->RowCount(), 4);
}

}  // namespace
}  // namespace kvr::testing
