// store_floor SOURCE_DB TARGET_DB
//
// The storage engine's own bulk insert of exactly the rows an import stored:
// the yardstick of bench/import_scale's store. Reads the last statement
// stored in SOURCE_DB (a SQLite file or a postgresql:// URI) with its
// movements, creates TARGET_DB (empty, same engine) with the server's own
// schema code and the statement's account, and then times, on a connection
// the server's driver opened (its pragmas: WAL, synchronous = FULL, foreign
// keys, the cache a large write gets), one write transaction that inserts
// the header and every movement through the engine's bulk path (SQLite: one
// prepared INSERT run again for each row; PostgreSQL: COPY into the table,
// triggers and all) and commits. Reading the rows and making the database
// are outside the time.
//
// Prints "SECONDS MOVEMENTS" on one line; exits 1 with the reason on a
// failure.
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "store/open_store.h"
#include "store/pg_connection.h"
#include "store/sql_connection.h"
#include "store/sqlite_connection.h"
#include "store/store.h"

namespace {

using namespace kvr::server;

// The columns of layout, "A, B, C".
std::string Columns(const kvr::Layout& layout) {
  std::string out;
  for (const auto& field : layout) out += (out.empty() ? "" : ", ") + std::string(field.name);
  return out;
}

int Run(const std::string& source_db, const std::string& target_db) {
  StoredStatement statement;
  Account account;
  {
    std::unique_ptr<Store> source = OpenStore(source_db, false);
    const std::vector<StatementSummary> stored = source->ListStatements(false);
    if (stored.empty()) throw EDatabaseError("O banco de origem não tem extratos.");
    std::optional<StoredStatement> last = source->GetStatement(stored.back().seq);
    if (!last) throw EDatabaseError("O extrato de origem sumiu.");
    statement = std::move(*last);
    const std::string code = CellText(statement.summary.header[ColumnIndex(ExtrBancoLayout(), "CDREDUCONT")]);
    std::optional<Account> found = source->FindAccount(code);
    if (!found) throw EDatabaseError("A conta " + code + " do extrato não está no banco de origem.");
    account = *found;
  }
  // The schema and the account, as the server makes them.
  OpenStore(target_db, true)->AddAccount(account);

  const bool postgres = IsPostgresAddress(target_db);
  std::unique_ptr<SqlDriver> driver;
  if (postgres)
    driver = std::make_unique<PgDriver>(target_db);
  else
    driver = std::make_unique<SqliteDriver>(target_db, false);
  std::unique_ptr<SqlConnection> connection = driver->Connect(false);
  const SqlDialect& dialect = driver->Dialect();

  const kvr::Layout& header_layout = ExtrBancoLayout();
  const kvr::Layout& movement_layout = MovExtrLayout();
  std::vector<std::vector<CellView>> rows;
  rows.reserve(statement.movements.size());
  for (const Row& row : statement.movements) {
    std::vector<CellView> cells;
    cells.reserve(row.size());
    for (const Cell& cell : row) cells.push_back(ViewOf(cell));
    rows.push_back(std::move(cells));
  }

  const auto start = std::chrono::steady_clock::now();
  connection->Execute(dialect.begin_write, "iniciar a transação");
  connection->ExpectRows(rows.size());
  {
    auto header = connection->Prepare("INSERT INTO EXTRBANCO (" + Columns(header_layout) + ") VALUES (" +
                                          Placeholders(header_layout.size()) + ")",
                                      "gravar o extrato");
    for (size_t i = 0; i < header_layout.size(); ++i)
      header->Bind(static_cast<int>(i) + 1, statement.summary.header[i]);
    while (header->Step()) {
    }
  }
  std::unique_ptr<SqlRowWriter> writer = connection->InsertRows(
      "MOVEXTRBANCO", Columns(movement_layout), movement_layout.size(), "gravar os movimentos");
  for (const std::vector<CellView>& row : rows) {
    for (const CellView& cell : row) writer->Add(cell);
    writer->EndRow();
  }
  writer->Finish();
  writer.reset();
  connection->Execute("COMMIT", "confirmar a transação");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.3f %zu\n", seconds, rows.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "uso: store_floor BANCO_ORIGEM BANCO_NOVO\n");
    return 64;
  }
  try {
    return Run(argv[1], argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "store_floor: %s\n", e.what());
    return 1;
  }
}
