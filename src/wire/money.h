#pragma once

#include <cmath>
#include <compare>
#include <string>

namespace kvr {

// An amount of money in whole cents: the one form every layer keeps, sums,
// compares and prints an amount in. Reais read from a packet or a statement
// (a double) become cents by rounding to the nearest cent, so 0.1 + 0.2 is
// 30 cents, not 30.000000000000004.
class Money {
 public:
  constexpr Money() = default;
  static constexpr Money FromCents(long long cents) { return Money(cents); }
  // reais rounded to the nearest cent (halves away from zero); NaN is 0.
  static Money FromReais(double reais) {
    return Money(std::isnan(reais) ? 0 : std::llround(reais * 100.0));
  }

  constexpr long long Cents() const { return cents_; }
  double Reais() const { return static_cast<double>(cents_) / 100.0; }
  constexpr bool Negative() const { return cents_ < 0; }
  constexpr Money Abs() const { return Money(cents_ < 0 ? -cents_ : cents_); }

  constexpr Money operator-() const { return Money(-cents_); }
  constexpr Money& operator+=(Money other) {
    cents_ += other.cents_;
    return *this;
  }
  constexpr Money& operator-=(Money other) {
    cents_ -= other.cents_;
    return *this;
  }
  friend constexpr Money operator+(Money a, Money b) { return a += b; }
  friend constexpr Money operator-(Money a, Money b) { return a -= b; }
  friend constexpr auto operator<=>(Money, Money) = default;

  // The amount with two decimals, the whole part grouped by three:
  // "-1.350,00" with the Brazilian separators (the defaults), "1,350.00"
  // with decimal '.' and thousands ','. A thousands separator of '\0'
  // groups nothing.
  std::string Format(char decimal = ',', char thousands = '.') const;
  // The magnitude as Format gives it, followed by " C" (zero or more) or
  // " D" (less than zero): how a statement's balance is shown.
  std::string FormatBalance(char decimal = ',', char thousands = '.') const;

 private:
  constexpr explicit Money(long long cents) : cents_(cents) {}
  long long cents_ = 0;
};

}  // namespace kvr
