#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "wire/packet_format.h"

namespace kvr::server {

// The packet format's column types and layouts (wire/packet_format.h), named
// here too as the server has always named them.
using kvr::FieldDef;
using kvr::FieldType;
using kvr::Layout;

// One column value of a checked row: null, a UTF-8 text (kString and kDateTime
// columns; datetimes as "YYYY-MM-DDTHH:MM:SS") or a finite number (kFloat).
using Cell = std::variant<std::monostate, std::string, double>;
using Row = std::vector<Cell>;

// One cell of PackedRows, seen in place: text points into the rows and stays
// valid while they live and are not cleared.
struct CellView {
  enum class Kind { kNull, kText, kNumber };
  Kind kind = Kind::kNull;
  std::string_view text;
  double number = 0;
};

// The view of a Cell (text points into cell).
CellView ViewOf(const Cell& cell);

// Rows of a table layout kept compactly, for the hundreds of thousands of
// movements of one statement: 8 bytes per cell in blocks of rows, the texts
// side by side in blocks of characters; no allocation per row or per text,
// and every block given back whole when the rows go. The cells of kFloat
// columns hold numbers (finite) or null, the others texts or null.
// Move-only.
class PackedRows {
 public:
  PackedRows() = default;
  explicit PackedRows(const Layout& layout);
  // rows, whose cells follow layout, packed.
  PackedRows(const Layout& layout, const std::vector<Row>& rows);

  PackedRows(PackedRows&&) = default;
  PackedRows& operator=(PackedRows&&) = default;

  size_t size() const { return rows_; }
  bool empty() const { return rows_ == 0; }

  // Adds a row with every cell null; Set fills the last row's cells.
  void AddRow();
  // Throws std::length_error for a text longer than 1 MiB or texts passing
  // 4 GiB in all.
  void SetText(size_t column, std::string_view text);
  void SetNumber(size_t column, double number);

  CellView At(size_t row, size_t column) const;
  // The row as cells (a copy).
  Row RowAt(size_t row) const;

  // Gives back every row and all memory.
  void Clear();

  // The bytes the rows hold: their cells, and the texts up to the last one.
  size_t Bytes() const {
    return rows_ * columns_ * sizeof(std::uint64_t) +
           (texts_.empty() ? 0 : (texts_.size() - 1) * kTextBlock + text_used_);
  }

 private:
  static constexpr size_t kRowsPerBlock = 4096;
  static constexpr size_t kTextBlock = 1024 * 1024;
  // A null cell in any column: no finite number has these bits, and no text
  // that long fits in the blocks.
  static constexpr std::uint64_t kNull = ~std::uint64_t{0};

  std::uint64_t& Slot(size_t row, size_t column) {
    return slots_[row / kRowsPerBlock][(row % kRowsPerBlock) * columns_ + column];
  }
  std::uint64_t Slot(size_t row, size_t column) const {
    return slots_[row / kRowsPerBlock][(row % kRowsPerBlock) * columns_ + column];
  }

  size_t columns_ = 0;
  std::vector<bool> numeric_;
  size_t rows_ = 0;
  std::vector<std::unique_ptr<std::uint64_t[]>> slots_;
  std::vector<std::unique_ptr<char[]>> texts_;
  size_t text_used_ = 0;  // in the last text block
};

}  // namespace kvr::server
