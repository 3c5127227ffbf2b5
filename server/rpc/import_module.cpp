#include "rpc/import_module.h"

#include <algorithm>

#include "rpc/log_text.h"

namespace kvr::server {

namespace {

const char* const kHeaderPacket = "pacote do cabeçalho do extrato";
const char* const kMovementsPacket = "pacote de movimentos";

// The parameters each method takes.
struct Arity {
  const char* method;
  size_t params;
};
constexpr Arity kArities[] = {{"GetContaCorrente", 2}, {"ValidExtrato", 2},
                              {"SetExtratoBancario", 3}, {"GetUsuario", 0},
                              {"RemoveExtrato", 2}, {"GetMovimentos", 1},
                              {"GetContinuidade", 1}};

void ExpectParams(const std::string& method, const std::vector<CallParam>& params, size_t extra,
                  size_t count) {
  if (params.size() + extra != count)
    throw RpcError(kInvalidParams, method + " espera " + std::to_string(count) +
                                       " parâmetros; recebeu " +
                                       std::to_string(params.size() + extra) + ".");
}

const std::string& TextParam(const std::string& method, const std::vector<CallParam>& params,
                             size_t index) {
  const CallParam& param = params[index];
  if (param.kind != JsonKind::kString)
    throw RpcError(kInvalidParams, "O parâmetro " + std::to_string(index + 1) + " de " + method +
                                       " deve ser um texto.");
  if (!param.value.is_string())
    throw RpcError(kInvalidParams, "O parâmetro " + std::to_string(index + 1) + " de " + method +
                                       " passa do tamanho aceito.");
  return param.value.get_ref<const std::string&>();
}

bool BoolParam(const std::string& method, const std::vector<CallParam>& params, size_t index) {
  if (params[index].kind != JsonKind::kBoolean || !params[index].value.is_boolean())
    throw RpcError(kInvalidParams, "O parâmetro " + std::to_string(index + 1) + " de " + method +
                                       " deve ser um booleano.");
  return params[index].value.get<bool>();
}

bool IsStatementMethod(const std::string& method) {
  return method == "ValidExtrato" || method == "SetExtratoBancario";
}

// The account of a header packet (nullptr: none) read without fault and with
// one row: the one its movements must belong to.
std::optional<std::string> HeaderAccount(const PacketRows* header) {
  if (header == nullptr || !header->error.empty() || header->rows.size() != 1) return std::nullopt;
  const CellView code = header->rows.At(0, ColumnIndex(ExtrBancoLayout(), "CDREDUCONT"));
  return std::string(code.text);
}

// The packet a parameter was read into, if any.
const PacketRows* PacketOf(const CallParam& param) {
  return param.packet ? &*param.packet : nullptr;
}

// A packet parameter read into rows; from its JSON value when it was kept
// as one.
PacketRows TakePacket(CallParam& param, const Layout& layout, const char* name,
                      std::optional<std::string> account = std::nullopt) {
  if (param.packet) return std::move(*param.packet);
  PacketReader reader(layout, name, std::move(account));
  EmitJson(param.value, reader);
  return reader.Finish();
}

// The parameters as a JSON array of their values, for a method whose
// parameters are small JSON values (a parameter too large to keep is null).
// Parameters dropped unread stand as one null: enough for the method to
// refuse the count.
nlohmann::json ParamValues(const std::vector<CallParam>& params, size_t extra) {
  nlohmann::json values = nlohmann::json::array();
  for (const CallParam& param : params)
    values.push_back(param.value.is_discarded() ? nlohmann::json() : param.value);
  if (extra > 0) values.push_back(nullptr);
  return values;
}

}  // namespace

std::unique_ptr<PacketReader> ImportModule::PacketReaderFor(const std::string* method,
                                                           size_t index,
                                                           const std::vector<CallParam>& before) {
  if (method != nullptr && !IsStatementMethod(*method)) return nullptr;
  if (index == 0) return std::make_unique<PacketReader>(ExtrBancoLayout(), kHeaderPacket);
  if (index == 1) {
    std::optional<std::string> account = HeaderAccount(PacketOf(before[0]));
    // Whatever the movements hold, a header in fault refuses the statement:
    // check them for a well-formed request, but keep none.
    const bool keep = account.has_value();
    return std::make_unique<PacketReader>(MovExtrLayout(), kMovementsPacket, std::move(account),
                                          keep);
  }
  return nullptr;
}

size_t ImportModule::MaxParams(const std::string* method) {
  size_t most = 0;
  for (const Arity& arity : kArities) {
    if (method != nullptr && *method == arity.method) return arity.params;
    most = std::max(most, arity.params);
  }
  return method == nullptr ? most : 0;
}

nlohmann::json ImportModule::Call(const std::string& method, std::vector<CallParam>& params,
                                  CallInfo& info, size_t extra) {
  if (method == "GetContaCorrente") {
    ExpectParams(method, params, extra, 2);
    const std::string& bank = TextParam(method, params, 0);
    const std::string& number = TextParam(method, params, 1);
    info.account = bank + "/" + number;
    nlohmann::json packet = GetContaCorrente(bank, number);
    info.rows = static_cast<long long>(packet["rows"].size());
    info.outcome = "ok";
    if (info.rows == 0) info.refusal = Refusal::kUnknownAccount;
    info.result = info.rows == 0   ? std::string("conta não cadastrada")
                  : info.rows == 1 ? std::string("1 conta encontrada")
                                   : std::to_string(info.rows) + " contas encontradas";
    return packet;
  }
  if (IsStatementMethod(method)) {
    const bool store = method == "SetExtratoBancario";
    ExpectParams(method, params, extra, store ? 3 : 2);
    const bool valid = store ? BoolParam(method, params, 2) : true;
    if (std::optional<std::string> account = HeaderAccount(PacketOf(params[0])))
      info.account = *account;
    PacketRows header = TakePacket(params[0], ExtrBancoLayout(), kHeaderPacket);
    PacketRows movements = TakePacket(params[1], MovExtrLayout(), kMovementsPacket,
                                      HeaderAccount(&header));
    info.rows = static_cast<long long>(movements.count);
    info.store = store && valid;
    bool answer = false;
    try {
      answer = store ? StoreAudited(std::move(header), std::move(movements), valid, info)
                     : !store_.IsRecorded(CheckStatement(std::move(header), std::move(movements)));
    } catch (const UnknownAccountError&) {
      info.refusal = Refusal::kUnknownAccount;
      throw;
    } catch (const RpcError& error) {
      if (error.Code() == kRefused) info.refusal = Refusal::kPacket;
      throw;
    }
    info.outcome = (answer ? "true" : "false") + info.outcome;
    if (store && valid && !answer) info.refusal = Refusal::kRecorded;
    info.result = !store    ? (answer ? "extrato novo" : "extrato já cadastrado")
                  : !valid  ? std::string("nada gravado: importação cancelada pelo usuário")
                  : answer  ? "extrato " + std::to_string(info.stored) + " gravado"
                            : std::string("extrato já cadastrado; nada gravado");
    return answer;
  }
  // Methods whose parameters are small JSON values.
  if (nlohmann::json result; CallContinuity(method, ParamValues(params, extra), info, result))
    return result;
  if (nlohmann::json result; CallAccess(method, ParamValues(params, extra), info, result)) return result;
  throw RpcError(kMethodNotFound, "Método \"" + CutText(method, 60) +
                                      "\" desconhecido no módulo " + std::string(kName) + ".");
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

Statement ImportModule::CheckStatement(PacketRows header, PacketRows movements) {
  // The order of the checks decides which fault a request with several is
  // refused for; it is the order the packets come in.
  if (!header.error.empty()) throw RpcError(kRefused, header.error);
  if (header.rows.size() != 1)
    throw RpcError(kRefused, "O " + std::string(kHeaderPacket) + " deve ter uma linha; tem " +
                                 std::to_string(header.rows.size()) + ".");
  if (!movements.error.empty()) throw RpcError(kRefused, movements.error);
  Statement statement;
  statement.header = header.rows.RowAt(0);
  statement.account = CellText(statement.header[ColumnIndex(ExtrBancoLayout(), "CDREDUCONT")]);
  if (statement.account.empty())
    throw RpcError(kRefused, "O extrato não informa a conta corrente (CDREDUCONT vazio).");
  if (!store_.FindAccount(statement.account))
    throw UnknownAccountError(kRefused, "Conta corrente de código \"" + statement.account +
                                            "\" não cadastrada no servidor.");
  if (movements.count == 0) throw RpcError(kRefused, "O extrato não tem movimentos.");
  if (!movements.statement_error.empty()) throw RpcError(kRefused, movements.statement_error);
  statement.movements = std::move(movements.rows);
  return statement;
}

}  // namespace kvr::server
