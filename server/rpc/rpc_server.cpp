#include "rpc/rpc_server.h"

#include <malloc.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "http/body_stream.h"
#include "access/guess_limit.h"
#include "rpc/health_check.h"
#include "http/http_engine.h"
#include "http/http_socket.h"
#include "rpc/log_text.h"
#include "rpc/held_statements.h"
#include "rpc/memory_budget.h"
#include "rpc/server_metrics.h"
#include "rpc/streamed_read.h"
#include "rpc/request_cost.h"
#include "rpc/worker_pool.h"

// The requests of the HTTP engine (http_engine.h): a request's headers and
// body are gathered by the event loop; the call itself is handed to a worker
// of a bounded pool while its connection is suspended, so a slow client or a
// long store never keeps the loop from serving the others.

namespace kvr::server {

namespace {

// Bodies above this are followed by malloc_trim where the programs keep the C
// library's allocator (KVR_HEAP_GLIBC): their rows were spread over the heap
// of a worker thread, and glibc would keep those pages for it. jemalloc gives
// them back itself as they decay.
constexpr size_t kTrimAfter = 256 * 1024;
// Replies above this go out gzip when the client accepts it.
constexpr size_t kGzipReplyAbove = 64 * 1024;
// Plain bodies up to this size are read on the event loop: a quick call is
// answered there, any other goes to a worker already read.
constexpr size_t kQuickBody = 8 * 1024;
// The memory a request's rows take, per byte of its (inflated) body.
constexpr size_t kRowsPerBodyByte = 2;
// A body of unknown length (chunked, as the client streams its calls) takes
// room for this much at first, and more, doubling, as it comes.
constexpr size_t kChunkedStart = 1024 * 1024;
// A gzip body that passes this while it comes is read into its call as it
// arrives (StreamedRead): a large statement is parsed and checked while the
// client still sends it.
constexpr size_t kStreamAbove = 256 * 1024;

// The answer to a call the server will not carry out because it is stopping.
const char* const kStopping = "O servidor está encerrando; tente de novo.";

std::string NoMemory(size_t total) {
  return "O servidor está sem memória livre para esta requisição (limite de " + MiB(total) +
         " MiB em --max-memory); tente de novo em instantes.";
}

// True when an Accept-Encoding header value admits gzip.
bool AcceptsGzip(const std::optional<std::string>& header) {
  if (!header) return false;
  std::string value = *header;
  for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const std::string& item : ListItems(value)) {
    std::string coding = item.substr(0, item.find(';'));
    coding.erase(coding.find_last_not_of(" \t") + 1);
    if (coding == "gzip" || coding == "x-gzip") {
      const size_t q = item.find("q=");
      return q == std::string::npos || std::strtod(item.c_str() + q + 2, nullptr) > 0;
    }
  }
  return false;
}

}  // namespace

struct RpcServer::Engine : HttpHandler {
  using Clock = std::chrono::steady_clock;

  // One HTTP request from its headers to its answer.
  struct Request {
    HttpExchange* exchange = nullptr;
    std::string module;  // the path without its "/"
    bool gzip = false;
    bool accept_gzip = false;
    bool read = false;      // call holds the body, read on the event loop
    Caller caller;          // who the request's key let in
    // Waiting for its key to be looked up: suspended until decision is set.
    bool checking = false;
    AccessDecision decision;
    // Waiting for memory (suspended until the budget wakes it): for the
    // body to come, or for what the inflated body will build.
    enum class Wait { kNone, kBody, kInflate } waiting = Wait::kNone;
    std::shared_ptr<MemoryBudget::Ticket> ticket;
    size_t wanted = 0;         // the bytes waited for
    size_t memory = 0;         // taken from the budget, given back when the request ends
    size_t declared = 0;       // the Content-Length, 0 when none
    size_t allowance = 0;      // the body bytes the memory taken covers
    bool drain = false;        // no room for the rest of the body: read and drop it, then 503
    Clock::time_point started;  // the head came (the loop's time)
    size_t received = 0;        // body bytes come so far
    std::string body;
    // The body read while it comes (then body is empty until it ended), and
    // whether the request is suspended until its call is read.
    std::shared_ptr<StreamedRead> stream;
    bool streamed = false;
    RpcCall call;
    RpcReply reply;
  };

