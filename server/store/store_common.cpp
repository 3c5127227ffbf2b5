#include "store/store_common.h"

#include <cstring>
#include <functional>

namespace kvr::server {

namespace {

// The view of a cell as a key compares it: a text column holds a text or
// null, the amount a number or null.
CellView KeyCell(CellView cell, bool number) {
  const CellView::Kind kind = number ? CellView::Kind::kNumber : CellView::Kind::kText;
  return cell.kind == kind ? cell : CellView();
}

std::uint64_t Mix(std::uint64_t hash, std::uint64_t value) {
  hash ^= value + 0x9E3779B97F4A7C15ull + (hash << 6) + (hash >> 2);
  return hash;
}

}  // namespace

MovementKeys::MovementKeys(const PackedRows& movements) : movements_(&movements) {
  const char* const names[] = {"DTMOVREAL", "VRMOVREAL", "NRDOCMOVREAL", "CDFITIDEXTR",
                               "CDFITIDCOMPL"};
  for (size_t i = 0; i < 5; ++i) columns_[i] = ColumnIndex(MovExtrLayout(), names[i]);
  std::string_view low, high;
  for (size_t row = 0; row < movements.size(); ++row) {
    const CellView date = KeyCell(movements.At(row, columns_[0]), false);
    if (date.kind != CellView::Kind::kText) {
      undated = true;
      continue;
    }
    if (low.empty() || date.text < low) low = date.text;
    if (high.empty() || date.text > high) high = date.text;
  }
  first = low;
  last = high;
}

void MovementKeys::Build() const {
  size_t capacity = 16;
  while (capacity < movements_->size() * 2) capacity *= 2;
  table_.resize(capacity);
  mask_ = capacity - 1;
  for (size_t row = 0; row < movements_->size(); ++row) {
    const Key key = KeyOf(row);
    // Each distinct key goes in once: a statement of many equal movements
    // (a body of a million copies of one row) would otherwise make one
    // probe run that every later insertion and look-up walks whole.
    // Distinct means on all five cells: a movement with a whole FITID and
    // one without may each match stored rows the other does not.
    const std::uint64_t hash = Hash(key);
    const auto check = static_cast<std::uint32_t>(hash >> 32);
    size_t slot = hash & mask_;
    bool present = false;
    for (; table_[slot].row != 0 && !present; slot = (slot + 1) & mask_)
      present = table_[slot].check == check && Identical(KeyOf(table_[slot].row - 1), key);
    if (!present) table_[slot] = {check, static_cast<std::uint32_t>(row + 1)};
  }
}

MovementKeys::Key MovementKeys::KeyOf(size_t row) const {
  Key key;
  for (size_t i = 0; i < 5; ++i) key.cells[i] = KeyCell(movements_->At(row, columns_[i]), i == 1);
  return key;
}

std::uint64_t MovementKeys::Hash(const Key& key) {
  std::uint64_t hash = 0;
  for (size_t i = 0; i < 4; ++i) {
    const CellView& cell = key.cells[i];
    hash = Mix(hash, static_cast<std::uint64_t>(cell.kind));
    if (cell.kind == CellView::Kind::kText) {
      hash = Mix(hash, std::hash<std::string_view>()(cell.text));
    } else if (cell.kind == CellView::Kind::kNumber) {
      const double amount = cell.number == 0.0 ? 0.0 : cell.number;
      std::uint64_t bits;
      std::memcpy(&bits, &amount, sizeof bits);
      hash = Mix(hash, bits);
    }
  }
  // The low bits pick the slot: let every bit of every cell reach them.
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDull;
  hash ^= hash >> 33;
  return hash;
}

namespace {

// Cells of a key compare by kind, then texts by their bytes and numbers by
// value.
bool SameCell(const CellView& x, const CellView& y) {
  if (x.kind != y.kind) return false;
  if (x.kind == CellView::Kind::kText) return x.text == y.text;
  if (x.kind == CellView::Kind::kNumber) return x.number == y.number;
  return true;
}

}  // namespace

bool MovementKeys::Identical(const Key& a, const Key& b) {
  for (size_t i = 0; i < 5; ++i)
    if (!SameCell(a.cells[i], b.cells[i])) return false;
  return true;
}

bool MovementKeys::Same(const Key& a, const Key& b) {
  // Two whole FITIDs decide; otherwise the first 10 characters do.
  const bool whole =
      a.cells[4].kind == CellView::Kind::kText && b.cells[4].kind == CellView::Kind::kText;
  for (size_t i = 0; i < 5; ++i) {
    if (i == (whole ? 3 : 4)) continue;
    if (!SameCell(a.cells[i], b.cells[i])) return false;
  }
  return true;
}

bool MovementKeys::Contains(const Cell& date, const Cell& value, const Cell& document,
                            const Cell& fitid, const Cell& whole_fitid) const {
  std::call_once(built_, [this] { Build(); });
  const Cell* const cells[] = {&date, &value, &document, &fitid, &whole_fitid};
  Key key;
  for (size_t i = 0; i < 5; ++i) key.cells[i] = KeyCell(ViewOf(*cells[i]), i == 1);
  const std::uint64_t hash = Hash(key);
  const auto check = static_cast<std::uint32_t>(hash >> 32);
  for (size_t slot = hash & mask_; table_[slot].row != 0; slot = (slot + 1) & mask_)
    if (table_[slot].check == check && Same(KeyOf(table_[slot].row - 1), key)) return true;
  return false;
}

const MovementKeys& KeysOf(const Statement& statement) {
  if (!statement.keys)
    statement.keys = std::make_shared<MovementKeys>(statement.movements);
  else
    statement.keys->Follow(statement.movements);
  return *statement.keys;
}

}  // namespace kvr::server
