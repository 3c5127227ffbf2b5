#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace kvr {

// One stored value of a table row, as read: null, a number (floats and
// dates) or a text (Windows-1252). The text views the row's own bytes and is
// valid while the row is unchanged.
struct RowCell {
  enum Kind : unsigned char { Null = 0, Number = 1, Text = 2 };
  Kind kind = Null;
  double number = 0;
  std::string_view text;
};

// The values of one table row packed into a single allocation: per column a
// tag byte, then the number's 8 bytes or the text's length and bytes. A
// statement row of thirteen columns takes about a hundred bytes this way,
// where one variant per column took over five hundred. Move-only.
class RowData {
 public:
  RowData() = default;
  RowData(RowData&&) noexcept = default;
  RowData& operator=(RowData&&) noexcept = default;

  // The value of the 0-based column; a column past the packed ones is null.
  RowCell Get(std::size_t column) const;
  // Asks the processor to fetch the row's bytes ahead of their use: rows are
  // separate allocations, so a walk over a table would otherwise wait on
  // memory at every row.
  void Prefetch() const { __builtin_prefetch(bytes_.get()); }

 private:
  friend class RowBuilder;
  friend class RowCursor;
  std::unique_ptr<unsigned char[]> bytes_;
};

// Reads a row's values in column order, each in a few instructions (Get
// walks from the first column every time). The row must outlive the cursor.
class RowCursor {
 public:
  explicit RowCursor(const RowData& row);
  // The next column's value into cell; false past the last column.
  bool Next(RowCell& cell) {
    if (p_ >= end_) return false;
    const unsigned char tag = *p_++;
    if (tag == RowCell::Null) {
      cell = RowCell{};
    } else if (tag == RowCell::Number) {
      cell.kind = RowCell::Number;
      std::memcpy(&cell.number, p_, 8);
      p_ += 8;
    } else {
      std::uint32_t length = 0;
      if (tag == RowCell::Text) {
        length = *p_++;
      } else {
        std::memcpy(&length, p_, 4);
        p_ += 4;
      }
      cell.kind = RowCell::Text;
      cell.text = std::string_view(reinterpret_cast<const char*>(p_), length);
      p_ += length;
    }
    return true;
  }

 private:
  const unsigned char* p_ = nullptr;
  const unsigned char* end_ = nullptr;
};

// Packs the values of one row, column after column. Reusable: Finish hands
// the row over and starts the next one.
class RowBuilder {
 public:
  void AddNull() { buffer_.push_back(RowCell::Null); }
  void AddNumber(double value);
  void AddText(std::string_view text);
  void Add(const RowCell& cell);
  // The packed row; the builder is empty again.
  RowData Finish();

 private:
  std::string buffer_;
};

}  // namespace kvr
