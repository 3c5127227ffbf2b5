#include "platform/row_order.h"

namespace kvr {

const RowOrder::Key& RowOrder::KeyOf(const TableRow* r) {
  scratch_key_.resize(fields_.size());
  for (size_t i = 0; i < fields_.size(); ++i)
    scratch_key_[i] = ToVariant(r->data.Get(static_cast<size_t>(fields_[i])));
  return scratch_key_;
}

void RowOrder::SetFields(std::vector<int> fields) {
  fields_ = std::move(fields);
  groups_.clear();
  last_group_ = groups_.end();
  if (fields_.empty()) return;
  for (TableRow* r : rows_.TakeInOrder()) Place(r, nullptr);
}

void RowOrder::Place(TableRow* r, TableRow* before) {
  if (fields_.empty()) {
    rows_.Link(r, before);
    return;
  }
  const Key& key = KeyOf(r);
  // Rows come mostly in runs of one key (a load adds them by date): the
  // group of the row placed before is tried first, the map searched only when
  // the key differs.
  auto it = last_group_;
  const KeyLess less;
  if (it == groups_.end() || less(key, it->first) || less(it->first, key)) it = groups_.find(key);
  if (it != groups_.end()) {
    Group& g = it->second;
    rows_.Link(r, g.last->next);
    g.last = r;
    ++g.count;
    last_group_ = it;
    return;
  }
  it = groups_.emplace(scratch_key_, Group{r, r, 1}).first;
  last_group_ = it;
  ++it;
  rows_.Link(r, it == groups_.end() ? nullptr : it->second.first);
}

void RowOrder::Unplace(TableRow* r) {
  const auto it = fields_.empty() ? groups_.end() : groups_.find(KeyOf(r));
  if (it != groups_.end() && --it->second.count == 0) {
    if (it == last_group_) last_group_ = groups_.end();
    groups_.erase(it);
  } else if (it != groups_.end()) {
    if (it->second.first == r) it->second.first = r->next;
    if (it->second.last == r) it->second.last = r->prev;
  }
  rows_.Unlink(r);
}

bool RowOrder::Before(const TableRow* a, const TableRow* b) {
  const Key ka = KeyOf(a);
  const Key& kb = KeyOf(b);
  if (KeyLess{}(ka, kb)) return true;
  if (KeyLess{}(kb, ka)) return false;
  return a->seq < b->seq;
}

bool RowOrder::KeyDiffers(const TableRow* row, const std::vector<TVariant>& values) const {
  for (int f : fields_) {
    const size_t i = static_cast<size_t>(f);
    if (CompareViews(row->data.Get(i), View(values[i])) != 0) return true;
  }
  return false;
}

}  // namespace kvr