  explicit Engine(RpcServer& server)
      : owner(server),
        own_access(nullptr, server.options_.token),
        // A key may have half the workers' worth of requests waiting for
        // memory (at least 2), an address (which clerks may share) as many
        // as there are workers: one client never fills the queue.
        budget(server.options_.max_memory,
               static_cast<size_t>(std::max(server.options_.threads / 2, 2)),
               static_cast<size_t>(std::max(server.options_.threads, 2))),
        held([this](size_t bytes) { return budget.TryTake(bytes); },
             [this](size_t bytes) { budget.Give(bytes); }),
        health([&server] { server.module_.CheckDatabase(); },
               [this](const std::string& line) { Log(line); }),
        streams(static_cast<size_t>(std::max(server.options_.threads, 1))) {
    server.module_.SetHeld(&held);
  }
  ~Engine() override { owner.module_.SetHeld(nullptr); }

  RpcServer& owner;
  AccessControl own_access;  // when the options give none
  ListenSocket socket;
  WorkerPool pool;
  GuessLimit guesses;
  MemoryBudget budget;
  // Statements ValidExtrato kept for their SetExtratoBancario, in the budget.
  HeldStatements held;
  ServerMetrics metrics;
  HealthCheck health;
  // Large bodies read while they come, a thread each (as many at once as
  // there are workers; past that they are read at their end).
  StreamedReads streams;
  std::atomic<size_t> in_flight{0};  // requests from their head to their end
  // Keeps the watchdog's look at the loops apart from their start and stop.
  std::mutex watch_mutex;
  // Last: its loops are gone before what they use.
  std::unique_ptr<HttpEngine> http;

  std::mutex run_mutex;
  std::condition_variable run_changed;
  bool stop_requested = false;
  std::atomic<bool> running{false};
  std::atomic<bool> stopping{false};  // bodies still being read are given up

  const ServerOptions& Options() const { return owner.options_; }
  AccessControl& Access() { return Options().access ? *Options().access : own_access; }
  std::chrono::seconds Timeout() const { return std::chrono::seconds(Options().timeout_seconds); }
  int Loops() const { return std::max(Options().http_threads, 1); }

  void Log(const std::string& line) const {
    if (Options().log) Options().log(line);
  }

  static Request& Of(HttpExchange& exchange) { return *static_cast<Request*>(exchange.context); }

  // --- answers -------------------------------------------------------------

  // Answers exchange with a JSON-RPC error, in answer's extra headers and
  // close; logs it with what, unless what is empty.
  void Refuse(HttpExchange& exchange, int status, int code, const std::string& message,
              const std::string& what, HttpAnswer answer = {}) {
    if (!what.empty())
      Log(kLogWarning + std::string("kvr61400-server: ") + exchange.Client() + " " +
          LogText(what, 200) + ": " + LogText(message, 300));
    answer.status = status;
    answer.body = ErrorBody(code, message);
    metrics.CountBytes(0, answer.body.size());
    exchange.Answer(std::move(answer));
  }

  void OnExpired(HttpExchange& exchange, Expiry expiry) override {
    switch (expiry) {
      case Expiry::kWait:
        // Its wait for memory ends without it: the budget wakes it (503),
        // unless the memory came first.
        if (Of(exchange).ticket) budget.Evict(Of(exchange).ticket);
        return;
      case Expiry::kHead:
        // Silent, as a crowd of them is an attack, not news.
        Track(exchange);
        return Refuse(exchange, 408, kInvalidRequestError,
                      "Requisição encerrada: o cabeçalho não chegou inteiro em " +
                          std::to_string(Timeout().count()) +
                          " segundos; confira a rede e envie de novo.",
                      "", {.close = true});
      case Expiry::kBody:
        Log(kLogWarning + std::string("kvr61400-server: ") + exchange.Client() + " POST /" +
            LogText(Of(exchange).module, 100) +
            ": corpo a menos de 64 KiB/s; conexão encerrada (408).");
        return Refuse(exchange, 408, kInvalidRequestError,
                      "Requisição encerrada: o corpo chegou a menos de 64 KiB/s; confira a rede e "
                      "envie de novo.",
                      "", {.close = true});
    }
  }

