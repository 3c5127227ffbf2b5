#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/cp1252.h"
#include "platform/errors.h"
#include "platform/format_settings.h"
#include "platform/sysutils.h"
#include "reader/vq_ofx_reader.h"

namespace kvr {
namespace {

// Days since 30/12/1899 of the dates the fixtures use.
constexpr double k2024_01_01 = 45292;
constexpr double k2024_01_05 = 45296;
constexpr double k2024_01_10 = 45301;
constexpr double k2024_01_31 = 45322;

const char* const kWorkedExample = R"(OFXHEADER:100

<OFX>
<BANKID>999
<ACCTID>12345-6
<DTSTART>20240101
<DTEND>20240131
<STMTTRN>
<TRNTYPE>CREDIT
<DTPOSTED>20240105
<TRNAMT>200.00
<FITID>A1
<CHECKNUM>1001
<MEMO>DEPOSITO
</STMTTRN>
<STMTTRN>
<TRNTYPE>DEBIT
<DTPOSTED>20240110120000
<DTUSER>20240109
<TRNAMT>-50.00
<FITID>A2
<CHECKNUM>1002
<MEMO>TARIFA
</STMTTRN>
<BALAMT>1500
</OFX>
)";

class StatementParse : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = FormatSettings;
    FormatSettings.DecimalSeparator = '.';
  }
  void TearDown() override { FormatSettings = saved_; }

  bool Parse(const std::string& text) { return reader_.ProcessBuffer(text); }

  // The message of the error the parse of text raises, or "" when none.
  template <typename E>
  std::string ErrorOf(const std::string& text) {
    try {
      Parse(text);
    } catch (const E& e) {
      return e.what();
    }
    return "";
  }

  TFormatSettings saved_;
  TVQOFXReader reader_{nullptr};
};

TEST_F(StatementParse, WorkedExample) {
  ASSERT_TRUE(Parse(kWorkedExample));
  EXPECT_EQ(reader_.Banco, "999");
  EXPECT_EQ(reader_.Conta, "12345-6");
  EXPECT_EQ(reader_.DataIncial, k2024_01_01);
  EXPECT_EQ(reader_.DataFinal, k2024_01_31);
  ASSERT_EQ(reader_.Count(), 2);
  const TOFXItem& a = *reader_.Get(0);
  EXPECT_EQ(a.TrnType, "CREDIT");
  EXPECT_EQ(a.PostedDate, k2024_01_05);
  EXPECT_EQ(a.Amount, 200.0);
  EXPECT_EQ(a.FitId, "A1");
  EXPECT_EQ(a.CheckNum, "1001");
  EXPECT_EQ(a.Memo, "DEPOSITO");
  const TOFXItem& b = *reader_.Get(1);
  EXPECT_EQ(b.TrnType, "DEBIT");
  EXPECT_EQ(b.PostedDate, k2024_01_10);
  EXPECT_EQ(b.Amount, -50.0);
  EXPECT_EQ(b.FitId, "A2");
  EXPECT_EQ(b.CheckNum, "1002");
  EXPECT_EQ(b.Memo, "TARIFA");
  EXPECT_EQ(reader_.ValorFinal, 1500.0);
  // The opening balance is the closing one less the movements: 1500 - 150.
  EXPECT_EQ(reader_.ValorIncial, 1350.0);
}

TEST_F(StatementParse, LineBreaksOfEveryKindGiveTheSameStatement) {
  std::string crlf, cr;
  for (char c : std::string(kWorkedExample)) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    cr += c == '\n' ? '\r' : c;
  }
  for (const std::string& text : {crlf, cr}) {
    ASSERT_TRUE(Parse(text));
    EXPECT_EQ(reader_.Count(), 2);
    EXPECT_EQ(reader_.Get(1)->Memo, "TARIFA");
    EXPECT_EQ(reader_.ValorIncial, 1350.0);
  }
}

TEST_F(StatementParse, ProcessReadsTheFileNamedByOFXFile) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("kvr-parse-" + std::to_string(::getpid()) + ".ofx");
  std::ofstream(path, std::ios::binary) << kWorkedExample;
  reader_.OFXFile = path.string();
  EXPECT_TRUE(reader_.Process());
  std::filesystem::remove(path);
  EXPECT_EQ(reader_.Count(), 2);
  EXPECT_EQ(reader_.ValorIncial, 1350.0);
}

TEST_F(StatementParse, MissingFileGivesFalseAndKeepsTheHeader) {
  reader_.Add();
  reader_.Banco = "341";
  reader_.ValorFinal = 7;
  reader_.OFXFile = "/nonexistent/extrato.ofx";
  EXPECT_FALSE(reader_.Process());
  EXPECT_EQ(reader_.Count(), 0);
  EXPECT_EQ(reader_.Banco, "341");
  EXPECT_EQ(reader_.ValorFinal, 7.0);
}

TEST_F(StatementParse, UnreadableFileIsAnError) {
  // Exists, and reading it fails, also for the superuser.
  reader_.OFXFile = "/proc/self/mem";
  EXPECT_THROW(reader_.Process(), EFileError);
}

TEST_F(StatementParse, TextWithoutOfxLineIsNoStatement) {
  reader_.ValorFinal = 7;
  EXPECT_FALSE(Parse(""));
  EXPECT_EQ(reader_.ValorFinal, 0.0);
  EXPECT_FALSE(Parse("OFXHEADER:100\n<BANKID>341\n<STMTTRN>\n<BALAMT>10\n"));
  EXPECT_EQ(reader_.Count(), 0);
  EXPECT_EQ(reader_.Banco, "");
  EXPECT_EQ(reader_.ValorIncial, 0.0);
}

TEST_F(StatementParse, TagsMatchInAnyCaseAndAnywhereInTheLine) {
  ASSERT_TRUE(Parse("<ofx>\n  <bankid>999\n<BANKID>104</BANKID>x\n"));
  EXPECT_EQ(reader_.Banco, "104");
  ASSERT_TRUE(Parse("<ofx>\n  <bankid>999\n"));
  EXPECT_EQ(reader_.Banco, "999");
}

TEST_F(StatementParse, LineWithSeveralTagsIsCutBeforeEachOpeningTag) {
  ASSERT_TRUE(Parse("<OFX>\n<BANKID>0341</BANKID><ACCTID>12345-6</ACCTID>\n"
                    "<DTSTART>20240101<DTEND>20240131\n"));
  EXPECT_EQ(reader_.Banco, "0341");
  EXPECT_EQ(reader_.Conta, "12345-6");
  EXPECT_EQ(reader_.DataIncial, k2024_01_01);
  EXPECT_EQ(reader_.DataFinal, k2024_01_31);
  ASSERT_TRUE(Parse("<OFX><BANKID>341</BANKID>"));
  EXPECT_EQ(reader_.Banco, "341");
  // One opening tag and its closing tag: the line is untouched.
  ASSERT_TRUE(Parse("<OFX>\n<BANKID>104</BANKID></BANKACCTFROM>\n"));
  EXPECT_EQ(reader_.Banco, "104");
}

