#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "access/access.h"
#include "rpc/request_parser.h"
#include "rpc/server_metrics.h"
#include "store/statement.h"
#include "store/store.h"

namespace kvr::server {

// JSON-RPC error codes the server answers with.
constexpr int kParseError = -32700;
constexpr int kInvalidRequestError = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;
constexpr int kInternalError = -32603;
// A request that is well formed but that the module refuses (a packet that
// does not fit, an unknown account).
constexpr int kRefused = -32000;
// A request without the server's shared secret (HTTP 401).
constexpr int kUnauthorized = -32001;

// A request the server answers with a JSON-RPC error; what() is the
// Portuguese message for the user (UTF-8).
class RpcError : public Exception {
 public:
  RpcError(int code, const std::string& message) : Exception(message), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

// What one call was about, for the server's log line and counters.
struct CallInfo {
  std::string account;  // the account (bank/number or code), empty when unknown
  long long rows = -1;  // rows returned or received, -1 when none
  std::string outcome;  // "true", "false", "erro: ..."
  Caller caller;        // who made the call (given to Call)
  // What happened, in Portuguese, for the log ("extrato 12 gravado");
  // empty: outcome tells it.
  std::string result;
  // SetExtratoBancario: asked to store (valid true); the number the
  // statement got, 0 when nothing was stored.
  bool store = false;
  long long stored = 0;
  // Why the module turned the call down, also when it answered (an account
  // not found, a statement already recorded).
  Refusal refusal = Refusal::kNone;
};

// The refusal of a statement of an account that is not registered.
class UnknownAccountError : public RpcError {
 public:
  using RpcError::RpcError;
};

// The remote module "kvr61400.rdmImportOFX": GetContaCorrente, ValidExtrato
// and SetExtratoBancario over a store, and GetContinuidade for the host's
// window of imported statements. Thread-safe as the store is.
class ImportModule {
 public:
  // The module's name, the path its calls are posted to.
  static constexpr const char* kName = "kvr61400.rdmImportOFX";

  // store must outlive the module.
  explicit ImportModule(Store& store) : store_(store) {}

  // Runs method with the positional params as the request parser read them
  // (see PacketReaderFor) and returns the JSON-RPC result. Fills info for
  // the log. Throws RpcError for an unknown method (kMethodNotFound), wrong
  // number or types of params (kInvalidParams) or a refused statement
  // (kRefused); EDatabaseError when the store fails.
  // extra counts the parameters past MaxParams the parser dropped unread.
  nlohmann::json Call(const std::string& method, std::vector<CallParam>& params, CallInfo& info,
                      size_t extra = 0);

  // The most parameters the parser keeps for method (nullptr while the
  // request has not named it: the most any method takes); an unknown method
  // keeps none. A call with more is refused as Call refuses a wrong count.
  static size_t MaxParams(const std::string* method);

  // How the request parser reads parameter index of method (nullptr while
  // the request has not named it): the two packets of ValidExtrato and
  // SetExtratoBancario (also assumed while the method is unknown) straight
  // into rows, the movements checked against the header's account as they
  // come; every other parameter as a small JSON value. A method added here
  // whose parameters are small JSON values needs nothing of this.
  static std::unique_ptr<PacketReader> PacketReaderFor(const std::string* method, size_t index,
                                                       const std::vector<CallParam>& before);

  // True for a method that answers at once whatever the load (a look-up by
  // an index, nothing written, nothing waited for): GetContaCorrente. The
  // HTTP engine runs such calls on its event loop when they are small,
  // sparing them the trip to a worker and back; every other call goes to
  // the workers.
  static bool IsQuick(const std::string& method) { return method == "GetContaCorrente"; }

  // Runs a trivial query on the store; throws its EDatabaseError when the
  // database does not answer (the health check).
  void CheckDatabase() { store_.FindAccount(""); }

  // GetContaCorrente: the accounts of bank and number (leading zeros
  // ignored) as a packet in ContaCorrenteLayout, possibly without rows.
  nlohmann::json GetContaCorrente(const std::string& bank, const std::string& number);
  // GetContinuidade: the statement continuity (ContinuityJson) of the
  // account whose code is given, or of every account for "". Read only.
  // Throws RpcError kRefused for an unknown code.
  nlohmann::json GetContinuidade(const std::string& code);
  // GetMovimentos: the movements of the stored statement of that number
  // (CDSEQUEXTR) as a packet in MovExtrLayout, in NRSEQMOVREAL order, the
  // rows `extrato show` lists. Read only. Throws RpcError kRefused ("Extrato
  // N não encontrado.") for a number no statement has.
  nlohmann::json GetMovimentos(long long number);

  // Checks the packets of a statement: one header row of a registered
  // account, at least one movement, all movements of that account. Throws
  // RpcError kRefused saying what is wrong (ValidExtrato answers whether the
  // statement is new once they pass). movements must have been read with the
  // header's account (PacketReaderFor does so).
  Statement CheckStatement(PacketRows header, PacketRows movements);

 private:
  // Runs GetUsuario ({"usuario": NAME, "administrador": BOOL} of the caller)
  // and RemoveExtrato for Call; false when method is another one.
  // RemoveExtrato [seq, motivo] removes statement seq and its movements in
  // one transaction, recorded in the trail with motivo. Throws RpcError
  // kRefused when the caller is no administrator ("Somente uma chave de
  // administrador pode excluir extratos."), when no statement has that number
  // ("Extrato N não encontrado.") or when the store keeps no trail.
  bool CallAccess(const std::string& method, const nlohmann::json& params, CallInfo& info,
                  nlohmann::json& result);
  // SetExtratoBancario: with valid false stores nothing and answers false;
  // with true checks the packets as ValidExtrato does and stores the
  // statement when it is still new, answering whether it stored it. Recorded
  // in the trail (importacao or recusa) under info's caller, when the store
  // keeps one. A valid statement's row is written in the store's own
  // transaction: a trail that cannot be written fails the store, which then
  // stores nothing. The refusal of an invalid one (nothing to store) is
  // written alone; when that fails, info.outcome holds a note saying so.
  bool StoreAudited(PacketRows header, PacketRows movements, bool valid, CallInfo& info);
  // Runs GetContinuidade or GetMovimentos for Call; false when method is
  // another one.
  bool CallContinuity(const std::string& method, const nlohmann::json& params, CallInfo& info,
                      nlohmann::json& result);

  Store& store_;
};

}  // namespace kvr::server
