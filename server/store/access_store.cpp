#include "store/access_store.h"

#include <ctime>
#include <tuple>

#include "store/sql_store.h"
#include "wire/utf8.h"

namespace kvr::server {

namespace {

constexpr const char* kClerkSelect =
    "SELECT NMUSUARIO, IDADMIN, DTCRIACAO, DTULTIMOUSO, DTREVOGACAO FROM USUARIO ";
constexpr const char* kTrailSelect =
    "SELECT QUANDO, USUARIO, ENDERECO, EVENTO, CONTA, EXTRATO, MOVIMENTOS, DETALHE FROM AUDITORIA ";

// A number, or -1 (does not apply) for null.
long long ReadCount(SqlQuery& query, int column) {
  return std::holds_alternative<std::monostate>(query.Value(column)) ? -1 : query.Int(column);
}

// The local time now as "AAAA-MM-DDTHH:MM:SS".
std::string Now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

Clerk ReadClerk(SqlQuery& query) {
  return Clerk{query.Text(0), query.Int(1) != 0, CellText(query.Value(2)), CellText(query.Value(3)),
               CellText(query.Value(4))};
}

}  // namespace

void AccessStore::Write(SqlConnection& connection, const AuditEvent& event) {
  // The same refusal on both engines (SQLite would keep a longer text whole,
  // PostgreSQL refuse it with its own English message).
  for (const auto& [column, text, limit] :
       {std::tuple<const char*, const std::string&, size_t>{"USUARIO", event.user, 40},
        {"ENDERECO", event.address, 64},
        {"EVENTO", event.event, 20},
        {"CONTA", event.account, 3},
        {"DETALHE", event.detail, kDetailLimit}}) {
    const size_t length = Utf8Length(text);
    if (length > limit)
      throw EDatabaseError("O texto de " + std::string(column) +
                           " da trilha de auditoria tem " + std::to_string(length) +
                           " caracteres; o limite é " + std::to_string(limit) +
                           ". Encurte-o e tente de novo.");
  }
  // -1 (does not apply) is stored as null.
  auto count = [](long long value) { return value < 0 ? std::nullopt : std::optional(value); };
  Execute(connection,
          "INSERT INTO AUDITORIA (QUANDO, USUARIO, ENDERECO, EVENTO, CONTA, EXTRATO, MOVIMENTOS, "
          "DETALHE) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
          "gravar a trilha de auditoria", event.when.empty() ? Now() : event.when,
          TextOrNull(event.user), TextOrNull(event.address), event.event, TextOrNull(event.account),
          count(event.statement), count(event.movements), TextOrNull(event.detail));
}

void AccessStore::AddClerk(const std::string& name, bool administrator, const std::string& key_hash,
                           const AuditEvent& event) {
  store_.InTransaction(true, [&](SqlConnection& connection) {
    auto found = Query(connection, std::string(kClerkSelect) + "WHERE NMUSUARIO = ?",
                       "procurar o usuário", name);
    const long long admin = administrator ? 1 : 0;
    if (found->Step()) {
      if (ReadClerk(*found).revoked.empty())
        throw EDatabaseError("O usuário \"" + name +
                             "\" já tem uma chave; para trocá-la, remova-o antes "
                             "(kvr61400-server usuario remove " +
                             name + ").");
      Execute(connection,
              "UPDATE USUARIO SET HASHCHAVE = ?, IDADMIN = ?, DTCRIACAO = ?, DTULTIMOUSO = NULL, "
              "DTREVOGACAO = NULL WHERE NMUSUARIO = ?",
              "gravar a chave do usuário", key_hash, admin, Now(), name);
    } else {
      Execute(connection,
              "INSERT INTO USUARIO (NMUSUARIO, HASHCHAVE, IDADMIN, DTCRIACAO) VALUES (?, ?, ?, ?)",
              "gravar a chave do usuário", name, key_hash, admin, Now());
    }
    Write(connection, event);
  });
}

std::vector<Clerk> AccessStore::ListClerks() {
  std::vector<Clerk> clerks;
  store_.InTransaction(false, [&](SqlConnection& connection) {
    auto query = connection.Prepare(
        std::string(kClerkSelect) + "ORDER BY NMUSUARIO" + store_.Dialect().code_order,
        "listar os usuários");
    while (query->Step()) clerks.push_back(ReadClerk(*query));
  });
  return clerks;
}

bool AccessStore::RevokeClerk(const std::string& name, const AuditEvent& event) {
  bool revoked = false;
  store_.InTransaction(true, [&](SqlConnection& connection) {
    auto found =
        Query(connection, std::string(kClerkSelect) + "WHERE NMUSUARIO = ? AND DTREVOGACAO IS NULL",
              "procurar o usuário", name);
    if (!found->Step()) return;
    Execute(connection, "UPDATE USUARIO SET DTREVOGACAO = ? WHERE NMUSUARIO = ?",
            "revogar a chave do usuário", Now(), name);
    Write(connection, event);
    revoked = true;
  });
  return revoked;
}

std::optional<Clerk> AccessStore::FindKey(const std::string& key_hash) {
  std::optional<Clerk> clerk;
  store_.InTransaction(false, [&](SqlConnection& connection) {
    auto query =
        Query(connection, std::string(kClerkSelect) + "WHERE HASHCHAVE = ? AND DTREVOGACAO IS NULL",
              "conferir a chave", key_hash);
    if (query->Step()) clerk = ReadClerk(*query);
  });
  return clerk;
}

std::map<std::string, Clerk> AccessStore::ActiveKeys() {
  std::map<std::string, Clerk> keys;
  store_.InTransaction(false, [&](SqlConnection& connection) {
    auto query = connection.Prepare(
        "SELECT NMUSUARIO, IDADMIN, DTCRIACAO, DTULTIMOUSO, DTREVOGACAO, HASHCHAVE FROM USUARIO "
        "WHERE DTREVOGACAO IS NULL",
        "ler as chaves de usuários");
    while (query->Step()) keys.emplace(query->Text(5), ReadClerk(*query));
  });
  return keys;
}

bool AccessStore::AnyKey() {
  bool any = false;
  store_.InTransaction(false, [&](SqlConnection& connection) {
    any =
        connection.Prepare("SELECT 1 FROM USUARIO LIMIT 1", "procurar chaves de usuários")->Step();
  });
  return any;
}

void AccessStore::TouchKey(const std::string& name) {
  store_.InTransaction(true, [&](SqlConnection& connection) {
    Execute(connection, "UPDATE USUARIO SET DTULTIMOUSO = ? WHERE NMUSUARIO = ?",
            "registrar o uso da chave", Now(), name);
  });
}

void AccessStore::Record(const AuditEvent& event) {
  store_.InTransaction(true, [&](SqlConnection& connection) { Write(connection, event); });
}

std::vector<AuditEvent> AccessStore::ListTrail(const AuditFilter& filter) {
  std::vector<AuditEvent> events;
  store_.InTransaction(false, [&](SqlConnection& connection) {
    // Conditions are left out rather than made void by a parameter: an empty
    // text does not bind to PostgreSQL's timestamp.
    std::string sql = kTrailSelect;
    std::vector<std::string> values;
    if (!filter.since.empty()) {
      sql += "WHERE QUANDO >= ? ";
      values.push_back(filter.since + "T00:00:00");
    }
    if (filter.user) {
      sql += values.empty() ? "WHERE " : "AND ";
      sql += "USUARIO = ? ";
      values.push_back(*filter.user);
    }
    auto query = connection.Prepare(sql + "ORDER BY CDSEQUAUDI", "ler a trilha de auditoria");
    for (size_t i = 0; i < values.size(); ++i) query->Bind(static_cast<int>(i) + 1, values[i]);
    while (query->Step())
      events.push_back({CellText(query->Value(0)), query->Text(1), query->Text(2), query->Text(3),
                        query->Text(4), ReadCount(*query, 5), ReadCount(*query, 6),
                        query->Text(7)});
  });
  return events;
}

std::map<long long, std::string> AccessStore::Importers() {
  std::map<long long, std::string> importers;
  store_.InTransaction(false, [&](SqlConnection& connection) {
    auto query = connection.Prepare(
        "SELECT EXTRATO, USUARIO FROM AUDITORIA WHERE EVENTO = 'importacao' AND EXTRATO IS NOT "
        "NULL ORDER BY CDSEQUAUDI",
        "ler quem importou os extratos");
    while (query->Step()) importers[query->Int(0)] = query->Text(1);
  });
  return importers;
}

bool AccessStore::RemoveStatement(long long seq, AuditEvent event) {
  bool removed = false;
  store_.InTransaction(true, [&](SqlConnection& connection) {
    auto found = Query(connection,
                       "SELECT CDREDUCONT, (SELECT COUNT(*) FROM MOVEXTRBANCO WHERE CDSEQUEXTR = "
                       "?) FROM EXTRBANCO WHERE CDSEQUEXTR = ?",
                       "procurar o extrato", seq, seq);
    if (!found->Step()) return;
    event.account = found->Text(0);
    event.movements = found->Int(1);
    event.statement = seq;
    // A store of the account in flight finishes first.
    ExecuteIfAny(connection, store_.Dialect().lock_account, "reservar a conta corrente",
                 event.account);
    Execute(connection, "DELETE FROM MOVEXTRBANCO WHERE CDSEQUEXTR = ?",
            "excluir os movimentos do extrato", seq);
    Execute(connection, "DELETE FROM EXTRBANCO WHERE CDSEQUEXTR = ?", "excluir o extrato", seq);
    Write(connection, event);
    removed = true;
  });
  return removed;
}

}  // namespace kvr::server
