#include "import_module.h"

namespace kvr::server {

namespace {

const char* const kHeaderPacket = "pacote do cabeçalho do extrato";
const char* const kMovementsPacket = "pacote de movimentos";

void ExpectParams(const std::string& method, const nlohmann::json& params, size_t count) {
  if (!params.is_array() || params.size() != count)
    throw RpcError(kInvalidParams,
                   method + " espera " + std::to_string(count) + " parâmetros; recebeu " +
                       std::to_string(params.is_array() ? params.size() : 0) + ".");
}

const std::string& TextParam(const std::string& method, const nlohmann::json& params,
                             size_t index) {
  if (!params[index].is_string())
    throw RpcError(kInvalidParams, "O parâmetro " + std::to_string(index + 1) + " de " + method +
                                       " deve ser um texto.");
  return params[index].get_ref<const std::string&>();
}

bool BoolParam(const std::string& method, const nlohmann::json& params, size_t index) {
  if (!params[index].is_boolean())
    throw RpcError(kInvalidParams, "O parâmetro " + std::to_string(index + 1) + " de " + method +
                                       " deve ser um booleano.");
  return params[index].get<bool>();
}

// The CDREDUCONT of a header packet's first row, however malformed the
// packet, for the log; empty when there is none.
std::string AccountForLog(const nlohmann::json& header) {
  if (!header.is_object() || !header.contains("fields") || !header["fields"].is_array() ||
      !header.contains("rows") || !header["rows"].is_array() || header["rows"].empty() ||
      !header["rows"][0].is_array())
    return "";
  const nlohmann::json& fields = header["fields"];
  const nlohmann::json& row = header["rows"][0];
  for (size_t i = 0; i < fields.size() && i < row.size(); ++i)
    if (fields[i].is_object() && fields[i].contains("name") && fields[i]["name"] == "CDREDUCONT" &&
        row[i].is_string())
      return row[i].get<std::string>();
  return "";
}

}  // namespace

nlohmann::json ImportModule::Call(const std::string& method, const nlohmann::json& params,
                                  CallInfo& info) {
  if (method == "GetContaCorrente") {
    ExpectParams(method, params, 2);
    const std::string& bank = TextParam(method, params, 0);
    const std::string& number = TextParam(method, params, 1);
    info.account = bank + "/" + number;
    nlohmann::json packet = GetContaCorrente(bank, number);
    info.rows = static_cast<long long>(packet["rows"].size());
    info.outcome = "ok";
    return packet;
  }
  if (method == "ValidExtrato" || method == "SetExtratoBancario") {
    const bool store = method == "SetExtratoBancario";
    ExpectParams(method, params, store ? 3 : 2);
    const bool valid = store ? BoolParam(method, params, 2) : true;
    if (params[1].is_object() && params[1].contains("rows") && params[1]["rows"].is_array())
      info.rows = static_cast<long long>(params[1]["rows"].size());
    info.account = AccountForLog(params[0]);
    bool answer = store ? SetExtratoBancario(params[0], params[1], valid)
                        : ValidExtrato(params[0], params[1]);
    info.outcome = answer ? "true" : "false";
    return answer;
  }
  if (nlohmann::json result; CallContinuity(method, params, info, result)) return result;
  throw RpcError(kMethodNotFound, "Método \"" + method + "\" desconhecido no módulo " +
                                      std::string(kName) + ".");
}

nlohmann::json ImportModule::GetContaCorrente(const std::string& bank, const std::string& number) {
  const Layout& layout = ContaCorrenteLayout();
  std::vector<Row> rows;
  for (const Account& account : store_.MatchAccounts(bank, number)) {
    Row row(layout.size());
    row[ColumnIndex(layout, "CDREDUCONT")] = account.code;
    row[ColumnIndex(layout, "CDBANCO")] = account.bank;
    row[ColumnIndex(layout, "CDAGENCIA")] = account.agency;
    row[ColumnIndex(layout, "CDCONTCORR")] = account.number;
    row[ColumnIndex(layout, "CDPICTCONT")] = account.mask;
    row[ColumnIndex(layout, "IDTIPOCCORR")] = account.kind;
    rows.push_back(std::move(row));
  }
  return MakePacket(layout, rows);
}

Statement ImportModule::CheckStatement(const nlohmann::json& header,
                                       const nlohmann::json& movements) {
  Statement statement;
  try {
    std::vector<Row> headers = CheckPacket(header, ExtrBancoLayout(), kHeaderPacket);
    if (headers.size() != 1)
      throw InvalidRequest("O " + std::string(kHeaderPacket) + " deve ter uma linha; tem " +
                           std::to_string(headers.size()) + ".");
    statement.header = std::move(headers.front());
    statement.movements = CheckPacket(movements, MovExtrLayout(), kMovementsPacket);
  } catch (const InvalidRequest& error) {
    throw RpcError(kRefused, error.what());
  }
  const size_t account_column = ColumnIndex(ExtrBancoLayout(), "CDREDUCONT");
  statement.account = CellText(statement.header[account_column]);
  if (statement.account.empty())
    throw RpcError(kRefused, "O extrato não informa a conta corrente (CDREDUCONT vazio).");
  if (!store_.FindAccount(statement.account))
    throw RpcError(kRefused, "Conta corrente de código \"" + statement.account +
                                 "\" não cadastrada no servidor.");
  if (statement.movements.empty()) throw RpcError(kRefused, "O extrato não tem movimentos.");
  const Layout& layout = MovExtrLayout();
  const size_t movement_account = ColumnIndex(layout, "CDREDUCONT");
  const size_t value = ColumnIndex(layout, "VRMOVREAL");
  const size_t date = ColumnIndex(layout, "DTMOVREAL");
  for (size_t i = 0; i < statement.movements.size(); ++i) {
    const Row& row = statement.movements[i];
    const std::string line = " (linha " + std::to_string(i + 1) + " do pacote de movimentos)";
    std::string account = CellText(row[movement_account], "nulo");
    if (account != statement.account)
      throw RpcError(kRefused, "O movimento" + line + " é da conta \"" + account +
                                   "\", não da conta \"" + statement.account + "\" do extrato.");
    if (std::holds_alternative<std::monostate>(row[date]))
      throw RpcError(kRefused, "O movimento" + line + " não tem data (DTMOVREAL).");
    if (std::holds_alternative<std::monostate>(row[value]))
      throw RpcError(kRefused, "O movimento" + line + " não tem valor (VRMOVREAL).");
  }
  return statement;
}

bool ImportModule::ValidExtrato(const nlohmann::json& header, const nlohmann::json& movements) {
  Statement statement = CheckStatement(header, movements);
  return !store_.IsRecorded(statement);
}

bool ImportModule::SetExtratoBancario(const nlohmann::json& header,
                                      const nlohmann::json& movements, bool valid) {
  if (!valid) return false;
  Statement statement = CheckStatement(header, movements);
  return store_.StoreIfNew(statement).has_value();
}

}  // namespace kvr::server