TEST_F(StatementParse, HeaderTagsCountFromTheOfxLineOnToTheEnd) {
  ASSERT_TRUE(Parse("<BANKID>111\n<ACCTID>1-1\n<OFX>\n</OFX>\n<ACCTID>22-2\n<BALAMT>5\n"));
  EXPECT_EQ(reader_.Banco, "");
  EXPECT_EQ(reader_.Conta, "22-2");
  EXPECT_EQ(reader_.ValorFinal, 5.0);
}

TEST_F(StatementParse, ProcessAgainKeepsOnlyTheNewRecordsAndTheLastHeader) {
  ASSERT_TRUE(Parse(kWorkedExample));
  ASSERT_TRUE(Parse("<OFX>\n<ACCTID>777\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240105\n"
                    "<TRNAMT>1\n<FITID>F\n<CHECKNUM>C\n<MEMO>M\n"));
  EXPECT_EQ(reader_.Count(), 1);
  EXPECT_EQ(reader_.Get(0)->TrnType, "X");
  EXPECT_EQ(reader_.Banco, "999");
  EXPECT_EQ(reader_.Conta, "777");
  // The second statement has no balance, and the first one's stays.
  EXPECT_EQ(reader_.ValorFinal, 1500.0);
  EXPECT_EQ(reader_.ValorIncial, 1499.0);
}

// One transaction and the fields its parse gave, for the layout tables.
struct LayoutCase {
  const char* name;
  std::string text;
  const char* trn_type;
  double posted;
  double amount;
  const char* fit_id;
  const char* check_num;
  const char* memo;
};

TEST_F(StatementParse, FixedPositionsOfEachLayout) {
  const std::string std_order =
      "<STMTTRN>\n<TRNTYPE>DEBIT\n<DTPOSTED>20240110\n<TRNAMT>-5\n<FITID>F1\n"
      "<CHECKNUM>77\n<MEMO>PAGTO\n</STMTTRN>\n";
  const LayoutCase cases[] = {
      {"standard, all optional lines",
       "<OFX>\n<STMTTRN>\n<TRNTYPE>DEBIT\n<DTPOSTED>20240110\n<DTUSER>20240109\n<TRNAMT>-5\n"
       "<FITID>F1\n<CHECKNUM>77\n<PAYEEID>9\n<REFNUM>8\n<MEMO>PAGTO\n</STMTTRN>\n",
       "DEBIT", k2024_01_10, -5, "F1", "77", "PAGTO"},
      {"standard, bank 021 is not bank 21", "<OFX>\n<BANKID>021\n" + std_order, "DEBIT",
       k2024_01_10, -5, "F1", "77", "PAGTO"},
      // The fields the positions miss come from the transaction's own lines.
      {"standard, no CHECKNUM line",
       "<OFX>\n<STMTTRN>\n<TRNTYPE>DEBIT\n<DTPOSTED>20240110\n<TRNAMT>-5\n<FITID>F1\n"
       "<MEMO>PAGTO\n</STMTTRN>\n",
       "DEBIT", k2024_01_10, -5, "F1", "", "PAGTO"},
      {"standard, an extra line before MEMO",
       "<OFX>\n<STMTTRN>\n<TRNTYPE>DEBIT\n<DTPOSTED>20240110\n<TRNAMT>-5\n<FITID>F1\n"
       "<CHECKNUM>77\n<NAME>LOJA\n<MEMO>PAGTO\n</STMTTRN>\n",
       "DEBIT", k2024_01_10, -5, "F1", "77", "PAGTO"},
      {"standard, a blank line shifts the later positions",
       "<OFX>\n<STMTTRN>\n<TRNTYPE>DEBIT\n\n<DTPOSTED>20240110\n<TRNAMT>-5\n<FITID>F1\n"
       "<CHECKNUM>77\n<MEMO>PAGTO\n</STMTTRN>\n",
       "DEBIT", k2024_01_10, -5, "F1", "77", "PAGTO"},
      {"standard order read as bank 21", "<OFX>\n<BANKID>21\n" + std_order, "DEBIT",
       k2024_01_10, -5, "F1", "77", "PAGTO"},
      {"bank 21 in its own order",
       "<OFX>\n<BANKID>21\n<STMTTRN>\n<FITID>F1\n<TRNTYPE>DEBIT\n<DTPOSTED>20240110\n"
       "<DTUSER>20240109\n<TRNAMT>-5\n<CHECKNUM>77\n<NUMREF>3\n<MEMO>PAGTO\n</STMTTRN>\n",
       "DEBIT", k2024_01_10, -5, "F1", "77", "PAGTO"},
      {"bank 21 without the optional lines",
       "<OFX>\n<BANKID>21\n<STMTTRN>\n<FITID>F1\n<TRNTYPE>DEBIT\n<DTPOSTED>20240110\n"
       "<TRNAMT>-5\n<MEMO>PAGTO\n</STMTTRN>\n",
       "DEBIT", k2024_01_10, -5, "F1", "", "PAGTO"},
      {"bank 336 in its own order",
       "<OFX>\n<BANKID>336\n<STMTTRN>\n<TRNTYPE>DEBIT\n<TRNAMT>-5\n<DTPOSTED>20240110\n"
       "<FITID>F1\n<CHECKNUM>77\n<PAYEEID>9\n<REFNUM>8\n<MEMO>PAGTO\n</STMTTRN>\n",
       "DEBIT", k2024_01_10, -5, "F1", "77", "PAGTO"},
      {"bank 336 with DTUSER",
       "<OFX>\n<BANKID>336\n<STMTTRN>\n<TRNTYPE>DEBIT\n<TRNAMT>-5\n<DTUSER>20240109\n"
       "<DTPOSTED>20240110\n<FITID>F1\n<CHECKNUM>77\n<MEMO>PAGTO\n</STMTTRN>\n",
       "DEBIT", k2024_01_10, -5, "F1", "77", "PAGTO"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Parse(c.text));
    ASSERT_EQ(reader_.Count(), 1);
    const TOFXItem& item = *reader_.Get(0);
    EXPECT_EQ(item.TrnType, c.trn_type);
    EXPECT_EQ(item.PostedDate, c.posted);
    EXPECT_EQ(item.Amount, c.amount);
    EXPECT_EQ(item.FitId, c.fit_id);
    EXPECT_EQ(item.CheckNum, c.check_num);
    EXPECT_EQ(item.Memo, c.memo);
  }
}

