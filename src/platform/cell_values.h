#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "platform/client_dataset.h"
#include "platform/row_data.h"

// How the in-memory table reads, compares and converts the values of its
// cells; shared by its row order, its search index and its fields.
namespace kvr {

// True when the texts are equal ignoring the case of the ASCII letters a-z.
bool EqualAscii(std::string_view a, std::string_view b);

// The number rounded to 15 significant digits, the precision at which the
// table's searches compare numbers (the text form of a float has that many).
double Round15(double v);

// A value as a cell view; a text views the variant's own string, so the view
// is valid while the variant lives unchanged.
inline RowCell View(const TVariant& v) {
  RowCell cell;
  if (v.index() == 1) {
    cell.kind = RowCell::Number;
    cell.number = std::get<1>(v);
  } else if (v.index() == 2) {
    cell.kind = RowCell::Text;
    cell.text = std::get<2>(v);
  }
  return cell;
}

// A stored cell as an owning value.
inline TVariant ToVariant(const RowCell& cell) {
  if (cell.kind == RowCell::Number) return cell.number;
  if (cell.kind == RowCell::Text) return std::string(cell.text);
  return TVariant{};
}

// -1, 0 or 1 as a orders before, with or after b: null first, then numbers,
// then texts (byte order); numbers and texts among themselves by value.
inline int CompareViews(const RowCell& a, const RowCell& b) {
  if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
  if (a.kind == RowCell::Number) return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
  if (a.kind == RowCell::Text) {
    const int c = a.text.compare(b.text);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return 0;
}

}  // namespace kvr
