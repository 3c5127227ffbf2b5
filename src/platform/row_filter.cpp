#include "platform/row_filter.h"

namespace kvr {

void RowFilter::Set(std::unique_ptr<TFilterExpression> expression) {
  expression_ = std::move(expression);
  passing_ = 0;
  rows_.ForEachAllocated([this](TableRow& r) {
    r.passes = !expression_ || expression_->Matches(r.data);
    passing_ += r.passes ? 1 : 0;
  });
  cache_valid_ = false;
}

void RowFilter::Rejudge(TableRow* r) {
  const bool passes = !expression_ || expression_->Matches(r->data);
  if (expression_) {
    if (r->passes && !passes) --passing_;
    if (!r->passes && passes) ++passing_;
  }
  r->passes = passes;
  cache_valid_ = false;
}

const std::vector<TableRow*>& RowFilter::VisibleRows() {
  if (!cache_valid_) {
    visible_.clear();
    visible_.reserve(static_cast<size_t>(VisibleCount()));
    for (TableRow* r = rows_.head(); r != nullptr; r = r->next)
      if (Visible(r)) visible_.push_back(r);
    cache_valid_ = true;
  }
  return visible_;
}

}  // namespace kvr
