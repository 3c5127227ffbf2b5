#include "host/net_connection.h"

#include "host/server_url.h"

#include <algorithm>
#include <exception>
#include <unordered_set>
#include <utility>

#include "host/host_library.h"
#include "platform/client_dataset.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/json_tree.h"
#include "wire/json_reader.h"
#include "wire/utf8.h"

namespace kvr {

namespace {

// Replies of the import module nest four levels (reply, result packet,
// rows, row); anything far deeper is no reply of ours.
constexpr std::size_t kMaxReplyDepth = 64;

// Throws EJsonError when key is already in keys (the keys of one object so
// far), and adds it. A reply {"result":false,"result":true} means whichever
// member a reader keeps: no answer at all.
void RefuseRepeatedKey(const JsonReader& reader, std::unordered_set<std::string>& keys,
                       const std::string& key) {
  if (keys.insert(key).second) return;
  const std::size_t end = Utf8Prefix(key, 60);
  FailJson(reader, "chave \"" + key.substr(0, end) + (end < key.size() ? "...\" repetida" : "\" repetida"));
}

// Reads on to the end of the value that began with first, as SkipJsonValue
// does, refusing a key repeated in any of its objects. Returns the byte
// offset just past the value.
std::size_t SkipReplyValue(JsonReader& reader, JsonReader::Event first) {
  using E = JsonReader::Event;
  // The keys of each object or list open (a list's stay none), innermost last.
  std::vector<std::unordered_set<std::string>> open;
  for (E e = first;; e = NextJsonEvent(reader)) {
    if (e == E::kStartObject || e == E::kStartArray) open.emplace_back();
    if (e == E::kKey) RefuseRepeatedKey(reader, open.back(), reader.Text());
    if (e == E::kEndObject || e == E::kEndArray) open.pop_back();
    if (open.empty()) return reader.Offset();
  }
}

}  // namespace

// ---------------------------------------------------------------- arguments

// The text in UTF-8, quoted and escaped.
TServerArg::TServerArg(const std::string& text)
    : json_(nlohmann::json(Cp1252ToUtf8(text)).dump()) {}

TServerArg::TServerArg(const char* text) : TServerArg(std::string(text)) {}

TServerArg::TServerArg(bool value) : json_(value ? "true" : "false") {}

TServerArg TServerArg::Packet(const TDataPacket& packet) {
  TServerArg arg;
  arg.json_ = packet.dump();
  return arg;
}

TServerArg TServerArg::Table(TClientDataSet& table) {
  TServerArg arg;
  arg.table_ = &table;
  return arg;
}

TServerArg TServerArg::Held(const std::string& token, TClientDataSet& table) {
  TServerArg arg;
  arg.json_ = "{\"guardado\":" + nlohmann::json(token).dump() + "}";
  arg.table_ = &table;
  return arg;
}

void TServerArg::Write(JsonSink& sink) const {
  if (IsTable()) {
    WriteDataPacket(*table_, sink);
  } else {
    sink.text += json_;
  }
}

std::size_t TServerArg::EstimatedBytes() const {
  // A movement row of the import module takes 100 to 150 bytes of JSON.
  if (IsTable()) return static_cast<std::size_t>(table_->StoredRowCount()) * 128 + 1024;
  return json_.size();
}

bool RpcRequest::Keep() const {
  for (const TServerArg& arg : args_)
    if (arg.IsTable()) return true;
  return false;
}

std::size_t RpcRequest::EstimatedBytes() const {
  std::size_t total = 64 + method_.size();
  for (const TServerArg& arg : args_) total += arg.EstimatedBytes() + 1;
  return total;
}

void RpcRequest::WriteBody(JsonSink& sink) const {
  sink.text += "{\"jsonrpc\":\"2.0\",\"id\":";
  sink.text += std::to_string(id_);
  sink.text += ",\"method\":";
  sink.text += nlohmann::json(method_).dump();
  if (Keep()) sink.text += ",\"guardar\":true";
  sink.text += ",\"params\":[";
  for (std::size_t i = 0; i < args_.size(); ++i) {
    if (i > 0) sink.text.push_back(',');
    args_[i].Write(sink);
    sink.Spill();
  }
  sink.text += "]}";
}

// ---------------------------------------------------------------- results

TServerResult TServerResult::Success(const nlohmann::json& payload) {
  const auto text = std::make_shared<const std::string>(payload.dump());
  return Success(text, 0, text->size());
}

TServerResult TServerResult::Success(std::shared_ptr<const std::string> reply, std::size_t begin,
                                     std::size_t end) {
  TServerResult result;
  result.text_ = std::move(reply);
  result.begin_ = begin;
  result.end_ = end;
  return result;
}

TServerResult TServerResult::Failure(int code, std::string message) {
  TServerResult result;
  result.failed_ = true;
  result.error_code_ = code;
  result.error_message_ = std::move(message);
  return result;
}

const nlohmann::json& TServerResult::Payload() const {
  if (!payload_) {
    payload_ = std::make_shared<const nlohmann::json>(failed_ || !text_ ? nlohmann::json()
                                                                        : JsonTree(PayloadText()));
  }
  return *payload_;
}

std::string_view TServerResult::PayloadText() const {
  if (failed_ || !text_) return "null";
  return std::string_view(*text_).substr(begin_, end_ - begin_);
}

// ---------------------------------------------------------------- connection

namespace {

CallRunner& InstalledCallRunner() {
  static CallRunner runner;
  return runner;
}

}  // namespace

void TNetConnection::SetCallRunner(CallRunner runner) {
  InstalledCallRunner() = std::move(runner);
}

void TNetConnection::RunCall(const std::function<void()>& work) {
  std::exception_ptr failure;
  const std::function<void()> guarded = [&] {
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
  };
  const CallRunner& runner = InstalledCallRunner();
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

std::string TNetConnection::Address() const {
  // Several addresses, tried in order: the list names them.
  if (Host.find(',') != std::string::npos) return Host;
  // An IPv6 address is written in brackets so that its port stays apart.
  const ServerUrl url = SplitHostValue(Host, Port);
  const bool v6 = url.host.find(':') != std::string::npos;
  return std::string(url.https ? "https://" : "") + (v6 ? "[" + url.host + "]" : url.host) + ":" +
         std::to_string(Port);
}

void TNetConnection::SetConnected(bool value) {
  if (value == connected_) return;
  if (!value) {
    transport_->Close();
    connected_ = false;
    return;
  }
  if (OnBeforeConnect) OnBeforeConnect(this);
  transport_->SetToken(Token);
  RunCall([&] { transport_->Open(Host, Port); });
  connected_ = true;
}

void TNetConnection::SetTransport(std::unique_ptr<RpcTransport> transport) {
  if (!transport) throw Exception("Transporte de conexão nulo.");
  SetConnected(false);
  transport_ = std::move(transport);
}

TServerResult TNetConnection::Call(const std::string& method, const std::vector<TServerArg>& args) {
  TServerResult result = CallOnce(method, args);
  const bool named = std::any_of(args.begin(), args.end(), [](const TServerArg& a) { return a.IsHeld(); });
  if (!named || !result.Failed() || result.ErrorCode() != kNotHeld) return result;
  std::vector<TServerArg> sent;
  for (const TServerArg& arg : args) sent.push_back(arg.IsHeld() ? arg.Fallback() : arg);
  return CallOnce(method, sent);
}

TServerResult TNetConnection::CallOnce(const std::string& method, const std::vector<TServerArg>& args) {
  if (!connected_)
    throw Exception("Conexão com o servidor de aplicação não está aberta (chamada de " + method +
                    ").");
  struct Done {
    const TNetConnection& net;
    const std::string& method;
    ~Done() {
      if (net.OnCall) net.OnCall(method, true);
    }
  };
  if (OnCall) OnCall(method, false);
  Done done{*this, method};

  const RpcRequest request(method, ++next_id_, args);
  auto reply = std::make_shared<RpcResponse>();
  RunCall([&] { *reply = transport_->Call(ServerName, request); });
  const std::string where = " (chamada de " + method + " ao servidor " + Address() + ")";
  auto status_error = [&] {
    return Exception("O servidor respondeu com o estado HTTP " + std::to_string(reply->status) + where + ".");
  };

  // One pass over the reply: where the result lies, what the error says.
  bool has_result = false, has_error = false, id_matches = false;
  std::string held;
  std::size_t result_begin = 0, result_end = 0;
  int code = 0;
  // Server messages are UTF-8, as on the wire.
  std::string message = "Erro no servidor de aplicação.";
  try {
    using E = JsonReader::Event;
    JsonReader r(reply->body, kMaxReplyDepth);
    if (NextJsonEvent(r) != E::kStartObject) FailJson(r, "a resposta não é um objeto");
    std::unordered_set<std::string> keys;
    for (E k = NextJsonEvent(r); k != E::kEndObject; k = NextJsonEvent(r)) {
      RefuseRepeatedKey(r, keys, r.Text());
      const std::string key = std::move(r.Text());
      const E v = NextJsonEvent(r);
      if (key == "result") {
        has_result = true;
        result_begin = r.EventOffset();
        result_end = SkipReplyValue(r, v);
      } else if (key == "guardado" && v == E::kString) {
        held = std::move(r.Text());
      } else if (key == "id") {
        id_matches = v == E::kUnsigned && r.Unsigned() == static_cast<unsigned long long>(request.Id());
        SkipReplyValue(r, v);
      } else if (key == "error" && v == E::kStartObject) {
        has_error = true;
        std::unordered_set<std::string> members;
        for (E e = NextJsonEvent(r); e != E::kEndObject; e = NextJsonEvent(r)) {
          RefuseRepeatedKey(r, members, r.Text());
          const std::string member = std::move(r.Text());
          const E ev = NextJsonEvent(r);
          if (member == "code" && (ev == E::kInteger || ev == E::kUnsigned) && r.Number() >= -2147483648.0 &&
              r.Number() <= 2147483647.0) {
            code = static_cast<int>(r.Number());
          } else if (member == "message" && ev == E::kString) {
            message = std::move(r.Text());
          } else {
            SkipReplyValue(r, ev);
          }
        }
      } else {
        if (key == "error" && v != E::kNull) has_error = true;
        SkipReplyValue(r, v);
      }
    }
    NextJsonEvent(r);
  } catch (const EJsonError& e) {
    if (reply->status != 200) throw status_error();
    throw Exception("Resposta inválida" + where + ": " + e.what() + ".");
  }
  // A refused request (too large, no access, unknown module) carries the
  // JSON-RPC error the user should read, whatever the HTTP status.
  if (has_error) return TServerResult::Failure(code, message);
  if (reply->status != 200) throw status_error();
  if (!has_result) throw Exception("Resposta sem resultado" + where + ".");
  if (!id_matches) throw Exception("Resposta de outra requisição" + where + ".");
  std::shared_ptr<const std::string> body(reply, &reply->body);
  TServerResult result = TServerResult::Success(std::move(body), result_begin, result_end);
  result.SetHeld(std::move(held));
  return result;
}

nlohmann::json CheckResultServ(const TServerResult& result, bool show_error, int help_context) {
  CheckResultServText(result, show_error, help_context);
  return result.Payload();
}

std::string_view CheckResultServText(const TServerResult& result, bool show_error, int help_context) {
  (void)help_context;
  if (!result.Failed()) return result.PayloadText();
  if (show_error) MensErro(Utf8ToCp1252(result.ErrorMessage()), true);
  throw Exception(result.ErrorMessage());
}

}  // namespace kvr