TEST_F(StatementParse, OpeningBalanceIsTheClosingBalanceLessTheMovements) {
  ASSERT_TRUE(Parse("<OFX>\n<BANKID>336\n<STMTTRN>\n<TRNTYPE>DEBIT\n<TRNAMT>-5\n"
                    "<DTPOSTED>20240110\n<FITID>F1\n<CHECKNUM>77\n<PAYEEID>9\n<REFNUM>8\n"
                    "<MEMO>PAGTO\n</STMTTRN>\n<BALAMT>10\n"));
  EXPECT_EQ(reader_.ValorFinal, 10.0);
  EXPECT_EQ(reader_.ValorIncial, 15.0);
}

TEST_F(StatementParse, TheLayoutFollowsTheBankOfTheMoment) {
  const std::string trn =
      "<STMTTRN>\n<TRNTYPE>DEBIT\n<DTPOSTED>20240110\n<TRNAMT>-5\n<FITID>F1\n"
      "<CHECKNUM>77\n<MEMO>PAGTO\n</STMTTRN>\n";
  ASSERT_TRUE(Parse("<OFX>\n" + trn + "<BANKID>21\n" + trn + "<BALAMT>100\n"));
  ASSERT_EQ(reader_.Count(), 2);
  EXPECT_EQ(reader_.Get(0)->Memo, "PAGTO");
  // Read as bank 21, only CHECKNUM and MEMO stand at their positions; the
  // other fields come from the transaction's own lines.
  EXPECT_EQ(reader_.Get(1)->CheckNum, "77");
  EXPECT_EQ(reader_.Get(1)->Amount, -5.0);
  EXPECT_EQ(reader_.ValorIncial, 110.0);
}

TEST_F(StatementParse, NoTransactionIsSwallowedByTheOneBeforeIt) {
  struct Case {
    const char* name;
    std::string text;
    int count;
    double last_amount;
    double opening;
  };
  const Case cases[] = {
      {"no CHECKNUM and MEMO lines, the next one read at the PAYEEID position",
       "<OFX>\n<STMTTRN>\n<TRNTYPE>DEBIT\n<DTPOSTED>20240110\n<TRNAMT>-5\n<FITID>F1\n"
       "</STMTTRN>\n<STMTTRN>\n<TRNTYPE>DEBIT\n<DTPOSTED>20240110\n<TRNAMT>-7\n<FITID>F2\n"
       "<CHECKNUM>2\n<MEMO>M2\n</STMTTRN>\n<STMTTRN>\n<TRNTYPE>CREDIT\n<DTPOSTED>20240110\n"
       "<TRNAMT>30\n<FITID>F3\n<CHECKNUM>3\n<MEMO>M3\n</STMTTRN>\n<BALAMT>100\n",
       3, 30, 82},
      {"a DTUSER move onto the next transaction",
       "<OFX>\n<STMTTRN>\n<TRNAMT>-5\n<DTPOSTED>20240110\n<DTUSER>20240110\n"
       "<STMTTRN>\n<TRNTYPE>DEBIT\n<DTPOSTED>20240110\n<TRNAMT>-7\n<FITID>F2\n"
       "<CHECKNUM>2\n<MEMO>M2\n</STMTTRN>\n<BALAMT>100\n",
       2, -7, 112},
      {"bank 21, a CHECKNUM move onto the next transaction",
       "<OFX>\n<BANKID>21\n<STMTTRN>\n<FITID>F1\n<TRNTYPE>DEBIT\n<DTPOSTED>20240110\n"
       "<TRNAMT>-5\n<CHECKNUM>1\n<STMTTRN>\n<FITID>F2\n<TRNTYPE>DEBIT\n<DTPOSTED>20240110\n"
       "<TRNAMT>-7\n<MEMO>M2\n</STMTTRN>\n<BALAMT>100\n",
       2, -7, 112},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Parse(c.text));
    ASSERT_EQ(reader_.Count(), c.count);
    EXPECT_EQ(reader_.Get(c.count - 1)->Amount, c.last_amount);
    EXPECT_EQ(reader_.ValorIncial, c.opening);
  }
}

TEST_F(StatementParse, AfterABlockOnlyItsLastLineIsTestedForTheBalance) {
  // A balance at the TRNTYPE position is not taken; one at the MEMO
  // position, the block's last line, is.
  ASSERT_TRUE(Parse("<OFX>\n<STMTTRN>\n<BALAMT>99\n<DTPOSTED>20240110\n<TRNAMT>-5\n"
                    "<FITID>F1\n<CHECKNUM>77\n<BALAMT>10</BALAMT>\n"));
  EXPECT_EQ(reader_.Get(0)->Memo, "");
  EXPECT_EQ(reader_.ValorFinal, 10.0);
  EXPECT_EQ(reader_.ValorIncial, 15.0);
}

TEST_F(StatementParse, DatesTakeTheirFirstEightCharacters) {
  struct Case {
    const char* value;
    double date;
  };
  const Case cases[] = {
      {"20240110", k2024_01_10},
      {"20240110120000", k2024_01_10},
      {"20240110120000.000[-3:BRT]", k2024_01_10},
      {"2024011", k2024_01_01},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(Parse(std::string("<OFX>\n<DTSTART>") + c.value + "\n"));
    EXPECT_EQ(reader_.DataIncial, c.date) << c.value;
  }
}

TEST_F(StatementParse, InvalidDatesAreErrorsNamingTheLine) {
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"<OFX>\n<DTSTART>2024\n", "linha 2: data \"2024\" de DTSTART inválida"},
      {"<OFX>\n\n<DTEND>\n", "linha 3: data \"\" de DTEND inválida"},
      {"<OFX>\n<DTEND>20240230\n", "linha 2: data \"20240230\" de DTEND inválida"},
      {"<OFX>\n<DTEND>2024-13-10\n", "linha 2: data \"2024-13-10\" de DTEND inválida"},
      {"<OFX>\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>2024-02-30T00:00:00Z\n",
       "linha 4: data \"2024-02-30T00:00:00Z\" de DTPOSTED inválida"},
      {"<OFX>\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>2024AB10\n",
       "linha 4: data \"2024AB10\" de DTPOSTED inválida"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf<EConvertError>(c.text), c.message);
}

