#include "store/pg_connection.h"

#include <libpq-fe.h>

#include <charconv>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kvr::server {

namespace {

// MOVEXTRBANCO (CDSEQUEXTR, CDREDUCONT) refers to EXTRBANCO, checked once per
// statement: a foreign key runs one query per row (a 1,000,000-row COPY spent
// a third of its time there), these triggers one per distinct key. The same
// rule as the key, under concurrency too: the insert side locks each parent
// FOR KEY SHARE, as the key does, so a removal of it waits for the inserting
// transaction and then (read committed) sees its movements and fails; an
// insert that waits for a removal finds no parent and fails. SQLSTATE 23503
// as the key's. A removal is refused outside read committed, where the
// transaction's snapshot could miss movements committed after it began; and
// emptying EXTRBANCO (TRUNCATE, which fires no row trigger) while movements
// remain.
constexpr const char* kMovementKeyCheck = R"sql(
ALTER TABLE MOVEXTRBANCO DROP CONSTRAINT movextrbanco_cdsequextr_cdreducont_fkey;
CREATE FUNCTION MOVEXTRBANCO_EXTRATO() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
  chave record;
BEGIN
  FOR chave IN SELECT DISTINCT CDSEQUEXTR, CDREDUCONT FROM NOVOS LOOP
    PERFORM 1 FROM EXTRBANCO
      WHERE CDSEQUEXTR = chave.CDSEQUEXTR AND CDREDUCONT = chave.CDREDUCONT FOR KEY SHARE;
    IF NOT FOUND THEN
      RAISE foreign_key_violation USING MESSAGE = format(
        'MOVEXTRBANCO (CDSEQUEXTR, CDREDUCONT) = (%s, %s) sem linha em EXTRBANCO',
        chave.CDSEQUEXTR, chave.CDREDUCONT);
    END IF;
  END LOOP;
  RETURN NULL;
END $$;
CREATE FUNCTION EXTRBANCO_MOVIMENTOS() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
  chave record;
BEGIN
  FOR chave IN SELECT CDSEQUEXTR, CDREDUCONT FROM ANTIGOS o
      WHERE NOT EXISTS (SELECT 1 FROM EXTRBANCO e
                        WHERE e.CDSEQUEXTR = o.CDSEQUEXTR AND e.CDREDUCONT = o.CDREDUCONT) LOOP
    -- Only a snapshot of its own statement sees movements committed
    -- while this transaction ran.
    IF current_setting('transaction_isolation') <> 'read committed' THEN
      RAISE feature_not_supported USING MESSAGE =
        'extratos (EXTRBANCO) só são excluídos ou renumerados em transações READ COMMITTED';
    END IF;
    CONTINUE WHEN NOT EXISTS (SELECT 1 FROM MOVEXTRBANCO m
        WHERE m.CDSEQUEXTR = chave.CDSEQUEXTR AND m.CDREDUCONT = chave.CDREDUCONT);
    RAISE foreign_key_violation USING MESSAGE = format(
      'EXTRBANCO (CDSEQUEXTR, CDREDUCONT) = (%s, %s) ainda tem linhas em MOVEXTRBANCO',
      chave.CDSEQUEXTR, chave.CDREDUCONT);
  END LOOP;
  RETURN NULL;
END $$;
CREATE FUNCTION EXTRBANCO_ESVAZIAMENTO() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF EXISTS (SELECT 1 FROM MOVEXTRBANCO) THEN
    RAISE foreign_key_violation USING MESSAGE =
      'EXTRBANCO não é esvaziada enquanto MOVEXTRBANCO tem linhas';
  END IF;
  RETURN NULL;
END $$;
CREATE TRIGGER EXTRBANCO_MOVIMENTOS_ESVAZIAMENTO BEFORE TRUNCATE ON EXTRBANCO
  FOR EACH STATEMENT EXECUTE FUNCTION EXTRBANCO_ESVAZIAMENTO();
CREATE TRIGGER MOVEXTRBANCO_EXTRATO_INCLUSAO AFTER INSERT ON MOVEXTRBANCO
  REFERENCING NEW TABLE AS NOVOS FOR EACH STATEMENT EXECUTE FUNCTION MOVEXTRBANCO_EXTRATO();
CREATE TRIGGER MOVEXTRBANCO_EXTRATO_ALTERACAO AFTER UPDATE ON MOVEXTRBANCO
  REFERENCING NEW TABLE AS NOVOS FOR EACH STATEMENT EXECUTE FUNCTION MOVEXTRBANCO_EXTRATO();
CREATE TRIGGER EXTRBANCO_MOVIMENTOS_EXCLUSAO AFTER DELETE ON EXTRBANCO
  REFERENCING OLD TABLE AS ANTIGOS FOR EACH STATEMENT EXECUTE FUNCTION EXTRBANCO_MOVIMENTOS();
CREATE TRIGGER EXTRBANCO_MOVIMENTOS_ALTERACAO AFTER UPDATE ON EXTRBANCO
  REFERENCING OLD TABLE AS ANTIGOS FOR EACH STATEMENT EXECUTE FUNCTION EXTRBANCO_MOVIMENTOS();
)sql";

