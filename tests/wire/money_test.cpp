#include "wire/money.h"
#include "wire/locale_numbers.h"

#include <climits>

#include <gtest/gtest.h>

namespace kvr {
namespace {

TEST(Money, FormatsGroupedWithEitherSeparators) {
  struct Case {
    long long cents;
    char decimal, thousands;
    const char* text;
    const char* balance;
  } cases[] = {
      {0, ',', '.', "0,00", "0,00 C"},
      {5, ',', '.', "0,05", "0,05 C"},
      {-5, ',', '.', "-0,05", "0,05 D"},
      {135000, ',', '.', "1.350,00", "1.350,00 C"},
      {-12345678901, ',', '.', "-123.456.789,01", "123.456.789,01 D"},
      {100000, '.', ',', "1,000.00", "1,000.00 C"},
      {100000, ',', '\0', "1000,00", "1000,00 C"},
      {LLONG_MIN, ',', '.', "-92.233.720.368.547.758,08", "92.233.720.368.547.758,08 D"},
  };
  for (const Case& c : cases) {
    const Money money = Money::FromCents(c.cents);
    EXPECT_EQ(money.Format(c.decimal, c.thousands), c.text) << c.cents;
    EXPECT_EQ(money.FormatBalance(c.decimal, c.thousands), c.balance) << c.cents;
  }
}

TEST(GroupedCount, CountsGroupTheirThousandsByTheSeparatorGiven) {
  struct Case {
    long long count;
    char thousands;
    const char* text;
  } cases[] = {
      {0, '.', "0"},          {999, '.', "999"},          {1000, '.', "1.000"},
      {100000, '.', "100.000"}, {1234567, ',', "1,234,567"}, {-1234, '.', "-1.234"},
      {100000, '\0', "100000"}, {LLONG_MIN, '.', "-9.223.372.036.854.775.808"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, GroupedCount(c.count, {',', c.thousands})) << c.count;
}

TEST(Money, ReaisRoundToTheNearestCent) {
  EXPECT_EQ(Money::FromReais(0.1).Cents() + Money::FromReais(0.2).Cents(), 30);
  EXPECT_EQ(Money::FromReais(1350.005).Cents(), 135001);
  EXPECT_EQ(Money::FromReais(-2.675).Cents(), -268);
  EXPECT_EQ(Money::FromReais(19.999999999999545).Cents(), 2000);
}

}  // namespace
}  // namespace kvr
