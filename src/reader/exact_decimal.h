#pragma once

#include <string_view>

namespace kvr {

__extension__ typedef __int128 TInt128;
__extension__ typedef unsigned __int128 TUint128;

// A decimal number held exactly, for sums of the amounts a statement writes:
// doubles would carry noise into a balance (0.01 less ten amounts of 0.10 is
// -0.99, not -0.9899999999999999). Holds up to 38 digits with up to 18 of
// them after the mark; a number or a sum beyond that leaves the value
// inexact (Exact() false), and the caller falls back on doubles.
class ExactDecimal {
 public:
  // Adds the number text denotes, negated when negate is true. text is
  // [+|-]digits[mark digits][(e|E)[+|-]digits] with at least one digit,
  // mark being "." or ","; any other text leaves the value inexact.
  void Add(std::string_view text, bool negate = false);

  // Adds another exact decimal.
  void Add(const ExactDecimal& other);

  // Adds units / 10^scale, scale 0 or more: what Add gives for the text of
  // that number. A scale above 18 once trailing zeros are dropped leaves the
  // value inexact.
  void AddUnits(TInt128 units, int scale);

  // False once a number or a sum did not fit.
  bool Exact() const { return exact_; }

  // The double nearest to the value (correctly rounded); meaningful only
  // while Exact().
  double ToDouble() const;

 private:
  bool AddScaled(TInt128 units, int scale);

  TInt128 units_ = 0;  // the value times 10^scale_
  int scale_ = 0;
  bool exact_ = true;
};

}  // namespace kvr
