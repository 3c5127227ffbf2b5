#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "packed_rows.h"
#include "server_errors.h"
#include "wire/utf8.h"

namespace kvr::server {

// The module's layouts, the date rule and the UTF-8 length come from the
// packet format (wire/packet_format.h, wire/utf8.h); named here too.
using kvr::ColumnIndex;
using kvr::ContaCorrenteLayout;
using kvr::ExtrBancoLayout;
using kvr::MovExtrLayout;
using kvr::NormalizeDateTime;
using kvr::Utf8Length;

// Checks a data packet against layout and returns its rows with their cells
// in the layout's column order (the packet may list its columns in any
// order). packet_name names the packet in messages ("pacote de movimentos").
// Throws InvalidRequest when the packet is not an object with "fields" and
// "rows", a column is missing, repeated, unknown or of another type, a row
// has the wrong number of values, a value has the wrong JSON type, a text is
// longer than its column, a number is not finite or a datetime breaks the
// packet format's date rule (datetimes are returned in its normal form), and
// when a value breaks the statement's rules: a date before 1900, an amount
// (VRMOVREAL, VRSALDINIC, VRSALDFIM) negative or from 10^13 up, a sign
// (IDMOVREAL, IDEXTRINI, IDEXTRFIM) other than "C" or "D", a period whose
// DTSALDINIC comes after its DTSALDFIN. Messages name the column and the
// 1-based row.
std::vector<Row> CheckPacket(const nlohmann::json& packet, const Layout& layout,
                             const std::string& packet_name);

// A cell as a JSON value: a text, a number or null.
nlohmann::json CellJson(const Cell& cell);

// Builds a data packet in layout from rows whose cells follow the layout.
nlohmann::json MakePacket(const Layout& layout, const std::vector<Row>& rows);

// A statement as the module checked it: one header row in ExtrBancoLayout,
// its movements in MovExtrLayout (at least one) and the account code shared
// by all of them.
struct Statement {
  Row header;
  PackedRows movements;
  std::string account;
};

// The text of a cell, or def for null.
std::string CellText(const Cell& cell, const std::string& def = "");

}  // namespace kvr::server
