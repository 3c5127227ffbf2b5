// The module's read-only methods for the host's window of imported
// statements, apart from the import calls: GetContinuidade and GetMovimentos.
#include <optional>

#include "store/continuity.h"
#include "rpc/import_module.h"

namespace kvr::server {

nlohmann::json ImportModule::GetContinuidade(const std::string& code) {
  try {
    return ContinuityJson(StatementContinuity(store_, code));
  } catch (const InvalidRequest& error) {
    throw RpcError(kRefused, error.what());
  }
}

nlohmann::json ImportModule::GetMovimentos(long long number) {
  std::optional<StoredStatement> statement = store_.GetStatement(number);
  if (!statement)
    throw RpcError(kRefused, "Extrato " + std::to_string(number) + " não encontrado.");
  return MakePacket(MovExtrLayout(), statement->movements);
}

bool ImportModule::CallContinuity(const std::string& method, const nlohmann::json& params,
                                  CallInfo& info, nlohmann::json& result) {
  if (method == "GetMovimentos") {
    // A statement number is a positive whole number; 1.5 or "1" is no number
    // of a statement.
    if (!params.is_array() || params.size() != 1 || !params[0].is_number_integer())
      throw RpcError(kInvalidParams,
                     "GetMovimentos espera 1 parâmetro: o número do extrato (inteiro).");
    result = GetMovimentos(params[0].get<long long>());
    const nlohmann::json& rows = result["rows"];
    // The statement's account, as the log names it for the other calls.
    if (!rows.empty() && rows[0][ColumnIndex(MovExtrLayout(), "CDREDUCONT")].is_string())
      info.account = rows[0][ColumnIndex(MovExtrLayout(), "CDREDUCONT")].get<std::string>();
    info.rows = static_cast<long long>(rows.size());
    info.outcome = "ok";
    return true;
  }
  if (method != "GetContinuidade") return false;
  if (!params.is_array() || params.size() != 1 || !params[0].is_string())
    throw RpcError(kInvalidParams,
                   "GetContinuidade espera 1 parâmetro: o código da conta corrente (texto; "
                   "vazio para todas).");
  const std::string& code = params[0].get_ref<const std::string&>();
  info.account = code;
  result = GetContinuidade(code);
  long long statements = 0;
  for (const nlohmann::json& account : result)
    statements += static_cast<long long>(account["extratos"].size());
  info.rows = statements;
  info.outcome = "ok";
  return true;
}

}  // namespace kvr::server