// Advisory lock classes (the first key of pg_advisory_xact_lock(int, int)):
// 61400 one account's statements (second key: hashtext of its code), 61401
// the accounts table, 61402 the schema.
const SqlDialect kDialect = {
    .begin_read = "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY",
    // Read committed: after its lock a writer sees what was committed before.
    .begin_write = "BEGIN",
    .lock_account = "SELECT pg_advisory_xact_lock(61400, hashtext(?))",
    .lock_accounts = "SELECT pg_advisory_xact_lock(61401, 0)",
    .lock_schema = "SELECT pg_advisory_xact_lock(61402, 0)",
    .tables_present =
        "SELECT (to_regclass('versaoesquema') IS NOT NULL)::int, "
        "(to_regclass('contcorr') IS NOT NULL)::int",
    // The identity's sequence never goes back: only up to the highest
    // number held (copied statements, or removed ones the trail names).
    .statement_floor =
        "SELECT setval(s::regclass, GREATEST(n, COALESCE(pg_sequence_last_value(s::regclass), 0))) "
        "FROM (SELECT pg_get_serial_sequence('extrbanco', 'cdsequextr') AS s, "
        "GREATEST((SELECT MAX(CDSEQUEXTR) FROM EXTRBANCO), (SELECT MAX(EXTRATO) FROM AUDITORIA)) "
        "AS n) t WHERE n IS NOT NULL",
    .code_order = " COLLATE \"C\"",
    .statement_key = "BIGINT      GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY",
    .statement_ref = "BIGINT",
    .date_type = "TIMESTAMP(3)",
    .amount_type = "NUMERIC",
    // A movement refers to its statement and that statement's account in
    // one key (the account through the statement's own); from version 6 on
    // checked by kMovementKeyCheck's triggers.
    .statement_constraints = ",\n  UNIQUE (CDSEQUEXTR, CDREDUCONT)",
    .movement_constraints =
        "FOREIGN KEY (CDSEQUEXTR, CDREDUCONT) REFERENCES EXTRBANCO (CDSEQUEXTR, CDREDUCONT)",
    .nulls_equal = " NULLS NOT DISTINCT",
    .movement_key_check = kMovementKeyCheck,
    .list_tables =
        "SELECT upper(table_name) FROM information_schema.tables WHERE table_schema = "
        "current_schema() AND table_type = 'BASE TABLE' ORDER BY table_name",
    .list_columns =
        "SELECT upper(column_name) FROM information_schema.columns WHERE table_schema = "
        "current_schema() AND table_name = lower(?) ORDER BY ordinal_position",
    .serial_sequence = "SELECT pg_get_serial_sequence(lower(?), lower(?))",
    .set_sequence =
        "SELECT setval(CAST(? AS regclass), m) FROM (SELECT MAX({COLUMN}) AS m FROM {TABLE}) t "
        "WHERE m IS NOT NULL",
};

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// Run on every new connection. The longest command of ours is the COPY of a
// large statement's movements; the longest lock wait, another server's store
// on the same account.
constexpr const char* kSessionSettings =
    "SET DateStyle = ISO; "
    "SELECT set_config('statement_timeout', '120s', false) "
    "WHERE current_setting('statement_timeout') IN ('0', '0ms'); "
    "SELECT set_config('lock_timeout', '60s', false) "
    "WHERE current_setting('lock_timeout') IN ('0', '0ms')";

