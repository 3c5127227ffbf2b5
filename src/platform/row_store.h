#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "platform/row_data.h"

namespace kvr {

// One stored row of the in-memory table. 32 bytes beside its packed values:
// a statement's rows are many.
struct TableRow {
  RowData data;
  TableRow* prev = nullptr;
  TableRow* next = nullptr;
  std::uint32_t seq = 0;  // insertion order, the tie-break of an ordered table
  bool passes = true;     // the filter's verdict (RowFilter keeps it)
};

// The rows of one table: allocated in a pool, linked in table order. Rows
// live in the pool so that whole-table passes (filter evaluation) read memory
// in allocation order instead of chasing the list. A row's address is stable
// from NewRow to Clear. Single-threaded.
class RowStore {
 public:
  RowStore() = default;
  RowStore(const RowStore&) = delete;
  RowStore& operator=(const RowStore&) = delete;

  TableRow* head() const { return head_; }
  // Rows taken by NewRow since the last Clear.
  int count() const { return static_cast<int>(pool_.size()); }

  // A row with no values, not yet linked, with the next insertion number.
  TableRow* NewRow() {
    TableRow* r = &pool_.emplace_back();
    r->seq = next_seq_++;
    return r;
  }
  // A fresh insertion number for a row that moves (its ties now follow).
  std::uint32_t NextSeq() { return next_seq_++; }

  // Links r before `before` (null: at the end).
  void Link(TableRow* r, TableRow* before) {
    if (before == nullptr) {
      r->prev = tail_;
      r->next = nullptr;
      if (tail_ != nullptr) tail_->next = r; else head_ = r;
      tail_ = r;
    } else {
      r->next = before;
      r->prev = before->prev;
      if (before->prev != nullptr) before->prev->next = r; else head_ = r;
      before->prev = r;
    }
  }
  void Unlink(TableRow* r) {
    if (r->prev != nullptr) r->prev->next = r->next; else head_ = r->next;
    if (r->next != nullptr) r->next->prev = r->prev; else tail_ = r->prev;
    r->prev = r->next = nullptr;
  }

  // Unlinks every row and returns them in their table order, numbered anew
  // in that order; the caller links them again.
  std::vector<TableRow*> TakeInOrder() {
    std::vector<TableRow*> rows;
    rows.reserve(pool_.size());
    for (TableRow* r = head_; r != nullptr; r = r->next) rows.push_back(r);
    std::uint32_t seq = 1;
    for (TableRow* r : rows) {
      r->seq = seq++;
      r->prev = r->next = nullptr;
    }
    next_seq_ = seq;
    head_ = tail_ = nullptr;
    return rows;
  }

  // Calls f(row) for every stored row in allocation order (not table order).
  template <typename F>
  void ForEachAllocated(F&& f) {
    for (TableRow& r : pool_) f(r);
  }

  // Frees every row.
  void Clear() {
    pool_.clear();
    head_ = tail_ = nullptr;
    next_seq_ = 1;
  }

 private:
  std::deque<TableRow> pool_;
  TableRow* head_ = nullptr;
  TableRow* tail_ = nullptr;
  std::uint32_t next_seq_ = 1;
};

}  // namespace kvr