// The header period as banks write it today. A period that is none, in a
// statement with transactions, is the movements' own, with a warning; the
// dates in a date form are taken as written, ISO 8601 ones included.
TEST_F(StatementParse, HeaderPeriodShapes) {
  auto trn = [](const std::string& posted) {
    return "<STMTTRN><TRNTYPE>DEBIT<DTPOSTED>" + posted +
           "<TRNAMT>-1.00<FITID>F" + posted.substr(0, 8) + "<MEMO>M</STMTTRN>\n";
  };
  auto file = [&](const std::string& start, const std::string& end,
                  const std::vector<std::string>& posted) {
    std::string text = "<OFX><STMTRS><BANKID>1<ACCTID>1\n<DTSTART>" + start + "\n<DTEND>" + end + "\n";
    for (const std::string& p : posted) text += trn(p);
    return text + "<LEDGERBAL><BALAMT>10.00</LEDGERBAL></STMTRS></OFX>\n";
  };
  auto day = [](int y, int m, int d) { return EncodeDate(y, m, d); };
  struct Case {
    std::string text;
    double start, end;
    std::string warning;  // "" for none
  };
  const Case cases[] = {
      // Generation time without zero padding, 13 digits: day 5, 17:38:30.
      {file("2025025173830[-3:GMT]", "2025025173830[-3:GMT]", {"20250203", "20250204"}),
       day(2025, 2, 3), day(2025, 2, 4),
       "Período do arquivo ilegível (DTSTART \"2025025173830[-3:GMT]\"): usado o "_cp1252
       "período dos movimentos, 03/02/2025 a 04/02/2025."_cp1252},
      // Day 1, 10:15:20: its first 8 digits would read as 11/02/2025.
      {file("20250201", "2025021101520[-3:GMT]", {"20250203", "20250204"}), day(2025, 2, 3),
       day(2025, 2, 4),
       "Período do arquivo ilegível (DTEND \"2025021101520[-3:GMT]\"): usado o "_cp1252
       "período dos movimentos, 03/02/2025 a 04/02/2025."_cp1252},
      // Start after end; the movements in any order.
      {file("20240930", "20240901", {"20241001", "20240902"}), day(2024, 9, 2), day(2024, 10, 1),
       "Período do arquivo invertido (30/09/2024 a 01/09/2024): usado o período dos "_cp1252
       "movimentos, 02/09/2024 a 01/10/2024."},
      {file("20240229", "20240230", {"20240210"}), day(2024, 2, 10), day(2024, 2, 10),
       "Período do arquivo ilegível (DTEND \"20240230\"): usado o período dos "_cp1252
       "movimentos, 10/02/2024 a 10/02/2024."},
      // ISO 8601 in every date field.
      {file("2026-02-01T00:00:00Z", "2026-02-28T00:00:00-03:00",
            {"2026-02-27T00:00:00Z", "2026-02-02", "2026-02-03T10:11:12.345+0300"}),
       day(2026, 2, 1), day(2026, 2, 28), ""},
      // The date forms: 8, 12, 14 digits, ".XXX", "[offset:zone]".
      {file("202405131503", "20240531235959.000[-3:BRT]", {"20240514"}), day(2024, 5, 13),
       day(2024, 5, 31), ""},
      {file("20240513150340[-03:EST]", "20240531 [0]", {"20240514"}), day(2024, 5, 13),
       day(2024, 5, 31), ""},
      // One day, as DTSTART = DTEND: a period all the same.
      {file("20240828", "20240828", {"20240819", "20240827"}), day(2024, 8, 28), day(2024, 8, 28),
       ""},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(Parse(c.text)) << c.text;
    EXPECT_EQ(reader_.DataIncial, c.start) << c.text;
    EXPECT_EQ(reader_.DataFinal, c.end) << c.text;
    EXPECT_EQ(reader_.Avisos, c.warning.empty() ? std::vector<std::string>{}
                                                : std::vector<std::string>{c.warning})
        << c.text;
  }
  // Without transactions the period is read as ever: the first 8 digits,
  // and an error when they are no date.
  ASSERT_TRUE(Parse("<OFX><STMTRS><BANKID>1<ACCTID>1\n<DTSTART>2024051315034[-3:GMT]\n"
                    "<DTEND>20240930\n</STMTRS>\n"));
  EXPECT_EQ(reader_.DataIncial, day(2024, 5, 13));
  EXPECT_TRUE(reader_.Avisos.empty());
  EXPECT_EQ(ErrorOf<EConvertError>("<OFX><STMTRS><BANKID>1<ACCTID>1\n<DTSTART>2025025173830\n"),
            "linha 2: data \"2025025173830\" de DTSTART inválida");
  // An empty statement before the real one keeps its own error.
  EXPECT_EQ(ErrorOf<EConvertError>("<OFX><STMTRS><BANKID>1<ACCTID>2\n<DTSTART>2024\n</STMTRS>\n" +
                                   file("x", "20240131", {"20240110"})),
            "linha 2: data \"2024\" de DTSTART inválida");
}

TEST_F(StatementParse, AmountsReadEitherMarkAsTheDecimalMark) {
  struct Case {
    char separator;
    const char* value;
    double amount;
  };
  const Case cases[] = {
      {'.', "-50.00", -50},  {'.', "-50,00", -50}, {',', "-50.00", -50}, {',', "-50,00", -50},
      {'.', "1.234", 1.234}, {',', "1.234", 1.234}, {'.', "R$ 12,50", 12.5},
      {'.', "+100.00", 100}, {'.', " 7 ", 7},       {'.', "-0.01", -0.01},
  };
  for (const auto& c : cases) {
    FormatSettings.DecimalSeparator = c.separator;
    ASSERT_TRUE(Parse(std::string("<OFX>\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>") +
                      c.value + "\n<FITID>F\n<CHECKNUM>C\n<MEMO>M\n"));
    EXPECT_EQ(reader_.Get(0)->Amount, c.amount) << c.value;
  }
}

TEST_F(StatementParse, AmountsThatAreNoNumbersAreErrorsNamingTheLine) {
  const std::string head = "<OFX>\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n";
  struct Case {
    const char* value;
    const char* message;
  };
  const Case cases[] = {
      {"1,234.56", "linha 5: valor \"1,234.56\" de TRNAMT não é um número"},
      {"12,5x", "linha 5: valor \"12,5x\" de TRNAMT não é um número"},
      {"", "linha 5: valor \"\" de TRNAMT não é um número"},
      {"--5", "linha 5: valor \"--5\" de TRNAMT não é um número"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorOf<EConvertError>(head + "<TRNAMT>" + c.value + "\n<FITID>F\n<CHECKNUM>C\n<MEMO>M\n"),
              c.message);
  }
}