// What a server error means, in Portuguese, by its SQLSTATE.
std::string ServerReason(const PGresult* result) {
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* primary =
      result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const std::string code = state != nullptr ? state : "";
  if (code == "40001" || code == "40P01") return "conflito com outra transação; tente de novo";
  if (code == "23505") return "registro repetido";
  if (code == "23503") return "a conta corrente não está mais cadastrada";
  if (code == "57014" && primary != nullptr && std::string(primary).find("statement timeout") !=
                                                    std::string::npos)
    return "o comando passou do tempo limite do banco de dados (statement_timeout) sem terminar; "
           "tente de novo, e se persistir peça ao administrador do banco que confira bloqueios e "
           "a carga do servidor";
  if (code == "57014") return "a operação foi cancelada no servidor de banco de dados";
  if (code == "55P03")
    return "uma tabela ficou bloqueada por outra sessão do banco de dados além do tempo limite "
           "(lock_timeout); tente de novo em instantes";
  if (code == "53100") return "o disco do servidor de banco de dados está cheio";
  if (code.rfind("53", 0) == 0) return "faltam recursos no servidor de banco de dados";
  if (code.rfind("57P", 0) == 0) return "o servidor de banco de dados está parando ou reiniciando";
  if (code == "42501") return "permissão negada ao usuário do banco de dados";
  if (code == "42P01") return "as tabelas do kvr61400-server não existem neste banco";
  if (code == "25006") return "o banco de dados só aceita leituras";
  // SQLite keeps a NUL character inside a text; PostgreSQL cannot.
  if (code == "22021" || code == "22P05")
    return "um texto tem um caractere que o PostgreSQL não guarda (o caractere nulo)";
  return "erro do PostgreSQL " + (code.empty() ? std::string("desconhecido") : code) +
         (primary != nullptr ? std::string(" (") + primary + ")" : std::string());
}

// What a failed connection means, from libpq's (English) message.
std::string ConnectReason(const std::string& message) {
  auto has = [&message](const char* text) { return message.find(text) != std::string::npos; };
  if (has("role \"") && has("does not exist")) return "o usuário do banco de dados não existe";
  if (has("database \"") && has("does not exist"))
    return "o banco não existe no servidor (crie-o com createdb -E UTF8 -T template0 NOME)";
  if (has("password authentication failed") || has("no password supplied") ||
      has("authentication failed"))
    return "usuário ou senha recusados pelo servidor";
  if (has("no pg_hba.conf entry"))
    return "o servidor não aceita conexões deste computador (pg_hba.conf)";
  if (has("Connection refused") || has("No such file or directory"))
    return "o servidor não aceita conexões (está parado, ou em outro endereço ou porta?)";
  if (has("timeout expired")) return "o servidor não respondeu a tempo";
  if (has("could not translate host name")) return "nome de servidor desconhecido";
  if (has("starting up") || has("shutting down") || has("recovery mode"))
    return "o servidor de banco de dados está iniciando ou parando; tente de novo em instantes";
  if (has("too many") && has("clients")) return "o servidor já atende o máximo de conexões";
  std::string line = message.substr(0, message.find('\n'));
  return "erro do PostgreSQL (" + line + ")";
}

// The shortest decimal text that reads back as number ("10.01", "-0.5",
// "1e+21"): the exact decimal the packet's number denotes.
std::string DecimalText(double number) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number);
  return std::string(buffer, end);
}

// "2024-01-05 13:45:10.25" (PostgreSQL's ISO output) as the packets write
// it: "2024-01-05T13:45:10.250"; no fraction when it is zero.
std::string PacketDateTime(const char* text) {
  std::string out = text;
  if (out.size() > 10 && out[10] == ' ') out[10] = 'T';
  if (out.size() > 19 && out[19] == '.') out.resize(23, '0');
  return out;
}

template <typename Number>
Number NumberOf(const char* text) {
  Number number = 0;
  std::from_chars(text, text + std::char_traits<char>::length(text), number);
  return number;
}

