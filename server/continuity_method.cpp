// The module's read-only method over the statement continuity, apart from
// the import calls.
#include "continuity.h"
#include "import_module.h"

namespace kvr::server {

nlohmann::json ImportModule::GetContinuidade(const std::string& code) {
  try {
    return ContinuityJson(StatementContinuity(store_, code));
  } catch (const InvalidRequest& error) {
    throw RpcError(kRefused, error.what());
  }
}

bool ImportModule::CallContinuity(const std::string& method, const nlohmann::json& params,
                                  CallInfo& info, nlohmann::json& result) {
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
