#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "http/body_stream.h"
#include "rpc/import_module.h"
#include "rpc/request_cost.h"

namespace kvr::server {

// What AnswerRpcCall gives back: the HTTP status and the body (empty with 204,
// the answer to a notification).
struct RpcReply {
  int status = 200;
  std::string body;
  CallSummary summary{};  // what the call adds to the server's counters
};

// Limits on one request body.
struct BodyLimits {
  size_t max_inflated = 1024u * 1024u * 1024u;  // a gzip body once inflated
  // Charged with what reading the body builds (the server's memory budget);
  // no room answers 503. None: not counted.
  RequestCost* cost = nullptr;
  // Turns true when the server stops: a body still inflating is given up
  // (503). None: never.
  const std::atomic<bool>* stop = nullptr;
};

// A request body read once by ReadRpcCall: the call it holds, or the refusal
// it gets (error_code not 0). Either way AnswerRpcCall answers it.
struct RpcCall {
  std::string id = "null";      // the JSON text of the id, as the request wrote it
  bool notification = false;    // no "id": carried out, answered 204
  std::string method;           // empty when refused before the method was read
  std::vector<CallParam> params;
  size_t extra_params = 0;      // past ImportModule::MaxParams: counted, not kept
  int status = 200;             // the HTTP status of a refusal (400, 413) or 200
  int error_code = 0;           // a JSON-RPC error code, or 0 for a call to run
  std::string error_message;    // Portuguese, UTF-8
  std::chrono::steady_clock::duration reading{};  // the time reading took, for the log
  Caller caller;                // who made the call (set by the HTTP engine)
  bool database_error = false;  // the database failed the call
  bool keep = false;            // "guardar": true (see CallInfo::keep)
};

// Reads one JSON-RPC 2.0 request body in one pass: the bytes through the body
// stream (inflated when gzip says it came with "Content-Encoding: gzip"), the
// JSON reader and the module's packet readers (ImportModule::PacketReaderFor),
// then the envelope checks: exactly one JSON object, a usable id, "jsonrpc":
// "2.0", a method, positional params, no more of them than the method takes
// (ImportModule::MaxParams: the ones past it are counted, never kept).
// Touches no store and never throws.
RpcCall ReadRpcCall(const std::string& body, bool gzip, const BodyLimits& limits);
// The same, for a body that source hands on while it arrives (call.reading
// then includes the waits for its bytes).
RpcCall ReadRpcCall(BodySource& body, bool gzip, const BodyLimits& limits);

// Answers call for module (the path it was posted to, without the leading
// "/"): a refusal as its JSON-RPC error, an unknown module as -32601, and
// otherwise the result of ImportModule::Call or the error it throws (a
// RpcError with its code, any other failure -32603). A notification is
// carried out and answered 204 with no body. Never throws. call's params are
// consumed. log, when set, receives one line per call, in Portuguese: who
// (the user and address), the method, what it was about (account,
// movements), what happened, and the milliseconds (reading and running) at
// the end, with control characters escaped and long fields cut; the line
// begins with its syslog priority (log_text.h).
RpcReply AnswerRpcCall(ImportModule& module, const std::string& module_name, RpcCall& call,
                       const std::function<void(const std::string&)>& log);

// A JSON-RPC error reply without an id, for refusals outside a call (HTTP
// level ones: 401, 404, 413, 503).
std::string ErrorBody(int code, const std::string& message);

}  // namespace kvr::server
