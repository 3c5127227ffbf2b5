#include "statement.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace kvr::server {

const Layout& ExtrBancoLayout() {
  static const Layout layout = {
      {"CDREDUCONT", FieldType::kString, 3},   {"CDSEQUEXTR", FieldType::kString, 10},
      {"DTSALDINIC", FieldType::kDateTime, 0}, {"DTSALDFIN", FieldType::kDateTime, 0},
      {"VRSALDINIC", FieldType::kFloat, 0},    {"VRSALDFIM", FieldType::kFloat, 0},
      {"IDEXTRINI", FieldType::kString, 1},    {"IDEXTRFIM", FieldType::kString, 1},
  };
  return layout;
}

const Layout& MovExtrLayout() {
  static const Layout layout = {
      {"CDREDUCONT", FieldType::kString, 3},     {"CDSEQUEXTR", FieldType::kString, 10},
      {"NRSEQMOVREAL", FieldType::kString, 10},  {"NRDOCMOVREAL", FieldType::kString, 20},
      {"DTMOVREAL", FieldType::kDateTime, 0},    {"IDMOVREAL", FieldType::kString, 1},
      {"VRMOVREAL", FieldType::kFloat, 0},       {"DSHISTMOVREAL", FieldType::kString, 40},
      {"IDTIPOREGI", FieldType::kString, 2},     {"CDCATELANC", FieldType::kString, 4},
      {"IDSTCONMVBAN", FieldType::kString, 1},   {"IDTPMOVREAL", FieldType::kString, 1},
      {"CDFITIDEXTR", FieldType::kString, 10},
  };
  return layout;
}

const Layout& ContaCorrenteLayout() {
  static const Layout layout = {
      {"CDREDUCONT", FieldType::kString, 3},  {"CDBANCO", FieldType::kString, 3},
      {"CDAGENCIA", FieldType::kString, 5},   {"CDCONTCORR", FieldType::kString, 10},
      {"CDPICTCONT", FieldType::kString, 20}, {"IDTIPOCCORR", FieldType::kString, 20},
  };
  return layout;
}

size_t ColumnIndex(const Layout& layout, const std::string& name) {
  for (size_t i = 0; i < layout.size(); ++i)
    if (name == layout[i].name) return i;
  throw std::out_of_range("column " + name);
}

const char* TypeName(FieldType type) {
  switch (type) {
    case FieldType::kString: return "string";
    case FieldType::kDateTime: return "datetime";
    case FieldType::kFloat: return "float";
  }
  return "?";
}

size_t Utf8Length(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++count;
  return count;
}

std::string CellText(const Cell& cell, const std::string& def) {
  if (const auto* text = std::get_if<std::string>(&cell)) return *text;
  if (const auto* number = std::get_if<double>(&cell)) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.15g", *number);
    return buffer;
  }
  return def;
}

namespace {

bool ParseDigits(const std::string& text, size_t pos, size_t count, int& value) {
  value = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Accepts "YYYY-MM-DD", "YYYY-MM-DDTHH:MM:SS" and that with ".fff"; returns
// the normal form "YYYY-MM-DDTHH:MM:SS[.fff]" or an empty text when invalid.
std::string NormalDateTime(const std::string& text) {
  int year, month, day, hour = 0, minute = 0, second = 0, millis = 0;
  if (text.size() != 10 && text.size() != 19 && text.size() != 23) return "";
  if (!ParseDigits(text, 0, 4, year) || text[4] != '-' || !ParseDigits(text, 5, 2, month) ||
      text[7] != '-' || !ParseDigits(text, 8, 2, day))
    return "";
  if (text.size() >= 19) {
    if (text[10] != 'T' || !ParseDigits(text, 11, 2, hour) || text[13] != ':' ||
        !ParseDigits(text, 14, 2, minute) || text[16] != ':' || !ParseDigits(text, 17, 2, second))
      return "";
  }
  if (text.size() == 23 && (text[19] != '.' || !ParseDigits(text, 20, 3, millis))) return "";
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1) return "";
  int days_in_month = kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
  if (day > days_in_month || hour > 23 || minute > 59 || second > 59) return "";
  char buffer[96];
  if (millis == 0)
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", year, month, day, hour,
                  minute, second);
  else
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", year, month, day,
                  hour, minute, second, millis);
  return buffer;
}

std::string Quote(const std::string& text) {
  if (Utf8Length(text) <= 60) return "\"" + text + "\"";
  size_t end = 0, count = 0;
  while (end < text.size() && count < 60) {
    ++end;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    ++count;
  }
  return "\"" + text.substr(0, end) + "...\"";
}

std::string JsonKind(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::string: return "um texto";
    case nlohmann::json::value_t::boolean: return "um booleano";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float: return "um número";
    case nlohmann::json::value_t::array: return "uma lista";
    case nlohmann::json::value_t::object: return "um objeto";
    default: return "nulo";
  }
}

}  // namespace

