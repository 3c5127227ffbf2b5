#include "store_common.h"

#include <charconv>
#include <cstring>

namespace kvr::server {

const char* const kHeaderColumns[7] = {"CDREDUCONT", "DTSALDINIC", "DTSALDFIN", "VRSALDINIC",
                                       "VRSALDFIM",  "IDEXTRINI",  "IDEXTRFIM"};
const char* const kMovementColumns[11] = {
    "CDREDUCONT", "NRDOCMOVREAL", "DTMOVREAL",    "IDMOVREAL",   "VRMOVREAL",  "DSHISTMOVREAL",
    "IDTIPOREGI", "CDCATELANC",   "IDSTCONMVBAN", "IDTPMOVREAL", "CDFITIDEXTR"};

std::string NewerSchemaMessage(const std::string& database, int version) {
  return "O banco de dados " + database + " tem as tabelas na versão " + std::to_string(version) +
         ", mais nova que a desta versão do kvr61400-server (" + std::to_string(kSchemaVersion) +
         "). Atualize o kvr61400-server antes de usá-lo com este banco.";
}

std::string JoinColumns(const char* const* columns, size_t count, const char* prefix) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += ", ";
    out += prefix;
    out += columns[i];
  }
  return out;
}

std::string MovementKey(const Cell& date, const Cell& value, const Cell& document,
                        const Cell& fitid) {
  std::string key;
  for (const Cell* cell : {&date, &document, &fitid}) {
    if (const auto* text = std::get_if<std::string>(cell)) {
      key += 'T';
      key += std::to_string(text->size());
      key += ':';
      key += *text;
    } else {
      key += 'N';
    }
  }
  if (const auto* number = std::get_if<double>(&value)) {
    double amount = *number == 0.0 ? 0.0 : *number;
    char bytes[sizeof amount];
    std::memcpy(bytes, &amount, sizeof amount);
    key += 'F';
    key.append(bytes, sizeof bytes);
  } else {
    key += 'N';
  }
  return key;
}

MovementKeys KeysOf(const Statement& statement) {
  const Layout& layout = MovExtrLayout();
  const size_t value = ColumnIndex(layout, "VRMOVREAL");
  const size_t document = ColumnIndex(layout, "NRDOCMOVREAL");
  const size_t date = ColumnIndex(layout, "DTMOVREAL");
  const size_t fitid = ColumnIndex(layout, "CDFITIDEXTR");
  MovementKeys out;
  out.keys.reserve(statement.movements.size() * 2);
  for (const Row& movement : statement.movements) {
    out.keys.insert(
        MovementKey(movement[date], movement[value], movement[document], movement[fitid]));
    if (const auto* text = std::get_if<std::string>(&movement[date])) {
      if (out.first.empty() || *text < out.first) out.first = *text;
      if (out.last.empty() || *text > out.last) out.last = *text;
    } else {
      out.undated = true;
    }
  }
  return out;
}

std::string DecimalText(double number) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number);
  return std::string(buffer, end);
}

long long StoredNumber(const Cell& cell) {
  const std::string text = CellText(cell, "0");
  long long number = 0;
  std::from_chars(text.data(), text.data() + text.size(), number);
  return number;
}

}  // namespace kvr::server
