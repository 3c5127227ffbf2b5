#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "store/packed_rows.h"
#include "store/server_errors.h"
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

// The text of a cell, "" for null.
std::string CellText(const Cell& cell);

}  // namespace kvr::server
