#include "platform/sysutils.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "platform/format_settings.h"

namespace kvr {
namespace {

struct IntCase {
  const char* text;
  int expected;
};

TEST(StrToIntDef, ReadsSignedDecimalsAndFallsBackOtherwise) {
  const IntCase cases[] = {
      {"2024", 2024},   {"01", 1},          {"-7", -7},          {"+12", 12},
      {"0", 0},         {"", 99},           {"-", 99},           {"+", 99},
      {"12a", 99},      {" 12", 99},        {"1.5", 99},         {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},     {"2147483648", 99},  {"99999999999999999999", 99},
  };
  for (const auto& c : cases) EXPECT_EQ(StrToIntDef(c.text, 99), c.expected) << c.text;
}

struct DateCase {
  int year, month, day;
  double serial;
};

TEST(EncodeDate, CountsDaysFromThe30thOfDecember1899) {
  const DateCase cases[] = {
      {1899, 12, 30, 0},       {1899, 12, 29, -1},      {1900, 1, 1, 2},
      {2000, 1, 1, 36526},     {2024, 1, 1, 45292},     {2024, 1, 31, 45322},
      {2024, 2, 29, 45351},    {1, 1, 1, -693593},      {9999, 12, 31, 2958465},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeDate(c.year, c.month, c.day), c.serial) << c.year << "-" << c.month;
    int y = 0, m = 0, d = 0;
    DecodeDate(c.serial, y, m, d);
    EXPECT_EQ(y, c.year);
    EXPECT_EQ(m, c.month);
    EXPECT_EQ(d, c.day);
  }
}

TEST(EncodeDate, RejectsNumbersThatMakeNoDate) {
  const int bad[][3] = {{0, 1, 1},     {10000, 1, 1}, {2024, 0, 1},  {2024, 13, 1},
                        {2024, 1, 0},  {2024, 1, 32}, {2023, 2, 29}, {1900, 2, 29},
                        {2024, 4, 31}, {0, 0, 0}};
  for (const auto& b : bad) {
    EXPECT_THROW(EncodeDate(b[0], b[1], b[2]), EConvertError) << b[0] << "-" << b[1] << "-" << b[2];
  }
}

TEST(DecodeDate, IgnoresTheTimeOfDay) {
  int y = 0, m = 0, d = 0;
  DecodeDate(45301.5, y, m, d);
  EXPECT_EQ(y, 2024);
  EXPECT_EQ(m, 1);
  EXPECT_EQ(d, 10);
}

TEST(Date, IsAWholeDayAfter2020) {
  const TDateTime today = Date();
  EXPECT_EQ(today, static_cast<double>(static_cast<long long>(today)));
  EXPECT_GT(today, 43831.0);
}

class StrToFloatTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = FormatSettings; }
  void TearDown() override { FormatSettings = saved_; }
  TFormatSettings saved_;
};

struct FloatCase {
  char separator;
  const char* text;
  double expected;
};

TEST_F(StrToFloatTest, ReadsNumbersWithTheDecimalSeparator) {
  const FloatCase cases[] = {
      {'.', "-50.00", -50.0}, {',', "-50,00", -50.0}, {'.', "1.234", 1.234},
      {',', "1,5", 1.5},      {'.', " 42 ", 42.0},    {'.', "+3", 3.0},
      {'.', ".5", 0.5},       {'.', "5.", 5.0},       {'.', "1e3", 1000.0},
      {'.', "2.5E-1", 0.25},  {'.', "0", 0.0},        {',', "1e-400", 0.0},
  };
  for (const auto& c : cases) {
    FormatSettings.DecimalSeparator = c.separator;
    EXPECT_EQ(StrToFloat(c.text), c.expected) << c.text;
  }
}

TEST_F(StrToFloatTest, RejectsWhatIsNotANumber) {
  const FloatCase cases[] = {
      {'.', "", 0},       {'.', "   ", 0},  {',', "1.5", 0},  {'.', "1,5", 0},
      {',', "1,234,56", 0}, {'.', "-", 0},  {'.', ".", 0},    {'.', "12,5x", 0},
      {'.', "1e", 0},     {'.', "1e+", 0},  {'.', "inf", 0},  {'.', "nan", 0},
      {'.', "0x10", 0},   {'.', "1 2", 0},  {'.', "--1", 0},  {'.', "1e400", 0},
  };
  for (const auto& c : cases) {
    FormatSettings.DecimalSeparator = c.separator;
    EXPECT_THROW(StrToFloat(c.text), EConvertError) << c.text;
  }
}

TEST_F(StrToFloatTest, ErrorQuotesTheText) {
  FormatSettings.DecimalSeparator = '.';
  try {
    StrToFloat("12,5x");
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(std::string(e.what()), "\"12,5x\" não é um número válido");
  }
}

}  // namespace
}  // namespace kvr
