// The packet format's rules, which the client's and the server's packets both
// follow: one table of dates, one of numbers.
#include "wire/packet_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace kvr {
namespace {

// A blank in place of the T is accepted: the client always read it, and the
// server stores the normal form, so two spellings of one moment never differ
// in the repeat check.
TEST(DateRule, AcceptsTheIsoFormsAndGivesTheNormalOne) {
  struct Case {
    const char* text;
    const char* normal;  // nullptr: refused
  };
  const Case cases[] = {
      {"2024-01-05", "2024-01-05T00:00:00"},
      {"2024-01-05T13:45:10", "2024-01-05T13:45:10"},
      {"2024-01-05 13:45:10", "2024-01-05T13:45:10"},
      {"2024-02-29T13:45:10.250", "2024-02-29T13:45:10.250"},
      {"2024-01-05 00:00:00.000", "2024-01-05T00:00:00"},
      {"2000-02-29", "2000-02-29T00:00:00"},
      {"0001-01-01T23:59:59.999", "0001-01-01T23:59:59.999"},
      {"2023-02-29", nullptr},
      {"1900-02-29", nullptr},
      {"2024-04-31", nullptr},
      {"2024-13-01", nullptr},
      {"2024-00-10", nullptr},
      {"0000-01-01", nullptr},
      {"2024-01-05T24:00:00", nullptr},
      {"2024-01-05T23:60:00", nullptr},
      {"2024-01-05T23:59:60", nullptr},
      {"05/01/2024", nullptr},
      {"2024-1-05", nullptr},
      {"2024-01-05T", nullptr},
      {"2024-01-05t00:00:00", nullptr},
      {"2024-01-05T00:00:00Z", nullptr},
      {"2024-01-05T00:00:00.5", nullptr},
      {"2024-01-05T00:00", nullptr},
      {" 2024-01-05", nullptr},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(c.normal != nullptr, NormalizeDateTime(text)) << c.text;
    EXPECT_EQ(c.normal != nullptr ? c.normal : c.text, text) << c.text;
  }
}

TEST(NumberRule, WritesTheShortestTextThatReadsBackTheSameDouble) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {200.0, "200.0"},
      {-1500.25, "-1500.25"},
      {0.1, "0.1"},
      {-0.0, "-0.0"},
      {123456789.123456, "123456789.123456"},
      {1e21, "1e+21"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::infinity(), "null"},
      {std::nan(""), "null"},
  };
  for (const Case& c : cases) {
    std::string out = "[";
    AppendNumber(out, c.value);
    EXPECT_EQ(std::string("[") + c.text, out);
  }
}

}  // namespace
}  // namespace kvr
