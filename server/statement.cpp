#include "statement.h"

#include "packet_reader.h"

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

std::vector<Row> CheckPacket(const nlohmann::json& packet, const Layout& layout,
                             const std::string& packet_name) {
  PacketReader reader(layout, packet_name);
  EmitJson(packet, reader);
  PacketRows result = reader.Finish();
  if (!result.error.empty()) throw InvalidRequest(result.error);
  std::vector<Row> rows;
  rows.reserve(result.rows.size());
  for (size_t i = 0; i < result.rows.size(); ++i) rows.push_back(result.rows.RowAt(i));
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
