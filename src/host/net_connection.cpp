#include "host/net_connection.h"

#include <httplib.h>

#include <atomic>
#include <exception>
#include <utility>

#include "host/host_library.h"
#include "platform/encoding.h"
#include "platform/errors.h"

namespace kvr {

TServerArg::TServerArg(const std::string& text) : wire_(Cp1252ToUtf8(text)) {}

TServerArg::TServerArg(const char* text) : TServerArg(std::string(text)) {}

TServerArg::TServerArg(bool value) : wire_(value) {}

TServerArg TServerArg::Packet(const TDataPacket& packet) {
  TServerArg arg;
  arg.wire_ = packet;
  return arg;
}

TServerArg TServerArg::Packet(TDataPacket&& packet) {
  TServerArg arg;
  arg.wire_ = std::move(packet);
  return arg;
}

TServerResult TServerResult::Success(nlohmann::json payload) {
  TServerResult result;
  result.payload_ = std::move(payload);
  return result;
}

TServerResult TServerResult::Failure(int code, std::string message) {
  TServerResult result;
  result.failed_ = true;
  result.error_code_ = code;
  result.error_message_ = std::move(message);
  return result;
}

namespace {

std::string Address(const std::string& host, int port) {
  return host + ":" + std::to_string(port);
}

std::string DescribeError(httplib::Error error) {
  switch (error) {
    case httplib::Error::Connection:
      return "conex\xE3o recusada ou servidor inalcan\xE7\xE1vel";
    case httplib::Error::ConnectionTimeout:
      return "tempo esgotado ao conectar";
    case httplib::Error::Read:
      return "falha ou tempo esgotado ao ler a resposta";
    case httplib::Error::Write:
      return "falha ao enviar a requisi\xE7\xE3o";
    case httplib::Error::BindIPAddress:
      return "endere\xE7o inv\xE1lido";
    default:
      return "falha de comunica\xE7\xE3o (" + httplib::to_string(error) + ")";
  }
}

bool IsRpcResponse(const nlohmann::json& body) {
  if (!body.is_object()) return false;
  if (body.contains("result")) return true;
  auto error = body.find("error");
  return error != body.end() && error->is_object() && error->contains("message") &&
         (*error)["message"].is_string();
}

class HttpTransport : public TRpcTransport {
 public:
  explicit HttpTransport(int timeout_seconds) : timeout_seconds_(timeout_seconds) {}

  void Open(const std::string& host, int port) override {
    if (host.empty()) throw Exception("Endere\xE7o do servidor de aplica\xE7\xE3o n\xE3o informado.");
    if (port <= 0 || port > 65535)
      throw Exception("Porta " + std::to_string(port) + " do servidor de aplica\xE7\xE3o " + host +
                      " \xE9 inv\xE1lida.");
    auto client = std::make_unique<httplib::Client>(host, port);
    client->set_connection_timeout(timeout_seconds_, 0);
    client->set_read_timeout(timeout_seconds_, 0);
    client->set_write_timeout(timeout_seconds_, 0);
    client->set_keep_alive(true);
    // A request goes out as headers and body in two writes; without this the
    // second waits for the delayed acknowledgement of the first.
    client->set_tcp_nodelay(true);
    // The server answers a GET of its root with its name: enough to know that
    // something of ours listens there.
    auto reply = client->Get("/");
    if (!reply)
      throw Exception("Servidor de aplica\xE7\xE3o " + Address(host, port) +
                      " n\xE3o responde: " + DescribeError(reply.error()) + ".");
    if (reply->status != 200)
      throw Exception("Servidor de aplica\xE7\xE3o " + Address(host, port) +
                      " respondeu com o estado HTTP " + std::to_string(reply->status) + ".");
    host_ = host;
    port_ = port;
    client_ = std::move(client);
  }

  void Close() override { client_.reset(); }

  nlohmann::json Call(const std::string& server_name, const std::string& method,
                      const nlohmann::json& params) override {
    if (!client_) throw Exception("Conex\xE3o com o servidor de aplica\xE7\xE3o n\xE3o est\xE1 aberta.");
    const long long id = ++next_id_;
    // The body is written around the parameters rather than built as one
    // JSON value, which would copy a statement's whole movements packet.
    std::string body_text = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) +
                            ",\"method\":" + nlohmann::json(method).dump() + ",\"params\":";
    body_text += params.dump();
    body_text += "}";
    const std::string what = "chamada de " + method + " ao servidor " + Address(host_, port_);
    auto reply = client_->Post(("/" + server_name).c_str(), body_text, "application/json");
    if (!reply) throw Exception("Falha na " + what + ": " + DescribeError(reply.error()) + ".");
    nlohmann::json body = nlohmann::json::parse(reply->body, nullptr, false);
    // A refused request (too large, unknown module) still carries a JSON-RPC
    // error the user should read, whatever the HTTP status.
    if (body.is_discarded() || !IsRpcResponse(body)) {
      throw Exception("Falha na " + what + ": resposta inv\xE1lida (estado HTTP " +
                      std::to_string(reply->status) + ").");
    }
    auto reply_id = body.find("id");
    if (body.contains("result") && (reply_id == body.end() || *reply_id != id))
      throw Exception("Falha na " + what + ": resposta de outra requisi\xE7\xE3o.");
    return body;
  }

