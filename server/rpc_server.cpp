#include "rpc_server.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>

namespace kvr::server {

namespace {

nlohmann::json ErrorResponse(const nlohmann::json& id, int code, const std::string& message) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

std::string Dump(const nlohmann::json& value) {
  // Texts of the store came from valid UTF-8, but never let a stray byte turn
  // an answer into an exception.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string FormatLog(const std::string& method, const CallInfo& info, double millis) {
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.1f", millis);
  std::string line = "kvr61400-server: " + (method.empty() ? std::string("?") : method);
  line += " conta=" + (info.account.empty() ? std::string("-") : info.account);
  line += " linhas=" + (info.rows < 0 ? std::string("-") : std::to_string(info.rows));
  line += " " + info.outcome + " " + elapsed + " ms";
  return line;
}

}  // namespace

std::string AnswerRpc(ImportModule& module, const std::string& module_name,
                      const std::string& body,
                      const std::function<void(const std::string&)>& log) {
  const auto start = std::chrono::steady_clock::now();
  nlohmann::json id = nullptr;
  std::string method;
  CallInfo info;
  nlohmann::json response;
  try {
    nlohmann::json request = nlohmann::json::parse(body, nullptr, false);
    if (request.is_discarded())
      throw RpcError(kParseError, "A requisição não é um JSON válido.");
    if (!request.is_object())
      throw RpcError(kInvalidRequestError,
                     "A requisição deve ser um objeto JSON-RPC 2.0 (lotes não são aceitos).");
    if (request.contains("id") && (request["id"].is_string() || request["id"].is_number()))
      id = request["id"];
    if (!request.contains("jsonrpc") || request["jsonrpc"] != "2.0")
      throw RpcError(kInvalidRequestError, "A requisição deve declarar \"jsonrpc\": \"2.0\".");
    if (!request.contains("method") || !request["method"].is_string())
      throw RpcError(kInvalidRequestError, "A requisição não informa o método.");
    method = request["method"].get<std::string>();
    nlohmann::json params = nlohmann::json::array();
    if (request.contains("params")) {
      if (!request["params"].is_array())
        throw RpcError(kInvalidParams,
                       "Os parâmetros de " + method + " devem ser posicionais (uma lista).");
      // A statement's packets are megabytes of JSON: move them, never copy.
      params = std::move(request["params"]);
    }
    if (module_name != ImportModule::kName)
      throw RpcError(kMethodNotFound, "Módulo remoto \"" + module_name + "\" desconhecido.");
    nlohmann::json result = module.Call(method, params, info);
    response = {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
  } catch (const RpcError& error) {
    info.outcome = std::string("erro: ") + error.what();
    response = ErrorResponse(id, error.Code(), error.what());
  } catch (const std::exception& error) {
    info.outcome = std::string("erro: ") + error.what();
    response = ErrorResponse(id, kInternalError, error.what());
  }
  if (log) {
    const double millis =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    log(FormatLog(method, info, millis));
  }
  return Dump(response);
}

RpcServer::RpcServer(ImportModule& module, ServerOptions options)
    : module_(module), options_(std::move(options)), http_(std::make_unique<httplib::Server>()) {
  const int threads = options_.threads > 0 ? options_.threads : 1;
  http_->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  http_->set_payload_max_length(options_.max_body);
  http_->set_read_timeout(options_.timeout_seconds, 0);
  http_->set_write_timeout(options_.timeout_seconds, 0);
  // An idle keep-alive connection holds a worker of the pool; screens stay
  // connected for hours between calls, so let idle ones go soon (the client
  // reconnects by itself).
  http_->set_keep_alive_timeout(2);
  http_->set_keep_alive_max_count(1000);
  http_->set_tcp_nodelay(true);

  http_->Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string("kvr61400-server: ") + ImportModule::kName + "\n", "text/plain");
  });
  http_->Post(R"(/([^/]*))", [this](const httplib::Request& req, httplib::Response& res) {
    res.set_content(AnswerRpc(module_, req.matches[1], req.body, options_.log),
                    "application/json");
  });
  const size_t max_body = options_.max_body;
  http_->set_error_handler([max_body, this](const httplib::Request& req, httplib::Response& res) {
    std::string message;
    if (res.status == 413)
      message = "Requisição recusada: o corpo passa do limite de " +
                std::to_string(max_body / (1024 * 1024)) + " MiB.";
    else if (res.status == 404)
      message = "Caminho \"" + req.path + "\" desconhecido; as chamadas vão para /" +
                ImportModule::kName + ".";
    else
      message = "Requisição HTTP recusada (estado " + std::to_string(res.status) + ").";
    if (options_.log) options_.log("kvr61400-server: " + req.method + " " + req.path + " " + message);
    res.set_content(Dump(ErrorResponse(nullptr, kInvalidRequestError, message)),
                    "application/json");
  });
}

RpcServer::~RpcServer() { Stop(); }

int RpcServer::Bind() {
  int port;
  if (options_.port == 0) {
    port = http_->bind_to_any_port(options_.host);
  } else {
    port = http_->bind_to_port(options_.host, options_.port) ? options_.port : -1;
  }
  if (port < 0)
    throw Exception("Não foi possível ouvir em " + options_.host + ":" +
                    std::to_string(options_.port) + " (endereço em uso ou inválido).");
  return port;
}

bool RpcServer::Run() { return http_->listen_after_bind(); }

bool RpcServer::IsRunning() const { return http_ && http_->is_running(); }

void RpcServer::Stop() {
  if (http_) http_->stop();
}

}  // namespace kvr::server
