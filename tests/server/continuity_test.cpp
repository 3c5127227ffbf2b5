#include "store/continuity.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kvr::server {
namespace {

// A stored statement header: seq, account, period and signed balances
// (the sign becomes the C/D indicator, as the screen stores them), whose
// movements add up to closing less opening.
StatementSummary Stored(long long seq, const std::string& account, const std::string& start,
                        const std::string& end, double opening, double closing,
                        long long movements = 2) {
  StatementSummary s;
  s.seq = seq;
  s.movements = movements;
  s.movement_cents = std::llround(closing * 100) - std::llround(opening * 100);
  s.header = {account,
              std::to_string(seq),
              start + "T00:00:00",
              end + "T00:00:00",
              opening < 0 ? -opening : opening,
              closing < 0 ? -closing : closing,
              std::string(opening < 0 ? "D" : "C"),
              std::string(closing < 0 ? "D" : "C")};
  return s;
}

// The same statement with movements that add up to movement_cents instead.
StatementSummary Moved(StatementSummary s, long long movement_cents) {
  s.movement_cents = movement_cents;
  return s;
}

// Each statement as "seq:problem,problem" in chain order, accounts apart
// by " | ".
std::string Describe(const std::vector<AccountChain>& chains) {
  std::string out;
  for (const AccountChain& chain : chains) {
    if (!out.empty()) out += " | ";
    out += chain.account.code + "=";
    bool first = true;
    for (const ChainLink& link : chain.statements) {
      out += (first ? "" : " ") + std::to_string(link.seq) + ":";
      first = false;
      for (size_t i = 0; i < link.problems.size(); ++i)
        out += (i == 0 ? "" : ",") + DescribeProblem(link.problems[i]);
    }
  }
  return out;
}

TEST(StatementContinuity, ChainRulesPerAccount) {
  struct Case {
    const char* name;
    std::vector<StatementSummary> statements;
    std::string expected;
  };
  const Case cases[] = {
      {"first statement", {Stored(1, "001", "2024-01-01", "2024-01-31", 100, 150)}, "001=1:"},
      {"contiguous, stored out of order",
       {Stored(2, "001", "2024-02-01", "2024-02-29", 150, 90),
        Stored(1, "001", "2024-01-01", "2024-01-31", 100, 150)},
       "001=1: 2:"},
      {"gap: February missing (29 days in 2024)",
       {Stored(1, "001", "2024-01-01", "2024-01-31", 100, 150),
        Stored(2, "001", "2024-03-01", "2024-03-31", 150, 170)},
       "001=1: 2:lacuna de 29 dias"},
      {"gap of one day",
       {Stored(1, "001", "2024-01-01", "2024-01-30", 100, 150),
        Stored(2, "001", "2024-02-01", "2024-02-29", 150, 170)},
       "001=1: 2:lacuna de 1 dia"},
      {"overlap of 7 days",
       {Stored(1, "001", "2024-01-01", "2024-01-31", 100, 150),
        Stored(2, "001", "2024-01-25", "2024-02-29", 150, 170)},
       "001=1: 2:sobreposição de 7 dias"},
      {"balance break",
       {Stored(1, "001", "2024-01-01", "2024-01-31", 100, 150),
        Stored(2, "001", "2024-02-01", "2024-02-29", 162.5, 170)},
       "001=1: 2:saldo inicial difere do final anterior em R$ 12,50"},
      {"gap and balance break",
       {Stored(1, "001", "2024-01-01", "2024-01-31", 100, 150),
        Stored(2, "001", "2024-03-01", "2024-03-31", 137.45, 170)},
       "001=1: 2:lacuna de 29 dias,saldo inicial difere do final anterior em -R$ 12,55"},
      {"two accounts, each its own chain",
       {Stored(1, "001", "2024-01-01", "2024-01-31", 100, 150),
        Stored(2, "002", "2024-02-01", "2024-02-29", 10, 20),
        Stored(3, "001", "2024-02-01", "2024-02-29", 150, 160),
        Stored(4, "002", "2024-01-01", "2024-01-31", 0, 10)},
       "001=1: 3: | 002=4: 2:"},
      {"negative balances: D closing -50,00 then C opening 50,00",
       {Stored(1, "001", "2024-01-01", "2024-01-31", 20, -50),
        Stored(2, "001", "2024-02-01", "2024-02-29", -50, -50),
        Stored(3, "001", "2024-03-01", "2024-03-31", 50, 60)},
       "001=1: 2: 3:saldo inicial difere do final anterior em R$ 100,00"},
      {"amounts with binary noise compare in exact cents",
       {Stored(1, "001", "2024-01-01", "2024-01-31", 0.3, 0.1 + 0.2),
        Stored(2, "001", "2024-02-01", "2024-02-29", 0.3, -0.9899999999999999),
        Stored(3, "001", "2024-03-01", "2024-03-31", -0.99, 0)},
       "001=1: 2: 3:"},
      {"a statement inside a longer one does not hide the longer one's end",
       {Stored(1, "001", "2024-01-01", "2024-01-31", 100, 150),
        Stored(2, "001", "2024-01-10", "2024-01-15", 120, 130),
        Stored(3, "001", "2024-02-01", "2024-02-29", 150, 170)},
       "001=1: 2:sobreposição de 6 dias,saldo inicial difere do final anterior em -R$ 30,00 3:"},
      // A part of a file stored with the file's whole balances: 5 of its 8
      // movements (+100,00 -30,00 +0,10 +0,20 -50,00) under 994,40 to 1.000,00.
      {"movements that do not close the balances",
       {Moved(Stored(1, "001", "2024-03-01", "2024-03-08", 994.4, 1000), 2030),
        Moved(Stored(2, "001", "2024-03-09", "2024-03-31", 1000, 1000.3), 45),
        Moved(Stored(3, "001", "2024-04-01", "2024-04-30", 1000.3, 1000), -20000)},
       "001=1:movimentos não fecham o saldo: diferença de R$ -14,70 "
       "2:movimentos não fecham o saldo: diferença de R$ -0,15 "
       "3:movimentos não fecham o saldo: diferença de R$ 199,70"},
      {"a closing break besides a gap",
       {Stored(1, "001", "2024-01-01", "2024-01-31", 100, 150),
        Moved(Stored(2, "001", "2024-03-01", "2024-03-31", 150, 170), 0)},
       "001=1: 2:movimentos não fecham o saldo: diferença de R$ 20,00,lacuna de 29 dias"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, Describe(ChainStatements(c.statements, {})));
  }
}

TEST(StatementContinuity, JsonAndTableOfAGapAnOverlapAndABreak) {
  const std::vector<StatementSummary> statements = {
      Stored(1, "001", "2024-01-01", "2024-01-31", 100, 150),
      Stored(2, "001", "2024-03-01", "2024-03-31", 150, 1500.5, 40),
      Stored(3, "001", "2024-03-25", "2024-04-30", 1513, -20),
      Moved(Stored(4, "001", "2024-05-01", "2024-05-31", -20, 1234.56), 0),
  };
  const std::vector<Account> accounts = {{"001", "341", "1234", "123456", "C", "99999-9"},
                                         {"002", "341", "1234", "123456", "L", ""}};
  const std::vector<AccountChain> chains = ChainStatements(statements, accounts);
  EXPECT_EQ(
      R"([{"banco":"341","conta":"001","extratos":[)"
      R"({"dataFinal":"2024-01-31","dataInicial":"2024-01-01","extrato":"1","movimentos":2,"problemas":[],"saldoFinal":150.0,"saldoInicial":100.0},)"
      R"({"dataFinal":"2024-03-31","dataInicial":"2024-03-01","extrato":"2","movimentos":40,"problemas":[{"dias":29,"tipo":"lacuna"}],"saldoFinal":1500.5,"saldoInicial":150.0},)"
      R"({"dataFinal":"2024-04-30","dataInicial":"2024-03-25","extrato":"3","movimentos":2,"problemas":[{"dias":7,"tipo":"sobreposicao"},{"diferenca":12.5,"tipo":"saldo"}],"saldoFinal":-20.0,"saldoInicial":1513.0},)"
      R"({"dataFinal":"2024-05-31","dataInicial":"2024-05-01","extrato":"4","movimentos":2,"problemas":[{"diferenca":1254.56,"tipo":"fechamento"}],"saldoFinal":1234.56,"saldoInicial":-20.0}],)"
      R"("mascara":"99999-9","numero":"123456","tipo":"C"},)" R"({"banco":"341","conta":"002","extratos":[],"mascara":"","numero":"123456","tipo":"L"}])",
      ContinuityJson(chains).dump());
  EXPECT_EQ(
      "Conta 001: banco 341, conta 123456, tipo C\n"
      "EXTRATO  PERIODO                  SALDO INICIAL     SALDO FINAL       MOVIMENTOS PROBLEMAS\n"
      "1        01/01/2024 a 31/01/2024  100,00 C          150,00 C          2          -\n"
      "2        01/03/2024 a 31/03/2024  150,00 C          1.500,50 C        40         lacuna de 29 dias\n"
      "3        25/03/2024 a 30/04/2024  1.513,00 C        20,00 D           2          sobreposição de 7 "
      "dias; saldo inicial difere do final anterior em R$ 12,50\n"
      "4        01/05/2024 a 31/05/2024  20,00 D           1.234,56 C        2          movimentos não "
      "fecham o saldo: diferença de R$ 1.254,56\n"
      "  4 extratos, 4 problemas.\n"
      "\n"
      "Conta 002: banco 341, conta 123456, tipo L\n"
      "  nenhum extrato gravado.\n",
      ContinuityTable(chains));
  // The separators of an English locale.
  EXPECT_EQ("movimentos não fecham o saldo: diferença de R$ 1,254.56",
            DescribeProblem(chains[0].statements[3].problems[0], {'.', ','}));
}

}  // namespace
}  // namespace kvr::server
