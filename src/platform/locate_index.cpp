#include "platform/locate_index.h"

#include <cstring>

namespace kvr {

// Hash of a row's key columns as the search compares them: numbers at 15
// significant digits, texts case-folded when the index ignores case.
template <typename CellAt>
std::uint64_t LocateIndex::Hash(CellAt cell_at) const {
  std::uint64_t h = 1469598103934665603ull;
  auto mix = [&h](std::uint64_t v) { h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2); };
  for (int f : fields_) {
    const RowCell v = cell_at(static_cast<size_t>(f));
    mix(v.kind);
    if (v.kind == RowCell::Number) {
      const double d = Round15(v.number) + 0.0;  // -0 becomes 0
      std::uint64_t bits = 0;
      std::memcpy(&bits, &d, sizeof d);
      mix(bits);
    } else if (v.kind == RowCell::Text) {
      std::uint64_t t = 1469598103934665603ull;
      for (char c : v.text) {
        if (case_insensitive_ && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        t = (t ^ static_cast<unsigned char>(c)) * 1099511628211ull;
      }
      mix(t);
    }
  }
  return h;
}

std::uint64_t LocateIndex::RowHash(const TableRow* r) const {
  return Hash([r](size_t f) { return r->data.Get(f); });
}

bool LocateIndex::Matches(const RowData& row, const std::vector<TVariant>& wanted) const {
  for (int f : fields_) {
    const RowCell a = row.Get(static_cast<size_t>(f));
    const TVariant& b = wanted[static_cast<size_t>(f)];
    if (a.kind != b.index()) return false;
    if (a.kind == RowCell::Number) {
      if (Round15(a.number) != Round15(std::get<1>(b))) return false;
    } else if (a.kind == RowCell::Text) {
      const std::string& y = std::get<2>(b);
      if (case_insensitive_ ? !EqualAscii(a.text, y) : a.text != y) return false;
    }
  }
  return true;
}

void LocateIndex::Build(const RowStore& rows) {
  map_.reserve(static_cast<size_t>(rows.count()));
  for (TableRow* r = rows.head(); r != nullptr; r = r->next) Add(r);
}

void LocateIndex::FindAll(const std::vector<TVariant>& wanted, std::vector<TableRow*>& found) const {
  map_.for_each(Hash([&wanted](size_t f) { return View(wanted[f]); }), [&](TableRow* r) {
    if (Matches(r->data, wanted)) found.push_back(r);
  });
}

}  // namespace kvr
