#pragma once

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <variant>

#include "platform/client_dataset.h"
#include "platform/row_data.h"

// How the in-memory table reads, compares and converts the values of its
// cells; shared by its row order, its search index and its fields.
namespace kvr {

// True when the texts are equal ignoring the case of the ASCII letters a-z.
inline bool EqualAscii(std::string_view a, std::string_view b) {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  return std::ranges::equal(a, b, {}, upper, upper);
}

// The number rounded to 15 significant digits, the precision at which the
// table's searches compare numbers (the text form of a float has that many).
inline double Round15(double v) {
  static const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (v == 0.0 || !std::isfinite(v)) return v == 0.0 ? 0.0 : v;
  const int e = static_cast<int>(std::floor(std::log10(std::fabs(v))));
  const int shift = 14 - e;
  if (shift >= 0 && shift <= 22) return std::round(v * kPow10[shift]) / kPow10[shift];
  if (shift < 0 && -shift <= 22) return std::round(v / kPow10[-shift]) * kPow10[-shift];
  return v;
}

// A value as a cell view; a text views the variant's own string, so the view
// is valid while the variant lives unchanged.
inline TCellView View(const TVariant& v) {
  TCellView cell;
  if (v.index() == 1) {
    cell.kind = TCellView::Number;
    cell.number = std::get<1>(v);
  } else if (v.index() == 2) {
    cell.kind = TCellView::Text;
    cell.text = std::get<2>(v);
  }
  return cell;
}

// A stored cell as an owning value.
inline TVariant ToVariant(const TCellView& cell) {
  if (cell.kind == TCellView::Number) return cell.number;
  if (cell.kind == TCellView::Text) return std::string(cell.text);
  return TVariant{};
}

// -1, 0 or 1 as a orders before, with or after b: null first, then numbers,
// then texts (byte order); numbers and texts among themselves by value.
inline int CompareViews(const TCellView& a, const TCellView& b) {
  if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
  if (a.kind == TCellView::Number) return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
  if (a.kind == TCellView::Text) {
    const int c = a.text.compare(b.text);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return 0;
}

}  // namespace kvr
