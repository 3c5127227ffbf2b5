#pragma once

#include <memory>
#include <vector>

#include "platform/filter_expression.h"
#include "platform/row_store.h"

namespace kvr {

// Which rows of a table the filter in force lets through: each row carries
// the compiled filter's verdict, the filter counts the rows that pass, and
// keeps the visible rows in table order for access by position (rebuilt on
// demand after a change). Without a filter every row is visible. The store
// must outlive the filter.
class RowFilter {
 public:
  explicit RowFilter(RowStore& rows) : rows_(rows) {}
  RowFilter(const RowFilter&) = delete;
  RowFilter& operator=(const RowFilter&) = delete;

  bool On() const { return expression_ != nullptr; }
  // Puts the compiled filter in force (null: none) and judges every stored
  // row with it.
  void Set(std::unique_ptr<FilterExpression> expression) {
    expression_ = std::move(expression);
    passing_ = 0;
    rows_.ForEachAllocated([this](TableRow& r) {
      r.passes = !expression_ || expression_->Matches(r.data);
      passing_ += r.passes ? 1 : 0;
    });
    cache_valid_ = false;
  }

  bool Visible(const TableRow* r) const { return !expression_ || r->passes; }
  // The first visible row from r forwards (backwards), r included; null when
  // there is none.
  TableRow* NextVisible(TableRow* r) const {
    while (r != nullptr && !Visible(r)) r = r->next;
    return r;
  }
  TableRow* PrevVisible(TableRow* r) const {
    while (r != nullptr && !Visible(r)) r = r->prev;
    return r;
  }
  int VisibleCount() const { return expression_ ? passing_ : rows_.count(); }

  // A row just stored: judged and counted.
  void Admit(TableRow* r) {
    r->passes = !expression_ || expression_->Matches(r->data);
    if (expression_ && r->passes) ++passing_;
    cache_valid_ = false;
  }
  // A row whose values changed: judged again.
  void Rejudge(TableRow* r) {
    const bool passes = !expression_ || expression_->Matches(r->data);
    if (expression_) {
      if (r->passes && !passes) --passing_;
      if (!r->passes && passes) ++passing_;
    }
    r->passes = passes;
    cache_valid_ = false;
  }
  // The rows moved or were replaced: the positions are stale.
  void Invalidate() { cache_valid_ = false; }
  // The store was emptied.
  void Clear() {
    passing_ = 0;
    cache_valid_ = false;
  }

  // The visible rows in table order.
  const std::vector<TableRow*>& VisibleRows() {
    if (!cache_valid_) {
      visible_.clear();
      visible_.reserve(static_cast<size_t>(VisibleCount()));
      for (TableRow* r = rows_.head(); r != nullptr; r = r->next)
        if (Visible(r)) visible_.push_back(r);
      cache_valid_ = true;
    }
    return visible_;
  }

 private:
  RowStore& rows_;
  std::unique_ptr<FilterExpression> expression_;
  int passing_ = 0;
  std::vector<TableRow*> visible_;
  bool cache_valid_ = false;
};

}  // namespace kvr