  // --- the request, from its headers to its answer ---------------------------

  Request& Track(HttpExchange& exchange) {
    auto* request = new Request;
    ++in_flight;
    exchange.context = request;
    request->exchange = &exchange;
    request->started = exchange.Now();
    return *request;
  }

  // A head or a chunked body refused for its shape: the connection closes.
  void OnRefused(HttpExchange& exchange, const HeadFault& fault) override {
    if (exchange.context == nullptr) Track(exchange);
    const HttpHead& head = exchange.Head();
    Refuse(exchange, fault.status, kInvalidRequestError, fault.message,
           head.method.empty() ? std::string("(cabeçalho)") : head.method + " " + head.target,
           {.close = true});
  }

  void OnHead(HttpExchange& exchange) override {
    Request& request = Track(exchange);
    const HttpHead& head = exchange.Head();
    // The balancer's question needs no key and costs no guess.
    if ((head.method == "GET" || head.method == "HEAD") && head.target == "/saude")
      return AskHealth(request);

    // No database call here: a key the access control does not hold yet is
    // looked up off the loop while the request waits. A blocked address is
    // refused unless its key is one known to be right (a clerk behind the
    // same proxy as a guesser keeps working); each key refused counts
    // toward the block. A database that cannot be asked (503) is no guess.
    const std::string* authorization = head.Find("Authorization");
    const char* key = authorization != nullptr ? authorization->c_str() : nullptr;
    std::optional<AccessDecision> access =
        Access().Decide(key, exchange.Client(), guesses.Blocked(From(exchange)));
    if (access) return Checked(request, *access);
    request.checking = true;
    exchange.Suspend();
    Request* waiting = &request;
    Access().Lookup(key, exchange.Client(), [waiting](AccessDecision decision) {
      waiting->decision = std::move(decision);
      waiting->exchange->Resume();
    });
  }

  // The client's address without its port.
  static std::string From(HttpExchange& exchange) {
    return exchange.Client().substr(0, exchange.Client().rfind(':'));
  }

  // The request's key was checked: on with the request, or refused.
  void Checked(Request& request, const AccessDecision& access) {
    HttpExchange& exchange = *request.exchange;
    const HttpHead& head = exchange.Head();
    const std::string& path = head.target;
    const std::string& method = head.method;
    const std::string what = method + " " + path;
    if (!access.allowed) {
      const std::string from = From(exchange);
      if (access.status == 429) {
        metrics.CountRefusal(Refusal::kTooManyGuesses);
        // Logged once, when the block began.
        return Refuse(
            exchange, 429, kUnauthorized,
            "Muitos segredos errados a partir de " + from + "; tente de novo em 60 segundos.", "",
            {.headers = {{"Retry-After", "60"}}});
      }
      if (access.status == 401) metrics.CountRefusal(Refusal::kUnauthorized);
      if (access.status == 503) metrics.CountDatabaseError();
      if (access.status == 401 && guesses.Refused(from))
        Log(kLogWarning + std::string("kvr61400-server: ") + from + " bloqueado por 60 segundos: " +
            std::to_string(GuessLimit::kMaxRefusals) + " segredos errados em 60 segundos.");
      return Refuse(exchange, access.status, kUnauthorized, access.message,
                    what + " " + access.note,
                    access.status == 401
                        ? HttpAnswer{.headers = {{"WWW-Authenticate", "Bearer realm=\"kvr61400\""}}}
                        : HttpAnswer{});
    }
    request.caller = access.caller;

    const bool get = method == "GET" || method == "HEAD";
    if (get && path == "/metrics") return AnswerMetrics(exchange, request.caller, what);
    if (get && path == "/")
      return exchange.Answer({.body = std::string("kvr61400-server: ") + ImportModule::kName + "\n",
                              .content_type = "text/plain"});
    if (!get && method != "POST")
      return Refuse(exchange, 405, kInvalidRequestError,
                    "Método HTTP " + CutText(method, 20) + " não aceito; as chamadas são POST /" +
                        ImportModule::kName + ".",
                    what);
    if (get || path.empty() || path[0] != '/' || path.find('/', 1) != std::string::npos)
      return Refuse(exchange, 404, kInvalidRequestError,
                    "Caminho \"" + CutText(path, 100) + "\" desconhecido; as chamadas vão para /" +
                        ImportModule::kName + ".",
                    what);
    request.module = path.substr(1);

    const std::string* encoding = head.Find("Content-Encoding");
    if (encoding != nullptr && !encoding->empty()) {
      if (strcasecmp(encoding->c_str(), "gzip") == 0 || strcasecmp(encoding->c_str(), "x-gzip") == 0)
        request.gzip = true;
      else if (strcasecmp(encoding->c_str(), "identity") != 0)
        return Refuse(exchange, 415, kInvalidRequestError,
                      "Codificação de conteúdo \"" + CutText(*encoding, 40) +
                          "\" não aceita; envie o corpo sem codificação ou em gzip.",
                      what);
    }
    request.accept_gzip = AcceptsGzip(head.Joined("Accept-Encoding"));

    // A declared body over the limit is refused before any of it is read.
    const std::string* length = head.Find("Content-Length");
    if (length != nullptr) {
      // Digits only (as framed): too many for strtoull read as its maximum.
      const unsigned long long value = std::strtoull(length->c_str(), nullptr, 10);
      if (value > Options().max_body)
        return Refuse(exchange, 413, kInvalidRequestError, TooLarge(), what);
      request.declared = static_cast<size_t>(value);
    }
    // The body and the rows it becomes must fit in the memory budget: a
    // plain body takes the room for both before it comes, a gzip body the
    // room for itself (and, once read, for what it inflates to), a body of
    // unknown length a first piece, and more as it comes.
    request.allowance =
        exchange.Chunked() ? std::min(kChunkedStart, Options().max_body) : request.declared;
    WaitForMemory(request, Share(request, request.allowance), Request::Wait::kBody);
  }

