#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "store/store.h"
#include "wire/locale_numbers.h"

namespace kvr::server {

// What breaks the chain between a stored statement and the one before it.
struct ContinuityProblem {
  enum class Kind { kGap, kOverlap, kBalance, kClosing };
  Kind kind = Kind::kGap;
  // kGap: the days between the two periods; kOverlap: the days both cover.
  long long days = 0;
  // kBalance: this statement's opening balance less the previous closing
  // balance, in cents (balances signed: C positive, D negative).
  // kClosing: this statement's closing balance less its opening balance
  // less its movements, in cents (its own movements do not close it).
  long long cents = 0;
};

// One stored statement in its account's chain.
struct ChainLink {
  long long seq = 0;
  // The period's days as "YYYY-MM-DD"; nothing when the column is null or
  // not a date.
  std::optional<std::string> start, end;
  // Signed balances in cents: C positive, D negative.
  long long opening_cents = 0;
  long long closing_cents = 0;
  long long movements = 0;
  std::vector<ContinuityProblem> problems;
};

// An account with its stored statements in period order.
struct AccountChain {
  // account.code always; the other fields when the account is registered.
  Account account;
  std::vector<ChainLink> statements;
};

// Puts the statements of each account in period order (start, then end,
// then CDSEQUEXTR; statements without dates last) and names what breaks the
// chain. "The one before" a statement is the one, among those before it,
// whose period reaches furthest (the latest of them when several reach as
// far), so that a statement lying inside a longer one does not hide it.
// Against it: a gap when this period starts more than a day after it ends
// (the days missing), an overlap when it starts on or before that end (the
// days both cover), and a balance break when this opening balance differs
// from its closing balance by a cent or more. Statements without dates get
// no problems of the chain and are never "the one before". Any statement
// whose opening balance plus its movements is not its closing balance, in
// exact cents, also carries a closing problem (first among its problems). accounts gives the accounts
// listed (in code order, each even without statements); the statements of
// codes not among them are listed after them.
std::vector<AccountChain> ChainStatements(const std::vector<StatementSummary>& statements,
                                          const std::vector<Account>& accounts);

// ChainStatements over the store: every account, or only the one whose
// code is given (non-empty). Throws InvalidRequest when no account has that
// code; EDatabaseError when the store fails.
std::vector<AccountChain> StatementContinuity(Store& store, const std::string& code);

// The chains as JSON: [{"conta":"001","banco":"341","numero":"123456",
// "mascara":"99999-9","tipo":"C","extratos":[{"extrato":"1","dataInicial":"2024-01-01",
// "dataFinal":"2024-01-31","saldoInicial":100.0,"saldoFinal":150.0,
// "movimentos":2,"problemas":[{"tipo":"lacuna","dias":29}, ...]}]}];
// problem types "lacuna" and "sobreposicao" with "dias", "saldo" and
// "fechamento" with "diferenca" (in reais).
nlohmann::json ContinuityJson(const std::vector<AccountChain>& chains);

// The chains as a table per account, for a terminal (UTF-8), with the
// problems in words: "lacuna de 29 dias", "sobreposição de 7 dias",
// "saldo inicial difere do final anterior em R$ 12,50", "movimentos não
// fecham o saldo: diferença de R$ -0,30"; amounts with the separators given.
std::string ContinuityTable(const std::vector<AccountChain>& chains,
                            const NumberSeparators& separators = {});

// One problem in words, as the table gives it.
std::string DescribeProblem(const ContinuityProblem& problem, const NumberSeparators& separators = {});

}  // namespace kvr::server
