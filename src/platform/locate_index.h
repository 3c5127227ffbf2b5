#pragma once

#include <cstdint>
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
  template <typename CellAt>
  std::uint64_t Hash(CellAt cell_at) const;
  std::uint64_t RowHash(const TableRow* r) const;
  bool Matches(const RowData& row, const std::vector<TVariant>& wanted) const;

  std::vector<int> fields_;
  bool case_insensitive_;
  RowHashMap map_;
};

}  // namespace kvr
