#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/cell_values.h"
#include "platform/row_hash_map.h"
#include "platform/row_store.h"

namespace kvr {

// A hash index of a table's rows on some key columns, compared as Locate
// compares: numbers at 15 significant digits, texts exactly or ignoring the
// case of the ASCII letters. Kept up to date by the table as rows are stored,
// changed and dropped. Holds row addresses: a row must be removed before it
// is dropped.
class LocateIndex {
 public:
  LocateIndex(std::vector<int> fields, bool case_insensitive)
      : fields_(std::move(fields)), case_insensitive_(case_insensitive) {}

  // True when the index is on these columns, compared this way.
  bool Serves(const std::vector<int>& fields, bool case_insensitive) const {
    return fields_ == fields && case_insensitive_ == case_insensitive;
  }

  // Indexes every row of the store (the index must be empty).
  void Build(const RowStore& rows);
  void Add(TableRow* r) { map_.emplace(RowHash(r), r); }
  void Remove(TableRow* r) { map_.erase(RowHash(r), r); }
  void Clear() { map_.clear(); }

  // Appends to found every indexed row whose key columns equal wanted (the
  // values of the table's columns, one per column, in the columns' types), in
  // no particular order.
  void FindAll(const std::vector<TVariant>& wanted, std::vector<TableRow*>& found) const;

 private:
  std::uint64_t RowHash(const TableRow* r) const;
  bool Matches(const RowData& row, const std::vector<TVariant>& wanted) const;

  std::vector<int> fields_;
  bool case_insensitive_;
  RowHashMap map_;
};

// The first of a growing list of rows to hold given key values, compared as
// LocateIndex compares them: what a Locate on the same keys would find if it
// ran before each row was added, over the rows added so far (all visible, in
// the order added), in one hash lookup. Keeps only the first row of each
// distinct key, and none holding a NaN number (equal to nothing). Holds row
// addresses: the rows must outlive the index and not change.
class FirstMatchIndex {
 public:
  FirstMatchIndex(std::vector<int> fields, bool case_insensitive)
      : fields_(std::move(fields)), case_insensitive_(case_insensitive) {}
  FirstMatchIndex(const FirstMatchIndex&) = delete;
  FirstMatchIndex& operator=(const FirstMatchIndex&) = delete;

  // Room for this many rows without growing.
  void Reserve(std::size_t rows);
  // The hash of key values (one per key column, in the columns' types and in
  // the order of the columns given), for Find and Add.
  std::uint64_t Hash(const RowCell* keys) const;
  // Asks the processor to fetch where a key of this hash is looked for: a
  // caller that knows its next keys early hides the wait on memory.
  void Prefetch(std::uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[static_cast<std::size_t>(hash) & (slots_.size() - 1)]);
  }
  // The 0-based number, in the order added, of the first row whose key
  // columns equal wanted (hash = Hash(wanted)); -1 when none does.
  int Find(const RowCell* wanted, std::uint64_t hash) const;
  int Find(const RowCell* wanted) const { return Find(wanted, Hash(wanted)); }
  // Adds a row whose key columns hold keys (hash = Hash(keys)); its number is
  // the count of rows added before it.
  void Add(const RowData& row, const RowCell* keys, std::uint64_t hash);
  void Add(const RowData& row);
  // Forgets where the rows added so far are, not their count: the rows added
  // from here on are looked for among themselves only.
  void ForgetSlots();

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t number = 0;  // 1-based; 0 = free
  };
  bool Usable(const RowCell* keys) const;
  // The number of the kept row equal to keys, or -1 with the free slot where
  // it would go.
  int Probe(std::uint64_t hash, const RowCell* keys, std::size_t* free_slot) const;
  void Rehash(std::size_t cap);

  std::vector<int> fields_;
  bool case_insensitive_;
  std::vector<const RowData*> rows_;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  std::vector<RowCell> scratch_;
};

}  // namespace kvr
