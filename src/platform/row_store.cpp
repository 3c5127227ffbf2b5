#include "platform/row_store.h"

namespace kvr {

std::vector<TableRow*> RowStore::TakeInOrder() {
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

void RowStore::Clear() {
  pool_.clear();
  head_ = tail_ = nullptr;
  next_seq_ = 1;
}

}  // namespace kvr
