#include "platform/row_data.h"

#include <cstring>

namespace kvr {

namespace {

// Tags past Text: a text whose length needs four bytes.
constexpr unsigned char kLongText = 3;

}  // namespace

TCellView TRowData::Get(std::size_t column) const {
  TCellView cell;
  if (!bytes_) return cell;
  // bytes_[0..3] hold the packed size; the cells follow.
  std::uint32_t size = 0;
  std::memcpy(&size, bytes_.get(), 4);
  const unsigned char* p = bytes_.get() + 4;
  const unsigned char* end = p + size;
  for (std::size_t i = 0;; ++i) {
    if (p >= end) return cell;
    const unsigned char tag = *p++;
    std::size_t skip = 0;
    std::uint32_t length = 0;
    switch (tag) {
      case TCellView::Null:
        break;
      case TCellView::Number:
        skip = 8;
        break;
      case TCellView::Text:
        length = *p++;
        skip = length;
        break;
      default:
        std::memcpy(&length, p, 4);
        p += 4;
        skip = length;
        break;
    }
    if (i == column) {
      if (tag == TCellView::Number) {
        cell.kind = TCellView::Number;
        std::memcpy(&cell.number, p, 8);
      } else if (tag != TCellView::Null) {
        cell.kind = TCellView::Text;
        cell.text = std::string_view(reinterpret_cast<const char*>(p), length);
      }
      return cell;
    }
    p += skip;
  }
}

TRowCursor::TRowCursor(const TRowData& row) {
  if (!row.bytes_) return;
  std::uint32_t size = 0;
  std::memcpy(&size, row.bytes_.get(), 4);
  p_ = row.bytes_.get() + 4;
  end_ = p_ + size;
}

void TRowBuilder::AddNumber(double value) {
  char bytes[9];
  bytes[0] = TCellView::Number;
  std::memcpy(bytes + 1, &value, 8);
  buffer_.append(bytes, 9);
}

void TRowBuilder::AddText(std::string_view text) {
  if (text.size() < 256) {
    buffer_.push_back(TCellView::Text);
    buffer_.push_back(static_cast<char>(text.size()));
  } else {
    const std::uint32_t length = static_cast<std::uint32_t>(text.size());
    char bytes[5];
    bytes[0] = static_cast<char>(kLongText);
    std::memcpy(bytes + 1, &length, 4);
    buffer_.append(bytes, 5);
  }
  buffer_.append(text.data(), text.size());
}

void TRowBuilder::Add(const TCellView& cell) {
  switch (cell.kind) {
    case TCellView::Null: AddNull(); break;
    case TCellView::Number: AddNumber(cell.number); break;
    case TCellView::Text: AddText(cell.text); break;
  }
}

TRowData TRowBuilder::Finish() {
  TRowData row;
  const std::uint32_t size = static_cast<std::uint32_t>(buffer_.size());
  row.bytes_.reset(new unsigned char[4 + size]);
  std::memcpy(row.bytes_.get(), &size, 4);
  std::memcpy(row.bytes_.get() + 4, buffer_.data(), size);
  buffer_.clear();
  return row;
}

}  // namespace kvr
