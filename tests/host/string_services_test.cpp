#include "host/string_services.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/cp1252.h"
#include "platform/errors.h"

namespace kvr {
namespace {

struct TextCase {
  std::string input;
  std::string expected;
};

TEST(RemoveAcentos, MapsAccentedLettersToPlainOnesInTheirOwnCase) {
  const TextCase cases[] = {
      {"", ""},
      {"DEPOSITO", "DEPOSITO"},
      {"Depósito em conta"_cp1252, "Deposito em conta"},
      {"\xC7" "\xE7", "Cc"},
      {"\xC0\xC1\xC2\xC3\xC4\xC5", "AAAAAA"},
      {"\xE0\xE1\xE2\xE3\xE4\xE5", "aaaaaa"},
      {"\xC8\xC9\xCA\xCB\xE8\xE9\xEA\xEB", "EEEEeeee"},
      {"\xCC\xCD\xCE\xCF\xEC\xED\xEE\xEF", "IIIIiiii"},
      {"\xD2\xD3\xD4\xD5\xD6\xD8\xF2\xF3\xF4\xF5\xF6\xF8", "OOOOOOoooooo"},
      {"\xD9\xDA\xDB\xDC\xF9\xFA\xFB\xFC", "UUUUuuuu"},
      {"\xD1\xF1\xDD\xFD\xFF\x9F", "NnYyyY"},
      {"\x8A\x9A\x8E\x9E", "SsZz"},
      // Not accented letters: the euro sign, the ordinal marks, AE, sharp s.
      {"\x80\xAA\xBA\xC6\xDF\xD7", "\x80\xAA\xBA\xC6\xDF\xD7"},
  };
  for (const auto& c : cases) EXPECT_EQ(RemoveAcentos(c.input), c.expected) << c.input;
}

struct NumberCase {
  const char* text;
  double expected;
};

TEST(FloatMaskOut, ReadsFormattedNumbers) {
  const NumberCase cases[] = {
      {"1500", 1500.0},        {"1500.00", 1500.0},      {"1500,00", 1500.0},
      {"1.234,56", 1234.56},   {"1,234.56", 1234.56},    {"1.234", 1.234},
      {"1,5", 1.5},            {"1.234.567", 1234567.0}, {"1,234,567", 1234567.0},
      {"1.234.567,89", 1234567.89}, {"-10", -10.0},      {" - 1 234,5 ", -1234.5},
      {"0", 0.0},              {".5", 0.5},              {"-0,25", -0.25},
      // A currency prefix is ignored, with a UTF-8 non-breaking space too.
      {"R$ 55.103,65", 55103.65}, {"R$\xC2\xA0" "55.103,65", 55103.65}, {"A 1.234,56", 1234.56},
      {"US$ -10", -10.0},      {"BRL\xA0" "7,5", 7.5},
  };
  for (const auto& c : cases) EXPECT_EQ(FloatMaskOut(c.text), c.expected) << c.text;
}

TEST(FloatMaskOut, RejectsWhatIsNotAFormattedNumber) {
  const char* cases[] = {"",      "   ",    "-",      ".",     ",.",    "12a",
                         "1-2",   "--1",    "+1",     "1e5",   "R$",    "1.234,5,6",
                         "1,2.3.4", "10-",  "-R$ 10", "10 R$"};
  for (const char* text : cases) EXPECT_THROW(FloatMaskOut(text), EConvertError) << text;
}

TEST(FloatMaskOut, ErrorQuotesTheText) {
  try {
    FloatMaskOut("12a");
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(std::string(e.what()), "\"12a\" não é um número formatado válido");
  }
}

}  // namespace
}  // namespace kvr