// Appends text to a COPY line, escaped for the text format.
void AppendCopyText(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
}

// sql with its "?" placeholders numbered as PostgreSQL's $1, $2, ...
// (none is inside a quoted text or name).
std::string Numbered(const std::string& sql) {
  std::string out;
  out.reserve(sql.size() + 16);
  int next = 0;
  char quote = '\0';
  for (char c : sql) {
    if (quote != '\0') {
      if (c == quote) quote = '\0';
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '?') {
      out += '$' + std::to_string(++next);
      continue;
    }
    out += c;
  }
  return out;
}

class PgConnection : public SqlConnection {
 public:
  PgConnection(PGconn* conn, const std::string& label) : conn_(conn), label_(label) {}
  ~PgConnection() override { PQfinish(conn_); }
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  std::unique_ptr<SqlQuery> Prepare(const std::string& sql, const std::string& what,
                                    bool reused) override;
  void Execute(const std::string& sql, const std::string& what) override {
    Check(Result(PQexec(conn_, sql.c_str()), &PQclear), what);
  }
  std::unique_ptr<SqlRowWriter> InsertRows(const std::string& table, const std::string& columns,
                                           size_t count, const std::string& what) override;
  void RollbackQuietly() override {
    if (PQstatus(conn_) == CONNECTION_OK) PQclear(PQexec(conn_, "ROLLBACK"));
  }
  bool Reusable() override {
    return PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) == PQTRANS_IDLE;
  }
  void StartOperation() override { done_ = 0; }

  // Runs the statement sql, or the one prepared under name when not empty,
  // with params (a text each, or null).
  Result Run(const std::string& sql, const std::string& name,
             const std::vector<std::optional<std::string>>& params, const std::string& what) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& param : params) values.push_back(param ? param->c_str() : nullptr);
    const int count = static_cast<int>(values.size());
    Result result(
        name.empty()
            ? PQexecParams(conn_, sql.c_str(), count, nullptr, values.data(), nullptr, nullptr, 0)
            : PQexecPrepared(conn_, name.c_str(), count, values.data(), nullptr, nullptr, 0),
        &PQclear);
    return Check(std::move(result), what);
  }

  // result when it is a success; otherwise throws what failed.
  Result Check(Result result, const std::string& what) {
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(result.get(), what);
    ++done_;
    return result;
  }

  [[noreturn]] void Fail(const PGresult* result, const std::string& what) {
    const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    // 57P01 to 57P03: the server ended this session (it is stopping or
    // restarting); the connection is as good as lost.
    if (PQstatus(conn_) != CONNECTION_OK ||
        (state != nullptr && std::string(state).rfind("57P", 0) == 0)) {
      const bool commit = what == "confirmar a transação";
      throw ConnectionLost(
          "Conexão com o banco de dados " + label_ + " perdida ao " + what +
              (commit ? "; confira com \"extrato list\" se a operação foi feita."
                      : "; a operação foi desfeita e nada foi gravado. Tente de novo."),
          done_ == 0);
    }
    const std::string message = CommandError(label_, what, ServerReason(result));
    if (state != nullptr && std::string(state) == "23505") throw UniqueViolation(message);
    throw EDatabaseError(message);
  }

  PGconn* conn() const { return conn_; }
  void CountDone() { ++done_; }

 private:
  PGconn* conn_;
  std::string label_;
  // Commands done since the operation started.
  int done_ = 0;
  // The names of the statements prepared on this connection, by their SQL.
  std::unordered_map<std::string, std::string> prepared_;
};

class PgQuery : public SqlQuery {
 public:
  PgQuery(PgConnection& connection, std::string sql, std::string name, std::string what)
      : connection_(connection),
        sql_(std::move(sql)),
        name_(std::move(name)),
        what_(std::move(what)) {}

  void BindValue(int index, CellView value) override {
    if (value.kind == CellView::Kind::kText)
      Param(index) = std::string(value.text);
    else if (value.kind == CellView::Kind::kNumber)
      Param(index) = DecimalText(value.number);
    else
      Param(index) = std::nullopt;
  }
  void BindInt(int index, long long value) override { Param(index) = std::to_string(value); }

