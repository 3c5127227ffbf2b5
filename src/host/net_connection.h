#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/component.h"
#include "platform/data_packet.h"

namespace kvr {

class TClientDataSet;

// A whole table as a JSON value (see data_packet.h for the form). Calls that
// send a table stream it with TServerArg::Table instead of building one.
using TDataPacket = nlohmann::json;

// One positional argument of a server call: a text, a boolean, a data packet
// or a table sent as a packet. Texts are given in Windows-1252 and travel as
// UTF-8.
class TServerArg {
 public:
  // A Windows-1252 text.
  TServerArg(const std::string& text);  // NOLINT(google-explicit-constructor)
  TServerArg(const char* text);         // NOLINT(google-explicit-constructor)
  TServerArg(bool value);               // NOLINT(google-explicit-constructor)
  // Anything else (a number that would turn into a boolean, a packet that
  // must go through Packet) does not compile.
  template <typename T>
  TServerArg(T) = delete;
  // A data packet (any JSON value is passed on unchanged).
  static TServerArg Packet(const TDataPacket& packet);
  // A table, written as a data packet straight from its rows each time the
  // call is sent (WriteDataPacket). The table must outlive the call.
  static TServerArg Table(TClientDataSet& table);
  // The movements the server kept from the call before (TServerResult::Held),
  // named by their token instead of sent: {"guardado": TOKEN}. When the
  // server no longer keeps them, TNetConnection::Call sends table instead,
  // which must outlive the call and hold what was sent then.
  static TServerArg Held(const std::string& token, TClientDataSet& table);

  // Writes the argument's JSON into sink.
  void Write(JsonSink& sink) const;
  // About how many bytes Write will write (a table's rows counted at a
  // typical movement's size).
  std::size_t EstimatedBytes() const;
  // A table sent as a packet (Table).
  bool IsTable() const { return table_ != nullptr && json_.empty(); }
  // A reference to kept movements (Held); its table stands in for it when
  // they are gone.
  bool IsHeld() const { return table_ != nullptr && !json_.empty(); }
  TServerArg Fallback() const { return Table(*table_); }

 private:
  TServerArg() = default;
  std::string json_;
  TClientDataSet* table_ = nullptr;
};

// One call as it goes on the wire: a JSON-RPC 2.0 request with positional
// params. Holds references to its arguments' tables.
class RpcRequest {
 public:
  RpcRequest(std::string method, long long id, const std::vector<TServerArg>& args)
      : method_(std::move(method)), id_(id), args_(args) {}

  const std::string& Method() const { return method_; }
  long long Id() const { return id_; }
  // Whether the request asks the server to keep the statement it sends for
  // the next call ("guardar": true): so when it sends a table.
  bool Keep() const;
  // Writes the whole request body, {"jsonrpc":"2.0","id":..,"method":..,
  // "params":[..]}, into sink, spilling as it goes.
  void WriteBody(JsonSink& sink) const;
  // About how large the body will be.
  std::size_t EstimatedBytes() const;

 private:
  std::string method_;
  long long id_;
  const std::vector<TServerArg>& args_;
};

// What the server sent back for one call: the HTTP status and the body text.
struct RpcResponse {
  int status = 200;
  std::string body;
};

// The way calls reach the server. TNetConnection owns one; the default is
// JSON-RPC 2.0 over HTTP (MakeHttpTransport). Tests plug in a server double.
class RpcTransport {
 public:
  virtual ~RpcTransport() = default;

  // The shared secret every request carries (Authorization: Bearer), empty
  // for none. Set before Open.
  virtual void SetToken(const std::string& token) { (void)token; }
  // Prepares calls to the server at host:port and checks that it answers.
  // Throws kvr::Exception naming host, port and what failed.
  virtual void Open(const std::string& host, int port) = 0;
  // Drops the way to the server. Harmless when not open.
  virtual void Close() = 0;
  // Sends the request to the remote module server_name and returns the reply
  // as it came, whatever its status. Only called between Open and Close.
  // Throws kvr::Exception for a transport failure (refused, deadline passed,
  // connection lost, a reply over the size limit).
  virtual RpcResponse Call(const std::string& server_name, const RpcRequest& request) = 0;
};

// Limits of the HTTP transport.
struct HttpLimits {
  // Each call as a whole (connect, send, receive) ends within this, plus a
  // second per megabyte of its request body (the server's work grows with
  // it).
  int deadline_ms = 120000;
  // A reply body larger than this (after inflating a gzip reply) is refused
  // as it arrives; one whose Content-Length passes it, from its head.
  std::size_t max_reply_bytes = std::size_t{64} << 20;
  // Request bodies expected to be larger than this go gzip-compressed
  // (Content-Encoding: gzip). Bodies are streamed to the server as they are
  // written (chunked), never held whole.
  std::size_t compress_above_bytes = std::size_t{16} << 20;
};

// The HTTP transport: POST /<server name> with a JSON-RPC 2.0 body, written
// into the connection as it is produced (Transfer-Encoding: chunked;
// compressed when large); replies may come gzip-compressed
// (Accept-Encoding: gzip).
std::unique_ptr<RpcTransport> MakeHttpTransport(HttpLimits limits = {});

// The answer of one server call: either the payload (the JSON-RPC "result")
// or the server's report of a failure (the JSON-RPC "error").
class TServerResult {
 public:
  static TServerResult Success(const nlohmann::json& payload);
  // A success whose payload is reply[begin, end), JSON text already checked.
  static TServerResult Success(std::shared_ptr<const std::string> reply, std::size_t begin, std::size_t end);
  // message is the server's UTF-8 text for the user.
  static TServerResult Failure(int code, std::string message);

