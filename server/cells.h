#pragma once

#include <string>
#include <variant>
#include <vector>

namespace kvr::server {

// Column types of the module's tables, as named in data packets.
enum class FieldType { kString, kDateTime, kFloat };

// One column of a table layout. size is the most characters a kString column
// holds; 0 for the other types.
struct FieldDef {
  const char* name;
  FieldType type;
  int size;
};

using Layout = std::vector<FieldDef>;

// One column value of a checked row: null, a UTF-8 text (kString and kDateTime
// columns; datetimes as "YYYY-MM-DDTHH:MM:SS") or a finite number (kFloat).
using Cell = std::variant<std::monostate, std::string, double>;
using Row = std::vector<Cell>;

}  // namespace kvr::server
