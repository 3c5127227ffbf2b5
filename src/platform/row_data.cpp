#include "platform/row_data.h"

#include <cstring>

namespace kvr {

namespace {

// Tags past Text: a text whose length needs four bytes.
constexpr unsigned char kLongText = 3;

}  // namespace

RowCell RowData::Get(std::size_t column) const {
  RowCell cell;
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
      case RowCell::Null:
        break;
      case RowCell::Number:
        skip = 8;
        break;
      case RowCell::Text:
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
      if (tag == RowCell::Number) {
        cell.kind = RowCell::Number;
        std::memcpy(&cell.number, p, 8);
      } else if (tag != RowCell::Null) {
        cell.kind = RowCell::Text;
        cell.text = std::string_view(reinterpret_cast<const char*>(p), length);
      }
      return cell;
    }
    p += skip;
  }
}

RowCursor::RowCursor(const RowData& row) {
  if (!row.bytes_) return;
  std::uint32_t size = 0;
  std::memcpy(&size, row.bytes_.get(), 4);
  p_ = row.bytes_.get() + 4;
  end_ = p_ + size;
}

void RowBuilder::AddNumber(double value) {
  char bytes[9];
  bytes[0] = RowCell::Number;
  std::memcpy(bytes + 1, &value, 8);
  buffer_.append(bytes, 9);
}

void RowBuilder::AddText(std::string_view text) {
  if (text.size() < 256) {
    buffer_.push_back(RowCell::Text);
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

void RowBuilder::Add(const RowCell& cell) {
  switch (cell.kind) {
    case RowCell::Null:
      AddNull();
      break;
    case RowCell::Number:
      AddNumber(cell.number);
      break;
    case RowCell::Text:
      AddText(cell.text);
      break;
  }
}

RowData RowBuilder::Finish() {
  RowData row;
  const std::uint32_t size = static_cast<std::uint32_t>(buffer_.size());
  row.bytes_.reset(new unsigned char[4 + size]);
  std::memcpy(row.bytes_.get(), &size, 4);
  std::memcpy(row.bytes_.get() + 4, buffer_.data(), size);
  buffer_.clear();
  return row;
}

}  // namespace kvr
