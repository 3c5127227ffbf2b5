#include "store/continuity.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>

#include "store/account_rules.h"
#include "store/printable_text.h"
#include "wire/money.h"

namespace kvr::server {

namespace {

// The day number (days since 1970-01-01) of "YYYY-MM-DD..." or nothing; a
// day past its month's end counts on into the next month.
std::optional<long long> DayNumber(const std::string& text) {
  if (text.size() < 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  const int y = std::stoi(text.substr(0, 4)), m = std::stoi(text.substr(5, 2)),
            d = std::stoi(text.substr(8, 2));
  if (m < 1 || m > 12 || d < 1 || d > 31) return std::nullopt;
  const std::chrono::sys_days day{std::chrono::year(y) / m / d};
  return day.time_since_epoch().count();
}

// A stored balance in cents, signed by its C/D indicator. The column holds
// the double nearest to the amount, so rounding to the cent gives it back
// exactly (and drops noise like 0.9899999999999999).
long long SignedCents(const Cell& value, const Cell& indicator) {
  const double* number = std::get_if<double>(&value);
  if (number == nullptr) return 0;
  double cents = std::round(std::fabs(*number) * 100.0);
  // Far beyond any balance; keeps the conversion defined.
  cents = std::min(cents, 9.0e15);
  const long long magnitude = static_cast<long long>(cents);
  return CellText(indicator) == "D" ? -magnitude : magnitude;
}

struct Dated {
  ChainLink link;
  std::optional<long long> first, last;
};

Dated MakeLink(const StatementSummary& summary) {
  const Layout& layout = ExtrBancoLayout();
  const Row& h = summary.header;
  Dated item;
  ChainLink& link = item.link;
  link.seq = summary.seq;
  link.movements = summary.movements;
  const std::string start = CellText(h[ColumnIndex(layout, "DTSALDINIC")]);
  const std::string end = CellText(h[ColumnIndex(layout, "DTSALDFIN")]);
  item.first = DayNumber(start);
  item.last = DayNumber(end);
  if (item.first) link.start = start.substr(0, 10);
  if (item.last) link.end = end.substr(0, 10);
  link.opening_cents =
      SignedCents(h[ColumnIndex(layout, "VRSALDINIC")], h[ColumnIndex(layout, "IDEXTRINI")]);
  link.closing_cents =
      SignedCents(h[ColumnIndex(layout, "VRSALDFIM")], h[ColumnIndex(layout, "IDEXTRFIM")]);
  // A statement whose movements do not take its opening balance to its
  // closing one (a part of a file stored with the file's whole balances).
  const long long unexplained = link.closing_cents - link.opening_cents - summary.movement_cents;
  if (unexplained != 0)
    link.problems.push_back({ContinuityProblem::Kind::kClosing, 0, unexplained});
  return item;
}

std::vector<ChainLink> Chain(std::vector<Dated> dated) {
  std::stable_sort(dated.begin(), dated.end(), [](const Dated& a, const Dated& b) {
    const bool a_dated = a.first && a.last, b_dated = b.first && b.last;
    if (a_dated != b_dated) return a_dated;
    if (a_dated && *a.first != *b.first) return *a.first < *b.first;
    if (a_dated && *a.last != *b.last) return *a.last < *b.last;
    return a.link.seq < b.link.seq;
  });
  std::vector<ChainLink> links;
  const Dated* reach = nullptr;
  for (Dated& item : dated) {
    if (item.first && item.last) {
      const long long first = *item.first;
      // A period written backwards covers its start day only.
      const long long last = std::max(first, *item.last);
      if (reach != nullptr) {
        const long long reach_end = std::max(*reach->first, *reach->last);
        if (first > reach_end + 1)
          item.link.problems.push_back({ContinuityProblem::Kind::kGap, first - reach_end - 1, 0});
        else if (first <= reach_end)
          item.link.problems.push_back(
              {ContinuityProblem::Kind::kOverlap, std::min(last, reach_end) - first + 1, 0});
        const long long difference = item.link.opening_cents - reach->link.closing_cents;
        if (difference != 0)
          item.link.problems.push_back({ContinuityProblem::Kind::kBalance, 0, difference});
      }
      if (reach == nullptr || last >= std::max(*reach->first, *reach->last)) reach = &item;
    }
  }
  for (Dated& item : dated) links.push_back(std::move(item.link));
  return links;
}

std::string ShowBalance(long long cents, const NumberSeparators& separators) {
  return Money::FromCents(cents).FormatBalance(separators.decimal, separators.thousands);
}

std::string Plural(long long count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::vector<AccountChain> ChainStatements(const std::vector<StatementSummary>& statements,
                                          const std::vector<Account>& accounts) {
  std::map<std::string, std::vector<Dated>> by_code;
  const size_t code_column = ColumnIndex(ExtrBancoLayout(), "CDREDUCONT");
  for (const StatementSummary& summary : statements)
    by_code[CellText(summary.header[code_column])].push_back(MakeLink(summary));
  std::vector<AccountChain> chains;
  for (const Account& account : accounts) {
    auto found = by_code.extract(account.code);
    chains.push_back(
        {account, found ? Chain(std::move(found.mapped())) : std::vector<ChainLink>()});
  }
  for (auto& [code, dated] : by_code) {
    chains.push_back({Account(), Chain(std::move(dated))});
    chains.back().account.code = code;
  }
  return chains;
}

std::vector<AccountChain> StatementContinuity(Store& store, const std::string& code) {
  const std::vector<Account> accounts =
      code.empty() ? store.ListAccounts() : std::vector<Account>{RegisteredAccount(store, code)};
  std::vector<StatementSummary> statements = store.ListStatements(true);
  if (!code.empty()) {
    const size_t code_column = ColumnIndex(ExtrBancoLayout(), "CDREDUCONT");
    std::erase_if(statements, [&](const StatementSummary& s) {
      return CellText(s.header[code_column]) != code;
    });
  }
  return ChainStatements(statements, accounts);
}

nlohmann::json ContinuityJson(const std::vector<AccountChain>& chains) {
  nlohmann::json list = nlohmann::json::array();
  for (const AccountChain& chain : chains) {
    nlohmann::json statements = nlohmann::json::array();
    for (const ChainLink& link : chain.statements) {
      nlohmann::json problems = nlohmann::json::array();
      // By Kind: gaps and overlaps count days, the others a difference.
      static const char* const kNames[] = {"lacuna", "sobreposicao", "saldo", "fechamento"};
      for (const ContinuityProblem& problem : link.problems) {
        nlohmann::json entry = {{"tipo", kNames[static_cast<int>(problem.kind)]}};
        if (problem.kind == ContinuityProblem::Kind::kGap ||
            problem.kind == ContinuityProblem::Kind::kOverlap)
          entry["dias"] = problem.days;
        else
          entry["diferenca"] = static_cast<double>(problem.cents) / 100.0;
        problems.push_back(std::move(entry));
      }
      statements.push_back({{"extrato", std::to_string(link.seq)},
                            {"dataInicial", link.start ? nlohmann::json(*link.start) : nullptr},
                            {"dataFinal", link.end ? nlohmann::json(*link.end) : nullptr},
                            {"saldoInicial", static_cast<double>(link.opening_cents) / 100.0},
                            {"saldoFinal", static_cast<double>(link.closing_cents) / 100.0},
                            {"movimentos", link.movements},
                            {"problemas", std::move(problems)}});
    }
    list.push_back({{"conta", chain.account.code},
                    {"banco", chain.account.bank},
                    {"numero", chain.account.number},
                    {"mascara", chain.account.mask},
                    {"tipo", chain.account.kind},
                    {"extratos", std::move(statements)}});
  }
  return list;
}

std::string DescribeProblem(const ContinuityProblem& problem, const NumberSeparators& separators) {
  switch (problem.kind) {
    case ContinuityProblem::Kind::kGap:
      return "lacuna de " + Plural(problem.days, "dia", "dias");
    case ContinuityProblem::Kind::kOverlap:
      return "sobreposição de " + Plural(problem.days, "dia", "dias");
    case ContinuityProblem::Kind::kBalance:
      return std::string("saldo inicial difere do final anterior em ") +
             (problem.cents < 0 ? "-" : "") + "R$ " +
             Money::FromCents(problem.cents).Abs().Format(separators.decimal, separators.thousands);
    case ContinuityProblem::Kind::kClosing:
      return "movimentos não fecham o saldo: diferença de R$ " +
             Money::FromCents(problem.cents).Format(separators.decimal, separators.thousands);
  }
  return "";
}

std::string ContinuityTable(const std::vector<AccountChain>& chains,
                            const NumberSeparators& separators) {
  std::string out;
  for (const AccountChain& chain : chains) {
    if (!out.empty()) out += "\n";
    const Account& a = chain.account;
    out += "Conta " + EscapeControls(a.code);
    if (!a.bank.empty())
      out += ": banco " + EscapeControls(a.bank) + ", conta " + EscapeControls(a.number) +
             ", tipo " + EscapeControls(a.kind);
    out += "\n";
    if (chain.statements.empty()) {
      out += "  nenhum extrato gravado.\n";
      continue;
    }
    out += Pad("EXTRATO", 9) + Pad("PERIODO", 25) + Pad("SALDO INICIAL", 18) +
           Pad("SALDO FINAL", 18) + Pad("MOVIMENTOS", 11) + "PROBLEMAS\n";
    long long problems = 0;
    for (const ChainLink& link : chain.statements) {
      std::string described;
      for (const ContinuityProblem& problem : link.problems)
        described += (described.empty() ? "" : "; ") + DescribeProblem(problem, separators);
      problems += static_cast<long long>(link.problems.size());
      out += Pad(std::to_string(link.seq), 9) +
             Pad(ShowDay(link.start.value_or("")) + " a " + ShowDay(link.end.value_or("")), 25) +
             Pad(ShowBalance(link.opening_cents, separators), 18) +
             Pad(ShowBalance(link.closing_cents, separators), 18) +
             Pad(GroupedCount(link.movements, separators), 11) + (described.empty() ? "-" : described) + "\n";
    }
    out += "  " + Plural(static_cast<long long>(chain.statements.size()), "extrato", "extratos") +
           ", " +
           (problems == 0 ? "em sequência, sem problemas."
                          : Plural(problems, "problema", "problemas") + ".") +
           "\n";
  }
  if (chains.empty()) out = "Nenhuma conta corrente cadastrada.\n";
  return out;
}

}  // namespace kvr::server
