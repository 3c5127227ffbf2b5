#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "packed_rows.h"
#include "platform/errors.h"

namespace kvr::server {

// The three layouts the screen exchanges with the server: the statement
// header (cdsExtrBanco), the movements sent (cdsMovExtrAux, 13 columns) and
// the bank accounts returned (cdsContaCorrente).
const Layout& ExtrBancoLayout();
const Layout& MovExtrLayout();
const Layout& ContaCorrenteLayout();

// The index of the named column in layout; throws std::out_of_range for a
// name the layout does not have.
size_t ColumnIndex(const Layout& layout, const std::string& name);

// The packet name of a column type: "string", "datetime", "float".
const char* TypeName(FieldType type);

// A packet that does not fit its layout, or a statement the module refuses.
// what() is the Portuguese sentence for the user (UTF-8).
class InvalidRequest : public Exception {
 public:
  using Exception::Exception;
};

// Checks a data packet against layout and returns its rows with their cells
// in the layout's column order (the packet may list its columns in any
// order). packet_name names the packet in messages ("pacote de movimentos").
// Throws InvalidRequest when the packet is not an object with "fields" and
// "rows", a column is missing, repeated, unknown or of another type, a row
// has the wrong number of values, a value has the wrong JSON type, a text is
// longer than its column, a number is not finite or a datetime is not a
// valid "YYYY-MM-DDTHH:MM:SS" (".fff" and a bare "YYYY-MM-DD" are accepted
// and normalised). Messages name the 1-based row.
std::vector<Row> CheckPacket(const nlohmann::json& packet, const Layout& layout,
                             const std::string& packet_name);

// Builds a data packet in layout from rows whose cells follow the layout.
nlohmann::json MakePacket(const Layout& layout, const std::vector<Row>& rows);

// The number of characters in a UTF-8 text (the text came through a JSON
// parser, so it is valid UTF-8; each character is one Windows-1252 byte in
// the client's tables).
size_t Utf8Length(const std::string& text);

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
