#include "rpc/packet_reader.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "rpc/log_text.h"
#include "wire/utf8.h"

namespace kvr::server {

namespace {

// A client text quoted in a message, cut after 60 characters.
std::string Quote(const std::string& text) { return "\"" + CutText(text, 60) + "\""; }

// Amounts travel as absolute values beside the letter that carries their
// sign; the largest the tables take is below 10^13 (thirteen digits and the
// cents, as the application's money columns hold).
constexpr double kAmountLimit = 1e13;
// The first year a date of a statement may fall in (the last is 9999, the
// date rule's).
constexpr std::string_view kFirstYear = "1900";

struct AmountRule {
  const char* amount;
  const char* sign;
};
constexpr AmountRule kAmountRules[] = {
    {"VRMOVREAL", "IDMOVREAL"}, {"VRSALDINIC", "IDEXTRINI"}, {"VRSALDFIM", "IDEXTRFIM"}};

std::string NumberText(double number) {
  std::string text;
  AppendNumber(text, number);
  return text;
}

}  // namespace

PacketReader::PacketReader(const Layout& layout, std::string packet_name,
                           std::optional<std::string> account, bool keep_rows)
    : layout_(layout),
      name_(std::move(packet_name)),
      account_(std::move(account)),
      keep_rows_(keep_rows),
      position_of_(layout.size(), -1),
      rules_(layout.size()),
      values_(layout.size()),
      rows_(layout) {
  for (size_t column = 0; column < layout.size(); ++column) {
    const std::string_view name = layout[column].name;
    for (const AmountRule& rule : kAmountRules) {
      if (name == rule.amount) rules_[column] = {ValueRule::kAmount, rule.sign};
      if (name == rule.sign) rules_[column] = {ValueRule::kSign, nullptr};
    }
    if (name == "DTSALDINIC") period_start_ = column;
    if (name == "DTSALDFIN") period_end_ = column;
  }
  if (account_) {
    account_column_ = ColumnIndex(layout, "CDREDUCONT");
    date_column_ = ColumnIndex(layout, "DTMOVREAL");
    value_column_ = ColumnIndex(layout, "VRMOVREAL");
  }
}

void PacketReader::Charge(size_t bytes, size_t& charged) {
  if (cost_ == nullptr) return;
  cost_->Charge(bytes);
  charged += bytes;
}

void PacketReader::DropRows() {
  keep_rows_ = false;
  rows_.Clear();
  if (cost_ != nullptr) cost_->Release(std::exchange(rows_charged_, 0));
}

void PacketReader::SetError(std::string message) {
  if (row_error_.empty()) row_error_ = std::move(message);
  DropRows();
}

// --- events ------------------------------------------------------------------

void PacketReader::Null() { Scalar(JsonKind::kNull, nullptr, 0); }
void PacketReader::Boolean(bool) { Scalar(JsonKind::kBoolean, nullptr, 0); }
void PacketReader::Integer(std::int64_t value) {
  Scalar(JsonKind::kNumber, nullptr, static_cast<double>(value));
}
void PacketReader::Unsigned(std::uint64_t value) {
  Scalar(JsonKind::kNumber, nullptr, static_cast<double>(value));
}
void PacketReader::Float(double value) { Scalar(JsonKind::kNumber, nullptr, value); }
void PacketReader::String(std::string& value) { Scalar(JsonKind::kString, &value, 0); }

void PacketReader::Key(std::string& key) {
  if (skip_ > 0) return;
  key_ = std::move(key);
  if (where_ == Where::kPacket && (key_ == "fields" || key_ == "rows")) {
    bool& seen = key_ == "fields" ? has_fields_ : has_rows_;
    if (seen && repeated_key_.empty()) repeated_key_ = key_;
    seen = true;
  }
}

void PacketReader::Scalar(JsonKind kind, std::string* text, double number) {
  if (skip_ > 0) return;
  switch (where_) {
    case Where::kTop:
      where_ = Where::kDone;
      return;
    case Where::kPacket:
      // {"guardado": TOKEN}: the movements the server kept (see PacketRows).
      if (key_ == "guardado" && kind == JsonKind::kString && text != nullptr && text->size() <= 64)
        reference_ = std::move(*text);
      return;
    case Where::kFields:
      // A column that is not an object.
      ++field_count_;
      if (field_error_.empty())
        field_error_ = "A coluna " + std::to_string(field_count_) + " do " + name_ +
                       " não tem nome e tipo.";
      return;
    case Where::kField:
      // A name or a type of another kind (even a list or an object) is none.
      if (key_ == "name" || key_ == "type") {
        const bool name = key_ == "name";
        (name ? field_has_name_ : field_has_type_) = kind == JsonKind::kString;
        if (kind == JsonKind::kString) (name ? field_name_ : field_type_) = std::move(*text);
      }
      return;
    case Where::kRows:
      // A row that is not a list: no values.
      RowDone(0);
      return;
    case Where::kRow:
      if (value_count_ < values_.size()) {
        RawValue& value = values_[value_count_];
        value.kind = kind;
        // Exchanged with the slot's text, whose room then serves the reader's
        // next text: no copy, and no allocation once every room is large
        // enough. A slot's room that grows is charged.
        if (text != nullptr) {
          const size_t room = value.text.capacity();
          value.text.swap(*text);
          if (value.text.capacity() > room) Charge(value.text.capacity() - room, slots_charged_);
        }
        value.number = number;
      }
      ++value_count_;
      return;
    case Where::kDone:
      return;
  }
}

void PacketReader::Open(JsonKind kind) {
  if (skip_ > 0) {
    ++skip_;
    return;
  }
  switch (where_) {
    case Where::kTop:
      where_ = kind == JsonKind::kObject ? Where::kPacket : Where::kDone;
      if (where_ == Where::kDone) skip_ = 1;
      return;
    case Where::kPacket: {
      const bool first = repeated_key_.empty() || repeated_key_ != key_;
      if (kind == JsonKind::kArray && key_ == "fields" && first && !fields_array_) {
        fields_array_ = true;
        where_ = Where::kFields;
      } else if (kind == JsonKind::kArray && key_ == "rows" && first && !rows_array_) {
        rows_array_ = true;
        where_ = Where::kRows;
      } else {
        skip_ = 1;
      }
      return;
    }
    case Where::kFields:
      if (kind == JsonKind::kObject) {
        where_ = Where::kField;
        field_has_name_ = field_has_type_ = false;
        key_.clear();
        return;
      }
      [[fallthrough]];
    case Where::kField:
    case Where::kRow:
      // A list or an object where a column, a column's name or type, or a
      // row's value goes: taken as a value of the wrong kind, and skipped.
      Scalar(kind, nullptr, 0);
      skip_ = 1;
      return;
    case Where::kRows:
      if (kind == JsonKind::kArray) {
        where_ = Where::kRow;
        value_count_ = 0;
      } else {
        RowDone(0);
        skip_ = 1;
      }
      return;
    case Where::kDone:
      skip_ = 1;
      return;
  }
}

void PacketReader::Close() {
  if (skip_ > 0) {
    --skip_;
    return;
  }
  switch (where_) {
    case Where::kPacket: where_ = Where::kDone; return;
    case Where::kFields:
      FieldsDone();
      where_ = Where::kPacket;
      return;
    case Where::kField:
      FieldDone();
      where_ = Where::kFields;
      return;
    case Where::kRows: where_ = Where::kPacket; return;
    case Where::kRow:
      where_ = Where::kRows;
      RowDone(value_count_);
      return;
    default: return;
  }
}

// --- columns -----------------------------------------------------------------

void PacketReader::FieldDone() {
  ++field_count_;
  if (!field_error_.empty()) return;
  if (!field_has_name_ || !field_has_type_) {
    field_error_ =
        "A coluna " + std::to_string(field_count_) + " do " + name_ + " não tem nome e tipo.";
    return;
  }
  size_t column = layout_.size();
  for (size_t i = 0; i < layout_.size(); ++i)
    if (field_name_ == layout_[i].name) column = i;
  if (column == layout_.size()) {
    field_error_ = "O " + name_ + " tem a coluna desconhecida " + Quote(field_name_) + ".";
    return;
  }
  if (position_of_[column] >= 0) {
    field_error_ = "O " + name_ + " repete a coluna " + field_name_ + ".";
    return;
  }
  if (field_type_ != FieldTypeName(layout_[column].type)) {
    field_error_ = "A coluna " + field_name_ + " do " + name_ + " deve ser do tipo " +
                   FieldTypeName(layout_[column].type) + ", não " + Quote(field_type_) + ".";
    return;
  }
  position_of_[column] = static_cast<int>(field_count_ - 1);
}

void PacketReader::FieldsDone() {
  if (field_error_.empty())
    for (size_t column = 0; column < layout_.size(); ++column)
      if (position_of_[column] < 0 && !layout_[column].optional) {
        field_error_ = "O " + name_ + " não tem a coluna " + layout_[column].name + ".";
        break;
      }
  fields_known_ = true;
  if (!field_error_.empty()) DropRows();
  // Rows that came before the columns.
  std::vector<std::pair<std::vector<RawValue>, size_t>> waiting;
  waiting.swap(waiting_);
  size_t line = 0;
  for (auto& [values, count] : waiting) CheckRow(values, count, ++line);
  waiting.clear();
  if (cost_ != nullptr) cost_->Release(std::exchange(waiting_charged_, 0));
}

// --- rows --------------------------------------------------------------------

void PacketReader::RowDone(size_t count) {
  ++row_count_;
  if (fields_known_) {
    CheckRow(values_, count, row_count_);
    return;
  }
  // The columns are not known yet: hold the row as it came, up to the first
  // one of the wrong length (no later row can give the first error).
  if (waiting_full_) return;
  std::vector<RawValue> values(values_.begin(),
                               values_.begin() + static_cast<long>(std::min(count, values_.size())));
  values.resize(values_.size());
  size_t bytes = sizeof(waiting_[0]) + values.size() * sizeof(RawValue);
  for (const RawValue& value : values) bytes += value.text.capacity();
  Charge(bytes, waiting_charged_);
  waiting_.emplace_back(std::move(values), count);
  const size_t required = std::count_if(layout_.begin(), layout_.end(),
                                        [](const FieldDef& def) { return !def.optional; });
  if (count != layout_.size() && count != required) waiting_full_ = true;
}

void PacketReader::CheckRow(std::vector<RawValue>& values, size_t count, size_t line) {
  if (!field_error_.empty() || !row_error_.empty()) return;
  // The columns the packet declared: an optional one may be absent.
  if (count != field_count_) {
    SetError("A linha " + std::to_string(line) + " do " + name_ + " tem " + std::to_string(count) +
             " valores; esperados " + std::to_string(field_count_) + ".");
    return;
  }
  auto where = [&] { return " (linha " + std::to_string(line) + " do " + name_ + ")"; };
  for (size_t column = 0; column < layout_.size(); ++column) {
    const FieldDef& def = layout_[column];
    if (position_of_[column] < 0) continue;
    RawValue& value = values[static_cast<size_t>(position_of_[column])];
    if (value.kind == JsonKind::kNull) continue;
    switch (def.type) {
      case FieldType::kString: {
        if (value.kind != JsonKind::kString)
          return SetError("O valor da coluna " + std::string(def.name) + where() +
                          " deve ser um texto, não " + JsonKindText(value.kind) + ".");
        if (value.text.find('\0') != std::string::npos)
          return SetError("O texto da coluna " + std::string(def.name) + where() +
                          " contém o caractere nulo (código 0), que não é gravado no banco de "
                          "dados; retire-o e tente de novo.");
        // No more characters than bytes: only a text longer in bytes is counted.
        const size_t length =
            value.text.size() > static_cast<size_t>(def.size) ? Utf8Length(value.text) : 0;
        if (length > static_cast<size_t>(def.size))
          return SetError("O texto " + Quote(value.text) + " da coluna " + def.name + where() +
                          " tem " + std::to_string(length) + " caracteres; o limite é " +
                          std::to_string(def.size) + ".");
        if (rules_[column].kind == ValueRule::kSign && value.text != "C" && value.text != "D")
          return SetError("O indicador " + Quote(value.text) + " da coluna " + def.name + where() +
                          " deve ser \"C\" (crédito) ou \"D\" (débito).");
        break;
      }
      case FieldType::kDateTime: {
        if (value.kind != JsonKind::kString)
          return SetError("O valor da coluna " + std::string(def.name) + where() +
                          " deve ser uma data em texto, não " + JsonKindText(value.kind) + ".");
        if (!NormalizeDateTime(value.text))
          return SetError("A data " + Quote(value.text) + " da coluna " + def.name + where() +
                          " não é válida (esperado AAAA-MM-DD ou AAAA-MM-DDTHH:MM:SS).");
        // The normal form starts with the four digits of the year.
        if (value.text.compare(0, 4, kFirstYear) < 0)
          return SetError("A data " + Quote(value.text) + " da coluna " + def.name + where() +
                          " está fora do intervalo aceito: o ano deve ser de " +
                          std::string(kFirstYear) + " a 9999.");
        break;
      }
      case FieldType::kFloat: {
        if (value.kind != JsonKind::kNumber)
          return SetError("O valor da coluna " + std::string(def.name) + where() +
                          " deve ser um número, não " + JsonKindText(value.kind) + ".");
        if (!std::isfinite(value.number))
          return SetError("O valor da coluna " + std::string(def.name) + where() +
                          " não é um número finito.");
        if (rules_[column].kind != ValueRule::kAmount) break;
        if (value.number < 0)
          return SetError("O valor " + NumberText(value.number) + " da coluna " + def.name +
                          where() + " é negativo: envie o valor absoluto, com o sinal em " +
                          rules_[column].sign + " (\"C\" ou \"D\").");
        if (value.number >= kAmountLimit)
          return SetError("O valor " + NumberText(value.number) + " da coluna " + def.name +
                          where() + " passa do limite: deve ser menor que 10.000.000.000.000.");
        break;
      }
    }
  }
  if (period_start_ && period_end_) {
    const RawValue& start = values[static_cast<size_t>(position_of_[*period_start_])];
    const RawValue& end = values[static_cast<size_t>(position_of_[*period_end_])];
    // Both in the normal form by now, where the order of the texts is the
    // order of the dates.
    if (start.kind == JsonKind::kString && end.kind == JsonKind::kString && start.text > end.text)
      return SetError("O período do extrato" + where() +
                      " começa depois de terminar: DTSALDINIC " + Quote(start.text) +
                      " é posterior a DTSALDFIN " + Quote(end.text) + ".");
  }
  auto cell = [&](size_t column) -> RawValue& {
    return values[static_cast<size_t>(position_of_[column])];
  };
  if (account_ && statement_error_.empty()) {
    const RawValue& account = cell(account_column_);
    const bool no_account = account.kind == JsonKind::kNull;
    if (no_account || account.text != *account_)
      statement_error_ = "O movimento" + where() + " é da conta \"" +
                         (no_account ? "nulo" : account.text) + "\", não da conta \"" +
                         *account_ + "\" do extrato.";
    else if (cell(date_column_).kind == JsonKind::kNull)
      statement_error_ = "O movimento" + where() + " não tem data (DTMOVREAL).";
    else if (cell(value_column_).kind == JsonKind::kNull)
      statement_error_ = "O movimento" + where() + " não tem valor (VRMOVREAL).";
    if (!statement_error_.empty()) DropRows();
  }
  if (keep_rows_) {
    rows_.AddRow();
    for (size_t column = 0; column < layout_.size(); ++column) {
      if (position_of_[column] < 0) continue;
      const RawValue& value = cell(column);
      if (value.kind == JsonKind::kString)
        rows_.SetText(column, value.text);
      else if (value.kind == JsonKind::kNumber)
        rows_.SetNumber(column, value.number);
    }
    const size_t bytes = rows_.Bytes();
    if (bytes > rows_charged_) Charge(bytes - rows_charged_, rows_charged_);
  }
  for (RawValue& value : values) value.kind = JsonKind::kNull;
}

PacketRows PacketReader::Finish() {
  PacketRows result;
  result.count = row_count_;
  if (!reference_.empty() && !has_fields_ && !has_rows_) {
    result.reference = std::move(reference_);
    return result;
  }
  // Lists under "fields" and "rows" are only read in an object, where those
  // keys were seen.
  if (!fields_array_ || !rows_array_)
    result.error =
        "O " + name_ + " não é um pacote de dados (objeto com \"fields\" e \"rows\").";
  else if (!repeated_key_.empty())
    result.error = "O " + name_ + " repete a chave \"" + repeated_key_ + "\".";
  else if (!field_error_.empty())
    result.error = field_error_;
  else if (!fields_known_)
    result.error = "O " + name_ + " não é um pacote de dados (objeto com \"fields\" e \"rows\").";
  else
    result.error = row_error_;
  if (result.error.empty()) {
    result.statement_error = statement_error_;
    if (statement_error_.empty()) result.rows = std::move(rows_);
  }
  return result;
}

}  // namespace kvr::server
