#pragma once

#include <string>
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

}  // namespace kvr::server
