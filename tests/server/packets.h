#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kvr::testing {

// One movement as the screen sends it in cdsMovExtrAux.
struct Mov {
  std::string account = "001";
  double value = 10.0;
  std::string document = "1";
  std::string date = "2024-01-05T00:00:00";
  std::string fitid = "F1";
  std::string memo = "Pagamento";
  std::string sign = "D";
  // The whole FITID (CDFITIDCOMPL); a packet holds that column only when a
  // movement of it sets one, as clients of the current version send it.
  std::optional<std::string> whole = std::nullopt;
  // The whole memo (DSHISTCOMPL), sent the same way.
  std::optional<std::string> whole_memo = std::nullopt;
};

inline nlohmann::json HeaderFields() {
  return nlohmann::json::parse(R"([
    {"name":"CDREDUCONT","type":"string","size":3},{"name":"CDSEQUEXTR","type":"string","size":10},
    {"name":"DTSALDINIC","type":"datetime"},{"name":"DTSALDFIN","type":"datetime"},
    {"name":"VRSALDINIC","type":"float"},{"name":"VRSALDFIM","type":"float"},
    {"name":"IDEXTRINI","type":"string","size":1},{"name":"IDEXTRFIM","type":"string","size":1}])");
}

inline nlohmann::json MovementFields() {
  return nlohmann::json::parse(R"([
    {"name":"CDREDUCONT","type":"string","size":3},{"name":"CDSEQUEXTR","type":"string","size":10},
    {"name":"NRSEQMOVREAL","type":"string","size":10},{"name":"NRDOCMOVREAL","type":"string","size":20},
    {"name":"DTMOVREAL","type":"datetime"},{"name":"IDMOVREAL","type":"string","size":1},
    {"name":"VRMOVREAL","type":"float"},{"name":"DSHISTMOVREAL","type":"string","size":40},
    {"name":"IDTIPOREGI","type":"string","size":2},{"name":"CDCATELANC","type":"string","size":4},
    {"name":"IDSTCONMVBAN","type":"string","size":1},{"name":"IDTPMOVREAL","type":"string","size":1},
    {"name":"CDFITIDEXTR","type":"string","size":10}])");
}

// The header packet of a statement of account for the period start..end.
inline nlohmann::json Header(const std::string& account = "001",
                             const std::string& start = "2024-01-01T00:00:00",
                             const std::string& end = "2024-01-31T00:00:00") {
  nlohmann::json row = {account, nullptr, start, end, 1350.0, 1500.0, "C", "C"};
  return {{"fields", HeaderFields()}, {"rows", nlohmann::json::array({row})}};
}

inline nlohmann::json MovementRow(const Mov& m) {
  return {m.account, nullptr, nullptr, m.document, m.date, m.sign, m.value,
          m.memo,    "0",     nullptr, "0",        "0",    m.fitid};
}

inline nlohmann::json Movements(const std::vector<Mov>& movements) {
  bool whole = false, whole_memo = false;
  for (const Mov& m : movements) {
    whole = whole || m.whole.has_value();
    whole_memo = whole_memo || m.whole_memo.has_value();
  }
  nlohmann::json fields = MovementFields();
  if (whole) fields.push_back({{"name", "CDFITIDCOMPL"}, {"type", "string"}, {"size", 255}});
  if (whole_memo) fields.push_back({{"name", "DSHISTCOMPL"}, {"type", "string"}, {"size", 255}});
  auto cell = [](const std::optional<std::string>& text) {
    return text ? nlohmann::json(*text) : nlohmann::json();
  };
  nlohmann::json rows = nlohmann::json::array();
  for (const Mov& m : movements) {
    rows.push_back(MovementRow(m));
    if (whole) rows.back().push_back(cell(m.whole));
    if (whole_memo) rows.back().push_back(cell(m.whole_memo));
  }
  return {{"fields", fields}, {"rows", rows}};
}

// count movements of account, all different, with FITIDs prefix + number,
// dated on the 1st to 28th of January of year.
inline nlohmann::json ManyMovements(int count, const std::string& account = "001",
                                    const std::string& prefix = "N",
                                    const std::string& year = "2024") {
  nlohmann::json rows = nlohmann::json::array();
  for (int i = 0; i < count; ++i) {
    Mov m;
    m.account = account;
    m.value = 1.0 + i % 997;
    m.document = std::to_string(i);
    m.date = year + "-01-" + std::string(i % 28 < 9 ? "0" : "") + std::to_string(i % 28 + 1) +
             "T00:00:00";
    m.fitid = prefix + std::to_string(i);
    m.memo = "Movimento " + std::to_string(i);
    rows.push_back(MovementRow(m));
  }
  return {{"fields", MovementFields()}, {"rows", rows}};
}

// The body of a SetExtratoBancario call that stores Header() with
// ManyMovements(count), as a client posts it.
inline std::string StoreCallBody(int count) {
  return nlohmann::json{{"jsonrpc", "2.0"},
                        {"id", 1},
                        {"method", "SetExtratoBancario"},
                        {"params", {Header(), ManyMovements(count), true}}}
      .dump();
}

}  // namespace kvr::testing
