#include "platform/encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/cp1252.h"

namespace kvr {
namespace {

struct Utf8Case {
  std::string input;
  std::u16string expected;
};

TEST(Utf8ToUtf16, DecodesAndReplacesEachMalformedSequence) {
  const Utf8Case cases[] = {
      {"", u""},
      {"abc", u"abc"},
      {"Caf\xC3\xA9", u"Caf\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"a\x80" "b", u"a\uFFFD" "b"},               // stray continuation byte
      {"\xC3", u"\uFFFD"},                          // truncated at the end
      {"\xE2\x82" "x", u"\uFFFD" "x"},              // truncated before a plain byte
      {"\xC0\xAF", u"\uFFFD"},                      // overlong "/"
      {"\xED\xA0\x80", u"\uFFFD"},                  // surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD"},              // above U+10FFFF
      {"\xFF\xFE", u"\uFFFD\uFFFD"},                // bytes that start nothing
      {"A\xE9Z", u"A\uFFFDZ"},                      // Windows-1252 text read as UTF-8
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToUtf16(c.input), c.expected) << c.input;
}

struct Cp1252Case {
  std::u16string input;
  std::string expected;
};

TEST(Utf16ToCp1252, EncodesAndMarksWhatTheCodePageLacks) {
  const Cp1252Case cases[] = {
      {u"", ""},
      {u"D\u00E9" "bito", "D\xE9" "bito"},
      {u"\u00C7\u00E3\u00FF", "\xC7\xE3\xFF"},
      {u"\u20AC\u2013\u0178", "\x80\x96\x9F"},
      {u"\u0081", "\x81"},
      {u"\u0080", "?"},
      {u"\u4E2D", "?"},
      {u"\U0001F600x", "?x"},
      {u"\xD800x", "?x"},
      {u"x\xDC00", "x?"},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf16ToCp1252(c.input), c.expected);
}

TEST(Cp1252ToUtf8, EncodesEveryByte) {
  EXPECT_EQ(Cp1252ToUtf8("D\xE9" "bito"), "D\xC3\xA9" "bito");
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");
  EXPECT_EQ(Cp1252ToUtf8("\x81\x9D"), "\xC2\x81\xC2\x9D");
  EXPECT_EQ(Cp1252ToUtf8(std::string(1, '\0')), std::string(1, '\0'));
}

TEST(Utf8ToCp1252, RoundTripsEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
  EXPECT_EQ(Utf8ToCp1252("A\xC3\xA7\xC3\xBA" "car \xE2\x82\xAC"), "A\xE7\xFA" "car \x80");
}

// Every character of the code page, in the order of its bytes 0x80 to 0xFF
// (the five undefined bytes have none; 0xA0 is the no-break space, 0xAD the
// soft hyphen).
#define KVR_CP1252_UPPER_HALF \
  "€‚ƒ„…†‡ˆ‰Š‹ŒŽ‘’“”•–—˜™š›œžŸ\u00A0¡¢£¤¥¦§¨©ª«¬\u00AD®¯°±²³´µ¶·¸¹º»¼½¾¿ÀÁÂÃÄÅÆÇÈÉÊËÌÍÎÏÐÑÒÓÔÕÖ×ØÙÚÛÜÝÞßàáâãäåæçèéêëìíîïðñòóôõö÷øùúûüýþÿ"

TEST(Cp1252Literal, GivesTheBytesTheRunTimeConversionGives) {
  std::string bytes;
  for (int b = 0x80; b <= 0xFF; ++b)
    if (b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D) bytes.push_back(static_cast<char>(b));
  EXPECT_EQ(std::string(KVR_CP1252_UPPER_HALF ""_cp1252), bytes);
  EXPECT_EQ(Utf8ToCp1252(KVR_CP1252_UPPER_HALF), bytes);
  EXPECT_EQ(std::string("Não foi possível"_cp1252), "N\xE3o foi poss\xEDvel");
  EXPECT_EQ(std::string(""_cp1252), "");
}

}  // namespace
}  // namespace kvr
