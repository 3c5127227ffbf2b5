// Loading a statement: the choose-file action, the header edits, the header
// and transaction tables, and the four ways a load ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/cp1252.h"
#include "screen_fixture.h"

namespace kvr::testing {
namespace {

using StatementLoad = ScreenTest;

const std::vector<Trn> kTwo = {
    {"20240105", "200.00", "A1", "1001", "DEPOSITO"},
    {"20240110", "-50.00", "A2", "1002", "TARIFA"},
};

TEST_F(StatementLoad, SuccessfulLoadFillsEditsTablesAndAccountList) {
  // A name with an accent, as the file system keeps it (UTF-8).
  const std::string path = WriteFile("extrato março.ofx",
                                     OfxText("341", "12345-6", "20240101", "20240131", kTwo, "1500"));
  EXPECT_EQ(Load(path), "");

  TfrmImportOFX& f = Form();
  const std::string folder = path.substr(0, path.rfind('/') + 1);
  EXPECT_EQ(f.edtFile->Text(), folder + "extrato março.ofx"_cp1252);  // Windows-1252
  EXPECT_EQ(f.edtBanco->Text(), "341");
  EXPECT_EQ(f.edtConta->Text(), "12345-6");  // 123456 through the picture 99999-9
  EXPECT_EQ(f.depDtIni->Text(), "01/01/2024");
  EXPECT_EQ(f.depDtFim->Text(), "31/01/2024");
  EXPECT_EQ(f.nedValorIni->Text(), "1.350,00");  // closing balance less the movements
  EXPECT_EQ(f.nedValorFim->Text(), "1.500,00");
  EXPECT_EQ(f.cbTipoConta->Items.Strings(), (std::vector<std::string>{"Circulante"}));
  EXPECT_EQ(f.cbTipoConta->ItemIndex(), 0);
  EXPECT_EQ(f.cbTipoConta->Color(), clInfoBk);

  ASSERT_EQ(f.cdsExtrBanco->RecordCount(), 1);
  f.cdsExtrBanco->First();
  EXPECT_EQ(f.cdsExtrBanco->FieldByName("VRSALDINIC").AsFloat(), 1350.0);
  EXPECT_EQ(f.cdsExtrBanco->FieldByName("VRSALDFIM").AsFloat(), 1500.0);
  EXPECT_EQ(f.cdsExtrBanco->FieldByName("DTSALDINIC").AsString(), "01/01/2024");
  EXPECT_EQ(f.cdsExtrBanco->FieldByName("DTSALDFIN").AsString(), "31/01/2024");
  EXPECT_EQ(f.cdsExtrBanco->FieldByName("IDEXTRINI").AsString(), "C");
  EXPECT_EQ(f.cdsExtrBanco->FieldByName("IDEXTRFIM").AsString(), "C");
  EXPECT_TRUE(f.cdsExtrBanco->FieldByName("CDREDUCONT").IsNull());
  EXPECT_TRUE(f.cdsExtrBanco->FieldByName("CDSEQUEXTR").IsNull());

  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "VRMOVREAL"), (std::vector<std::string>{"200", "50"}));
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "IDMOVREAL"), (std::vector<std::string>{"C", "D"}));
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "DSHISTMOVREAL"),
            (std::vector<std::string>{"DEPOSITO", "TARIFA"}));
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "CDFITIDEXTR"), (std::vector<std::string>{"A1", "A2"}));
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "DTMOVREAL"),
            (std::vector<std::string>{"05/01/2024", "10/01/2024"}));
  for (const char* col : {"IDTPMOVREAL", "IDSTCONMVBAN", "IDTIPOREGI"}) {
    EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, col), (std::vector<std::string>{"0", "0"})) << col;
  }
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "CDREDUCONT"), (std::vector<std::string>{"", ""}));
  EXPECT_TRUE(f.cdsMovExtrAux->Active());
  EXPECT_TRUE(f.cdsMovExtrAux->IsEmpty());
  EXPECT_TRUE(host.errors.empty());
  EXPECT_EQ(host.dialog_filters, (std::vector<std::string>{"OFX|*.ofx"}));
}

