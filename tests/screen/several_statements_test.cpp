// A file holding several statements with transactions: the screen shows which
// one of how many it holds, each with its own account, period and movements,
// and lets the clerk choose another.
#include <gtest/gtest.h>

#include "screen_fixture.h"

namespace kvr::testing {
namespace {

std::string Aggregate(const std::string& currency, const std::string& account,
                      const std::string& month, const std::vector<std::string>& amounts) {
  std::string s = "<STMTRS><CURDEF>" + currency + "\n<BANKACCTFROM><BANKID>341\n<ACCTID>" +
                  account + "\n</BANKACCTFROM>\n<BANKTRANLIST><DTSTART>2024" + month +
                  "01\n<DTEND>2024" + month + "28\n";
  int n = 0;
  for (const std::string& amount : amounts) {
    const std::string day = std::to_string(10 + n++);
    s += "<STMTTRN>\n<TRNTYPE>OTHER\n<DTPOSTED>2024" + month + day + "\n<TRNAMT>" + amount +
         "\n<FITID>" + account + day + "\n<CHECKNUM>" + day + "\n<MEMO>M" + day + "\n</STMTTRN>\n";
  }
  return s + "</BANKTRANLIST>\n<LEDGERBAL><BALAMT>100.00\n</LEDGERBAL></STMTRS>\n";
}

class SeveralStatements : public ScreenTest {};

TEST_F(SeveralStatements, EachShownWithWhichOfHowManyAndChosenInTurn) {
  script->accounts = {{"111", "341", "1234", "111", "", "C"}};
  const std::string file = WriteFile(
      "tres.ofx", "<OFX>\n" + Aggregate("BRL", "111", "02", {"-1.00"}) +
                      Aggregate("BRL", "222", "02", {}) +
                      Aggregate("BRL", "333", "03", {"2.00", "3.00"}) +
                      Aggregate("USD", "444", "03", {"4.00"}) + "</OFX>\n");
  TfrmImportOFX& f = Form();
  // Asked for the file's only statement, the reader refuses, naming them.
  f.PrimeiroExtrato = 0;
  f.SegueFila = false;
  EXPECT_EQ(Load(file),
            "O arquivo cont\xE9m 3 extratos com movimentos (contas 111, 333 e 444): exporte um "
            "extrato por arquivo.");
  f.PrimeiroExtrato = 1;
  f.SegueFila = true;
  ASSERT_EQ(Load(file), "");
  EXPECT_EQ(f.ExtratoTexto(),
            "Extrato 1 de 3: banco 341, conta 111, 01/02/2024 a 28/02/2024, 1 movimento");
  EXPECT_EQ(f.cdsMovExtrBanco->RecordCount(), 1);
  // The chooser offers each statement; the queue holds the other two.
  ASSERT_TRUE(f.cbExtrato->Visible());
  ASSERT_EQ(f.cbExtrato->Items.Count(), 3);
  EXPECT_EQ(f.cbExtrato->Text(), f.ExtratoTexto());
  ASSERT_EQ(f.Fila().size(), 3u);
  EXPECT_TRUE(f.pnlFila->Visible());

  ASSERT_EQ(Act([&] { f.cbExtrato->UserSelect(1); }), "");
  EXPECT_EQ(f.ExtratoTexto(),
            "Extrato 2 de 3: banco 341, conta 333, 01/03/2024 a 28/03/2024, 2 movimentos");
  EXPECT_EQ(f.ItemAtual(), 1);
  EXPECT_EQ(f.Fila()[0].estado, TfrmImportOFX::TEstadoFila::Aguardando);
  EXPECT_EQ(f.edtBanco->Text(), "341");
  EXPECT_EQ(f.depDtIni->Text(), "01/03/2024");
  EXPECT_EQ(Column("NRDOCMOVREAL").size(), 2u);
  // The closing balance less this statement's own movements.
  EXPECT_EQ(f.nedValorIni->Text(), "95,00");

  // Refused: marked with its reason, and the queue goes back to the first.
  EXPECT_EQ(Act([&] { f.cbExtrato->UserSelect(2); }), "abort");
  EXPECT_EQ(host.errors.back(),
            "Extrato em USD: a conta 444 do banco 341 \xE9 em reais (BRL). Importe nesta conta "
            "s\xF3 extratos em reais.");
  EXPECT_EQ(f.Fila()[2].estado, TfrmImportOFX::TEstadoFila::Recusado);
  EXPECT_EQ(f.Extrato(), 1);
  EXPECT_EQ(Act([&] { f.EscolheExtrato(4); }),
            "O arquivo cont\xE9m 3 extratos com movimentos: n\xE3o h\xE1 o extrato 4.");

  // A new file starts again at its first statement.
  ASSERT_EQ(Load(file), "");
  EXPECT_EQ(f.Extrato(), 1);
  const std::string one = WriteFile("um.ofx", "<OFX>\n" + Aggregate("BRL", "111", "02", {"1.00"}));
  ASSERT_EQ(Load(one), "");
  EXPECT_EQ(f.ExtratoTexto(), "");
  EXPECT_FALSE(f.cbExtrato->Visible());
  EXPECT_FALSE(f.pnlFila->Visible());
}

}  // namespace
}  // namespace kvr::testing
