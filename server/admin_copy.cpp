// copiar: an installation from one database to another (SQLite to
// PostgreSQL, or back).
#include <memory>
#include <optional>

#include "admin_commands.h"
#include "open_store.h"

namespace kvr::server::admin {

namespace {

// "1234567" as "1.234.567".
std::string Grouped(long long number) {
  std::string digits = std::to_string(number), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += '.';
    out += digits[i];
  }
  return out;
}

}  // namespace

int Copy(const CommandLine& line, std::ostream& out) {
  const std::string from = line.Required("de");
  const std::string to = line.Required("para");
  if (from == to) throw Usage("--de e --para são o mesmo banco de dados.");
  std::unique_ptr<Store> source = OpenStore(from, false);
  std::unique_ptr<Store> target = OpenStore(to, true);
  const std::vector<Account> accounts = source->ListAccounts();
  const std::vector<StatementSummary> summaries = source->ListStatements();
  size_t next = 0;
  const long long movements = target->CopyIn(accounts, [&]() -> std::optional<StoredStatement> {
    while (next < summaries.size()) {
      // A statement removed from the source meanwhile is skipped.
      if (std::optional<StoredStatement> statement = source->GetStatement(summaries[next++].seq))
        return statement;
    }
    return std::nullopt;
  });
  out << "Copiados de " << DatabaseLabel(from) << " para " << DatabaseLabel(to) << ": "
      << Grouped(static_cast<long long>(accounts.size()))
      << (accounts.size() == 1 ? " conta corrente, " : " contas correntes, ")
      << Grouped(static_cast<long long>(summaries.size()))
      << (summaries.size() == 1 ? " extrato e " : " extratos e ") << Grouped(movements)
      << (movements == 1 ? " movimento.\n" : " movimentos.\n");
  return 0;
}

}  // namespace kvr::server::admin
