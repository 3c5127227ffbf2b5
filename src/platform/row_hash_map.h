#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/row_store.h"

namespace kvr {

// A multimap from 64-bit hashes (already mixed) to rows, with open
// addressing: one probe sequence in one array. std::unordered_multimap
// allocates a node per row and chases a pointer per probe; on the
// confirmation's search-then-insert of 100,000 movements (bench/table_bench,
// BM_LocateThenInsert) it took about 30% longer. Erased slots are tombstones
// until the next rehash.
class RowHashMap {
 public:
  void clear() {
    slots_.clear();
    used_ = live_ = 0;
  }
  // Room for n rows without a rehash.
  void reserve(size_t n) {
    const size_t cap = std::bit_ceil(std::max<size_t>(16, n * 2));
    if (cap > slots_.size()) Rehash(cap);
  }
  void emplace(std::uint64_t hash, TableRow* row) {
    if ((used_ + 1) * 2 > slots_.size())
      Rehash(std::bit_ceil(std::max<size_t>(16, (live_ + 1) * 4)));
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    while (slots_[i].row != nullptr && slots_[i].row != Tomb()) i = (i + 1) & mask;
    if (slots_[i].row == nullptr) ++used_;
    slots_[i] = Slot{hash, row};
    ++live_;
  }
  // Removes row stored under hash; nothing when it is not there.
  void erase(std::uint64_t hash, const TableRow* row) {
    if (slots_.empty()) return;
    const size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask; slots_[i].row != nullptr; i = (i + 1) & mask) {
      if (slots_[i].row == row) {
        slots_[i].row = Tomb();
        --live_;
        return;
      }
    }
  }
  // Calls f(row) for each row stored under hash.
  template <typename F>
  void for_each(std::uint64_t hash, F&& f) const {
    if (slots_.empty()) return;
    const size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask; slots_[i].row != nullptr; i = (i + 1) & mask)
      if (slots_[i].hash == hash && slots_[i].row != Tomb()) f(slots_[i].row);
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    TableRow* row = nullptr;
  };
  static TableRow* Tomb() {
    static TableRow tomb;
    return &tomb;
  }
  // cap must be a power of two.
  void Rehash(size_t cap) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(cap, Slot{});
    used_ = live_ = 0;
    for (const Slot& s : old)
      if (s.row != nullptr && s.row != Tomb()) emplace(s.hash, s.row);
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;  // live slots and tombstones
  size_t live_ = 0;
};

}  // namespace kvr
