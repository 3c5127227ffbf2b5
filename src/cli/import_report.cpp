// kvr61400 import's output: the screen's state, as text and as JSON.
#include "cli/import_report.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <regex>
#include <vector>

#include "cli/commands.h"
#include "platform/data_packet.h"
#include "platform/encoding.h"
#include "platform/format.h"
#include "platform/format_settings.h"
#include "wire/money.h"
#include "wire/packet_format.h"
#include "wire/utf8.h"

namespace kvr::cli {

namespace {

// The filter in force as the user reads it: "movimentos de 01/05/2024 a
// 08/05/2024" for a date range, "nenhum movimento" for the filter that no
// row passes, empty for none; any other expression as it is.
std::string DescribeFilter(const std::string& filter) {
  static const std::regex range(R"(^DTMOVREAL>= '([^']*)' ?AND DTMOVREAL<= '([^']*)'$)");
  std::smatch match;
  if (filter.empty()) return "";
  if (std::regex_match(filter, match, range))
    return "movimentos de " + match[1].str() + " a " + match[2].str();
  if (filter == "1 = 2") return "nenhum movimento";
  return filter;
}

// The visible rows of the transaction table: how many, the credits and the
// debits (magnitudes).
struct BatchTotals {
  int count = 0;
  Money credit;
  Money debit;
};

BatchTotals VisibleTotals(TClientDataSet& table) {
  BatchTotals totals;
  if (!table.Active()) return totals;
  const size_t value = static_cast<size_t>(table.FieldByName("VRMOVREAL").Index());
  const size_t kind = static_cast<size_t>(table.FieldByName("IDMOVREAL").Index());
  table.ForEachVisibleRow([&](const RowData& row) {
    ++totals.count;
    const RowCell amount = row.Get(value);
    const RowCell letter = row.Get(kind);
    (letter.kind == RowCell::Text && letter.text == "D" ? totals.debit : totals.credit) +=
        Money::FromReais(amount.kind == RowCell::Number ? amount.number : 0);
  });
  table.First();
  return totals;
}

// An amount of the report ("soma": 12.5) as the module writes amounts, in the
// locale's separators ("1.234,50", "-0,75").
std::string Amount(const nlohmann::json& reais) {
  return Cp1252ToUtf8(
      Money::FromReais(reais.get<double>())
          .Format(FormatSettings.DecimalSeparator, FormatSettings.ThousandSeparator));
}

// Stands for the grid's rows in the report until they are written.
const char* const kRowsPlaceholder = "\x01linhas";

// The grid columns shown, by index.
std::vector<int> ShownColumns(const TDBGrid& grid) {
  std::vector<int> shown;
  const auto& cols = grid.Columns();
  for (size_t i = 0; i < cols.size(); ++i)
    if (cols[i].Visible) shown.push_back(static_cast<int>(i));
  return shown;
}

// The grid's titles and row count; the rows are written straight from the
// grid when printed (PrintState, PrintReport): a million of them as a tree
// would take gigabytes.
nlohmann::json GridState(TDBGrid& grid) {
  nlohmann::json columns = nlohmann::json::array();
  for (int c : ShownColumns(grid))
    columns.push_back(Cp1252ToUtf8(grid.Columns()[static_cast<size_t>(c)].Title));
  return {{"colunas", columns}, {"linhas", kRowsPlaceholder}, {"quantidade", grid.RowCount()}};
}

// A date edit's day as "2024-03-01", as inspect --json writes dates; null
// when it holds none.
nlohmann::json IsoDay(const TDateEditPlus& edit) {
  if (edit.Text().empty() || !edit.IsValidDate()) return nullptr;
  return IsoDate(edit.Date());
}

// A balance of the loaded header as a signed number (C positive, D
// negative), as inspect --json writes it; null before a load.
nlohmann::json SignedBalance(TClientDataSet& header, const char* value, const char* sign) {
  if (!header.Active() || header.IsEmpty()) return nullptr;
  header.First();
  const TField& amount = header.FieldByName(value);
  if (amount.IsNull()) return nullptr;
  return header.FieldByName(sign).AsString() == "D" ? -amount.AsFloat() : amount.AsFloat();
}

}  // namespace

nlohmann::json ScreenState(TfrmImportOFX& f, bool with_grid) {
  nlohmann::json s;
  s["arquivo"] = Cp1252ToUtf8(f.edtFile->Text());
  s["banco"] = Cp1252ToUtf8(f.edtBanco->Text());
  s["conta"] = Cp1252ToUtf8(f.edtConta->Text());
  nlohmann::json tipos = nlohmann::json::array();
  for (const auto& t : f.cbTipoConta->Items.Strings()) tipos.push_back(Cp1252ToUtf8(t));
  s["tipos_conta"] = tipos;
  s["tipo_conta"] = Cp1252ToUtf8(f.cbTipoConta->Text());
  s["data_inicial"] = IsoDay(*f.depDtIni);
  s["data_final"] = IsoDay(*f.depDtFim);
  s["valor_inicial"] = SignedBalance(*f.cdsExtrBanco, "VRSALDINIC", "IDEXTRINI");
  s["valor_final"] = SignedBalance(*f.cdsExtrBanco, "VRSALDFIM", "IDEXTRFIM");
  nlohmann::json texts = {{"data_inicial", Cp1252ToUtf8(f.depDtIni->Text())},
                          {"data_final", Cp1252ToUtf8(f.depDtFim->Text())},
                          {"valor_inicial", Cp1252ToUtf8(f.nedValorIni->Text())},
                          {"valor_final", Cp1252ToUtf8(f.nedValorFim->Text())}};
  if (f.grbDtMovimento->Visible()) {
    s["movimento_de"] = IsoDay(*f.depMovDe);
    s["movimento_ate"] = IsoDay(*f.depMovAte);
    texts["movimento_de"] = Cp1252ToUtf8(f.depMovDe->Text());
    texts["movimento_ate"] = Cp1252ToUtf8(f.depMovAte->Text());
  }
  s["textos"] = std::move(texts);
  TClientDataSet& table = *f.cdsMovExtrBanco;
  s["filtro"] = table.Active() && table.Filtered() ? Cp1252ToUtf8(table.Filter()) : "";
  s["filtro_descricao"] = DescribeFilter(s["filtro"].get<std::string>());
  const BatchTotals totals = VisibleTotals(table);
  s["resumo"] = {{"movimentos", totals.count},
                 {"creditos", totals.credit.Reais()},
                 {"debitos", totals.debit.Reais()},
                 {"soma", (totals.credit - totals.debit).Reais()}};
  if (with_grid) s["grade"] = GridState(*f.dbgExtrBanco);
  s["movimentos_no_extrato"] = table.Active() ? [&] {
    if (!table.Filtered()) return table.RecordCount();
    // Counting the hidden rows too needs the filter off for a moment; the
    // current row moves, which nothing after this depends on.
    table.SetFiltered(false);
    const int all = table.RecordCount();
    table.SetFiltered(true);
    return all;
  }() : 0;
  return s;
}

void PrintState(const nlohmann::json& s, bool with_grid, TfrmImportOFX& f) {
  auto line = [](const char* label, const nlohmann::json& v) {
    std::cout << label << ": " << v.get<std::string>() << "\n";
  };
  line("Banco", s["banco"]);
  line("Conta", s["conta"]);
  std::string tipos;
  for (const auto& t : s["tipos_conta"])
    tipos += (tipos.empty() ? "" : ", ") + t.get<std::string>();
  std::cout << "Tipo de conta: " << s["tipo_conta"].get<std::string>() << " (" << tipos << ")\n";
  const nlohmann::json& texts = s["textos"];
  line("Data inicial", texts["data_inicial"]);
  line("Data Final", texts["data_final"]);
  line("Valor inicial", texts["valor_inicial"]);
  line("Valor Final", texts["valor_final"]);
  if (texts.contains("movimento_de")) {
    std::cout << "Data do movimento: de " << texts["movimento_de"].get<std::string>() << " até "
              << texts["movimento_ate"].get<std::string>() << "\n";
  }
  const auto& grid = s["grade"];
  const auto& totals = s["resumo"];
  const std::string filter = s["filtro_descricao"].get<std::string>();
  std::cout << "Movimentos: " << Thousands(totals["movimentos"].get<int>()) << " de "
            << Thousands(s["movimentos_no_extrato"].get<int>()) << (filter.empty() ? "" : " (" + filter + ")")
            << "\n";
  std::cout << "Soma: " << Amount(totals["soma"]) << " (créditos " << Amount(totals["creditos"])
            << "; débitos " << Amount(totals["debitos"]) << ")\n";
  if (!with_grid) return;
  TDBGrid& g = *f.dbgExtrBanco;
  const int row_count = grid["quantidade"].get<int>();
  const std::vector<int> shown = ShownColumns(g);
  std::vector<size_t> widths;
  for (const auto& c : grid["colunas"]) widths.push_back(Utf8Length(c.get<std::string>()));
  // Two passes over the grid (widths, then lines) instead of a copy of it.
  for (int r = 0; r < row_count; ++r) {
    for (size_t i = 0; i < shown.size(); ++i)
      widths[i] = std::max(widths[i], Utf8Length(Cp1252ToUtf8(g.CellText(r, shown[i]))));
  }
  // Amounts line up on the right, as in the grid.
  std::vector<bool> right;
  for (const auto& c : grid["colunas"]) right.push_back(c.get<std::string>() == "Valor");
  std::string out;
  auto print_row = [&](const std::vector<std::string>& cells) {
    out.clear();
    for (size_t i = 0; i < cells.size(); ++i) {
      const std::string& text = cells[i];
      const std::string pad(widths[i] - Utf8Length(text), ' ');
      out += right[i] ? pad + text : text;
      if (i + 1 < cells.size()) out += right[i] ? "  " : pad + "  ";
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    std::cout << "  " << out << "\n";
  };
  std::vector<std::string> cells;
  for (const auto& c : grid["colunas"]) cells.push_back(c.get<std::string>());
  print_row(cells);
  for (int r = 0; r < row_count; ++r) {
    for (size_t i = 0; i < shown.size(); ++i) cells[i] = Cp1252ToUtf8(g.CellText(r, shown[i]));
    print_row(cells);
  }
}

void PrintReport(const nlohmann::json& report, TfrmImportOFX* f) {
  const std::string text = report.dump(2);
  const std::string mark = nlohmann::json(kRowsPlaceholder).dump();
  const size_t at = text.find(mark);
  if (at == std::string::npos || f == nullptr) {
    std::cout << text << "\n";
    return;
  }
  std::cout << text.substr(0, at) << "[";
  // The grid's rows in its order, dates and amounts as values (as inspect
  // --json writes them), the other columns as the grid shows them.
  TDBGrid& g = *f->dbgExtrBanco;
  TClientDataSet& table = *f->cdsMovExtrBanco;
  std::vector<TField*> fields;
  for (int c : ShownColumns(g))
    fields.push_back(table.FindField(g.Columns()[static_cast<size_t>(c)].FieldName));
  std::string line;
  int rows = 0;
  for (table.First(); !table.Eof(); table.Next(), ++rows) {
    line = rows == 0 ? "\n" : ",\n";
    line += "        [";
    for (size_t i = 0; i < fields.size(); ++i) {
      if (i > 0) line += ", ";
      TField* field = fields[i];
      if (field == nullptr || (field->IsNull() && field->DataType() != TFieldType::ftString)) {
        line += "null";
      } else if (field->DataType() == TFieldType::ftDateTime) {
        line += "\"" + IsoDate(field->AsDateTime()) + "\"";
      } else if (field->DataType() == TFieldType::ftFloat) {
        AppendNumber(line, field->AsFloat());
      } else {
        AppendJsonString(line, field->DisplayText());
      }
    }
    line += "]";
    std::cout << line;
  }
  std::cout << (rows > 0 ? "\n      ]" : "]") << text.substr(at + mark.size()) << "\n";
}

const char* OutcomeText(int status) {
  static const std::map<int, const char*> kTexts = {
      {kExitOk, "importado"},
      {kExitAlreadyRecorded, "já cadastrado, nada gravado"},
      {kExitEnded, "não importado"},
      {kExitDeclined, "cancelado na pergunta sobre movimentos repetidos, nada gravado"},
      {kExitUsage, "erro de uso"}};
  const auto text = kTexts.find(status);
  return text == kTexts.end() ? "erro" : text->second;
}

std::string Thousands(long long n) {
  return FormatFloat("#,##0", static_cast<double>(n));
}

}  // namespace kvr::cli
