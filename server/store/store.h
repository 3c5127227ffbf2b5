#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "store/statement.h"

namespace kvr::server {

class AccessStore;
struct AuditEvent;

// A bank account of CONTCORR; texts are UTF-8.
struct Account {
  std::string code;       // CDREDUCONT, 1 to 3 characters
  std::string bank;       // CDBANCO, up to 3
  std::string agency;     // CDAGENCIA, up to 5
  std::string number;     // CDCONTCORR, up to 10
  std::string kind;       // IDTIPOCCORR, up to 20
  std::string mask;       // CDPICTCONT, up to 20
  // The number its bank's files write for it (ACCTID) when that is not the
  // account number itself, up to 40; empty when there is none.
  std::string statement_id = "";
};

// One stored statement header with its number of movements.
struct StatementSummary {
  long long seq = 0;      // CDSEQUEXTR, assigned by the store
  Row header;             // ExtrBancoLayout order, CDSEQUEXTR filled in
  std::string bank;       // of the account, empty when it is gone
  std::string number;
  long long movements = 0;
  // The movements' amounts added in cents, each rounded to the cent, credits
  // positive and debits (IDMOVREAL "D") negative.
  long long movement_cents = 0;
};

// A stored statement with its movements in NRSEQMOVREAL order (MovExtrLayout
// order, CDSEQUEXTR and NRSEQMOVREAL filled in).
struct StoredStatement {
  StatementSummary summary;
  std::vector<Row> movements;
};

// The server's storage: accounts and statements. Implementations are safe to
// call from several threads at once. Every failure of the database itself is
// an EDatabaseError whose message says what failed.
class Store {
 public:
  virtual ~Store() = default;

  // Adds an account whose fields were checked by the caller. Throws
  // EDatabaseError when the code exists already, or when an account of the
  // same bank and type has the same number or statement identifier
  // (compared as AccountMatches compares them).
  virtual void AddAccount(const Account& account) = 0;
  // All accounts, in code order.
  virtual std::vector<Account> ListAccounts() = 0;
  // The account with that code, if any.
  virtual std::optional<Account> FindAccount(const std::string& code) = 0;
  // The accounts whose bank equals bank (leading zeros ignored, letters in
  // either case) and whose number or statement identifier is number
  // (AccountMatches), in code order.
  virtual std::vector<Account> MatchAccounts(const std::string& bank,
                                             const std::string& number) = 0;

  // True when the statement is recorded already: a stored statement of its
  // account has the same period (DTSALDINIC and DTSALDFIN), or a stored
  // movement of the account equals one of its movements on CDREDUCONT,
  // VRMOVREAL, NRDOCMOVREAL, DTMOVREAL and CDFITIDEXTR (nulls equal nulls).
  virtual bool IsRecorded(const Statement& statement) = 0;
  // Within one transaction: when the statement is not recorded, stores its
  // header and all its movements and returns the new CDSEQUEXTR; otherwise
  // stores nothing and returns nothing. Concurrent calls with the same
  // statement store it once. On any failure nothing is stored.
  // With trail (its who, where, account and movements filled in), the same
  // transaction also appends it to the audit trail: as "importacao" with the
  // new number, or as "recusa" ("extrato já cadastrado") when the statement
  // is recorded; the statement and its row are committed together or not at
  // all. A store without a trail ignores it.
  virtual std::optional<long long> StoreIfNew(const Statement& statement,
                                              const AuditEvent* trail = nullptr) = 0;

  // All stored statements, in CDSEQUEXTR order; movement_cents is added up
  // only with movement_sums (it reads every movement: continuity needs it, a
  // listing does not).
  virtual std::vector<StatementSummary> ListStatements(bool movement_sums = false) = 0;
  // The stored statement with that CDSEQUEXTR, if any.
  virtual std::optional<StoredStatement> GetStatement(long long seq) = 0;
  // Replaces the type (IDTIPOCCORR), mask (CDPICTCONT), number (CDCONTCORR)
  // and statement identifier of the account account.code; its other fields
  // stay. Returns false when no account has
  // that code. Throws EDatabaseError when another account has the same bank,
  // number and type (leading zeros ignored).
  virtual bool UpdateAccount(const Account& account) = 0;
  // Removes the account with that code when none of its statements is stored.
  // Returns the number of its stored statements: 0 when it was removed or
  // did not exist, otherwise nothing was removed.
  virtual long long RemoveAccount(const std::string& code) = 0;

  // The clerk keys and the audit trail of this store, owned by it; nullptr
  // for a store without them (every caller then counts as the open server's).
  virtual AccessStore* Access() { return nullptr; }
};

}  // namespace kvr::server
