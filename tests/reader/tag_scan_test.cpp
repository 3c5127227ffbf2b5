// The one-pass line and tag scanner the parse uses must agree with the plain
// definitions: lines split as the text-file reader splits them, a tag bit
// set exactly when FindString finds that tag in the line, and the value of
// each line and piece.
#include "reader/tag_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/text_file.h"
#include "reader/vq_ofx_reader.h"

namespace kvr {
namespace {

const char* const kTags[] = {"<OFX>",     "<BANKID>",  "<ACCTID>",   "<DTSTART>", "<DTEND>",
                             "<STMTTRN>", "<BALAMT>",  "<TRNTYPE>",  "<DTPOSTED>", "<DTUSER>",
                             "<TRNAMT>",  "<FITID>",   "<CHECKNUM>", "<NUMREF>",  "<PAYEEID>",
                             "<REFNUM>",  "<MEMO>",    "</STMTTRN>", "<NAME>",    "<STMTRS>",
                             "<CCSTMTRS>", "<AVAILBAL>", "</AVAILBAL>", "<CURDEF>"};
constexpr int kTagCount = 24;

// The pieces of a line by their plain definition: cut before each "<"
// followed by an ASCII letter, except the line's first such.
std::vector<std::string> PlainPieces(const std::string& line) {
  std::vector<size_t> opens;
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    if (line[i] == '<' && std::isalpha(static_cast<unsigned char>(line[i + 1])) &&
        static_cast<unsigned char>(line[i + 1]) < 128) {
      opens.push_back(i);
    }
  }
  std::vector<std::string> pieces;
  size_t from = 0;
  for (size_t k = 1; k < opens.size(); ++k) {
    pieces.push_back(line.substr(from, opens[k] - from));
    from = opens[k];
  }
  pieces.push_back(line.substr(from));
  return pieces;
}

// The value of a line or piece by its plain definition: trimmed of bytes of
// code 32 or less, then the text between its first ">" and its first "</"
// (or its end); empty when there is no ">" before the first "</".
std::string PlainValue(std::string_view line) {
  size_t first = 0, last = line.size();
  while (first < last && static_cast<unsigned char>(line[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(line[last - 1]) <= 32) --last;
  const std::string_view t = line.substr(first, last - first);
  const size_t gt = t.find('>');
  const size_t close = std::min(t.find("</"), t.size());
  if (gt == std::string_view::npos || gt > close) return {};
  return std::string(t.substr(gt + 1, close - gt - 1));
}

void ExpectSameAsPlainDefinitions(const std::string& text) {
  LineReader plain(text);
  tag_scan::TagLineReader scanner(text);
  tag_scan::PieceReader pieces(text);
  std::string_view expected_line;
  tag_scan::ScanLine line, piece;
  int number = 0;
  while (plain.Next(expected_line)) {
    ASSERT_TRUE(scanner.Next(line)) << "line " << number;
    ASSERT_EQ(line.text, expected_line) << "line " << number;
    EXPECT_EQ(line.value, PlainValue(line.text)) << "line " << number;
    for (int bit = 0; bit < kTagCount; ++bit) {
      const bool found = TVQOFXReader::FindString(kTags[bit], std::string(line.text));
      EXPECT_EQ((line.tags >> bit) & 1u, found ? 1u : 0u) << kTags[bit] << " in \"" << line.text << "\"";
      EXPECT_EQ((tag_scan::TagsIn(line.text) >> bit) & 1u, found ? 1u : 0u) << kTags[bit];
    }
    const std::vector<std::string> expected_pieces = PlainPieces(std::string(line.text));
    EXPECT_EQ((line.tags & tag_scan::kSeveralOpen) != 0, expected_pieces.size() > 1) << line.text;
    for (const std::string& expected_piece : expected_pieces) {
      ASSERT_TRUE(pieces.Next(piece)) << "line " << number;
      EXPECT_EQ(piece.text, expected_piece);
      EXPECT_EQ(piece.value, PlainValue(expected_piece)) << expected_piece;
      EXPECT_EQ(piece.number, number);
      for (int bit = 0; bit < kTagCount; ++bit) {
        const bool found = TVQOFXReader::FindString(kTags[bit], expected_piece);
        EXPECT_EQ((piece.tags >> bit) & 1u, found ? 1u : 0u) << kTags[bit] << " in " << piece.text;
      }
    }
    ++number;
  }
  EXPECT_FALSE(scanner.Next(line));
  EXPECT_FALSE(pieces.Next(piece));
}

TEST(TagScan, AgreesWithFindStringOnHandPickedLines) {
  const char* cases[] = {
      "",
      "<OFX>",
      "   <stmttrn>",
      "</STMTTRN>",
      "<STMTTRNRS>",
      "<BANKID>0341</BANKID><ACCTID>1</ACCTID>",
      "<<OFX>>",
      "<OFX",
      "x<MEMO>",
      "0123456789abcde<MEMO>split across sixteen bytes",
      "0123456789abcdef0<CHECKNUM>1",
      "0123456789ab<CHECKNUM>name runs past a block",
      "<CHECKNUMX>",
      "<CHECKNU>",
      "<dtposted>20240101<DTUSER>20240101<trnamt>1",
      "\xC9<MEMO>\xE9",
      "<Memo>caixa mista",
      "<STMTTRN><TRNTYPE>PAYMENT</TRNTYPE>",
      "x <OFX><BANKID>1</BANKID></stmttrn><MEMO>a<b c</MEMO>",
      "<MEMO>a < b <1 <<Z",
      "<DTASOF>1</AVAILBAL></STMTRS><CCSTMTRS><NAMEX><NAM>",
      "</AVAILBALX></AVAILBA></availbal",
      "</AVAILBAL",
      "0123456789abcd<a<b",
      // A break, a tag and a name at the end of the scan's 64-byte blocks.
      "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde",
      "0123456789abcdef0123456789abcdef0123456789abcdef0123456789<MEMO>x</MEMO>",
  };
  for (const char* line : cases) {
    for (const char* eol : {"\n", "\r\n", "\r"}) ExpectSameAsPlainDefinitions(std::string(line) + eol + line);
  }
}

TEST(TagScan, AgreesWithFindStringOnGeneratedText) {
  // Pieces of tags, whole tags in either case, line breaks of every kind and
  // plain bytes, drawn at random: tags land at every offset of a block.
  std::mt19937 random(20240101);
  std::vector<std::string> pieces = {"\n", "\r", "\r\n", "<", ">", "</", "a", " ", "x", "\xE9",
                                     "MEMO", "memo>", "<STMT", "TRN>", "1234567"};
  for (const char* tag : kTags) {
    pieces.push_back(tag);
    std::string lower = tag;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    pieces.push_back(lower);
  }
  for (int round = 0; round < 200; ++round) {
    std::string text;
    const int count = static_cast<int>(random() % 120);
    for (int i = 0; i < count; ++i) text += pieces[random() % pieces.size()];
    ExpectSameAsPlainDefinitions(text);
  }
}

}  // namespace
}  // namespace kvr
