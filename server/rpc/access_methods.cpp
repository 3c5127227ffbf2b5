// The module's methods about who calls: GetUsuario, RemoveExtrato, and the
// trail of the statements stored or refused.
#include "rpc/import_module.h"

#include "store/access_store.h"
#include "rpc/log_text.h"

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
  const bool number = params.is_array() && params.size() == 2 &&
                      params[0].is_number_integer() && params[0].get<long long>() > 0;
  const bool reason =
      number && params[1].is_string() && !params[1].get_ref<const std::string&>().empty();
  AccessStore* access = store_.Access();
  AuditEvent event;
  event.user = info.caller.user;
  event.address = info.caller.address;
  if (number) event.statement = params[0].get<long long>();
  // A refused removal goes to the trail as "recusa", with its reason cut to
  // fit; the refusal is answered even when the row cannot be written.
  auto refuse = [&](const std::string& message) {
    if (access != nullptr) {
      AuditEvent refused = event;
      refused.event = "recusa";
      refused.detail = "exclusão recusada: " + message;
      if (reason)
        refused.detail += " Motivo: " + params[1].get<std::string>();
      refused.detail = CutText(refused.detail, AccessStore::kDetailLimit - 3);
      try {
        access->Record(refused);
      } catch (const std::exception& error) {
        info.outcome = std::string(" (trilha de auditoria não gravada: ") + error.what() + ")";
      }
    }
    throw RpcError(kRefused, message);
  };
  if (!info.caller.administrator) refuse("Somente uma chave de administrador pode excluir extratos.");
  if (!reason)
    throw RpcError(kInvalidParams,
                   "RemoveExtrato espera 2 parâmetros: o número do extrato (inteiro) e o motivo "
                   "(texto não vazio).");
  const long long seq = event.statement;
  info.account = "extrato " + std::to_string(seq);
  if (access == nullptr)
    throw RpcError(kRefused,
                   "Este servidor não exclui extratos: seu banco não guarda a trilha "
                   "de auditoria.");
  event.event = "remocao";
  event.detail = params[1].get<std::string>();
  if (!access->RemoveStatement(seq, event))
    refuse("Extrato " + std::to_string(seq) + " não encontrado.");
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
  // The packets are checked either way: a row of the trail names an account
  // the server holds and a statement it could have stored.
  Statement statement = CheckStatement(std::move(header), std::move(movements));
  if (valid) {
    // The statement and its row of the trail are committed together.
    const std::optional<long long> stored =
        store_.StoreIfNew(statement, access != nullptr ? &event : nullptr);
    info.stored = stored.value_or(0);
    return stored.has_value();
  }
  if (access != nullptr) {
    // The same call comes after the screen found the statement recorded, and
    // after the clerk declined to import repeated movements: the server's own
    // check tells which.
    event.event = "recusa";
    event.detail = store_.IsRecorded(statement)
                       ? "extrato já cadastrado"
                       : "importação cancelada pelo usuário (movimentos repetidos)";
    try {
      access->Record(event);
    } catch (const std::exception& error) {
      info.outcome = std::string(" (trilha de auditoria não gravada: ") + error.what() + ")";
    }
  }
  return false;
}

}  // namespace kvr::server
