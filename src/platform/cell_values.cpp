#include "platform/cell_values.h"

#include <cmath>

namespace kvr {

bool EqualAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

double Round15(double v) {
  static const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10,
                                  1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21,
                                  1e22};
  if (v == 0.0 || !std::isfinite(v)) return v == 0.0 ? 0.0 : v;
  const int e = static_cast<int>(std::floor(std::log10(std::fabs(v))));
  const int shift = 14 - e;
  if (shift >= 0 && shift <= 22) return std::round(v * kPow10[shift]) / kPow10[shift];
  if (shift < 0 && -shift <= 22) return std::round(v / kPow10[-shift]) * kPow10[-shift];
  return v;
}

}  // namespace kvr
