#include "rpc/json_rpc.h"

#include <cstdio>
#include <exception>
#include <type_traits>

#include "http/body_stream.h"
#include "rpc/log_text.h"
#include "rpc/read_ahead.h"
#include "wire/json_reader.h"
#include "rpc/request_parser.h"
#include "store/server_errors.h"

namespace kvr::server {

namespace {

using Clock = std::chrono::steady_clock;

// A response with id, the JSON text of the request's id (written as it came),
// and member ("result" or "error") holding value.
std::string Response(const std::string& id, const char* member, const nlohmann::json& value) {
  // Texts of the store came from valid UTF-8, but never let a stray byte turn
  // an answer into an exception.
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"" + member +
         "\":" + value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "}";
}

std::string ErrorResponse(const std::string& id, int code, const std::string& message) {
  return Response(id, "error", {{"code", code}, {"message", message}});
}

// Who made a call, for the log: the user's name and address.
std::string Who(const Caller& caller) {
  std::string who = caller.user.empty() ? std::string("sem chave")
                                        : "usuário \"" + LogText(caller.user, 60) + "\"";
  if (!caller.address.empty()) who += " em " + LogText(caller.address, 60);
  return who;
}

// What a call was about: the account asked for, the statement's account
// and movements.
std::string Subject(const std::string& method, const CallInfo& info) {
  std::string subject;
  if (method == "GetContaCorrente") {
    const size_t slash = info.account.find('/');
    if (slash != std::string::npos)
      return " banco " + LogText(info.account.substr(0, slash), 20) + " conta " +
             LogText(info.account.substr(slash + 1), 40);
  }
  if (method == "RemoveExtrato") return "";
  if (!info.account.empty()) subject = " conta " + LogText(info.account, 40);
  if (info.rows >= 0)
    subject += (subject.empty() ? " " : ", ") + std::to_string(info.rows) +
               (method == "ValidExtrato" || method == "SetExtratoBancario" ? " movimentos"
                                                                           : " linhas");
  return subject;
}

// The line of one call; priority: warnings for refusals of the module,
// errors for failures (a database that fails, a fault of the server).
std::string FormatLog(const std::string& method, const RpcCall& call, const CallInfo& info,
                      double millis) {
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.1f", millis);
  const char* priority = call.error_code == 0                ? kLogInfo
                         : call.error_code == kInternalError ? kLogError
                                                             : kLogWarning;
  std::string line = std::string(priority) + "kvr61400-server: " + Who(info.caller) + ": " +
                     (method.empty() ? std::string("?") : LogText(method, 64)) +
                     Subject(method, info) + ": ";
  if (call.error_code != 0)
    line += (call.error_code == kRefused ? "recusado: " : "erro: ") +
            LogText(call.error_message, 300);
  else
    line += LogText(info.result.empty() ? info.outcome : info.result, 300);
  return line + " " + elapsed + " ms";
}

// The envelope of request as a call; throws RpcError for what it lacks, in
// the order a request with several faults is refused for.
void TakeCall(ParsedRequest& request, RpcCall& call) {
  if (!request.parse_error.empty()) throw RpcError(kParseError, request.parse_error);
  if (!request.is_object && request.invalid.empty())
    throw RpcError(kInvalidRequestError,
                   "A requisição deve ser um objeto JSON-RPC 2.0 (lotes não são aceitos).");
  if (request.has_id && request.id_valid) call.id = request.id;
  if (!request.invalid.empty()) throw RpcError(kInvalidRequestError, request.invalid);
  if (!request.id_valid)
    throw RpcError(kInvalidRequestError,
                   "O id da requisição deve ser um texto ou um número de até 256 caracteres, "
                   "ou nulo.");
  if (!request.has_version)
    throw RpcError(kInvalidRequestError, "A requisição deve declarar \"jsonrpc\": \"2.0\".");
  if (!request.has_method)
    throw RpcError(kInvalidRequestError, "A requisição não informa o método.");
  call.method = std::move(request.method);
  // A call without an id is a notification: carried out, never answered,
  // also when it is refused from here on.
  call.notification = !request.has_id;
  if (request.params_form == ParsedRequest::Params::kOther)
    throw RpcError(kInvalidParams, "Os parâmetros de " + CutText(call.method, 60) +
                                       " devem ser posicionais (uma lista).");
  call.extra_params = request.extra_params;
  call.params = std::move(request.params);
  call.keep = request.keep;
}

// call refused for error: a RpcError with its code, any other failure -32603.
void Refuse(RpcCall& call, const std::exception& error) {
  call.database_error = dynamic_cast<const EDatabaseError*>(&error) != nullptr;
  const auto* rpc = dynamic_cast<const RpcError*>(&error);
  call.error_code = rpc != nullptr ? rpc->Code() : kInternalError;
  call.error_message = error.what();
}

}  // namespace

namespace {

// ReadRpcCall's work on the body source gives (see BodyStreamBuf).
template <typename Body>
RpcCall ReadCall(Body& body, bool gzip, const BodyLimits& limits) {
  const auto start = Clock::now();
  RpcCall call;
  try {
    ParsedRequest request;
    try {
      BodyStreamBuf source(body, gzip, limits.max_inflated, limits.stop);
      const ParseLimits parse_limits{.max_params = &ImportModule::MaxParams, .cost = limits.cost};
      if constexpr (std::is_same_v<Body, BodySource>) {
        // A large body read while it arrives: inflated and checked on a
        // thread of its own, in the windows the parse asks for, while the
        // parse reads the windows before.
        ReadAheadBuf ahead(source, kvr::JsonReader::kWindow);
        request = ParseRequest(ahead, &ImportModule::PacketReaderFor, parse_limits);
      } else {
        request = ParseRequest(source, &ImportModule::PacketReaderFor, parse_limits);
      }
    } catch (const BodyError& error) {
      if (error.Fault() == BodyFault::kNulByte) throw RpcError(kParseError, error.what());
      if (error.Fault() == BodyFault::kNoMemory || error.Fault() == BodyFault::kStopped) {
        call.status = 503;
        throw RpcError(kInternalError, error.what());
      }
      call.status = error.Fault() == BodyFault::kNotGzip ? 400 : 413;
      throw RpcError(kInvalidRequestError, error.what());
    }
    TakeCall(request, call);
  } catch (const std::exception& error) {
    Refuse(call, error);
  }
  call.reading = Clock::now() - start;
  return call;
}

}  // namespace

RpcCall ReadRpcCall(const std::string& body, bool gzip, const BodyLimits& limits) {
  return ReadCall(body, gzip, limits);
}

RpcCall ReadRpcCall(BodySource& body, bool gzip, const BodyLimits& limits) {
  return ReadCall(body, gzip, limits);
}

RpcReply AnswerRpcCall(ImportModule& module, const std::string& module_name, RpcCall& call,
                       const std::function<void(const std::string&)>& log) {
  const auto start = Clock::now();
  CallInfo info;
  info.caller = call.caller;
  info.keep = call.keep;
  std::string response;
  if (call.error_code == 0 && module_name != ImportModule::kName) {
    call.error_code = kMethodNotFound;
    call.error_message = "Módulo remoto \"" + CutText(module_name, 60) + "\" desconhecido.";
  }
  if (call.error_code == 0) {
    try {
      response = Response(call.id, "result", module.Call(call.method, call.params, info, call.extra_params));
      // Beside the result: the token of the movements kept for the next
      // call, which a client that does not know it skips.
      if (!info.held.empty()) response.insert(response.size() - 1, ",\"guardado\":\"" + info.held + "\"");
    } catch (const std::exception& error) {
      Refuse(call, error);
    }
  }
  if (call.error_code != 0) {
    info.outcome = "erro: " + call.error_message;
    response = ErrorResponse(call.id, call.error_code, call.error_message);
  }
  const double millis =
      std::chrono::duration<double, std::milli>(Clock::now() - start + call.reading).count();
  if (log) log(FormatLog(call.method, call, info, millis));
  CallSummary summary;
  summary.method = call.method;
  summary.outcome = call.error_code == 0 ? "ok" : call.error_code == kRefused ? "recusada" : "erro";
  summary.refusal = info.refusal;
  if (call.error_code == 0 && info.stored > 0) summary.stored_movements = info.rows;
  summary.store = info.store;
  summary.seconds = millis / 1000;
  summary.database_error = call.database_error;
  if (call.notification) return {204, "", summary};
  return {call.status, std::move(response), summary};
}

std::string ErrorBody(int code, const std::string& message) {
  return ErrorResponse("null", code, message);
}

}  // namespace kvr::server
