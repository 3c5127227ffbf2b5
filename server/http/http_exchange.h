#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "http/http_head_parser.h"

namespace kvr::server {

// An answer to one request.
struct HttpAnswer {
  int status = 200;
  std::string body{};
  std::string content_type = "application/json";
  // Extra header lines, as name and value.
  std::vector<std::pair<std::string, std::string>> headers{};
  // The connection ends with this answer (always so when the request's body
  // was not read to its end, or the request was refused by its framing).
  bool close = false;
};

// A time limit that passed on an exchange (HttpConnection lists them all,
// with the engine's own answers).
enum class Expiry {
  kHead,  // part of a head came, not all of it in time: the handler answers (408)
  kBody,  // the body came too slowly: the handler answers (408)
  kWait,  // the moment given to SuspendUntil came while suspended: the
          // handler ends what it waits for, which resumes the exchange
};

// One request on a connection, from its head to its answer, as the HTTP
// engine hands it to its handler. Every call but Resume belongs to the event
// loop that owns the connection: made only from within a handler callback.
class HttpExchange {
 public:
  virtual ~HttpExchange() = default;

  // The head, whole and checked (or, in OnRefused, as far as it was read).
  virtual const HttpHead& Head() const = 0;
  // "127.0.0.1:41474" or "[::1]:41474".
  virtual const std::string& Client() const = 0;
  // The time of the connection's event loop (its clock, read once a round).
  virtual std::chrono::steady_clock::time_point Now() const = 0;
  // The body is chunked (else its length is the Content-Length, 0 when none).
  virtual bool Chunked() const = 0;

  // Reads the body: its bytes go to OnBody, then OnBodyEnd.
  virtual void ReadBody() = 0;
  // Sends answer; the exchange ends once it is written.
  virtual void Answer(HttpAnswer answer) = 0;
  // Nothing happens on the connection until Resume (neither reading nor
  // time limits of the engine).
  virtual void Suspend() = 0;
  // As Suspend, and when until (on Now's clock) comes first the handler's
  // OnExpired(kWait) runs; the exchange stays suspended until Resume.
  virtual void SuspendUntil(std::chrono::steady_clock::time_point until) = 0;
  // From any thread, once per Suspend: the handler's OnResumed runs on the
  // connection's loop.
  virtual void Resume() = 0;

  // The handler's own state for this request; the handler owns it, and
  // releases it in OnDone.
  void* context = nullptr;
};

// What the engine calls for each request; every call runs on the event loop
// of the request's connection. Each callback must, before returning, call
// ReadBody, Answer or Suspend on the exchange (OnBody: only when it returns
// false, and then Answer).
class HttpHandler {
 public:
  virtual ~HttpHandler() = default;
  // A head came, well formed and framed without doubt.
  virtual void OnHead(HttpExchange& exchange) = 0;
  // A head or chunked body refused (fault.status 400, 431, 501 or 505): the
  // handler answers; the connection closes after it.
  virtual void OnRefused(HttpExchange& exchange, const HeadFault& fault) = 0;
  // The next bytes of the body. false: stop reading (the handler answered).
  virtual bool OnBody(HttpExchange& exchange, const char* data, size_t size) = 0;
  // The body is whole.
  virtual void OnBodyEnd(HttpExchange& exchange) = 0;
  // A time limit passed (see Expiry for what the handler does); after kHead
  // and kBody the connection closes once answered. For kHead the exchange's
  // head is empty.
  virtual void OnExpired(HttpExchange& exchange, Expiry expiry) = 0;
  // After Resume.
  virtual void OnResumed(HttpExchange& exchange) = 0;
  // The exchange ended: its answer went, or the connection closed first.
  virtual void OnDone(HttpExchange& exchange) = 0;
};

}  // namespace kvr::server
