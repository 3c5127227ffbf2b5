#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/client_dataset.h"
#include "platform/row_data.h"

namespace kvr {

// A table filter compiled once against a table's columns and evaluated per
// row. The grammar is the one TClientDataSet::SetFilter documents.
class FilterExpression {
 public:
  // Compiles text against the columns. The empty (or blank) text lets every
  // row through. Throws EDatabaseError quoting the text for a malformed
  // expression, an unknown column or a literal its column cannot read.
  FilterExpression(std::string_view text, const std::vector<TFieldDef>& columns);
  ~FilterExpression();
  FilterExpression(const FilterExpression&) = delete;
  FilterExpression& operator=(const FilterExpression&) = delete;

  // True when the row (its values in column order) passes.
  bool Matches(const RowData& row) const;

  struct Node;

 private:
  std::unique_ptr<Node> root_;
};

// Reads "d/m/yyyy" (FormatSettings.DateSeparator, blanks around allowed),
// with with_time optionally followed by a blank and "h:n[:s]". Returns false
// when the text is no such date.
bool ParseDisplayDate(std::string_view text, TDateTime& date, bool with_time = true);

}  // namespace kvr
