// The module's methods about who calls: GetUsuario, RemoveExtrato, and the
// trail of the statements stored or refused.
#include "import_module.h"

namespace kvr::server {

bool ImportModule::CallAccess(const std::string& method, const nlohmann::json& params,
                              CallInfo& info, nlohmann::json& result) {
  if (method == "GetUsuario") {
    if (!params.is_array() || !params.empty())
      throw RpcError(kInvalidParams, "GetUsuario não tem parâmetros.");
    result = {{"usuario", info.caller.user}, {"administrador", info.caller.administrator}};
    info.outcome = "ok";
    return true;
  }
  if (method != "RemoveExtrato") return false;
  if (!info.caller.administrator)
    throw RpcError(kRefused, "Somente uma chave de administrador pode excluir extratos.");
  const bool number = params.is_array() && params.size() == 2 &&
                      params[0].is_number_integer() && params[0].get<long long>() > 0;
  if (!number || !params[1].is_string() || params[1].get_ref<const std::string&>().empty())
    throw RpcError(kInvalidParams,
                   "RemoveExtrato espera 2 parâmetros: o número do extrato (inteiro) e o motivo "
                   "(texto não vazio).");
  const long long seq = params[0].get<long long>();
  info.account = "extrato " + std::to_string(seq);
  AccessStore* access = store_.Access();
  if (access == nullptr)
    throw RpcError(kRefused,
                   "Este servidor não exclui extratos: seu banco não guarda a trilha "
                   "de auditoria.");
  AuditEvent event;
  event.user = info.caller.user;
  event.address = info.caller.address;
  event.event = "remocao";
  event.detail = params[1].get<std::string>();
  if (!access->RemoveStatement(seq, event))
    throw RpcError(kRefused, "Extrato " + std::to_string(seq) + " não encontrado.");
  result = true;
  info.outcome = "true";
  info.result = "extrato " + std::to_string(seq) + " excluído com seus movimentos; motivo: " +
                event.detail;
  return true;
}

bool ImportModule::StoreAudited(PacketRows header, PacketRows movements, bool valid,
                                CallInfo& info) {
  AuditEvent event;
  event.user = info.caller.user;
  event.address = info.caller.address;
  event.account = info.account;
  event.movements = info.rows;
  AccessStore* access = store_.Access();
  if (valid) {
    // The statement and its row of the trail are committed together.
    const std::optional<long long> stored =
        store_.StoreIfNew(CheckStatement(std::move(header), std::move(movements)),
                          access != nullptr ? &event : nullptr);
    info.stored = stored.value_or(0);
    return stored.has_value();
  }
  if (access != nullptr) {
    event.event = "recusa";
    event.detail = "importação cancelada pelo usuário (movimentos repetidos)";
    try {
      access->Record(event);
    } catch (const std::exception& error) {
      info.outcome = std::string(" (trilha de auditoria não gravada: ") + error.what() + ")";
    }
  }
  return false;
}

}  // namespace kvr::server