  // GET /saude: answered by the health check's threads, the connection
  // suspended meanwhile.
  void AskHealth(Request& request) {
    request.exchange->Suspend();
    Request* asking = &request;
    health.Ask([asking](HealthAnswer answer) {
      asking->reply = {answer.status, std::move(answer.body)};
      asking->exchange->Resume();
    });
  }

  // GET /metrics: for an administrator's key, or anyone on loopback when the
  // server has no keys.
  void AnswerMetrics(HttpExchange& exchange, const Caller& caller, const std::string& what) {
    if (!caller.administrator || (caller.user.empty() && !IsLoopbackHost(caller.address)))
      return Refuse(exchange, 403, kUnauthorized,
                    "As métricas do servidor são só para chaves de administrador.", what);
    exchange.Answer({.body = metrics.Text(Gauges()),
                     .content_type = "text/plain; version=0.0.4; charset=utf-8"});
  }

  ServerGauges Gauges() {
    const MemoryBudget::Use memory = budget.InUse();
    ServerGauges gauges;
    std::lock_guard<std::mutex> lock(watch_mutex);
    gauges.connections = http ? http->OpenConnections() : 0;
    gauges.requests = in_flight;
    gauges.memory_total = budget.Total();
    gauges.memory_in_use = memory.in_use;
    gauges.memory_waiting = memory.waiting;
    gauges.waiting_requests = memory.waiters;
    return gauges;
  }

  // The memory the body bytes of request and their rows take.
  static size_t Share(const Request& request, size_t body) {
    return request.gzip ? body : body * (1 + kRowsPerBodyByte);
  }

