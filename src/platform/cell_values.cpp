#include "platform/cell_values.h"

#include <algorithm>
#include <cmath>

// Out of line on purpose: inlined, they grew the callers enough that the
// compiler stopped inlining the field lookup by name, the table's hottest call.
namespace kvr {

bool EqualAscii(std::string_view a, std::string_view b) {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  return std::ranges::equal(a, b, {}, upper, upper);
}

double Round15(double v) {
  static const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (v == 0.0 || !std::isfinite(v)) return v == 0.0 ? 0.0 : v;
  const double a = std::fabs(v);
  int e;
  if (a >= 1.0 && a < 1e15) {
    // The decimal exponent without the logarithm, which took most of the
    // time of a search by amount: the powers of ten below a. Near a power of
    // ten the logarithm's own rounding decides, as it always did.
    e = static_cast<int>(std::upper_bound(kPow10, kPow10 + 16, a) - kPow10) - 1;
    if (a < kPow10[e] * (1 + 1e-12) || a > kPow10[e + 1] * (1 - 1e-12))
      e = static_cast<int>(std::floor(std::log10(a)));
  } else {
    e = static_cast<int>(std::floor(std::log10(a)));
  }
  const int shift = 14 - e;
  if (shift >= 0 && shift <= 22) return std::round(v * kPow10[shift]) / kPow10[shift];
  if (shift < 0 && -shift <= 22) return std::round(v / kPow10[-shift]) * kPow10[-shift];
  return v;
}

}  // namespace kvr