TEST_F(StatementParse, ErrorKeepsWhatWasReadBefore) {
  reader_.ValorFinal = 7;
  EXPECT_THROW(Parse("<OFX>\n<BANKID>341\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>1\n"
                     "<FITID>F\n<CHECKNUM>C\n<MEMO>M\n<STMTTRN>\n<TRNTYPE>Y\n<DTPOSTED>20240110\n"
                     "<TRNAMT>x\n<BALAMT>10\n"),
               EConvertError);
  EXPECT_EQ(reader_.Banco, "341");
  ASSERT_EQ(reader_.Count(), 2);
  EXPECT_EQ(reader_.Get(1)->TrnType, "Y");
  EXPECT_EQ(reader_.ValorFinal, 7.0);
}

TEST_F(StatementParse, BalancesFromTheLastLedgerBalamtLine) {
  const std::string trn =
      "<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>-5\n<FITID>F\n<CHECKNUM>C\n<MEMO>M\n";
  struct Case {
    std::string tail;
    double closing;
    double opening;
  };
  const Case cases[] = {
      // The available balance never replaces the ledger one, before or after it.
      {"<LEDGERBAL>\n<BALAMT>100\n<AVAILBAL>\n<BALAMT>200\n", 100, 105},
      {"<LEDGERBAL><BALAMT>-500.00</LEDGERBAL><AVAILBAL><BALAMT>500.00</AVAILBAL>\n", -500, -495},
      {"<AVAILBAL>\n<BALAMT>200\n</AVAILBAL>\n<LEDGERBAL>\n<BALAMT>100\n", 100, 105},
      {"<AVAILBAL>\n<BALAMT>200\n</AVAILBAL>\n", 200, 205},
      {"<BALAMT>7\n<BALAMT>100\n", 100, 105},
      {"<BALAMT>\n", 0, 0},
      {"<BALAMT>   </BALAMT>\n", 0, 0},
      {"", 0, 0},
      {"<BALAMT>1.500,00\n", 1500, 1505},
      {"<BALAMT>R$ 1,234.5\n", 1234.5, 1239.5},
      {"<BALAMT>-10\n", -10, -5},
  };
  for (const auto& c : cases) {
    TVQOFXReader fresh(nullptr);
    ASSERT_TRUE(fresh.ProcessBuffer("<OFX>\n" + trn + c.tail));
    EXPECT_EQ(fresh.ValorFinal, c.closing) << c.tail;
    EXPECT_EQ(fresh.ValorIncial, c.opening) << c.tail;
  }
  EXPECT_EQ(ErrorOf<EConvertError>("<OFX>\n\n<BALAMT>1.2.3,4,5\n"),
            "linha 3: saldo \"1.2.3,4,5\" de BALAMT não é um número");
}

