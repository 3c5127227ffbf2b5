// extrato list, show and continuidade: the stored statements, as tables or
// JSON.
#include <algorithm>
#include <clocale>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "store/access_store.h"
#include "admin/admin_commands.h"
#include "store/continuity.h"
#include "store/open_store.h"
#include "store/printable_text.h"
#include "wire/locale_numbers.h"
#include "wire/money.h"

namespace kvr::server::admin {

namespace {

// A stored text as a terminal shows it safely.
std::string Shown(const Cell& cell) {
  return EscapeControls(CellText(cell));
}

// The separators of the locale the command runs under, read once; the
// rest of the C library's locale is left as the process had it.
const NumberSeparators& Separators() {
  static const NumberSeparators separators = [] {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    const NumberSeparators read = LocaleNumberSeparators();
    std::setlocale(LC_ALL, saved.c_str());
    return read;
  }();
  return separators;
}

// An amount as "1.350,00" (or "1,350.00", by the locale); "-" for none.
std::string ShowAmount(const Cell& cell) {
  const double* number = std::get_if<double>(&cell);
  return number != nullptr ? Money::FromReais(*number).Format(Separators().decimal, Separators().thousands)
                           : "-";
}

// The whole FITID where it was stored, else its first 10 characters.
std::string ShowFitid(const Row& row) {
  const Layout& layout = MovExtrLayout();
  const Cell& whole = row[ColumnIndex(layout, "CDFITIDCOMPL")];
  return Shown(std::holds_alternative<std::string>(whole) ? whole : row[ColumnIndex(layout, "CDFITIDEXTR")]);
}

// The whole memo where it was stored, else its first 40 characters.
std::string ShowMemo(const Row& row) {
  const Layout& layout = MovExtrLayout();
  const Cell& whole = row[ColumnIndex(layout, "DSHISTCOMPL")];
  return Shown(std::holds_alternative<std::string>(whole) ? whole : row[ColumnIndex(layout, "DSHISTMOVREAL")]);
}

// rows under titles, each column as wide as its widest text (right-aligned
// where right says so), one blank between columns; the last column unpadded.
std::string FittedTable(const std::vector<std::string>& titles, const std::vector<bool>& right,
                        const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const std::string& title : titles) widths.push_back(Utf8Length(title));
  for (const std::vector<std::string>& row : rows)
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Utf8Length(row[i]));
  std::string out;
  auto line = [&](const std::vector<std::string>& cells) {
    for (size_t i = 0; i < cells.size(); ++i) {
      const std::string fill(widths[i] - Utf8Length(cells[i]), ' ');
      if (i + 1 == cells.size()) {
        out += right[i] ? fill + cells[i] : cells[i];
      } else {
        out += right[i] ? fill + cells[i] : cells[i] + fill;
        out += ' ';
      }
    }
    out += '\n';
  };
  line(titles);
  for (const std::vector<std::string>& row : rows) line(row);
  return out;
}

nlohmann::json RowJson(const Layout& layout, const Row& row) {
  nlohmann::json object = nlohmann::json::object();
  for (size_t i = 0; i < layout.size(); ++i) object[layout[i].name] = CellJson(row[i]);
  return object;
}

nlohmann::json SummaryJson(const StatementSummary& summary) {
  nlohmann::json object = RowJson(ExtrBancoLayout(), summary.header);
  object["CDBANCO"] = summary.bank;
  object["CDCONTCORR"] = summary.number;
  object["MOVIMENTOS"] = summary.movements;
  return object;
}

std::string SummaryLine(const StatementSummary& s) {
  auto cell = [&s](const char* name) -> const Cell& {
    return s.header[ColumnIndex(ExtrBancoLayout(), name)];
  };
  return Pad(std::to_string(s.seq), 8) + Pad(Shown(cell("CDREDUCONT")), 6) +
         Pad(EscapeControls(s.bank + "/" + s.number), 16) +
         Pad(ShowDay(Shown(cell("DTSALDINIC"))) + " a " + ShowDay(Shown(cell("DTSALDFIN"))), 25) +
         Pad(ShowAmount(cell("VRSALDINIC")) + " " + Shown(cell("IDEXTRINI")), 18) +
         Pad(ShowAmount(cell("VRSALDFIM")) + " " + Shown(cell("IDEXTRFIM")), 18) +
         GroupedCount(s.movements, Separators());
}

