#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/component.h"

namespace kvr {

// A whole table as exchanged with the application server:
// {"fields":[{"name":"CDREDUCONT","type":"string","size":3},
//            {"name":"DTMOVREAL","type":"datetime"},{"name":"VRMOVREAL","type":"float"}],
//  "rows":[["001","2024-01-05T00:00:00",200.0]]}
// null is a null column; strings are UTF-8; datetimes are "YYYY-MM-DDTHH:MM:SS".
using TDataPacket = nlohmann::json;

// One positional argument of a server call: a text, a boolean or a data
// packet. Texts are given in Windows-1252 and travel as UTF-8; packets travel
// as they are (their strings are UTF-8 already).
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
  // The same, taking the packet over instead of copying it (a statement's
  // movements packet can hold a hundred thousand rows).
  static TServerArg Packet(TDataPacket&& packet);

  // The argument as it goes on the wire.
  const nlohmann::json& Wire() const { return wire_; }

 private:
  friend class TNetConnection;
  TServerArg() = default;
  nlohmann::json wire_;
};

// The answer of one server call: either the payload (the JSON-RPC "result")
// or the server's report of a failure (the JSON-RPC "error").
class TServerResult {
 public:
  static TServerResult Success(nlohmann::json payload);
  // message is the server's UTF-8 text for the user.
  static TServerResult Failure(int code, std::string message);

  bool Failed() const { return failed_; }
  // The payload; null for a failure.
  const nlohmann::json& Payload() const { return payload_; }
  // The JSON-RPC error code and UTF-8 message; 0 and empty for a success.
  int ErrorCode() const { return error_code_; }
  const std::string& ErrorMessage() const { return error_message_; }

 private:
  bool failed_ = false;
  nlohmann::json payload_;
  int error_code_ = 0;
  std::string error_message_;
};

// The way calls reach the server. TNetConnection owns one; the default is
// JSON-RPC 2.0 over HTTP (MakeHttpTransport). Tests plug in a server double.
class TRpcTransport {
 public:
  virtual ~TRpcTransport() = default;

  // Prepares calls to the server at host:port and checks that it answers.
  // Throws kvr::Exception naming host, port and what failed.
  virtual void Open(const std::string& host, int port) = 0;
  // Drops the way to the server. Harmless when not open.
  virtual void Close() = 0;
  // Calls method of the remote module server_name with the positional params
  // (a JSON array) and returns the whole JSON-RPC response object, which
  // holds either "result" or "error". Only called between Open and Close.
  // Throws kvr::Exception for a transport failure (refused, timeout, a reply
  // that is not a JSON-RPC response).
  virtual nlohmann::json Call(const std::string& server_name, const std::string& method,
                              const nlohmann::json& params) = 0;
};

// The HTTP transport: POST /<server name> with a JSON-RPC 2.0 body.
// timeout_seconds bounds connecting, sending and waiting for each answer.
std::unique_ptr<TRpcTransport> MakeHttpTransport(int timeout_seconds = 120);

// Runs the part of a server call that waits for the server (the transport's
// Open and Call): given that work, runs it and returns once it has ended.
// The work never throws; what it raised is rethrown to the caller of
// SetConnected or Call after the runner returns. A desktop host runs the work
// on another thread and keeps its window painted meanwhile; the caller still
// sees a synchronous call.
using TCallRunner = std::function<void(const std::function<void()>& work)>;

// The connection to the application server's remote module (netImportOFX).
// Set ServerName, Host and Port (usually from OnBeforeConnect), then
// SetConnected(true); calls are synchronous.
class TNetConnection : public TComponent {
 public:
  // Installs the runner of every connection of the process; an empty one
  // (the default) runs the work at once on the calling thread. Set it before
  // any call is under way, from the thread that makes the calls.
  static void SetCallRunner(TCallRunner runner);

  // owner may be null: the caller then owns the connection.
  explicit TNetConnection(TComponent* owner);
  ~TNetConnection() override;

  // The remote module, e.g. "kvr61400.rdmImportOFX".
  std::string ServerName;
  // The server's host name or address and port.
  std::string Host;
  int Port = 0;
  // Kept for the screen's layout; failures are always reported through the
  // call's result (server side) or an exception (transport).
  bool ThrowException = false;

  // Runs when SetConnected(true) starts, before the server is reached; the
  // handler may set Host and Port. Receives this connection.
  std::function<void(TComponent* sender)> OnBeforeConnect;

  bool Connected() const { return connected_; }
  // true: runs OnBeforeConnect, then opens the transport to Host:Port, which
  // checks that the server answers; throws kvr::Exception (and stays closed)
  // when it does not. Connecting while connected does nothing.
  // false: closes the connection; closing while closed does nothing.
  void SetConnected(bool value);

  // Replaces the transport (a server double in tests); closes the connection
  // first. transport must not be null.
  void SetTransport(std::unique_ptr<TRpcTransport> transport);

  // Calls the remote module's method by name with positional arguments and
  // returns its result. Throws kvr::Exception when the connection is not
  // open, and whatever the transport throws for a transport failure; a
  // server-side failure comes back in the result, it is not thrown.
  TServerResult Call(const std::string& method, const std::vector<TServerArg>& args);
  // The same, moving the arguments onto the wire instead of copying them.
  TServerResult Call(const std::string& method, std::vector<TServerArg>&& args);

 private:
  TServerResult Send(const std::string& method, const nlohmann::json& params);
  // Runs work through the installed call runner, rethrowing what it raised.
  static void RunCall(const std::function<void()>& work);

  std::unique_ptr<TRpcTransport> transport_;
  bool connected_ = false;
};

// Checks a server call's result. A server-side failure is shown through
// MensErro (its UTF-8 message converted to Windows-1252) when show_error is
// true, which ends the action by throwing EAbort; with show_error false the
// failure is thrown as kvr::Exception with the server's message. Otherwise
// returns the payload. help_context is accepted for the callers and unused.
nlohmann::json CheckResultServ(const TServerResult& result, bool show_error, int help_context);

}  // namespace kvr
