#include <gtest/gtest.h>

#include <string>

#include "platform/format_settings.h"
#include "reader/vq_ofx_reader.h"

namespace kvr {
namespace {

using R = TVQOFXReader;

struct FindCase {
  std::string tag;
  std::string line;
  bool found;
};

TEST(FindString, FindsTagsIgnoringTheCaseOfAsciiLettersOnly) {
  const FindCase cases[] = {
      {"<STMTTRN>", "<STMTTRN>", true},
      {"<STMTTRN>", "  <stmttrn>", true},
      {"<stmttrn>", "<STMTTRN>", true},
      {"<STMTTRN>", "</STMTTRN>", false},
      {"<STMTTRN>", "<STMTTRNRS>", false},
      {"<BANKID>", "<OFX><BANKID>1</BANKID>", true},
      {"", "<OFX>", false},
      {"<OFX>", "", false},
      {"<MEMO>", "<MEM", false},
      {"\xC9", "\xE9", false},
      {"\xC9", "x\xC9", true},
      {"<A>", "<a><A>", true},
  };
  for (const auto& c : cases) EXPECT_EQ(R::FindString(c.tag, c.line), c.found) << c.tag << " in " << c.line;
}

struct TextCase {
  std::string input;
  std::string expected;
};

TEST(InfLine, TakesTheTextBetweenTheFirstCloseBracketAndTheFirstClosingTag) {
  const TextCase cases[] = {
      {"   <BANKID>0341</BANKID>", "0341"},
      {"<TRNAMT>-12.50", "-12.50"},
      {"<TRNAMT>-12.50 \r\t", "-12.50"},
      {"<MEMO> PAGTO LUZ </MEMO>", " PAGTO LUZ "},
      {"<MEMO>A>B</MEMO>", "A>B"},
      {"<MEMO>", ""},
      {"</STMTTRN>", ""},
      {"abc", ""},
      {"   ", ""},
      {"", ""},
      {"x<A>v", "v"},
      {"<A></A>", ""},
      {"<OFX><BANKID>341</BANKID>", "<BANKID>341"},
  };
  for (const auto& c : cases) EXPECT_EQ(R::InfLine(c.input), c.expected) << c.input;
}

TEST(CampoValido, KeepsNumberBytesAndBlanksTheRest) {
  const TextCase cases[] = {
      {"", ""},
      {"-1.234,56", "-1.234,56"},
      {"R$ 12,50", "   12,50"},
      {"+100.00", " 100.00"},
      {"A\xE7\xFA" "car", "ACUCA "},
      {"\t1%/\\", " 1%/\\"},
      {"r\xC5\xD1\xFF\x80!", "      "},
      {"\xC0\xE4\xC9\xEF\xD5\xFC", "AAEIOU"},
      {"abc xyz", "ABC XYZ"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(R::CampoValido(c.input), c.expected) << c.input;
    EXPECT_EQ(R::CampoValido(c.input).size(), c.input.size());
  }
}

struct ReplaceCase {
  std::string source, pattern, replacement;
  bool ignore_case;
  std::string expected;
};

TEST(ReplaceString, ReplacesEveryOccurrenceLeftToRightWithoutRescanning) {
  const ReplaceCase cases[] = {
      {"a.b.c", ".", ",", false, "a,b,c"},
      {"aaa", "aa", "b", false, "ba"},
      {"Total TOTAL", "total", "x", true, "x x"},
      {"Total TOTAL", "total", "x", false, "Total TOTAL"},
      {".a.", ".", "..", false, "..a.."},
      {"a..b", ".", ",", false, "a,,b"},
      {"ab", "abc", "x", false, "ab"},
      {"", ".", ",", false, ""},
      {"abc", "", "x", false, "abc"},
      {"xAbxaB", "ab", "-", true, "x-x-"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(R::ReplaceString(c.source, c.pattern, c.replacement, c.ignore_case), c.expected)
        << c.source;
  }
}

class PrepareFloatTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = FormatSettings; }
  void TearDown() override { FormatSettings = saved_; }
  TFormatSettings saved_;
};

TEST_F(PrepareFloatTest, TurnsBothMarksIntoTheDecimalSeparator) {
  struct Case {
    char separator;
    std::string input, expected;
  };
  const Case cases[] = {
      {',', "-12.50", "-12,50"}, {',', "12,50", "12,50"},       {'.', "12,50", "12.50"},
      {',', "1.234,56", "1,234,56"}, {'.', "1200", "1200"},     {'.', "", ""},
  };
  for (const auto& c : cases) {
    FormatSettings.DecimalSeparator = c.separator;
    EXPECT_EQ(R::PrepareFloat(c.input), c.expected) << c.input;
  }
}

TEST(UTF8ToWideString, DecodesUtf8) {
  EXPECT_EQ(R::UTF8ToWideString(""), u"");
  EXPECT_EQ(R::UTF8ToWideString("PIX 123"), u"PIX 123");
  EXPECT_EQ(R::UTF8ToWideString("Caf\xC3\xA9"), u"Caf\u00E9");
  EXPECT_EQ(R::UTF8ToWideString("Caf\xE9"), u"Caf\uFFFD");
}

}  // namespace
}  // namespace kvr
