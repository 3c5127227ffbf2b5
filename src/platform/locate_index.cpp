#include "platform/locate_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kvr {

namespace {

// Hash of key values as the search compares them: numbers at 15 significant
// digits, texts case-folded when the search ignores case. cell_at(k) is the
// k-th key's value.
template <typename CellAt>
std::uint64_t KeyHash(std::size_t count, bool case_insensitive, CellAt cell_at) {
  std::uint64_t h = 1469598103934665603ull;
  auto mix = [&h](std::uint64_t v) { h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2); };
  for (std::size_t k = 0; k < count; ++k) {
    const RowCell v = cell_at(k);
    mix(v.kind);
    if (v.kind == RowCell::Number) {
      const double d = Round15(v.number) + 0.0;  // -0 becomes 0
      std::uint64_t bits = 0;
      std::memcpy(&bits, &d, sizeof d);
      mix(bits);
    } else if (v.kind == RowCell::Text) {
      std::uint64_t t = 1469598103934665603ull;
      for (char c : v.text) {
        if (case_insensitive && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        t = (t ^ static_cast<unsigned char>(c)) * 1099511628211ull;
      }
      mix(t);
    }
  }
  return h;
}

// Whether two values are equal as the search compares them; null equals only
// null, a NaN nothing.
bool KeyEqual(const RowCell& a, const RowCell& b, bool case_insensitive) {
  if (a.kind != b.kind) return false;
  if (a.kind == RowCell::Number) return Round15(a.number) == Round15(b.number);
  if (a.kind == RowCell::Text) return case_insensitive ? EqualAscii(a.text, b.text) : a.text == b.text;
  return true;
}

}  // namespace

std::uint64_t LocateIndex::RowHash(const TableRow* r) const {
  return KeyHash(fields_.size(), case_insensitive_,
                 [this, r](size_t k) { return r->data.Get(static_cast<size_t>(fields_[k])); });
}

bool LocateIndex::Matches(const RowData& row, const std::vector<TVariant>& wanted) const {
  for (int f : fields_) {
    if (!KeyEqual(row.Get(static_cast<size_t>(f)), View(wanted[static_cast<size_t>(f)]), case_insensitive_))
      return false;
  }
  return true;
}

void LocateIndex::Build(const RowStore& rows) {
  map_.reserve(static_cast<size_t>(rows.count()));
  for (TableRow* r = rows.head(); r != nullptr; r = r->next) Add(r);
}

void LocateIndex::FindAll(const std::vector<TVariant>& wanted, std::vector<TableRow*>& found) const {
  const std::uint64_t hash = KeyHash(fields_.size(), case_insensitive_, [this, &wanted](size_t k) {
    return View(wanted[static_cast<size_t>(fields_[k])]);
  });
  map_.for_each(hash, [&](TableRow* r) {
    if (Matches(r->data, wanted)) found.push_back(r);
  });
}

// ---------------------------------------------------------------- FirstMatchIndex

void FirstMatchIndex::Reserve(std::size_t rows) {
  rows_.reserve(rows);
  const std::size_t cap = std::bit_ceil(std::max<std::size_t>(16, rows * 2));
  if (cap > slots_.size()) Rehash(cap);
}

bool FirstMatchIndex::Usable(const RowCell* keys) const {
  for (std::size_t k = 0; k < fields_.size(); ++k)
    if (keys[k].kind == RowCell::Number && keys[k].number != keys[k].number) return false;
  return true;
}

int FirstMatchIndex::Probe(std::uint64_t hash, const RowCell* keys, std::size_t* free_slot) const {
  if (slots_.empty()) return -1;
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(hash) & mask;
  for (; slots_[i].number != 0; i = (i + 1) & mask) {
    if (slots_[i].hash != hash) continue;
    const RowData& row = *rows_[slots_[i].number - 1];
    bool equal = true;
    for (std::size_t k = 0; k < fields_.size() && equal; ++k)
      equal = KeyEqual(row.Get(static_cast<std::size_t>(fields_[k])), keys[k], case_insensitive_);
    if (equal) return static_cast<int>(slots_[i].number - 1);
  }
  if (free_slot != nullptr) *free_slot = i;
  return -1;
}

std::uint64_t FirstMatchIndex::Hash(const RowCell* keys) const {
  return KeyHash(fields_.size(), case_insensitive_, [keys](size_t k) { return keys[k]; });
}

int FirstMatchIndex::Find(const RowCell* wanted, std::uint64_t hash) const {
  if (!Usable(wanted)) return -1;
  return Probe(hash, wanted, nullptr);
}

void FirstMatchIndex::Add(const RowData& row) {
  std::vector<RowCell>& keys = scratch_;
  keys.resize(fields_.size());
  for (std::size_t k = 0; k < fields_.size(); ++k) keys[k] = row.Get(static_cast<std::size_t>(fields_[k]));
  Add(row, keys.data(), Hash(keys.data()));
}

void FirstMatchIndex::Add(const RowData& row, const RowCell* keys, std::uint64_t hash) {
  const std::uint32_t number = static_cast<std::uint32_t>(rows_.size()) + 1;
  rows_.push_back(&row);
  // A row equal to an earlier one is never the first; one holding a NaN
  // equals nothing.
  if (!Usable(keys)) return;
  if ((used_ + 1) * 2 > slots_.size()) Rehash(std::max<std::size_t>(16, slots_.size() * 2));
  std::size_t slot = 0;
  if (Probe(hash, keys, &slot) >= 0) return;
  slots_[slot] = Slot{hash, number};
  ++used_;
}

void FirstMatchIndex::ForgetSlots() {
  // A table of up to a megabyte is cleared where it is; a larger one starts
  // small again.
  if (slots_.size() <= 65536)
    std::fill(slots_.begin(), slots_.end(), Slot{});
  else
    slots_.assign(16, Slot{});
  used_ = 0;
}

void FirstMatchIndex::Rehash(std::size_t cap) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(cap, Slot{});
  const std::size_t mask = cap - 1;
  for (const Slot& s : old) {
    if (s.number == 0) continue;
    std::size_t i = static_cast<std::size_t>(s.hash) & mask;
    while (slots_[i].number != 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

}  // namespace kvr