  bool Step() override {
    if (!result_) {
      result_ = connection_.Run(sql_, name_, params_, what_);
      row_ = -1;
    }
    return ++row_ < PQntuples(result_.get());
  }

  std::string Text(int column) override {
    return PQgetisnull(result_.get(), row_, column) ? std::string()
                                                    : PQgetvalue(result_.get(), row_, column);
  }
  long long Int(int column) override {
    return PQgetisnull(result_.get(), row_, column)
               ? 0
               : NumberOf<long long>(PQgetvalue(result_.get(), row_, column));
  }
  // Datetimes as "YYYY-MM-DDTHH:MM:SS", NUMERIC as a double, the rest as
  // text.
  Cell Value(int column) override {
    if (PQgetisnull(result_.get(), row_, column)) return Cell();
    const char* text = PQgetvalue(result_.get(), row_, column);
    switch (PQftype(result_.get(), column)) {
      case 1114:  // timestamp
        return Cell(PacketDateTime(text));
      case 1700:  // numeric
      case 701:   // float8
        return Cell(NumberOf<double>(text));
      default:
        return Cell(std::string(text));
    }
  }

 private:
  std::optional<std::string>& Param(int index) {
    if (params_.size() < static_cast<size_t>(index)) params_.resize(static_cast<size_t>(index));
    return params_[static_cast<size_t>(index) - 1];
  }

  PgConnection& connection_;
  std::string sql_;
  std::string name_;
  std::string what_;
  std::vector<std::optional<std::string>> params_;
  Result result_{nullptr, &PQclear};
  int row_ = -1;
};

// Rows streamed by COPY in its text format, a megabyte at a time.
class PgCopyWriter : public SqlRowWriter {
 public:
  PgCopyWriter(PgConnection& connection, const std::string& target, std::string what)
      : connection_(connection), conn_(connection.conn()), what_(std::move(what)) {
    Result start(PQexec(conn_, ("COPY " + target + " FROM STDIN").c_str()), &PQclear);
    if (!start || PQresultStatus(start.get()) != PGRES_COPY_IN)
      connection_.Fail(start.get(), what_);
    buffer_.reserve(kChunk);
  }
  // Unfinished: the COPY fails, and with it the transaction.
  ~PgCopyWriter() override {
    if (finished_ || PQstatus(conn_) != CONNECTION_OK) return;
    PQputCopyEnd(conn_, "cancelado");
    while (PGresult* more = PQgetResult(conn_)) PQclear(more);
  }
  PgCopyWriter(const PgCopyWriter&) = delete;
  PgCopyWriter& operator=(const PgCopyWriter&) = delete;

  void AddValue(CellView value) override {
    Separate();
    if (value.kind == CellView::Kind::kText)
      AppendCopyText(buffer_, value.text);
    else if (value.kind == CellView::Kind::kNumber)
      buffer_ += DecimalText(value.number);
    else
      buffer_ += "\\N";
  }
  void Add(long long value) override {
    Separate();
    buffer_ += std::to_string(value);
  }
  void EndRow() override {
    buffer_ += '\n';
    first_ = true;
    if (buffer_.size() >= kChunk - 4096) Send();
  }
  void Finish() override {
    finished_ = true;
    if (!buffer_.empty()) Send();
    if (PQputCopyEnd(conn_, nullptr) != 1) connection_.Fail(nullptr, what_);
    Result end(PQgetResult(conn_), &PQclear);
    const bool ok = end && PQresultStatus(end.get()) == PGRES_COMMAND_OK;
    // Drain what remains so the connection is ready for the next command.
    while (PGresult* more = PQgetResult(conn_)) PQclear(more);
    if (!ok) connection_.Fail(end.get(), what_);
    connection_.CountDone();
  }

 private:
  static constexpr size_t kChunk = 1 << 20;

  void Separate() {
    if (!first_) buffer_ += '\t';
    first_ = false;
  }
  void Send() {
    if (PQputCopyData(conn_, buffer_.data(), static_cast<int>(buffer_.size())) != 1) {
      finished_ = true;
      connection_.Fail(nullptr, what_);
    }
    buffer_.clear();
  }

  PgConnection& connection_;
  PGconn* conn_;
  std::string what_;
  std::string buffer_;
  bool first_ = true;
  bool finished_ = false;
};