std::vector<Row> CheckPacket(const nlohmann::json& packet, const Layout& layout,
                             const std::string& packet_name) {
  if (!packet.is_object() || !packet.contains("fields") || !packet["fields"].is_array() ||
      !packet.contains("rows") || !packet["rows"].is_array())
    throw InvalidRequest("O " + packet_name +
                         " não é um pacote de dados (objeto com \"fields\" e \"rows\").");
  const nlohmann::json& fields = packet["fields"];
  // position_of[layout column] = index of that column in the packet's rows.
  std::vector<int> position_of(layout.size(), -1);
  for (size_t i = 0; i < fields.size(); ++i) {
    const nlohmann::json& field = fields[i];
    if (!field.is_object() || !field.contains("name") || !field["name"].is_string() ||
        !field.contains("type") || !field["type"].is_string())
      throw InvalidRequest("A coluna " + std::to_string(i + 1) + " do " + packet_name +
                           " não tem nome e tipo.");
    const std::string name = field["name"].get<std::string>();
    size_t column;
    try {
      column = ColumnIndex(layout, name);
    } catch (const std::out_of_range&) {
      throw InvalidRequest("O " + packet_name + " tem a coluna desconhecida " + Quote(name) + ".");
    }
    if (position_of[column] >= 0)
      throw InvalidRequest("O " + packet_name + " repete a coluna " + name + ".");
    const std::string type = field["type"].get<std::string>();
    if (type != TypeName(layout[column].type))
      throw InvalidRequest("A coluna " + name + " do " + packet_name + " deve ser do tipo " +
                           TypeName(layout[column].type) + ", não " + Quote(type) + ".");
    position_of[column] = static_cast<int>(i);
  }
  for (size_t column = 0; column < layout.size(); ++column)
    if (position_of[column] < 0)
      throw InvalidRequest("O " + packet_name + " não tem a coluna " + layout[column].name + ".");

  std::vector<Row> rows;
  rows.reserve(packet["rows"].size());
  size_t line = 0;
  for (const nlohmann::json& values : packet["rows"]) {
    ++line;
    const std::string where = " (linha " + std::to_string(line) + " do " + packet_name + ")";
    if (!values.is_array() || values.size() != layout.size())
      throw InvalidRequest("A linha " + std::to_string(line) + " do " + packet_name + " tem " +
                           (values.is_array() ? std::to_string(values.size()) : "0") +
                           " valores; esperados " + std::to_string(layout.size()) + ".");
    Row row(layout.size());
    for (size_t column = 0; column < layout.size(); ++column) {
      const FieldDef& def = layout[column];
      const nlohmann::json& value = values[static_cast<size_t>(position_of[column])];
      if (value.is_null()) continue;
      switch (def.type) {
        case FieldType::kString: {
          if (!value.is_string())
            throw InvalidRequest("O valor da coluna " + std::string(def.name) + where +
                                 " deve ser um texto, não " + JsonKind(value) + ".");
          const std::string& text = value.get_ref<const std::string&>();
          size_t length = Utf8Length(text);
          if (length > static_cast<size_t>(def.size))
            throw InvalidRequest("O texto " + Quote(text) + " da coluna " + def.name + where +
                                 " tem " + std::to_string(length) + " caracteres; o limite é " +
                                 std::to_string(def.size) + ".");
          row[column] = text;
          break;
        }
        case FieldType::kDateTime: {
          if (!value.is_string())
            throw InvalidRequest("O valor da coluna " + std::string(def.name) + where +
                                 " deve ser uma data em texto, não " + JsonKind(value) + ".");
          std::string normal = NormalDateTime(value.get<std::string>());
          if (normal.empty())
            throw InvalidRequest("A data " + Quote(value.get<std::string>()) + " da coluna " +
                                 def.name + where + " não é válida (esperado AAAA-MM-DDTHH:MM:SS).");
          row[column] = normal;
          break;
        }
        case FieldType::kFloat: {
          if (!value.is_number())
            throw InvalidRequest("O valor da coluna " + std::string(def.name) + where +
                                 " deve ser um número, não " + JsonKind(value) + ".");
          double number = value.get<double>();
          if (!std::isfinite(number))
            throw InvalidRequest("O valor da coluna " + std::string(def.name) + where +
                                 " não é um número finito.");
          row[column] = number;
          break;
        }
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

nlohmann::json MakePacket(const Layout& layout, const std::vector<Row>& rows) {
  nlohmann::json fields = nlohmann::json::array();
  for (const FieldDef& def : layout) {
    nlohmann::json field = {{"name", def.name}, {"type", TypeName(def.type)}};
    if (def.type == FieldType::kString) field["size"] = def.size;
    fields.push_back(std::move(field));
  }
  nlohmann::json out_rows = nlohmann::json::array();
  for (const Row& row : rows) {
    nlohmann::json values = nlohmann::json::array();
    for (const Cell& cell : row) {
      if (const auto* text = std::get_if<std::string>(&cell))
        values.push_back(*text);
      else if (const auto* number = std::get_if<double>(&cell))
        values.push_back(*number);
      else
        values.push_back(nullptr);
    }
    out_rows.push_back(std::move(values));
  }
  return {{"fields", std::move(fields)}, {"rows", std::move(out_rows)}};
}

}  // namespace kvr::server