  // Takes bytes for request, all at once, and goes on to what follows wait;
  // or suspends it until they are free (holding nothing more meanwhile); or
  // answers 503 when they never fit, its key or address already has its
  // share of requests waiting, or the server stops.
  void WaitForMemory(Request& request, size_t bytes, Request::Wait wait) {
    HttpExchange& exchange = *request.exchange;
    const std::string what = "POST /" + request.module;
    if (bytes > budget.Total())
      return Refuse(exchange, 503, kInternalError, NoMemory(budget.Total()), what);
    const std::string& client = exchange.Client();
    const MemoryBudget::Who who{request.caller.user, client.substr(0, client.rfind(':'))};
    switch (budget.TakeOrWait(bytes, who, [&exchange] { exchange.Resume(); }, request.ticket)) {
      case MemoryBudget::Outcome::kTaken:
        request.memory += bytes;
        return Continue(request, wait);
      case MemoryBudget::Outcome::kWaiting: {
        Log("kvr61400-server: " + client + " " + LogText(what, 200) +
            ": aguardando memória livre.");
        request.waiting = wait;
        request.wanted = bytes;
        // Its loop ends the wait at the request's deadline, or sooner when
        // the connection makes room for another (OnExpired).
        exchange.SuspendUntil(request.started + Timeout());
        return;
      }
      case MemoryBudget::Outcome::kBusy:
        return Refuse(exchange, 503, kInternalError,
                      "Há requisições demais desta chave ou deste endereço à espera de memória "
                      "no servidor; tente de novo em instantes.",
                      what + " (sem memória)", {.close = true});
      case MemoryBudget::Outcome::kClosed:
        return Refuse(exchange, 503, kInternalError, kStopping, "", {.close = true});
    }
  }

  void Continue(Request& request, Request::Wait wait) {
    if (wait == Request::Wait::kBody)
      Admitted(request);
    else
      Submit(request);
  }

  // The request has its memory: its body may come.
  void Admitted(Request& request) {
    request.body.reserve(request.declared);
    request.exchange->ReadBody();
  }

  void OnResumed(HttpExchange& exchange) override {
    Request& request = Of(exchange);
    if (request.checking) {
      request.checking = false;
      return Checked(request, request.decision);
    }
    if (std::exchange(request.streamed, false)) return Streamed(request);
    if (request.waiting != Request::Wait::kNone) {
      const Request::Wait wait = std::exchange(request.waiting, Request::Wait::kNone);
      const bool taken = budget.Claim(request.ticket);
      request.ticket.reset();
      if (taken) {
        request.memory += request.wanted;
        return Continue(request, wait);
      }
      return Refuse(exchange, 503, kInternalError, NoMemory(budget.Total()),
                    "POST /" + request.module + " (sem memória)", {.close = true});
    }
    Answer(request);
  }

  std::string TooLarge() const {
    return "Requisição recusada: o corpo passa do limite de " + MiB(Options().max_body) + " MiB.";
  }

  bool OnBody(HttpExchange& exchange, const char* data, size_t size) override {
    Request& request = Of(exchange);
    metrics.CountBytes(size, 0);
    if (request.drain) return true;
    if (request.received + size > Options().max_body) {
      // A body without a declared length that grows past the limit.
      Refuse(exchange, 413, kInvalidRequestError, TooLarge(),
             "POST /" + request.module + " (conexão encerrada)");
      return false;
    }
    if (request.received + size > request.allowance) {
      // A body of unknown length grows: more room, without waiting (the
      // event loop cannot wait). With none, the rest is read and dropped
      // and the answer is 503.
      const size_t grow = std::min(std::max(request.allowance, size),
                                   Options().max_body - request.allowance);
      if (request.received + size <= request.allowance + grow &&
          budget.TryTake(Share(request, grow))) {
        request.memory += Share(request, grow);
        request.allowance += grow;
      } else {
        request.drain = true;
        std::string().swap(request.body);
        if (request.stream) std::exchange(request.stream, nullptr)->Abandon();
        return true;
      }
    }
    request.received += size;
    if (request.stream) {
      request.stream->Append(data, size);
      return true;
    }
    request.body.append(data, size);
    if (request.gzip && request.received > kStreamAbove && request.module == ImportModule::kName)
      Stream(request);
    return true;
  }

  // request's body is read into its call from here on while it comes, when
  // a reading can start.
  void Stream(Request& request) {
    BodyLimits limits;
    limits.max_inflated = Options().max_inflated;
    limits.stop = &stopping;
    request.stream = streams.Start(
        request.body, request.gzip, limits, [this](size_t bytes) { return budget.Grow(bytes); },
        [this](size_t bytes) { budget.Give(bytes); });
  }