TEST_F(StatementLoad, DocumentNumberIsRightAlignedInTwentyAndLongTextsAreCut) {
  const std::string memo55(55, 'M');
  const std::string fitid25 = "ABCDEFGHIJKLMNOPQRSTUVWXY";
  const std::string path = WriteFile(
      "a.ofx", OfxText("341", "12345-6", "20240101", "20240131",
                       {{"20240105", "10.00", fitid25, "123", memo55},
                        {"20240106", "0.00", "B", "", "ZERO"}},
                       "100"));
  ASSERT_EQ(Load(path), "");
  TfrmImportOFX& f = Form();
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "NRDOCMOVREAL"),
            (std::vector<std::string>{"                 123", "                    "}));
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "DSHISTMOVREAL")[0], std::string(40, 'M'));
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "CDFITIDEXTR")[0], "ABCDEFGHIJ");
  // An amount of zero is a credit.
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "IDMOVREAL")[1], "C");
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "VRMOVREAL")[1], "0");
}

TEST_F(StatementLoad, NegativeOpeningBalanceIsShownSignedAndStoredAsMagnitudeWithD) {
  // Closing -1000.25 after a credit of 500: the opening balance was -1500.25.
  const std::string path = WriteFile(
      "a.ofx", OfxText("341", "12345-6", "20240101", "20240131",
                       {{"20240105", "500.00", "A1", "1", "X"}}, "-1000.25"));
  ASSERT_EQ(Load(path), "");
  TfrmImportOFX& f = Form();
  EXPECT_EQ(f.nedValorIni->Text(), "-1.500,25");
  EXPECT_EQ(f.nedValorFim->Text(), "-1.000,25");
  f.cdsExtrBanco->First();
  EXPECT_EQ(f.cdsExtrBanco->FieldByName("VRSALDINIC").AsFloat(), 1500.25);
  EXPECT_EQ(f.cdsExtrBanco->FieldByName("IDEXTRINI").AsString(), "D");
  EXPECT_EQ(f.cdsExtrBanco->FieldByName("VRSALDFIM").AsFloat(), 1000.25);
  EXPECT_EQ(f.cdsExtrBanco->FieldByName("IDEXTRFIM").AsString(), "D");
}

TEST_F(StatementLoad, StatementWithoutTransactionsLoadsItsHeaderAndAnEmptyGrid) {
  const std::string path =
      WriteFile("a.ofx", OfxText("341", "12345-6", "20240101", "20240131", {}, ""));
  ASSERT_EQ(Load(path), "");
  TfrmImportOFX& f = Form();
  EXPECT_EQ(f.cdsExtrBanco->RecordCount(), 1);
  f.cdsExtrBanco->First();
  EXPECT_EQ(f.cdsExtrBanco->FieldByName("VRSALDFIM").AsFloat(), 0.0);
  EXPECT_EQ(f.cdsExtrBanco->FieldByName("IDEXTRFIM").AsString(), "C");
  EXPECT_EQ(f.nedValorFim->Text(), "0,00");
  EXPECT_EQ(f.depDtIni->Text(), "01/01/2024");
  EXPECT_EQ(f.dbgExtrBanco->RowCount(), 0);
  EXPECT_TRUE(host.errors.empty());
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(StatementLoad, CancelledChooserClearsFirstAndReloadsTheEarlierFileLater) {
  host.WillCancel();
  EXPECT_EQ(Act([&] { Form().BtnPesquisa1Click(nullptr); }), "");
  EXPECT_EQ(Form().edtFile->Text(), "");
  EXPECT_TRUE(Form().cdsMovExtrBanco->Active());
  EXPECT_EQ(Form().cdsMovExtrBanco->RecordCount(), 0);
  EXPECT_TRUE(script->calls.empty());

  const std::string path =
      WriteFile("a.ofx", OfxText("341", "12345-6", "20240101", "20240131", kTwo, "1500"));
  ASSERT_EQ(Load(path), "");
  host.WillCancel();
  EXPECT_EQ(Act([&] { Form().BtnPesquisa1Click(nullptr); }), "");
  EXPECT_EQ(Form().edtFile->Text(), path);
  EXPECT_EQ(Form().cdsMovExtrBanco->RecordCount(), 2);
  EXPECT_EQ(script->CallsOf("GetContaCorrente").size(), 2u);
}

TEST_F(StatementLoad, SecondFileReplacesEverythingOfTheFirst) {
  ASSERT_EQ(Load(WriteFile("a.ofx", OfxText("341", "12345-6", "20240101", "20240131", kTwo, "1"))),
            "");
  ASSERT_EQ(Load(WriteFile("b.ofx", OfxText("341", "12345-6", "20240201", "20240229",
                                            {{"20240210", "7.00", "B1", "9", "UNICO"}}, "5"))),
            "");
  TfrmImportOFX& f = Form();
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "CDFITIDEXTR"), (std::vector<std::string>{"B1"}));
  EXPECT_EQ(AllRows(*f.cdsExtrBanco, "DTSALDINIC"), (std::vector<std::string>{"01/02/2024"}));
  EXPECT_EQ(f.cbTipoConta->Items.Count(), 1);
}

