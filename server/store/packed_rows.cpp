#include "store/packed_rows.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kvr::server {

CellView ViewOf(const Cell& cell) {
  CellView view;
  if (const auto* text = std::get_if<std::string>(&cell)) {
    view.kind = CellView::Kind::kText;
    view.text = *text;
  } else if (const auto* number = std::get_if<double>(&cell)) {
    view.kind = CellView::Kind::kNumber;
    view.number = *number;
  }
  return view;
}

PackedRows::PackedRows(const Layout& layout) : columns_(layout.size()) {
  for (const FieldDef& def : layout) numeric_.push_back(def.type == FieldType::kFloat);
}

PackedRows::PackedRows(const Layout& layout, const std::vector<Row>& rows) : PackedRows(layout) {
  for (const Row& row : rows) {
    AddRow();
    for (size_t column = 0; column < columns_ && column < row.size(); ++column) {
      if (const auto* text = std::get_if<std::string>(&row[column]))
        SetText(column, *text);
      else if (const auto* number = std::get_if<double>(&row[column]))
        SetNumber(column, *number);
    }
  }
}

void PackedRows::AddRow() {
  if (rows_ % kRowsPerBlock == 0)
    slots_.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(kRowsPerBlock * columns_));
  std::uint64_t* row = &slots_.back()[(rows_ % kRowsPerBlock) * columns_];
  std::fill(row, row + columns_, kNull);
  ++rows_;
}

void PackedRows::SetText(size_t column, std::string_view text) {
  if (text.size() > kTextBlock) throw std::length_error("texto longo demais para uma célula");
  if (texts_.empty() || text_used_ + text.size() > kTextBlock) {
    if (texts_.size() >= (std::uint64_t{1} << 32) / kTextBlock)
      throw std::length_error("textos demais para um pacote");
    texts_.push_back(std::make_unique_for_overwrite<char[]>(kTextBlock));
    text_used_ = 0;
  }
  std::memcpy(texts_.back().get() + text_used_, text.data(), text.size());
  const std::uint64_t offset = (texts_.size() - 1) * kTextBlock + text_used_;
  text_used_ += text.size();
  Slot(rows_ - 1, column) = offset << 32 | text.size();
}

void PackedRows::SetNumber(size_t column, double number) {
  std::uint64_t bits;
  std::memcpy(&bits, &number, sizeof bits);
  Slot(rows_ - 1, column) = bits;
}

CellView PackedRows::At(size_t row, size_t column) const {
  CellView view;
  const std::uint64_t bits = Slot(row, column);
  if (bits == kNull) return view;
  if (numeric_[column]) {
    view.kind = CellView::Kind::kNumber;
    std::memcpy(&view.number, &bits, sizeof bits);
  } else {
    view.kind = CellView::Kind::kText;
    const size_t offset = bits >> 32;
    view.text = std::string_view(texts_[offset / kTextBlock].get() + offset % kTextBlock,
                                 bits & 0xFFFFFFFFu);
  }
  return view;
}

Row PackedRows::RowAt(size_t row) const {
  Row out(columns_);
  for (size_t column = 0; column < columns_; ++column) {
    const CellView cell = At(row, column);
    if (cell.kind == CellView::Kind::kText)
      out[column] = std::string(cell.text);
    else if (cell.kind == CellView::Kind::kNumber)
      out[column] = cell.number;
  }
  return out;
}

void PackedRows::Clear() {
  rows_ = 0;
  std::vector<std::unique_ptr<std::uint64_t[]>>().swap(slots_);
  std::vector<std::unique_ptr<char[]>>().swap(texts_);
  text_used_ = 0;
}

}  // namespace kvr::server
