#include "screen/imported_statements_model.h"

#include <algorithm>
#include <exception>

#include "host/host_library.h"
#include "host/string_services.h"
#include "platform/client_dataset.h"
#include "platform/cp1252.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "platform/format_settings.h"

namespace kvr {

const std::array<const char*, 6> ImportedStatementsModel::kColumns = {
    "Extrato", "Período"_cp1252, "Saldo inicial", "Saldo final", "Movimentos", "Situação"_cp1252};
const std::array<const char*, 6> ImportedStatementsModel::kMovementColumns = {
    "Seq.", "Data", "Documento", "Tipo", "Valor", "Descrição"_cp1252};

namespace {

// The server's texts are UTF-8; the model's, Windows-1252.
std::string Text(const nlohmann::json& value) {
  return value.is_string() ? Utf8ToCp1252(value.get<std::string>()) : std::string();
}

long long Whole(const nlohmann::json& value) { return value.is_number() ? value.get<long long>() : 0; }

Money Reais(const nlohmann::json& value) {
  return value.is_number() ? Money::FromReais(value.get<double>()) : Money();
}

const nlohmann::json& Field(const nlohmann::json& object, const char* name) {
  static const nlohmann::json kNull;
  if (!object.is_object()) return kNull;
  const auto found = object.find(name);
  return found == object.end() ? kNull : *found;
}

const nlohmann::json& List(const nlohmann::json& object, const char* name) {
  static const nlohmann::json kEmpty = nlohmann::json::array();
  const nlohmann::json& value = Field(object, name);
  return value.is_array() ? value : kEmpty;
}

// "2024-01-31", a day by the packets' date rule, as a date; false for
// anything else (null, a time of day, a day the month does not have).
bool Day(const nlohmann::json& value, TDateTime& day) {
  if (!value.is_string()) return false;
  const std::string& text = value.get_ref<const std::string&>();
  return text.size() == 10 && IsoToDate(text, day);
}

// text without the blanks around it.
std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string DayText(TDateTime day) { return FormatDateTime("dd/mm/yyyy", day); }

// An account number in its registered mask ("12345-6" for "123456" and
// "99999-9"), as the import screen shows it; as stored without a mask.
std::string Masked(const std::string& number, const std::string& mask) {
  return mask.empty() || number.empty() ? number : FormatMaskText(mask + ";0; ", number);
}

// Amounts by the process's locale, as the import screen shows them.
std::string AmountText(Money amount) {
  return amount.Format(FormatSettings.DecimalSeparator, FormatSettings.ThousandSeparator);
}
std::string BalanceText(Money amount) {
  return amount.FormatBalance(FormatSettings.DecimalSeparator, FormatSettings.ThousandSeparator);
}

std::string Plural(long long count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string KindName(const std::string& kind) {
  if (kind == "C") return "Circulante";
  if (kind == "L") return "Aplicação"_cp1252;
  if (kind == "G") return "Garantida";
  return kind;
}

}  // namespace

ImportedStatementsModel::ImportedStatementsModel() : connection_(nullptr) {
  connection_.ServerName = "kvr61400.rdmImportOFX";
  connection_.OnBeforeConnect = [](TComponent* sender) {
    auto* net = static_cast<TNetConnection*>(sender);
    net->Host = HostLibrary().WebURL();
    net->Port = HostLibrary().WebPort();
    net->Token = HostLibrary().WebToken();
  };
}

bool ImportedStatementsModel::InSession(const std::function<void()>& calls) {
  try {
    THostLibrary& host = HostLibrary();
    host.ActiveShowAvi(host.MainForm(), 1);
    struct Finish {
      THostLibrary& host;
      TNetConnection& connection;
      ~Finish() {
        host.DeactiveShowAvi();
        connection.SetConnected(false);
      }
    } finish{host, connection_};
    connection_.SetConnected(true);
    calls();
  } catch (const std::exception& error) {
    error_ = Utf8ToCp1252(error.what());
    return false;
  }
  error_.clear();
  return true;
}

bool ImportedStatementsModel::Refresh() {
  nlohmann::json continuity;
  bool administrator = false;
  const bool done = InSession([&] {
    continuity = CheckResultServ(connection_.Call("GetContinuidade", {""}), false, 0);
    if (!continuity.is_array()) throw Exception("Resposta inesperada do servidor a GetContinuidade.");
    // A server without user keys answers for its one shared or open access,
    // which may remove; one that does not know the method, or answers
    // something else, offers no removal.
    const TServerResult user = connection_.Call("GetUsuario", {});
    administrator = !user.Failed() && user.Payload().is_object() &&
                    Field(user.Payload(), "administrador") == nlohmann::json(true);
  });
  if (!done) return false;
  administrator_ = administrator;
  Show(continuity);
  return true;
}

const ImportedStatementsModel::Statement* ImportedStatementsModel::StatementOf(int row) const {
  if (chosen_ < 0 || row < 0) return nullptr;
  const std::vector<Statement>& statements = statements_[static_cast<size_t>(chosen_)];
  return static_cast<size_t>(row) < statements.size() ? &statements[static_cast<size_t>(row)] : nullptr;
}

long long ImportedStatementsModel::StatementNumber(int row) const {
  const Statement* statement = StatementOf(row);
  if (statement == nullptr || statement->id.empty() || statement->id.size() > 18 ||
      statement->id.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::stoll(statement->id);
}

std::string ImportedStatementsModel::RemovalQuestion(int row) const {
  if (StatementNumber(row) == 0) return "";
  const Statement& statement = *StatementOf(row);
  const StatementRow& shown = rows_[static_cast<size_t>(row)];
  return "Excluir o extrato " + statement.id + " da conta " + accounts_[static_cast<size_t>(chosen_)].code +
         ", período "_cp1252 + shown.cells[1] + ", com " + Plural(statement.movements, "movimento", "movimentos") +
         "?\nO extrato e os seus movimentos são apagados do servidor; a exclusão fica registrada com o "_cp1252
         "motivo.\n\nInforme o motivo da exclusão:"_cp1252;
}

bool ImportedStatementsModel::Remove(int row, const std::string& reason) {
  const long long number = StatementNumber(row);
  if (number == 0) {
    error_ = "Escolha um extrato da lista para excluir.";
    return false;
  }
  if (EmptyString(reason)) {
    error_ = "Informe o motivo da exclusão do extrato "_cp1252 + std::to_string(number) + ".";
    return false;
  }
  const bool removed = InSession([&] {
    const nlohmann::json answer = CheckResultServ(
        connection_.Call("RemoveExtrato", {TServerArg::Packet(number), reason}), false, 0);
    if (answer != nlohmann::json(true)) throw Exception("Resposta inesperada do servidor a RemoveExtrato.");
  });
  return removed && Refresh();
}

bool ImportedStatementsModel::LoadMovements(int row) {
  const long long number = StatementNumber(row);
  if (number == 0) {
    error_ = "Escolha um extrato da lista para ver os seus movimentos.";
    return false;
  }
  std::vector<MovementLine> movements;
  const bool done = InSession([&] {
    const TServerResult result = connection_.Call("GetMovimentos", {TServerArg::Packet(number)});
    TClientDataSet packet(nullptr);
    try {
      packet.SetData(CheckResultServText(result, false, 0));
    } catch (const EDatabaseError&) {
      throw Exception("Resposta inesperada do servidor a GetMovimentos.");
    }
    // A column the packet lacks shows as empty cells.
    const TField *seq = packet.FindField("NRSEQMOVREAL"), *date = packet.FindField("DTMOVREAL"),
                 *document = packet.FindField("NRDOCMOVREAL"),
                 *kind = packet.FindField("IDMOVREAL"), *amount = packet.FindField("VRMOVREAL"),
                 *memo = packet.FindField("DSHISTMOVREAL"), *whole_memo = packet.FindField("DSHISTCOMPL");
    auto text = [](const TField* field) {
      return field != nullptr ? field->AsString() : std::string();
    };
    for (packet.First(); !packet.Eof(); packet.Next()) {
      const std::string type = text(kind);
      MovementLine row;
      if (date != nullptr && !date->IsNull()) row.day = date->AsDateTime();
      // Documents are stored right-aligned in their 20 characters.
      row.cells = {text(seq),
                   date != nullptr && !date->IsNull() ? DayText(date->AsDateTime()) : std::string(),
                   Trim(text(document)),
                   type == "C"   ? "Crédito"_cp1252
                   : type == "D" ? "Débito"_cp1252
                                 : type,
                   Money::FromReais(amount != nullptr ? amount->AsFloat() : 0).Format(),
                   // The whole memo, where the server kept it.
                   whole_memo != nullptr && !whole_memo->IsNull() ? whole_memo->AsString() : text(memo)};
      movements.push_back(std::move(row));
    }
  });
  if (!done) return false;
  // In the order the bank posted them, whatever order they were stored in.
  std::stable_sort(movements.begin(), movements.end(),
                   [](const MovementLine& a, const MovementLine& b) { return a.day < b.day; });
  movements_ = std::move(movements);
  return true;
}

std::string ImportedStatementsModel::MovementsTitle(int row) const {
  const Statement* statement = StatementOf(row);
  if (statement == nullptr) return "";
  return "Extrato " + statement->id + " - " + rows_[static_cast<size_t>(row)].cells[1] + " (" +
         Plural(statement->movements, "movimento", "movimentos") + ")";
}

void ImportedStatementsModel::Show(const nlohmann::json& continuity) {
  const std::string chosen = chosen_ >= 0 ? accounts_[static_cast<size_t>(chosen_)].code : std::string();
  statements_.clear();
  accounts_.clear();
  if (continuity.is_array()) {
    for (const nlohmann::json& entry : continuity) {
      std::vector<Statement> statements;
      long long problems = 0;
      for (const nlohmann::json& item : List(entry, "extratos")) {
        Statement statement;
        statement.id = Text(Field(item, "extrato"));
        statement.dated = Day(Field(item, "dataInicial"), statement.start) &&
                          Day(Field(item, "dataFinal"), statement.end);
        statement.opening = Reais(Field(item, "saldoInicial"));
        statement.closing = Reais(Field(item, "saldoFinal"));
        statement.movements = Whole(Field(item, "movimentos"));
        for (const nlohmann::json& problem : List(item, "problemas"))
          statement.problems.push_back(
              {Text(Field(problem, "tipo")), Whole(Field(problem, "dias")), Reais(Field(problem, "diferenca"))});
        problems += static_cast<long long>(statement.problems.size());
        statements.push_back(std::move(statement));
      }
      const std::string code = Text(Field(entry, "conta")), bank = Text(Field(entry, "banco"));
      std::string caption = code;
      if (!bank.empty())
        caption += " - banco " + bank + ", conta " +
                   Masked(Text(Field(entry, "numero")), Text(Field(entry, "mascara"))) + ", " +
                   KindName(Text(Field(entry, "tipo")));
      // Which accounts need looking at, before choosing one.
      if (problems > 0) caption += " (" + Plural(problems, "problema", "problemas") + ")";
      accounts_.push_back({code, std::move(caption)});
      statements_.push_back(std::move(statements));
    }
  }
  const auto kept = std::find_if(accounts_.begin(), accounts_.end(),
                                 [&](const StatementAccount& a) { return a.code == chosen; });
  chosen_ = kept != accounts_.end() ? static_cast<int>(kept - accounts_.begin())
                                    : (accounts_.empty() ? -1 : 0);
  ShowChosen();
}

void ImportedStatementsModel::ChooseIndex(int index) {
  chosen_ = index >= 0 && index < static_cast<int>(accounts_.size()) ? index : -1;
  ShowChosen();
}

void ImportedStatementsModel::ShowChosen() {
  rows_.clear();
  if (chosen_ < 0) {
    summary_ = "Nenhuma conta corrente cadastrada no servidor.";
    FillChart({});
    return;
  }
  const std::vector<Statement>& statements = statements_[static_cast<size_t>(chosen_)];
  long long problems = 0;
  for (const Statement& statement : statements) {
    std::string described;
    for (const Problem& problem : statement.problems) {
      if (!described.empty()) described += "; ";
      if (problem.kind == "lacuna")
        described += "lacuna de " + Plural(problem.days, "dia", "dias");
      else if (problem.kind == "sobreposicao")
        described += "sobreposição de "_cp1252 + Plural(problem.days, "dia", "dias");
      else if (problem.kind == "saldo")
        described += std::string("saldo inicial difere do final anterior em ") +
                     (problem.difference.Negative() ? "-" : "") + "R$ " + AmountText(problem.difference.Abs());
      else if (problem.kind == "fechamento")
        described += "movimentos não fecham o saldo: diferença de R$ "_cp1252 + AmountText(problem.difference);
      else
        described += problem.kind;
    }
    problems += static_cast<long long>(statement.problems.size());
    StatementRow row;
    row.problem = !statement.problems.empty();
    row.cells = {statement.id,
                 statement.dated ? DayText(statement.start) + " a " + DayText(statement.end) : "sem período"_cp1252,
                 BalanceText(statement.opening),
                 BalanceText(statement.closing),
                 std::to_string(statement.movements),
                 row.problem       ? described
                 : rows_.empty()   ? "primeiro extrato"
                                   : "em sequência"_cp1252};
    rows_.push_back(std::move(row));
  }
  if (statements.empty())
    summary_ = "Nenhum extrato gravado desta conta.";
  else
    summary_ = Plural(static_cast<long long>(statements.size()), "extrato", "extratos") + ", " +
               (problems == 0 ? std::string("em sequência, sem problemas"_cp1252)
                              : Plural(problems, "problema marcado", "problemas marcados")) +
               ".";
  FillChart(statements);
}

void ImportedStatementsModel::FillChart(const std::vector<Statement>& statements) {
  chart_ = BalanceChart();
  // Each statement runs from its opening balance on its first day to its
  // closing balance at the end of its last day.
  bool reached = false;
  TDateTime reach = 0, line_end = 0;
  for (const Statement& statement : statements) {
    if (!statement.dated) continue;
    const TDateTime after_end = std::max(statement.start, statement.end) + 1;
    bool gap = false, overlap = false;
    for (const Problem& problem : statement.problems) {
      gap = gap || problem.kind == "lacuna";
      overlap = overlap || problem.kind == "sobreposicao";
    }
    // The server marks neither on the first statement; with nothing before
    // it there is no stretch to draw.
    if (reached && gap)
      chart_.bands.push_back({ChartBand::kGap, reach, statement.start});
    else if (reached && overlap)
      chart_.bands.push_back({ChartBand::kOverlap, statement.start, std::min(after_end, reach)});
    if (chart_.lines.empty() || gap || statement.start < line_end) chart_.lines.emplace_back();
    chart_.lines.back().push_back({statement.start, statement.opening.Reais()});
    chart_.lines.back().push_back({after_end, statement.closing.Reais()});
    line_end = after_end;
    chart_.closings.push_back({after_end, statement.closing.Reais()});
    if (!reached || after_end > reach) reach = after_end;
    reached = true;
    chart_.first = chart_.closings.size() == 1 ? statement.start : std::min(chart_.first, statement.start);
    chart_.last = std::max(chart_.last, after_end);
    chart_.low = std::min({chart_.low, statement.opening.Reais(), statement.closing.Reais()});
    chart_.high = std::max({chart_.high, statement.opening.Reais(), statement.closing.Reais()});
  }
  if (chart_.Empty()) return;
  const double margin = std::max(1.0, (chart_.high - chart_.low) * 0.08);
  chart_.low -= margin;
  chart_.high += margin;
}

}  // namespace kvr
