#include "store/store_copy.h"

#include <algorithm>
#include <iterator>
#include <memory>

#include "store/sql_store.h"

namespace kvr::server {

namespace {

// Tables in the order their references need; any other table follows, in
// name order. Never copied: the schema's version, which target has.
constexpr const char* kFirst[] = {"CONTCORR", "CONTCORRIDEXTR", "EXTRBANCO",
                                  "MOVEXTRBANCO", "USUARIO", "AUDITORIA"};
constexpr const char* kNotCopied = "VERSAOESQUEMA";
// A table with this column is read one statement at a time, so that a
// PostgreSQL source never hands all movements of the installation at once.
constexpr const char* kStatementColumn = "CDSEQUEXTR";

std::vector<std::string> Names(SqlConnection& connection, const char* sql, const std::string& what,
                               const std::string* table = nullptr) {
  std::unique_ptr<SqlQuery> query = connection.Prepare(sql, what);
  if (table != nullptr) query->Bind(1, *table);
  std::vector<std::string> names;
  while (query->Step()) names.push_back(query->Text(0));
  return names;
}

std::vector<std::string> CopiedTableNames(SqlConnection& connection, const SqlDialect& dialect) {
  std::vector<std::string> found =
      Names(connection, dialect.list_tables, "listar as tabelas do banco");
  std::vector<std::string> ordered;
  for (const char* name : kFirst)
    if (std::find(found.begin(), found.end(), name) != found.end()) ordered.push_back(name);
  for (const std::string& name : found)
    if (name != kNotCopied && std::find(ordered.begin(), ordered.end(), name) == ordered.end())
      ordered.push_back(name);
  return ordered;
}

long long Count(SqlConnection& connection, const std::string& table) {
  std::unique_ptr<SqlQuery> query =
      connection.Prepare("SELECT COUNT(*) FROM " + table, "contar as linhas de " + table);
  return query->Step() ? query->Int(0) : 0;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

void Replace(std::string& text, const std::string& name, const std::string& value) {
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at))
    text.replace(at, name.size(), value);
}

// Copies table's rows from source to target; the rows copied.
long long CopyTable(SqlConnection& source, SqlConnection& target, const std::string& table,
                    const std::vector<std::string>& columns,
                    const std::vector<long long>& statements) {
  const std::string what = "copiar a tabela " + table;
  const std::string list = Joined(columns);
  std::unique_ptr<SqlRowWriter> writer = target.InsertRows(table, list, columns.size(), what);
  long long rows = 0;
  auto copy = [&](SqlQuery& query) {
    std::vector<Cell> values(columns.size());
    while (query.Step()) {
      for (size_t i = 0; i < columns.size(); ++i) {
        values[i] = query.Value(static_cast<int>(i));
        writer->Add(ViewOf(values[i]));
      }
      writer->EndRow();
      ++rows;
    }
  };
  const std::string select = "SELECT " + list + " FROM " + table;
  if (std::find(columns.begin(), columns.end(), kStatementColumn) == columns.end()) {
    copy(*source.Prepare(select, what));
  } else {
    for (long long seq : statements)
      copy(*Query(source, select + " WHERE " + kStatementColumn + " = ?", what, seq));
  }
  writer->Finish();
  return rows;
}

}  // namespace

long long CopiedTables::Rows(const std::string& table) const {
  for (const auto& [name, rows] : tables)
    if (name == table) return rows;
  return 0;
}

CopiedTables CopyTables(SqlStore& source, SqlStore& target) {
  CopiedTables copied;
  const SqlDialect& from = source.Dialect();
  const SqlDialect& to = target.Dialect();
  source.InTransaction(false, [&](SqlConnection& in) {
    target.InTransaction(true, [&](SqlConnection& out) {
      ExecuteIfAny(out, to.lock_accounts, "reservar as contas correntes");
      const std::vector<std::string> tables = CopiedTableNames(in, from);
      const std::vector<std::string> present = CopiedTableNames(out, to);
      std::vector<std::pair<std::string, long long>> held;
      for (const std::string& table : present)
        if (long long rows = Count(out, table); rows > 0) held.emplace_back(table, rows);
      if (!held.empty()) {
        const long long accounts = Count(out, "CONTCORR"), statements = Count(out, "EXTRBANCO");
        std::string detail = "contas correntes: " + std::to_string(accounts) +
                             ", extratos: " + std::to_string(statements);
        if (accounts == 0 && statements == 0) {
          detail.clear();
          for (const auto& [table, rows] : held)
            detail += (detail.empty() ? "" : ", ") + table + ": " + std::to_string(rows) +
                      (rows == 1 ? " linha" : " linhas");
        }
        throw EDatabaseError("O banco de dados de destino " + target.Label() + " já tem dados (" +
                             detail + "); a cópia só é feita para um banco vazio.");
      }
      std::vector<long long> statements;
      for (auto query = in.Prepare("SELECT CDSEQUEXTR FROM EXTRBANCO ORDER BY CDSEQUEXTR",
                                   "listar os extratos");
           query->Step();)
        statements.push_back(query->Int(0));
      for (const std::string& table : tables) {
        const std::vector<std::string> columns =
            Names(in, from.list_columns, "listar as colunas de " + table, &table);
        if (Names(out, to.list_columns, "listar as colunas de " + table, &table) != columns)
          throw EDatabaseError("A tabela " + table + " não tem as mesmas colunas em " + source.Label() +
                               " e em " + target.Label() +
                               "; atualize o kvr61400-server que usa cada banco e copie de novo.");
        copied.tables.emplace_back(table, CopyTable(in, out, table, columns, statements));
        if (*to.serial_sequence == '\0') continue;
        for (const std::string& column : columns) {
          auto sequence =
              Query(out, to.serial_sequence, "numerar as próximas linhas de " + table, table,
                    column);
          if (!sequence->Step() || sequence->Text(0).empty()) continue;
          std::string set = to.set_sequence;
          Replace(set, "{TABLE}", table);
          Replace(set, "{COLUMN}", column);
          Execute(out, set, "numerar as próximas linhas de " + table, sequence->Text(0));
        }
      }
      if (*to.statement_floor != '\0')
        out.Execute(to.statement_floor, "numerar os próximos extratos");
      // What the target now holds against what the source held, table by
      // table, before anything is committed.
      for (const auto& [table, rows] : copied.tables) {
        const long long there = Count(in, table), here = Count(out, table);
        if (there != here || here != rows)
          throw EDatabaseError("A cópia da tabela " + table + " não confere: " +
                               std::to_string(there) + " linhas em " + source.Label() + ", " +
                               std::to_string(here) + " em " + target.Label() +
                               "; nada foi gravado.");
      }
    });
  });
  return copied;
}

}  // namespace kvr::server
