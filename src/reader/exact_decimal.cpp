#include "reader/exact_decimal.h"

#include <charconv>
#include <iterator>

namespace kvr {

namespace {

constexpr int kMaxScale = 18;
constexpr int kMaxDigits = 38;

// 10^n as a 128-bit integer, n in 0..38.
TInt128 Pow10(int n) {
  TInt128 p = 1;
  for (int i = 0; i < n; ++i) p *= 10;
  return p;
}

}  // namespace

void ExactDecimal::Add(std::string_view text, bool negate) {
  if (!exact_) return;
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  TInt128 units = 0;
  int digits = 0;    // significant digits kept in units
  int fraction = 0;  // digits after the mark
  bool any = false;
  bool mark = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      any = true;
      if (mark) ++fraction;
      if (units == 0 && c == '0') continue;  // leading zeros
      if (++digits > kMaxDigits) {
        exact_ = false;
        return;
      }
      units = units * 10 + (c - '0');
    } else if ((c == '.' || c == ',') && !mark) {
      mark = true;
    } else {
      break;
    }
  }
  int exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) exp_negative = text[i++] == '-';
    const size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (exponent > 1000) {
        exact_ = false;
        return;
      }
      exponent = exponent * 10 + (text[i++] - '0');
    }
    if (i == from) i = text.size() + 1;  // no exponent digits: malformed
    if (exp_negative) exponent = -exponent;
  }
  if (!any || i != text.size()) {
    exact_ = false;
    return;
  }
  int scale = fraction - exponent;
  if (scale < 0 && units != 0) {
    if (digits - scale > kMaxDigits) {
      exact_ = false;
      return;
    }
    units *= Pow10(-scale);
    scale = 0;
  }
  AddUnits(negative != negate ? -units : units, scale);
}

void ExactDecimal::AddUnits(TInt128 units, int scale) {
  if (!exact_) return;
  // Trailing zeros of the fraction do not count against the scale.
  while (scale > 0 && units != 0 && units % 10 == 0) {
    units /= 10;
    --scale;
  }
  if (units == 0) scale = 0;
  exact_ = scale <= kMaxScale && AddScaled(units, scale);
}

void ExactDecimal::Add(const ExactDecimal& other) {
  if (!exact_) return;
  if (!other.exact_) {
    exact_ = false;
    return;
  }
  exact_ = AddScaled(other.units_, other.scale_);
}

bool ExactDecimal::AddScaled(TInt128 units, int scale) {
  // Bring both to the larger scale, then add, watching for overflow.
  if (scale > scale_) {
    if (__builtin_mul_overflow(units_, Pow10(scale - scale_), &units_)) return false;
    scale_ = scale;
  } else if (scale < scale_) {
    if (__builtin_mul_overflow(units, Pow10(scale_ - scale), &units)) return false;
  }
  return !__builtin_add_overflow(units_, units, &units_);
}

double ExactDecimal::ToDouble() const {
  // The decimal text of units_ followed by "e-" and scale_, written from its
  // end, read back correctly rounded.
  char text[64];
  char* p = std::end(text);
  *--p = static_cast<char>('0' + scale_ % 10);
  if (scale_ >= 10) *--p = static_cast<char>('0' + scale_ / 10);
  *--p = '-';
  *--p = 'e';
  const bool negative = units_ < 0;
  TUint128 u = negative ? static_cast<TUint128>(-(units_ + 1)) + 1 : static_cast<TUint128>(units_);
  do {
    *--p = static_cast<char>('0' + static_cast<int>(u % 10));
    u /= 10;
  } while (u != 0);
  if (negative) *--p = '-';
  double value = 0;
  std::from_chars(p, std::end(text), value);
  return value;
}

}  // namespace kvr