std::string SummaryTitle() {
  return Pad("EXTRATO", 8) + Pad("CONTA", 6) + Pad("BANCO/NUMERO", 16) + Pad("PERIODO", 25) +
         Pad("SALDO INICIAL", 18) + Pad("SALDO FINAL", 18) + "MOVIMENTOS";
}

}  // namespace

int ListStatements(const CommandLine& line, std::ostream& out) {
  std::unique_ptr<Store> store = OpenStore(line.Option("db", kDefaultDb), false);
  std::vector<StatementSummary> statements = store->ListStatements();
  // Who imported each statement, as the audit trail recorded it.
  std::map<long long, std::string> importers;
  if (AccessStore* access = store->Access()) importers = access->Importers();
  auto importer = [&importers](long long seq) {
    auto it = importers.find(seq);
    return it == importers.end() ? std::string() : it->second;
  };
  if (line.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const StatementSummary& s : statements) {
      list.push_back(SummaryJson(s));
      list.back()["USUARIO"] = importer(s.seq);
    }
    out << list.dump(2) << "\n";
    return 0;
  }
  out << Pad(SummaryTitle(), 112) << "USUARIO\n";
  for (const StatementSummary& s : statements) {
    const std::string user = importer(s.seq);
    out << Pad(SummaryLine(s), 112) << (user.empty() ? "-" : EscapeControls(user)) << "\n";
  }
  return 0;
}

int ShowStatement(const CommandLine& line, std::ostream& out) {
  if (line.words.size() != 3) throw Usage("extrato show precisa do número do extrato.");
  const std::string& text = line.words[2];
  bool digits = !text.empty() && text.size() <= 10;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (!digits) throw InvalidRequest("Número de extrato \"" + EscapeControls(text) + "\" inválido.");
  const long long seq = std::stoll(text);
  std::unique_ptr<Store> store = OpenStore(line.Option("db", kDefaultDb), false);
  std::optional<StoredStatement> statement = store->GetStatement(seq);
  if (!statement) throw InvalidRequest("Extrato " + text + " não encontrado.");
  const Layout& layout = MovExtrLayout();
  if (line.json) {
    nlohmann::json object = SummaryJson(statement->summary);
    nlohmann::json movements = nlohmann::json::array();
    for (const Row& row : statement->movements) movements.push_back(RowJson(layout, row));
    object["MOVIMENTOS"] = std::move(movements);
    out << object.dump(2) << "\n";
    return 0;
  }
  out << SummaryTitle() << "\n" << SummaryLine(statement->summary) << "\n\n";
  // In the order the bank posted them (by date; the file's order within a
  // day), whatever order the screen sent them in.
  std::vector<const Row*> posted;
  for (const Row& row : statement->movements) posted.push_back(&row);
  const size_t date = ColumnIndex(layout, "DTMOVREAL");
  std::stable_sort(posted.begin(), posted.end(), [date](const Row* a, const Row* b) {
    const auto* x = std::get_if<std::string>(&(*a)[date]);
    const auto* y = std::get_if<std::string>(&(*b)[date]);
    if (x == nullptr || y == nullptr) return x != nullptr && y == nullptr;
    return *x < *y;
  });
  std::vector<std::vector<std::string>> rows;
  for (const Row* row : posted) {
    auto cell = [&](const char* name) -> const Cell& { return (*row)[ColumnIndex(layout, name)]; };
    rows.push_back({Shown(cell("NRSEQMOVREAL")), ShowDay(Shown(cell("DTMOVREAL"))),
                    Shown(cell("NRDOCMOVREAL")), Shown(cell("IDMOVREAL")),
                    ShowAmount(cell("VRMOVREAL")), ShowFitid(*row), ShowMemo(*row)});
  }
  out << FittedTable({"SEQ", "DATA", "DOCUMENTO", "TIPO", "VALOR", "FITID", "DESCRICAO"},
                     {false, false, false, false, true, false, false}, rows);
  return 0;
}

int ShowContinuity(const CommandLine& line, std::ostream& out) {
  std::unique_ptr<Store> store = OpenStore(line.Option("db", kDefaultDb), false);
  std::vector<AccountChain> chains = StatementContinuity(*store, line.Option("conta"));
  if (line.json)
    out << ContinuityJson(chains).dump(2) << "\n";
  else
    out << ContinuityTable(chains, Separators());
  return 0;
}

}  // namespace kvr::server::admin