TEST_F(StatementLoad, FileThatIsNoStatementEndsWithArqInv) {
  // First a good load, so that the end state shows what was cleared.
  ASSERT_EQ(Load(WriteFile("a.ofx", OfxText("341", "12345-6", "20240101", "20240131", kTwo, "1"))),
            "");
  script->calls.clear();
  struct Case {
    const char* name;
    std::string content;
  };
  const Case cases[] = {
      {"no OFX tag", "just some text\n"},
      {"blank bank", OfxText("", "12345-6", "20240101", "20240131", kTwo, "1")},
      {"blank account", OfxText("341", " ", "20240101", "20240131", kTwo, "1")},
  };
  for (const auto& c : cases) {
    host.errors.clear();
    const std::string path = WriteFile("bad.ofx", c.content);
    EXPECT_EQ(Load(path), "abort") << c.name;
    TfrmImportOFX& f = Form();
    EXPECT_EQ(host.errors,
              (std::vector<std::string>{"Arquivo importado não é um extrato válido."_cp1252}))
        << c.name;
    EXPECT_EQ(f.edtFile->Text(), path) << c.name;
    EXPECT_EQ(f.edtBanco->Text(), "") << c.name;
    EXPECT_EQ(f.edtConta->Text(), "") << c.name;
    EXPECT_EQ(f.nedValorIni->Text(), "") << c.name;
    EXPECT_EQ(f.depDtIni->Text(), "") << c.name;
    EXPECT_TRUE(f.cdsExtrBanco->IsEmpty()) << c.name;
    EXPECT_TRUE(f.cdsMovExtrBanco->IsEmpty()) << c.name;
    EXPECT_TRUE(f.cdsMovExtrAux->IsEmpty()) << c.name;
    EXPECT_EQ(f.cbTipoConta->Items.Count(), 0) << c.name;
    EXPECT_EQ(f.cbTipoConta->Color(), clBtnFace) << c.name;
  }
  EXPECT_TRUE(script->calls.empty());
}

TEST_F(StatementLoad, MissingFileEndsWithArqInv) {
  EXPECT_EQ(Load(WriteFile("a.ofx", "") + ".nao-existe"), "abort");
  EXPECT_EQ(host.errors,
            (std::vector<std::string>{"Arquivo importado não é um extrato válido."_cp1252}));
}

TEST_F(StatementLoad, ParseErrorPassesThroughWithTheStateOfARejectedFile) {
  const std::string path =
      WriteFile("a.ofx", OfxText("341", "12345-6", "20240101", "20240131",
                                 {{"2024AB10", "1.00", "G1", "1", "DATA INVALIDA"}}, "1"));
  const std::string outcome = Load(path);
  EXPECT_NE(outcome, "");
  EXPECT_NE(outcome, "abort");
  EXPECT_TRUE(host.errors.empty());
  EXPECT_EQ(Form().edtBanco->Text(), "");
  EXPECT_TRUE(Form().cdsExtrBanco->IsEmpty());
  EXPECT_TRUE(script->calls.empty());
}

TEST_F(StatementLoad, UnknownAccountLeavesBankAndAccountAsReadAndEmptyTables) {
  script->accounts.clear();
  const std::string path =
      WriteFile("a.ofx", OfxText("341", "12345-6", "20240101", "20240131", kTwo, "1500"));
  EXPECT_EQ(Load(path), "abort");
  TfrmImportOFX& f = Form();
  EXPECT_EQ(host.errors, (std::vector<std::string>{"Conta corrente não cadastrada."_cp1252}));
  EXPECT_EQ(f.edtBanco->Text(), "341");
  EXPECT_EQ(f.edtConta->Text(), "12345-6");
  EXPECT_EQ(f.nedValorFim->Text(), "");
  EXPECT_EQ(f.depDtFim->Text(), "");
  EXPECT_TRUE(f.cdsExtrBanco->IsEmpty());
  EXPECT_TRUE(f.cdsMovExtrBanco->IsEmpty());
  EXPECT_EQ(f.cbTipoConta->Items.Count(), 0);
  EXPECT_EQ(f.cbTipoConta->Color(), clBtnFace);
}