  bool Failed() const { return failed_; }
  // The payload; null for a failure. Read into a tree on first use.
  const nlohmann::json& Payload() const;
  // The payload's JSON text ("null" for a failure), e.g. a data packet to
  // read straight into a table (TClientDataSet::SetData).
  std::string_view PayloadText() const;
  // The token under which the server kept the statement the call sent, for
  // the next call to name (TServerArg::Held); empty when it kept none.
  const std::string& Held() const { return held_; }
  void SetHeld(std::string token) { held_ = std::move(token); }
  // The JSON-RPC error code and UTF-8 message; 0 and empty for a success.
  int ErrorCode() const { return error_code_; }
  const std::string& ErrorMessage() const { return error_message_; }

 private:
  bool failed_ = false;
  std::shared_ptr<const std::string> text_;
  std::size_t begin_ = 0, end_ = 0;
  mutable std::shared_ptr<const nlohmann::json> payload_;
  int error_code_ = 0;
  std::string error_message_;
  std::string held_;
};

// Runs the part of a server call that waits for the server (the transport's
// Open and Call): given that work, runs it and returns once it has ended.
// The work never throws; what it raised is rethrown to the caller of
// SetConnected or Call after the runner returns. A desktop host runs the work
// on another thread and keeps its window painted meanwhile; the caller still
// sees a synchronous call.
using CallRunner = std::function<void(const std::function<void()>& work)>;

// The connection to the application server's remote module (netImportOFX).
// Set ServerName, Host, Port and Token (usually from OnBeforeConnect), then
// SetConnected(true); calls are synchronous.
class TNetConnection : public TComponent {
 public:
  // Installs the runner of every connection of the process; an empty one
  // (the default) runs the work at once on the calling thread. Set it before
  // any call is under way, from the thread that makes the calls.
  static void SetCallRunner(CallRunner runner);

  // owner may be null: the caller then owns the connection.
  explicit TNetConnection(TComponent* owner);
  ~TNetConnection() override;

  // The remote module, e.g. "kvr61400.rdmImportOFX".
  std::string ServerName;
  // The server's host name or address and port.
  std::string Host;
  int Port = 0;
  // The shared secret of a server that demands one; empty for none.
  std::string Token;
  // Kept for the screen's layout; failures are always reported through the
  // call's result (server side) or an exception (transport).
  bool ThrowException = false;

  // Runs when SetConnected(true) starts, before the server is reached; the
  // handler may set Host, Port and Token. Receives this connection.
  std::function<void(TComponent* sender)> OnBeforeConnect;
  // Told when a call is about to be sent (done false) and when its answer
  // came or it failed (done true): for progress displays. May be empty.
  std::function<void(const std::string& method, bool done)> OnCall;

  bool Connected() const { return connected_; }
  // true: runs OnBeforeConnect, then opens the transport to Host:Port, which
  // checks that the server answers; throws kvr::Exception (and stays closed)
  // when it does not. Connecting while connected does nothing.
  // false: closes the connection; closing while closed does nothing.
  void SetConnected(bool value);

  // Replaces the transport (a server double in tests); closes the connection
  // first. transport must not be null.
  void SetTransport(std::unique_ptr<RpcTransport> transport);

  // Calls the remote module's method by name with positional arguments and
  // returns its result. A JSON-RPC error in the reply (whatever the HTTP
  // status) comes back as a failed result. Throws kvr::Exception naming the
  // server when the connection is not open, for a transport failure, for an
  // HTTP status other than 200 without such an error, and for a reply that
  // is not a JSON-RPC response to this call (malformed, nested deeper than
  // 64 levels, another id, no result).
  // An argument made with TServerArg::Held whose movements the server no
  // longer keeps is sent again as its table, in a second call.
  TServerResult Call(const std::string& method, const std::vector<TServerArg>& args);

  // The JSON-RPC error code of a server that no longer keeps the movements a
  // call named.
  static constexpr int kNotHeld = -32010;

 private:
  TServerResult CallOnce(const std::string& method, const std::vector<TServerArg>& args);

  std::string Address() const;
  // Runs work through the installed call runner, rethrowing what it raised.
  static void RunCall(const std::function<void()>& work);

  std::unique_ptr<RpcTransport> transport_;
  bool connected_ = false;
  long long next_id_ = 0;
};

// Checks a server call's result. A server-side failure is shown through
// MensErro (its UTF-8 message converted to Windows-1252) when show_error is
// true, which ends the action by throwing EAbort; with show_error false the
// failure is thrown as kvr::Exception with the server's message. Otherwise
// returns the payload. help_context is accepted for the callers and unused.
nlohmann::json CheckResultServ(const TServerResult& result, bool show_error, int help_context);
// The same check, answering the payload as its JSON text (a packet to read
// straight into a table).
std::string_view CheckResultServText(const TServerResult& result, bool show_error, int help_context);

}  // namespace kvr
