#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kvr::server {

class SqlConnection;
class SqlStore;

// A clerk's key as the database keeps it (never the key itself). Dates are
// "AAAA-MM-DDTHH:MM:SS" in local time, empty when not set.
struct Clerk {
  std::string name;
  bool administrator = false;
  std::string created;
  std::string last_used;
  std::string revoked;
};

// One row of the audit trail. event is one of importacao, recusa, remocao,
// acesso_negado, chave_criada, chave_removida; statement and movements are
// -1 when they do not apply.
struct AuditEvent {
  std::string when;  // set by the store when empty
  std::string user;
  std::string address;
  std::string event;
  std::string account;
  long long statement = -1;
  long long movements = -1;
  std::string detail;
};

// Which rows of the trail to list: from the day since ("AAAA-MM-DD", empty:
// all) and of one user (when given).
struct AuditFilter {
  std::string since;
  std::optional<std::string> user;
};

// The clerk keys and the audit trail of a SQL store, in the tables of its
// schema (USUARIO, AUDITORIA). Safe to call from several threads at once.
// Every failure of the database is an EDatabaseError naming it.
class AccessStore {
 public:
  // store must outlive this object.
  explicit AccessStore(SqlStore& store) : store_(store) {}

  // Adds the clerk name with the SHA-256 (hex) of its key and records event
  // in the same transaction. A revoked clerk of that name is replaced.
  // Throws EDatabaseError when an active clerk has that name.
  void AddClerk(const std::string& name, bool administrator, const std::string& key_hash,
                const AuditEvent& event);
  // Every clerk, active or revoked, in name order.
  std::vector<Clerk> ListClerks();
  // Revokes the active clerk name and records event in the same transaction;
  // false when no active clerk has that name.
  bool RevokeClerk(const std::string& name, const AuditEvent& event);
  // The active clerk whose key has the SHA-256 key_hash, if any.
  std::optional<Clerk> FindKey(const std::string& key_hash);
  // The active clerks by the SHA-256 (hex) of their keys, read in one
  // snapshot.
  std::map<std::string, Clerk> ActiveKeys();
  // True once any clerk key was ever made, revoked ones included: a
  // database whose last key was revoked must not fall back to an open
  // server that lets that very key in.
  bool AnyKey();
  // Sets the clerk's last use to now.
  void TouchKey(const std::string& name);

  // Appends event to the trail.
  void Record(const AuditEvent& event);
  // The most characters AuditEvent::detail holds.
  static constexpr size_t kDetailLimit = 500;

  // Appends event to the trail on connection, inside the caller's write
  // transaction, so that it is committed with the caller's own writes.
  // Throws EDatabaseError, writing nothing, when a text is longer than its
  // column (user 40 characters, address 64, event 20, account 3, detail
  // kDetailLimit) or holds the NUL character.
  static void Write(SqlConnection& connection, const AuditEvent& event);
  // The rows of the trail filter lets through, oldest first.
  std::vector<AuditEvent> ListTrail(const AuditFilter& filter);
  // Who imported each statement whose import the trail holds.
  std::map<long long, std::string> Importers();
  // Removes statement seq and its movements and records event (its account
  // and movements filled in here) in one transaction; false, with nothing
  // removed, when no statement has that number.
  bool RemoveStatement(long long seq, AuditEvent event);

 private:
  SqlStore& store_;
};

}  // namespace kvr::server