 private:
  int timeout_seconds_;
  std::string host_;
  int port_ = 0;
  std::unique_ptr<httplib::Client> client_;
  std::atomic<long long> next_id_{0};
};

}  // namespace

std::unique_ptr<TRpcTransport> MakeHttpTransport(int timeout_seconds) {
  return std::make_unique<HttpTransport>(timeout_seconds);
}

namespace {

TCallRunner& InstalledCallRunner() {
  static TCallRunner runner;
  return runner;
}

}  // namespace

void TNetConnection::SetCallRunner(TCallRunner runner) { InstalledCallRunner() = std::move(runner); }

void TNetConnection::RunCall(const std::function<void()>& work) {
  std::exception_ptr failure;
  const std::function<void()> guarded = [&] {
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
  };
  const TCallRunner& runner = InstalledCallRunner();
  if (runner) {
    runner(guarded);
  } else {
    guarded();
  }
  if (failure) std::rethrow_exception(failure);
}

TNetConnection::TNetConnection(TComponent* owner)
    : TComponent(owner), transport_(MakeHttpTransport()) {}

TNetConnection::~TNetConnection() {
  if (connected_) transport_->Close();
}

void TNetConnection::SetConnected(bool value) {
  if (value == connected_) return;
  if (!value) {
    transport_->Close();
    connected_ = false;
    return;
  }
  if (OnBeforeConnect) OnBeforeConnect(this);
  RunCall([&] { transport_->Open(Host, Port); });
  connected_ = true;
}

void TNetConnection::SetTransport(std::unique_ptr<TRpcTransport> transport) {
  if (!transport) throw Exception("Transporte de conex\xE3o nulo.");
  SetConnected(false);
  transport_ = std::move(transport);
}

TServerResult TNetConnection::Call(const std::string& method,
                                   const std::vector<TServerArg>& args) {
  if (!connected_)
    throw Exception("Conex\xE3o com o servidor de aplica\xE7\xE3o n\xE3o est\xE1 aberta (chamada de " + method +
                    ").");
  nlohmann::json params = nlohmann::json::array();
  for (const TServerArg& arg : args) params.push_back(arg.Wire());
  return Send(method, params);
}

TServerResult TNetConnection::Call(const std::string& method, std::vector<TServerArg>&& args) {
  if (!connected_)
    throw Exception("Conex\xE3o com o servidor de aplica\xE7\xE3o n\xE3o est\xE1 aberta (chamada de " + method +
                    ").");
  nlohmann::json params = nlohmann::json::array();
  for (TServerArg& arg : args) params.push_back(std::move(arg.wire_));
  return Send(method, params);
}

TServerResult TNetConnection::Send(const std::string& method, const nlohmann::json& params) {
  nlohmann::json response;
  RunCall([&] { response = transport_->Call(ServerName, method, params); });
  auto error = response.find("error");
  if (error != response.end() && !error->is_null()) {
    int code = 0;
    // Server messages are UTF-8, as on the wire.
    std::string message = "Erro no servidor de aplica\xC3\xA7\xC3\xA3o.";
    if (error->is_object()) {
      auto c = error->find("code");
      if (c != error->end() && c->is_number_integer()) code = c->get<int>();
      auto m = error->find("message");
      if (m != error->end() && m->is_string()) message = m->get<std::string>();
    }
    return TServerResult::Failure(code, message);
  }
  auto result = response.find("result");
  if (result == response.end())
    throw Exception("Resposta do servidor de aplica\xE7\xE3o sem resultado (chamada de " + method + ").");
  return TServerResult::Success(*result);
}

nlohmann::json CheckResultServ(const TServerResult& result, bool show_error, int help_context) {
  (void)help_context;
  if (!result.Failed()) return result.Payload();
  const std::string message = Utf8ToCp1252(result.ErrorMessage());
  if (show_error) MensErro(message, true);
  throw Exception(message);
}

}  // namespace kvr