std::unique_ptr<SqlQuery> PgConnection::Prepare(const std::string& sql, const std::string& what,
                                                bool reused) {
  std::string name;
  if (reused) {
    // The statements of every call are prepared once per connection: the
    // account round trip is one message to the database and no planning.
    auto known = prepared_.find(sql);
    if (known == prepared_.end()) {
      const std::string new_name = "kvr_" + std::to_string(prepared_.size() + 1);
      Result result(PQprepare(conn_, new_name.c_str(), Numbered(sql).c_str(), 0, nullptr),
                    &PQclear);
      if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) Fail(result.get(), what);
      known = prepared_.emplace(sql, new_name).first;
    }
    name = known->second;
  }
  return std::make_unique<PgQuery>(*this, name.empty() ? Numbered(sql) : std::string(), name, what);
}

std::unique_ptr<SqlRowWriter> PgConnection::InsertRows(const std::string& table,
                                                       const std::string& columns, size_t,
                                                       const std::string& what) {
  return std::make_unique<PgCopyWriter>(*this, table + " (" + columns + ")", what);
}

}  // namespace

std::string PgLabel(const std::string& uri) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(uri.c_str(), &error);
  if (options == nullptr) {
    PQfreemem(error);
    throw EDatabaseError(
        "O endereço do banco PostgreSQL dado em --db não é válido (esperado "
        "postgresql://USUARIO@SERVIDOR:PORTA/BANCO).");
  }
  std::string name, host, port;
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (option->val == nullptr) continue;
    const std::string keyword = option->keyword;
    if (keyword == "dbname") name = option->val;
    if (keyword == "host" || (keyword == "hostaddr" && host.empty())) host = option->val;
    if (keyword == "port") port = option->val;
  }
  PQconninfoFree(options);
  std::string label = "PostgreSQL";
  if (!name.empty()) label += " \"" + name + "\"";
  if (host.empty() || host[0] == '/')
    return label + " (socket local" + (port.empty() ? "" : " " + port) + ")";
  return label + " em " + host + ":" + (port.empty() ? "5432" : port);
}

PgDriver::PgDriver(const std::string& uri) : SqlDriver(PgLabel(uri), kDialect), uri_(uri) {}

std::string PgDriver::NoTablesMessage() const {
  return "O banco de dados " + Label() +
         " não tem as tabelas do kvr61400-server (serve e conta add as criam).";
}

std::unique_ptr<SqlConnection> PgDriver::Connect(bool) {
  // Later keywords win: the URI may set its own timeout, never the encoding.
  const char* keys[] = {"connect_timeout", "application_name", "dbname", "client_encoding",
                        nullptr};
  const char* values[] = {"10", "kvr61400-server", uri_.c_str(), "UTF8", nullptr};
  PGconn* conn = PQconnectdbParams(keys, values, 1);
  if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
    std::string reason = ConnectReason(conn != nullptr ? PQerrorMessage(conn) : "");
    PQfinish(conn);
    throw EDatabaseError("Não foi possível conectar ao banco de dados " + Label() + ": " + reason +
                         ".");
  }
  auto connection = std::make_unique<PgConnection>(conn, Label());
  // No command waits without end on a lock or a stuck server: a limit of
  // ours unless the URI, the role or the database set one.
  Result set(PQexec(conn, kSessionSettings), &PQclear);
  if (!set || PQresultStatus(set.get()) != PGRES_TUPLES_OK)
    throw EDatabaseError("Não foi possível configurar a conexão com o banco de dados " + Label() +
                         ".");
  return connection;
}

void PgDriver::CheckDatabase(SqlConnection& connection) {
  std::unique_ptr<SqlQuery> encoding =
      connection.Prepare("SHOW server_encoding", "ler a codificação do banco");
  const std::string name = encoding->Step() ? encoding->Text(0) : "";
  if (name != "UTF8")
    throw EDatabaseError("O banco de dados " + Label() + " usa a codificação " + name +
                         "; o kvr61400-server precisa de UTF8 (crie o banco com createdb -E "
                         "UTF8 -T template0 NOME).");
}

}  // namespace kvr::server
