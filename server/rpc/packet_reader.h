#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "rpc/json_handler.h"
#include "rpc/request_cost.h"
#include "store/statement.h"

namespace kvr::server {

// A data packet as PacketReader read it.
struct PacketRows {
  PackedRows rows;              // in the layout's column order; empty once an error is found
  size_t count = 0;             // the rows the packet holds, whatever their form
  std::string error;            // the first reason the packet does not fit its layout
  std::string statement_error;  // the first movement that does not belong to the statement
};

// Reads one data packet from the events of its JSON value, row by row, into
// rows in the layout's column order, in one pass, without a tree of the
// packet. The columns may come in any order, and "rows" may even come before
// "fields" (rows are then held as read until the columns are known). A
// column the layout marks optional may be missing; its cells are then null.
// Once the packet is known to be refused, no more rows are kept.
//
// The packet is refused (error names the column and the 1-based row; the
// packet_name names the packet, "pacote de movimentos") when it is not an
// object with "fields" and "rows", a column is missing, repeated, unknown or
// of another type, a row has the wrong number of values, a value has the
// wrong JSON type, a text is longer than its column, a number is not finite
// or a datetime breaks the packet format's date rule (datetimes are kept in
// its normal form), and when a value breaks the statement's rules: a date
// before 1900, an amount (VRMOVREAL, VRSALDINIC, VRSALDFIM) negative or from
// 10^13 up, a sign (IDMOVREAL, IDEXTRINI, IDEXTRFIM) other than "C" or "D",
// a period whose DTSALDINIC comes after its DTSALDFIN.
//
// Movements of a statement: when account is given, each row is also checked
// as a movement of that account's statement (CDREDUCONT equal to account,
// DTMOVREAL and VRMOVREAL not null), and the first that is not is named in
// statement_error; layout must then be MovExtrLayout. keep_rows false checks
// the packet without keeping its rows.
class PacketReader : public JsonHandler {
 public:
  PacketReader(const Layout& layout, std::string packet_name,
               std::optional<std::string> account = std::nullopt, bool keep_rows = true);

  // The packet once its value has ended (or as far as it came).
  PacketRows Finish();

  // Charges cost (when not null) with the rows and values held as they are
  // read; its BodyError passes.
  void SetCost(RequestCost* cost) { cost_ = cost; }

  void Null() override;
  void Boolean(bool value) override;
  void Integer(std::int64_t value) override;
  void Unsigned(std::uint64_t value) override;
  void Float(double value) override;
  void String(std::string& value) override;
  void Open(JsonKind kind) override;
  void Key(std::string& key) override;
  void Close() override;

 private:
  // One value of a row as it came.
  struct RawValue {
    JsonKind kind = JsonKind::kNull;
    std::string text;
    double number = 0;
  };
  enum class Where { kTop, kPacket, kFields, kField, kRows, kRow, kDone };

  void Scalar(JsonKind kind, std::string* text, double number);
  void FieldDone();
  void FieldsDone();
  void RowDone(size_t count);
  void CheckRow(std::vector<RawValue>& values, size_t count, size_t line);
  void SetError(std::string message);
  // The packet is refused: no more rows are kept.
  void DropRows();
  void Charge(size_t bytes, size_t& charged);

  const Layout& layout_;
  std::string name_;
  std::optional<std::string> account_;
  bool keep_rows_;

  Where where_ = Where::kTop;
  int skip_ = 0;            // depth inside a value that is not read
  std::string key_;         // the last key of the packet or of a field object
  bool has_fields_ = false, has_rows_ = false;
  bool fields_array_ = false, rows_array_ = false;
  std::string repeated_key_;

  // Columns: position_of_[layout column] = index of that column in the rows.
  std::vector<int> position_of_;
  // The rules on the values of the statement's columns: amounts absolute,
  // finite and below 10^13 (sign: the column with the letter), sign letters
  // "C" or "D"; and the period's columns, whose start may not pass its end.
  struct ValueRule {
    enum Kind { kNone, kAmount, kSign } kind = kNone;
    const char* sign = nullptr;
  };
  std::vector<ValueRule> rules_;
  std::optional<size_t> period_start_, period_end_;
  bool fields_known_ = false;
  size_t field_count_ = 0;
  bool field_has_name_ = false, field_has_type_ = false;
  std::string field_name_, field_type_;
  std::string field_error_;

  // Rows.
  std::vector<RawValue> values_;  // the row being read, in packet order
  size_t value_count_ = 0;
  std::vector<std::pair<std::vector<RawValue>, size_t>> waiting_;  // rows read before the columns
  bool waiting_full_ = false;
  size_t row_count_ = 0;
  std::string row_error_;
  std::string statement_error_;
  PackedRows rows_;
  RequestCost* cost_ = nullptr;
  size_t rows_charged_ = 0, waiting_charged_ = 0, slots_charged_ = 0;  // to cost_
  size_t account_column_ = 0, date_column_ = 0, value_column_ = 0;
};

}  // namespace kvr::server