TEST_F(StatementLoad, ServerFailureIsReportedWithTheServersOwnText) {
  script->failing_method = "GetContaCorrente";
  script->failure_message = "Banco de dados indisponível.";  // UTF-8 on the wire
  EXPECT_EQ(Load(WriteFile("a.ofx", OfxText("341", "1", "20240101", "20240131", kTwo, "1"))),
            "abort");
  EXPECT_EQ(host.errors, (std::vector<std::string>{"Banco de dados indisponível."_cp1252}));
  EXPECT_EQ(host.avi_on, false);
}

TEST_F(StatementLoad, MovementsOutOfDateOrderAreListedByDateWithTiesAsTheFileListsThem) {
  // The file writes days 7, 6, 5 in turn; movement i holds FITID "F<i>", its
  // number as document and memo, and the amount i cents (a debit when odd).
  std::vector<Trn> trns;
  for (int i = 0; i < 9; ++i) {
    const std::string n = std::to_string(i);
    trns.push_back({"2024010" + std::to_string(7 - i % 3), (i % 2 ? "-0.0" : "0.0") + n, "F" + n, n, "M" + n});
  }
  ASSERT_EQ(Load(WriteFile("a.ofx", OfxText("341", "12345-6", "20240101", "20240131", trns, "1"))), "");
  TClientDataSet& table = *Form().cdsMovExtrBanco;
  EXPECT_EQ(AllRows(table, "CDFITIDCOMPL"),
            (std::vector<std::string>{"F2", "F5", "F8", "F1", "F4", "F7", "F0", "F3", "F6"}));
  EXPECT_EQ(AllRows(table, "DTMOVREAL"),
            (std::vector<std::string>{"05/01/2024", "05/01/2024", "05/01/2024", "06/01/2024", "06/01/2024",
                                      "06/01/2024", "07/01/2024", "07/01/2024", "07/01/2024"}));
  EXPECT_EQ(AllRows(table, "NRDOCMOVREAL")[1], std::string(19, ' ') + "5");
  EXPECT_EQ(AllRows(table, "DSHISTCOMPL"),
            (std::vector<std::string>{"M2", "M5", "M8", "M1", "M4", "M7", "M0", "M3", "M6"}));
  EXPECT_EQ(AllRows(table, "IDMOVREAL"), (std::vector<std::string>{"C", "D", "C", "D", "C", "D", "C", "D", "C"}));
  EXPECT_EQ(AllRows(table, "VRMOVREAL"),
            (std::vector<std::string>{"0,02", "0,05", "0,08", "0,01", "0,04", "0,07", "0", "0,03", "0,06"}));
}

TEST_F(StatementLoad, TransactionWithoutCheckNumAndMemoDoesNotSwallowTheNext) {
  const std::string text =
      "<OFX>\n<BANKID>341\n<ACCTID>12345-6\n<DTSTART>20240101\n<DTEND>20240131\n"
      "<STMTTRN>\n<TRNTYPE>DEBIT\n<DTPOSTED>20240105\n<TRNAMT>-5.00\n<FITID>S1\n"
      "<STMTTRN>\n<TRNTYPE>CREDIT\n<DTPOSTED>20240106\n<TRNAMT>7.00\n<FITID>S2\n"
      "<CHECKNUM>2\n<MEMO>SEGUNDO\n</STMTTRN>\n<BALAMT>10\n</OFX>\n";
  ASSERT_EQ(Load(WriteFile("a.ofx", text)), "");
  EXPECT_EQ(Column("VRMOVREAL"), (std::vector<std::string>{"5,00", "7,00"}));
  EXPECT_EQ(Column("DSHISTMOVREAL"), (std::vector<std::string>{"", "SEGUNDO"}));
  // Closing 10 after -5 and +7: the opening balance was 8.
  EXPECT_EQ(Form().nedValorIni->Text(), "8,00");
}

TEST_F(StatementLoad, AccountWithoutPictureIsShownAsStored) {
  script->accounts = {{"001", "341", "1234", "123456", "", "C"}};
  ASSERT_EQ(Load(WriteFile("a.ofx", OfxText("341", "12345-6", "20240101", "20240131", {}, "1"))), "");
  EXPECT_EQ(Form().edtConta->Text(), "123456");
}

}  // namespace
}  // namespace kvr::testing