  // The call of a body read while it came is read: on to the worker, with
  // the memory for what the body says it inflates to, as any gzip body takes
  // it (less what the reading took already). When that memory is not there
  // at once, or other requests wait for memory (they came first), or the
  // reading ran out of memory or was given up, what it built goes and the
  // body is read again at its end after the usual wait: the answer is the
  // one the body would have had.
  void Streamed(Request& request) {
    const std::shared_ptr<StreamedRead> stream = std::exchange(request.stream, nullptr);
    RpcCall call = stream->TakeCall();
    const size_t taken = stream->TakeMemory();
    request.body = stream->TakeBody();
    request.memory += taken;
    const size_t reserve =
        std::min(GzipDeclaredSize(request.body), Options().max_inflated) * kRowsPerBodyByte;
    const size_t extra = reserve > taken ? reserve - taken : 0;
    // TryTake(0) too is refused while others wait.
    if (call.status != 503 && reserve <= budget.Total() && budget.TryTake(extra)) {
      request.memory += extra;
      request.call = std::move(call);
      request.read = true;
      return Submit(request);
    }
    call = RpcCall();
    request.memory -= taken;
    budget.Give(taken);
    WaitForMemory(request, reserve, Request::Wait::kInflate);
  }

  // Reads request's call, charging what it builds to the memory the
  // request holds, and to more taken without waiting when that is not
  // enough (no room: 503).
  RpcCall Read(Request& request) {
    RequestCost cost(request.memory, request.body.capacity(), [this, &request](size_t bytes) {
      if (!budget.Grow(bytes)) return false;
      request.memory += bytes;
      return true;
    });
    BodyLimits limits;
    limits.max_inflated = Options().max_inflated;
    limits.cost = &cost;
    limits.stop = &stopping;
    return ReadRpcCall(request.body, request.gzip, limits);
  }

  void OnBodyEnd(HttpExchange& exchange) override {
    Request& request = Of(exchange);
    if (request.drain)
      return Refuse(exchange, 503, kInternalError, NoMemory(budget.Total()),
                    "POST /" + request.module + " (sem memória)");
    if (request.stream) {
      exchange.Suspend();
      request.streamed = true;
      return request.stream->End([&exchange] { exchange.Resume(); });
    }
    // A small plain body is read here, once: a quick call (a look-up that
    // answers at once) costs less than handing it to a worker and back.
    if (Options().quick_calls && !request.gzip && request.body.size() <= kQuickBody &&
        request.module == ImportModule::kName) {
      request.call = Read(request);
      request.call.caller = request.caller;
      request.read = true;
      if (ImportModule::IsQuick(request.call.method)) {
        request.reply = AnswerRpcCall(owner.module_, request.module, request.call, Options().log);
        metrics.CountCall(request.reply.summary);
        return Answer(request);
      }
    }
    if (request.gzip) {
      // What the body inflates to is taken before it is read, all at once.
      const size_t inflated = std::min(GzipDeclaredSize(request.body), Options().max_inflated);
      return WaitForMemory(request, inflated * kRowsPerBodyByte, Request::Wait::kInflate);
    }
    Submit(request);
  }

  // Hands request's call to a worker.
  void Submit(Request& request) {
    HttpExchange& exchange = *request.exchange;
    Request* submitted = &request;
    const bool queued =
        pool.Submit([this, submitted](bool cancelled) { Work(*submitted, cancelled); },
                    [submitted] { submitted->exchange->Suspend(); });
    if (!queued) exchange.Answer({.status = 503, .body = ErrorBody(kInternalError, kStopping)});
  }

  void Answer(Request& request) {
    RpcReply& reply = request.reply;
    HttpExchange& exchange = *request.exchange;
    metrics.CountBytes(0, reply.body.size());
    if (request.accept_gzip && reply.body.size() > kGzipReplyAbove)
      return exchange.Answer({.status = reply.status,
                              .body = GzipCompress(reply.body),
                              .headers = {{"Content-Encoding", "gzip"}}});
    exchange.Answer({.status = reply.status, .body = std::move(reply.body)});
  }

