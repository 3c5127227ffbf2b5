#include "store/statement.h"

#include <cstdio>

namespace kvr::server {

std::string CellText(const Cell& cell) {
  if (const auto* text = std::get_if<std::string>(&cell)) return *text;
  if (const auto* number = std::get_if<double>(&cell)) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.15g", *number);
    return buffer;
  }
  return "";
}

nlohmann::json CellJson(const Cell& cell) {
  if (const auto* text = std::get_if<std::string>(&cell)) return *text;
  if (const auto* number = std::get_if<double>(&cell)) return *number;
  return nullptr;
}

nlohmann::json MakePacket(const Layout& layout, const std::vector<Row>& rows) {
  nlohmann::json fields = nlohmann::json::array();
  for (const FieldDef& def : layout) {
    nlohmann::json field = {{"name", def.name}, {"type", FieldTypeName(def.type)}};
    if (def.type == FieldType::kString) field["size"] = def.size;
    fields.push_back(std::move(field));
  }
  nlohmann::json out_rows = nlohmann::json::array();
  for (const Row& row : rows) {
    nlohmann::json values = nlohmann::json::array();
    for (const Cell& cell : row) values.push_back(CellJson(cell));
    out_rows.push_back(std::move(values));
  }
  return {{"fields", std::move(fields)}, {"rows", std::move(out_rows)}};
}

}  // namespace kvr::server
