#pragma once

#include <algorithm>
#include <map>
#include <vector>

#include "platform/cell_values.h"
#include "platform/row_store.h"

namespace kvr {

// The order of a table by its ordering columns (IndexFieldNames): ascending,
// null first, ties in insertion order. It keeps, per distinct key, the first
// and last row holding it: rows of one key are contiguous in the list, so a
// new row goes right after the last of its key, and the map holds only
// distinct keys (a few hundred dates for a year of movements), which keeps it
// cache-resident. The store must outlive the order.
class RowOrder {
 public:
  explicit RowOrder(RowStore& rows) : rows_(rows) {}
  RowOrder(const RowOrder&) = delete;
  RowOrder& operator=(const RowOrder&) = delete;

  // True when the table has ordering columns.
  bool Active() const { return !fields_.empty(); }
  // True when the 0-based column is one of the ordering columns.
  bool Orders(int field) const { return std::find(fields_.begin(), fields_.end(), field) != fields_.end(); }
  // The ordering columns (0-based), the first deciding first.
  const std::vector<int>& Fields() const { return fields_; }
  // Takes the ordering columns (0-based) and puts the stored rows in their
  // order, the present order breaking ties; no columns leave the rows as they
  // are.
  void SetFields(std::vector<int> fields);
  // Forgets every key (the store was emptied); the columns stay.
  void Clear() {
    groups_.clear();
    last_group_ = groups_.end();
  }

  // Links an unlinked row: in key order when the order is active, otherwise
  // before `before` (null: at the end).
  void Place(TableRow* r, TableRow* before);
  // Unlinks a row.
  void Unplace(TableRow* r);
  // True when a comes before b in table order (active order only).
  bool Before(const TableRow* a, const TableRow* b);
  // True when the values (one per column of the table) differ from the row's
  // in an ordering column: the row must move when they are stored.
  bool KeyDiffers(const TableRow* row, const std::vector<TVariant>& values) const;

 private:
  using Key = std::vector<TVariant>;
  struct KeyLess {
    bool operator()(const Key& a, const Key& b) const {
      for (size_t i = 0; i < a.size(); ++i) {
        const int c = CompareViews(View(a[i]), View(b[i]));
        if (c != 0) return c < 0;
      }
      return false;
    }
  };
  struct Group {
    TableRow* first = nullptr;
    TableRow* last = nullptr;
    int count = 0;
  };

  // The ordering key of a row, in the scratch vector (no allocation once its
  // capacity is reached).
  const Key& KeyOf(const TableRow* r);

  RowStore& rows_;
  std::vector<int> fields_;
  std::map<Key, Group, KeyLess> groups_;
  // The group Place used last, or end().
  std::map<Key, Group, KeyLess>::iterator last_group_ = groups_.end();
  Key scratch_key_;
};

}  // namespace kvr