  // Runs on a worker while the request's connection is suspended.
  void Work(Request& request, bool cancelled) {
    const size_t size = request.body.size();
    if (cancelled)
      request.reply = {503, ErrorBody(kInternalError, kStopping)};
    else {
      if (!request.read) request.call = Read(request);
      request.call.caller = request.caller;
      request.reply = AnswerRpcCall(owner.module_, request.module, request.call, Options().log);
      metrics.CountCall(request.reply.summary);
    }
    std::string().swap(request.body);
    request.call = RpcCall();
    // Give the pages of a large call back before answering, so that a
    // client that sends the next statement finds them returned.
    if (KVR_HEAP_GLIBC && size > kTrimAfter) malloc_trim(0);
    // The rows are gone: their room goes to the requests that wait for it.
    budget.Give(std::exchange(request.memory, 0));
    // From here on the request belongs to the event loop again.
    request.exchange->Resume();
  }

  void OnDone(HttpExchange& exchange) override {
    auto* request = static_cast<Request*>(exchange.context);
    if (request != nullptr) {
      // A request closed while it waits (the stop's grace ran out): its wait
      // ends unanswered, and what was taken for it goes back.
      if (request->ticket) budget.Withdraw(request->ticket);
      // A body refused halfway: its reading stops and gives its memory back.
      if (request->stream) request->stream->Abandon();
      budget.Give(request->memory);
      --in_flight;
    }
    delete request;
    exchange.context = nullptr;
  }
};

RpcServer::RpcServer(ImportModule& module, ServerOptions options)
    : module_(module), options_(std::move(options)), engine_(std::make_unique<Engine>(*this)) {}

RpcServer::~RpcServer() { Stop(); }

std::string RpcServer::HostText() const { return engine_->socket.HostText(); }

int RpcServer::Bind() {
  engine_->socket.Open(options_.host, options_.port);
  return engine_->socket.Port();
}

bool RpcServer::Run() {
  Engine& e = *engine_;
  {
    std::lock_guard<std::mutex> lock(e.run_mutex);
    if (e.stop_requested) return true;
  }
  if (e.socket.Fd() < 0) Bind();
  try {
    std::lock_guard<std::mutex> watching(e.watch_mutex);
    // No limit per address: every local client shares 127.0.0.1.
    e.http = std::make_unique<HttpEngine>(
        e, HttpEngine::Settings{
               .loops = e.Loops(),
               .timeout = e.Timeout(),
               .max_body = options_.max_body,
               .max_connections = static_cast<size_t>(std::max(options_.max_connections, e.Loops())),
               .tls = options_.tls});
    // The workers take calls from the first connection on.
    e.pool.Start(options_.threads);
    e.http->Start(e.socket.Release());
  } catch (const std::exception& error) {
    e.Log(kLogError + std::string("kvr61400-server: o servidor HTTP não iniciou: ") +
          error.what());
    e.pool.Stop();
    e.health.Stop();
    std::lock_guard<std::mutex> watching(e.watch_mutex);
    e.http.reset();
    return false;
  }
  e.running = true;
  {
    // Meanwhile this thread gives back the statements kept for a
    // SetExtratoBancario that never came.
    std::unique_lock<std::mutex> lock(e.run_mutex);
    while (!e.run_changed.wait_for(lock, std::chrono::seconds(5), [&e] { return e.stop_requested; })) {
      lock.unlock();
      e.held.Expire(HeldStatements::Clock::now());
      lock.lock();
    }
  }
  // Calls under way finish and resume their connections; calls still
  // waiting are answered 503, as are requests waiting for memory or for
  // their key. Only then may the engine stop: it must not stop with a
  // connection suspended.
  e.stopping = true;
  e.streams.Stop();
  e.Access().StopLookups();
  e.pool.Stop();
  e.budget.Close();
  e.health.Stop();
  std::lock_guard<std::mutex> watching(e.watch_mutex);
  e.running = false;
  e.http->Stop();
  return true;
}

bool RpcServer::IsRunning() const { return engine_->running; }

bool RpcServer::Turning() {
  Engine& e = *engine_;
  std::lock_guard<std::mutex> watching(e.watch_mutex);
  if (!e.running || !e.http) return true;
  const bool loops = e.http->Turning();
  return e.pool.Turning() && loops;
}

RpcServer::Activity RpcServer::Now() {
  const ServerGauges gauges = engine_->Gauges();
  return {gauges.connections, gauges.requests};
}

void RpcServer::Stop() {
  std::lock_guard<std::mutex> lock(engine_->run_mutex);
  engine_->stop_requested = true;
  engine_->run_changed.notify_all();
}

}  // namespace kvr::server