TEST_F(StatementParse, TransactionRunningPastTheEndIsAnIndexError) {
  struct Case {
    std::string text;
    long long index;
    std::string message;
  };
  const Case cases[] = {
      {"<OFX>\n<STMTTRN>\n", 2,
       "Arquivo incompleto: termina na linha 2, dentro da transação iniciada na linha 2."},
      {"<OFX><STMTTRN><TRNTYPE>X</TRNTYPE>", 1,
       "Arquivo incompleto: termina na linha 1, dentro da transação iniciada na linha 1."},
      {"<OFX>\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>1\n", 5,
       "Arquivo incompleto: termina na linha 5, dentro da transação iniciada na linha 2."},
      {"<OFX>\n<BANKID>21\n<STMTTRN>\n<FITID>F\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>1\n"
       "<CHECKNUM>1\n",
       8, "Arquivo incompleto: termina na linha 8, dentro da transação iniciada na linha 3."},
  };
  for (const auto& c : cases) {
    try {
      Parse(c.text);
      ADD_FAILURE() << "no error for " << c.text;
    } catch (const EListError& e) {
      EXPECT_EQ(e.Index(), c.index);
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

// Statements in the shapes real exporters write (tests/data), read through
// Process with every field.
TEST_F(StatementParse, ShapesOfRealExportersAreReadWhole) {
  struct Item {
    const char* trn_type;
    double posted;
    double amount;
    const char* fit_id;
    const char* check_num;
    const char* memo;
  };
  struct Case {
    const char* file;
    const char* bank;
    const char* account;
    double start, end, opening, closing;
    std::vector<Item> items;
  };
  // Days since 30/12/1899.
  const Case cases[] = {
      {"sem-quebras.ofx", "0260", "1234567-8", 45383, 45412, 1000, 1104.1,
       {{"CREDIT", 45384, 150, "N1", "", "Pix recebido"},
        {"DEBIT", 45387, -45.9, "N2", "", "Compra no debito"}}},
      {"stmttrn-junto.ofx", "033", "13000123-4", 45413, 45443, 1620.5, 2500,
       {{"PAYMENT", 45422, -120.5, "20240510001", "001", "PAGAMENTO DE BOLETO"},
        {"DEP", 45432, 1000, "20240520002", "002", "DEPOSITO EM CONTA"}}},
      {"sem-checknum.ofx", "0260", "98765432-1", 45444, 45473, 500, 717.1,
       {{"DEBIT", 45446, -32.9, "6650a1b2-0001", "", "Compra no debito - Mercado"},
        {"CREDIT", 45448, 250, "6650a1b2-0002", "", "Transferencia recebida pelo Pix"}}},
      {"name-antes-memo.ofx", "0237", "4321-0", 45474, 45504, 2000, 3410.1,
       {{"DEBIT", 45475, -89.9, "0702001", "0702001", "COMPRA CARTAO DEBITO"},
        {"CREDIT", 45488, 1500, "0715002", "0715002", "SALARIO"}}},
      {"memo-utf8.ofx", "0077", "7654321-0", 45505, 45535, 1000, 1280.1,
       {{"CREDIT", 45506, 300, "A1", "1", "Transferencia recebida"},
        {"DEBIT", 45514, -19.9, "A2", "2", "Tarifa de manutencao"}}},
      {"saldo-moeda.ofx", "0104", "00012345-6", 45536, 45565, 52207.3, 55103.65,
       {{"CREDIT", 45538, 3000, "C1", "000101", "CRED SALARIO"},
        {"DEBIT", 45545, -103.65, "C2", "000102", "DEB CONTA AGUA"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    TVQOFXReader reader(nullptr);
    reader.OFXFile = std::string(KVR_TEST_DATA_DIR) + "/" + c.file;
    ASSERT_TRUE(reader.Process());
    EXPECT_EQ(reader.Banco, c.bank);
    EXPECT_EQ(reader.Conta, c.account);
    EXPECT_EQ(reader.DataIncial, c.start);
    EXPECT_EQ(reader.DataFinal, c.end);
    EXPECT_EQ(reader.ValorIncial, c.opening);
    EXPECT_EQ(reader.ValorFinal, c.closing);
    ASSERT_EQ(reader.Count(), static_cast<int>(c.items.size()));
    for (size_t i = 0; i < c.items.size(); ++i) {
      const TOFXItem& item = *reader.Get(static_cast<int>(i));
      const Item& e = c.items[i];
      EXPECT_EQ(item.TrnType, e.trn_type) << i;
      EXPECT_EQ(item.PostedDate, e.posted) << i;
      EXPECT_EQ(item.Amount, e.amount) << i;
      EXPECT_EQ(item.FitId, e.fit_id) << i;
      EXPECT_EQ(item.CheckNum, e.check_num) << i;
      EXPECT_EQ(item.Memo, e.memo) << i;
    }
  }
}

TEST_F(StatementParse, ATransactionEndsAtItsClosingTag) {
  struct Case {
    const char* name;
    std::string text;
    const char* check_num;
    const char* memo;
    double closing;
  };
  const Case cases[] = {
      // Read at the CHECKNUM position, the closing tag ends the block: the
      // balance after it is the main scan's, the memo the transaction's own.
      {"closing tag at the CHECKNUM position",
       "<OFX>\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>-5\n<FITID>F\n</STMTTRN>\n"
       "<BALAMT>10\n<MEMO>NOT MINE\n",
       "", "", 10},
      // A field is taken from the first line holding its tag, a position's
      // value is never replaced, and lines after the closing tag are not the
      // transaction's.
      {"first line of the tag wins",
       "<OFX>\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>-5\n<FITID>F\n<NAME>N\n"
       "<MEMO>ONE\n<MEMO>TWO\n<CHECKNUM>9\n</STMTTRN>\n<CHECKNUM>8\n<BALAMT>10\n",
       "9", "ONE", 10},
      // The own lines stop before the next transaction.
      {"stops before the next transaction",
       "<OFX>\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>-5\n<FITID>F\n<STMTTRN>\n"
       "<TRNTYPE>Y\n<DTPOSTED>20240110\n<TRNAMT>1\n<FITID>G\n<CHECKNUM>2\n<MEMO>M2\n<BALAMT>10\n",
       "", "", 10},
      // A closing tag at the file's end: no error, and nothing past it read.
      {"closing tag on the last line",
       "<OFX>\n<BALAMT>10\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>-5\n<MEMO>M</STMTTRN>",
       "", "M", 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Parse(c.text));
    EXPECT_EQ(reader_.Get(0)->TrnType, "X");
    EXPECT_EQ(reader_.Get(0)->Amount, -5.0);
    EXPECT_EQ(reader_.Get(0)->CheckNum, c.check_num);
    EXPECT_EQ(reader_.Get(0)->Memo, c.memo);
    EXPECT_EQ(reader_.ValorFinal, c.closing);
  }
}

TEST_F(StatementParse, TransactionWithoutDateOrAmountIsAnErrorNamingItsLine) {
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"<OFX>\n\n<STMTTRN>\n<TRNTYPE>X\n<TRNAMT>1\n<FITID>F\n</STMTTRN>\n",
       "linha 3: transação sem data (DTPOSTED)"},
      {"<OFX>\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<FITID>F\n<MEMO>M\n</STMTTRN>\n",
       "linha 2: transação sem valor (TRNAMT)"},
      {"<OFX>\n<STMTTRN>\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>1\n</STMTTRN>\n",
       "linha 2: transação sem data (DTPOSTED)"},
      // Values taken from the own lines are checked as at their positions,
      // naming their own line; so are the pieces of a cut line.
      {"<OFX>\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<FITID>F\n<TRNAMT>1x\n</STMTTRN>\n",
       "linha 6: valor \"1x\" de TRNAMT não é um número"},
      {"<OFX>\n<STMTTRN><TRNTYPE>X<DTPOSTED>20241310<TRNAMT>1\n",
       "linha 2: data \"20241310\" de DTPOSTED inválida"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf<EConvertError>(c.text), c.message) << c.text;
}

TEST_F(StatementParse, OpeningBalanceIsExactInDecimal) {
  struct Case {
    const char* balance;
    std::vector<const char*> amounts;
    double opening;
  };
  const Case cases[] = {
      // 0.01 - 10 x 0.10 with doubles is -0.9899999999999999.
      {"0.01", std::vector<const char*>(10, "0.10"), -0.99},
      // With doubles 19.999999999999545.
      {"4037.47", {"4200.00", "-150.00", "-78.43", "-200.00", "300.00", "-29.90", "-54.10", "29.90"},
       20},
      {"1,5", {"0,1", "0,2"}, 1.2},
      {"1.000.000,01", {"1E2", "-0.000000000000000001"}, 999900.01},
  };
  for (const auto& c : cases) {
    std::string text = "<OFX>\n";
    for (const char* a : c.amounts) {
      text += std::string("<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>") + a +
              "\n<FITID>F\n<CHECKNUM>C\n<MEMO>M\n</STMTTRN>\n";
    }
    ASSERT_TRUE(Parse(text + "<BALAMT>" + c.balance + "\n"));
    EXPECT_EQ(reader_.ValorIncial, c.opening) << c.balance;
  }
}

TEST_F(StatementParse, MemoEncodings) {
  struct Case {
    const char* bank;
    const char* memo;
    const char* expected;
  };
  const Case cases[] = {
      // Windows-1252 memos lose their accents.
      {"341", "Dep\xF3sito Jo\xE3o", "Deposito Joao"},
      // Valid multi-byte UTF-8 is decoded in every layout, then loses its
      // accents outside bank 21.
      {"341", "Transfer\xC3\xAAncia", "Transferencia"},
      {"336", "Dep\xC3\xB3sito \xE2\x82\xAC", "Deposito \x80"},
      // Not valid UTF-8 (a lone lead byte): taken as Windows-1252.
      {"341", "S\xC3o Jo\xE3o", "SAo Joao"},
      {"336", "Tarifa Servi\xE7o", "Tarifa Servico"},
      // Bank 21 writes UTF-8: decoded, accents kept.
      {"21", "Dep\xC3\xB3sito Jo\xC3\xA3o", "Dep\xF3sito Jo\xE3o"},
      {"21", "Pix \xE2\x82\xAC \xE4\xB8\xAD", "Pix \x80 ?"},
      {"21", "Dep\xF3sito", "Dep?sito"},
  };
  for (const auto& c : cases) {
    std::string trn;
    const std::string bank = c.bank;
    if (bank == "21") {
      trn = "<STMTTRN>\n<FITID>F\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>1\n<MEMO>";
    } else if (bank == "336") {
      trn = "<STMTTRN>\n<TRNTYPE>X\n<TRNAMT>1\n<DTPOSTED>20240110\n<FITID>F\n<CHECKNUM>C\n<MEMO>";
    } else {
      trn = "<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20240110\n<TRNAMT>1\n<FITID>F\n<CHECKNUM>C\n<MEMO>";
    }
    ASSERT_TRUE(Parse("<OFX>\n<BANKID>" + bank + "\n" + trn + c.memo + "</MEMO>\n"));
    EXPECT_EQ(reader_.Get(0)->Memo, c.expected) << c.bank << " " << c.memo;
  }
}

}  // namespace
}  // namespace kvr

namespace kvr {
namespace {

// A transaction of amount on day (of January 2024) in one line.
std::string Trn(const std::string& amount, const std::string& day, const std::string& tail) {
  return "<STMTTRN><TRNTYPE>DEBIT<DTPOSTED>202401" + day + "<TRNAMT>" + amount + "<FITID>F" + day +
         tail + "</STMTTRN>\n";
}

TEST(StatementShapes, OneStatementOfSeveralWithItsOwnHeader) {
  const std::string empty_111 =
      "<STMTRS><BANKID>341<ACCTID>111<DTSTART>20231201<DTEND>20231231\n"
      "<LEDGERBAL><BALAMT>77.00</LEDGERBAL></STMTRS>\n";
  const std::string real_222 = "<STMTRS><BANKID>1<ACCTID>222<DTSTART>20240101<DTEND>20240131\n" +
                               Trn("-10.00", "10", "<MEMO>A") + Trn("-2.50", "11", "<MEMO>B") +
                               "<LEDGERBAL><BALAMT>100.00</LEDGERBAL></STMTRS>\n";
  const std::string card_4444 = "<CCSTMTRS><ACCTID>4444<DTSTART>20240101<DTEND>20240131\n" +
                                Trn("-5.00", "12", "<NAME>P") +
                                "<LEDGERBAL><BALAMT>-5.00</LEDGERBAL></CCSTMTRS>\n";
  const std::string empty_card = "<CCSTMTRS><ACCTID>9999<DTSTART>20230101<DTEND>20230131\n"
                                 "<LEDGERBAL><BALAMT>1.00</LEDGERBAL></CCSTMTRS>\n";
  struct Case {
    std::string body;
    std::string banco, conta;
    double start, closing, opening;
    int items;
    bool card;
  };
  const Case cases[] = {
      {empty_111 + real_222, "1", "222", k2024_01_01, 100, 112.5, 2, false},
      {real_222 + empty_111, "1", "222", k2024_01_01, 100, 112.5, 2, false},
      {real_222 + empty_card, "1", "222", k2024_01_01, 100, 112.5, 2, false},
      {empty_111 + card_4444, "", "4444", k2024_01_01, -5, 0, 1, true},
      // No statement has transactions: the last one, as before.
      {empty_card + empty_111, "341", "111", 45261, 77, 77, 0, false},
  };
  for (const auto& c : cases) {
    TVQOFXReader reader(nullptr);
    ASSERT_TRUE(reader.ProcessBuffer("<OFX>\n" + c.body + "</OFX>\n")) << c.body;
    EXPECT_EQ(reader.Banco, c.banco) << c.body;
    EXPECT_EQ(reader.Conta, c.conta) << c.body;
    EXPECT_EQ(reader.DataIncial, c.start) << c.body;
    EXPECT_EQ(reader.ValorFinal, c.closing) << c.body;
    EXPECT_EQ(reader.ValorIncial, c.opening) << c.body;
    EXPECT_EQ(reader.Count(), c.items) << c.body;
    EXPECT_EQ(reader.CartaoCredito, c.card) << c.body;
  }
  const std::string real_333 = "<STMTRS><BANKID>1<ACCTID>333\n" + Trn("-1.00", "13", "") + "</STMTRS>\n";
  const std::pair<std::string, std::string> refused[] = {
      {real_222 + card_4444,
       "O arquivo contém 2 extratos com movimentos (contas 222 e 4444): exporte um extrato por "
       "arquivo."},
      {real_222 + empty_111 + real_333 + card_4444,
       "O arquivo contém 3 extratos com movimentos (contas 222, 333 e 4444): exporte um extrato "
       "por arquivo."},
      // One account in two currencies: the currencies are what differs.
      {"<STMTRS><CURDEF>USD<BANKACCTFROM><BANKID>1<ACCTID>11223344</BANKACCTFROM>\n" +
           Trn("-1.00", "12", "") + "</STMTRS>\n<STMTRS><CURDEF>EUR<BANKACCTFROM><BANKID>1<ACCTID>"
           "11223344</BANKACCTFROM>\n" + Trn("-1.00", "13", "") + "</STMTRS>\n",
       "O arquivo contém 2 extratos com movimentos (contas 11223344 (USD) e 11223344 (EUR)): "
       "exporte um extrato por arquivo."},
  };
  for (const auto& [body, message] : refused) {
    TVQOFXReader reader(nullptr);
    try {
      reader.ProcessBuffer("<OFX>\n" + body);
      ADD_FAILURE() << "no error for " << body;
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
}

// Each statement of a file read on its own: its records, header and exact
// opening balance, whatever the others hold; the list of all of them.
TEST(StatementShapes, EachStatementOfSeveralReadOnItsOwn) {
  const std::string body =
      "<OFX>\n<STMTRS><CURDEF>BRL<BANKID>1<ACCTID>222<DTSTART>20240101<DTEND>20240131\n" +
      Trn("-10.00", "10", "<MEMO>A") + Trn("-2.50", "11", "<MEMO>B") +
      "<LEDGERBAL><BALAMT>100.00</LEDGERBAL></STMTRS>\n"
      "<STMTRS><BANKID>341<ACCTID>111<DTSTART>20231201<DTEND>20231231\n"
      "<LEDGERBAL><BALAMT>77.00</LEDGERBAL></STMTRS>\n"
      "<STMTRS><CURDEF>usd<BANKID>1<ACCTID>333<DTSTART>20240201<DTEND>20240229\n" +
      Trn("0.10", "12", "<MEMO>C") + Trn("0.20", "13", "<MEMO>D") + Trn("0.30", "14", "<MEMO>E") +
      "<LEDGERBAL><BALAMT>0.01</LEDGERBAL></STMTRS>\n"
      "<CCSTMTRS><ACCTID>4444<DTSTART>20240101<DTEND>20240131\n" + Trn("-5.00", "15", "<NAME>P") +
      "<LEDGERBAL><BALAMT>-5.00</LEDGERBAL></CCSTMTRS>\n</OFX>\n";
  struct Case {
    int extrato;
    std::string banco, conta, moeda, first_memo;
    double closing, opening;
    int items;
  };
  const Case cases[] = {
      {1, "1", "222", "BRL", "A", 100, 112.5, 2},
      // 0.01 less 0.60 exactly, not the sum of all the file's amounts.
      {2, "1", "333", "usd", "C", 0.01, -0.59, 3},
      {3, "", "4444", "", "P", -5, 0, 1},
  };
  for (const auto& c : cases) {
    TVQOFXReader reader(nullptr);
    reader.Extrato = c.extrato;
    ASSERT_TRUE(reader.ProcessBuffer(body)) << c.extrato;
    EXPECT_EQ(reader.Banco, c.banco) << c.extrato;
    EXPECT_EQ(reader.Conta, c.conta) << c.extrato;
    EXPECT_EQ(reader.Moeda, c.moeda) << c.extrato;
    EXPECT_EQ(reader.ValorFinal, c.closing) << c.extrato;
    EXPECT_EQ(reader.ValorIncial, c.opening) << c.extrato;
    ASSERT_EQ(reader.Count(), c.items) << c.extrato;
    EXPECT_EQ(std::string(reader.Get(0)->Memo), c.first_memo) << c.extrato;
    ASSERT_EQ(reader.Extratos.size(), 3u);
    EXPECT_EQ(reader.Extratos[1].Conta, "333");
    EXPECT_EQ(reader.Extratos[1].Movimentos, 3);
    EXPECT_EQ(reader.Extratos[1].DataIncial, k2024_01_01 + 31);
    EXPECT_TRUE(reader.Extratos[2].CartaoCredito);
  }
  TVQOFXReader beyond(nullptr);
  beyond.Extrato = 4;
  try {
    beyond.ProcessBuffer(body);
    ADD_FAILURE() << "no error for statement 4";
  } catch (const EConvertError& e) {
    EXPECT_EQ(std::string(e.what()),
              "O arquivo contém 3 extratos com movimentos: não há o extrato 4.");
  }
}

TEST(StatementShapes, NameStandsInForAMissingMemo) {
  struct Case {
    std::string bank, trn;
    std::string memo;
  };
  const Case cases[] = {
      {"341", Trn("-9.99", "10", "<NAME>PADARIA CENTRAL"), "PADARIA CENTRAL"},
      {"341", Trn("-9.99", "10", "<NAME>PADARIA<MEMO>COMPRA"), "COMPRA"},
      {"341", Trn("-9.99", "10", "<MEMO><NAME>PADARIA"), ""},
      {"341", Trn("-9.99", "10", "<NAME>S\xE3o Jo\xE3o"), "Sao Joao"},
      {"341", Trn("-9.99", "10", "<NAME>Caf\xC3\xA9 Pra\xC3\xA7" "a"), "Cafe Praca"},
      {"21", Trn("-9.99", "10", "<NAME>Caf\xC3\xA9"), "Caf\xE9"},
      {"341", Trn("-9.99", "10", "<PAYEE><NAME>LOJA</PAYEE>"), "LOJA"},
  };
  for (const auto& c : cases) {
    TVQOFXReader reader(nullptr);
    ASSERT_TRUE(reader.ProcessBuffer("<OFX>\n<BANKID>" + c.bank + "\n<ACCTID>1\n" + c.trn));
    ASSERT_EQ(reader.Count(), 1) << c.trn;
    EXPECT_EQ(std::string(reader.Get(0)->Memo), c.memo) << c.trn;
  }
}

// The statement in UTF-16, with its byte-order mark, in either byte order.
std::string Utf16(const std::u16string& text, bool little) {
  std::string bytes = little ? "\xFF\xFE" : "\xFE\xFF";
  for (char16_t c : text) {
    const char lo = static_cast<char>(c & 0xFF);
    const char hi = static_cast<char>(c >> 8);
    bytes += little ? std::string{lo, hi} : std::string{hi, lo};
  }
  return bytes;
}

TEST(StatementShapes, Utf16FilesReadAsTheirWindows1252Text) {
  const std::u16string text =
      u"OFXHEADER:100\r\n\r\n<OFX>\r\n<BANKID>341\r\n<ACCTID>12345-6\r\n<STMTTRN>\r\n"
      u"<TRNTYPE>DEBIT\r\n<DTPOSTED>20240110\r\n<TRNAMT>-9.99\r\n<FITID>A1\r\n"
      u"<CHECKNUM>1\r\n<MEMO>Dep\u00F3sito \u20AC \u4E2D\r\n</STMTTRN>\r\n<BALAMT>10\r\n";
  for (bool little : {true, false}) {
    TVQOFXReader reader(nullptr);
    ASSERT_TRUE(reader.ProcessBuffer(Utf16(text, little)));
    EXPECT_EQ(reader.Banco, "341");
    EXPECT_EQ(reader.Conta, "12345-6");
    ASSERT_EQ(reader.Count(), 1);
    EXPECT_EQ(reader.Get(0)->Amount, -9.99);
    // "ó" and the euro sign have Windows-1252 bytes; the CJK character has none.
    EXPECT_EQ(std::string(reader.Get(0)->Memo), "Deposito \x80 ?");
    EXPECT_EQ(reader.ValorFinal, 10);
  }
  // Errors name the line of the file, as in 8 bits.
  TVQOFXReader reader(nullptr);
  try {
    reader.ProcessBuffer(Utf16(u"<OFX>\n<STMTTRN>\n<TRNTYPE>X\n<DTPOSTED>20241399\n", true));
    ADD_FAILURE() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(std::string(e.what()), "linha 4: data \"20241399\" de DTPOSTED inválida");
  }
  // A UTF-8 byte-order mark before "<OFX>" is skipped; a lone FF FE is no statement.
  EXPECT_TRUE(reader.ProcessBuffer("\xEF\xBB\xBF<OFX>\n<BANKID>1\n"));
  EXPECT_EQ(reader.Banco, "1");
  EXPECT_FALSE(reader.ProcessBuffer("\xFF\xFE"));
}

}  // namespace
}  // namespace kvr
