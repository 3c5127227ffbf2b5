#include "rpc_server.h"

#include <malloc.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "body_stream.h"
#include "connection_deadlines.h"
#include "guess_limit.h"
#include "http_framing.h"
#include "log_text.h"
#include "memory_budget.h"
#include "worker_pool.h"

// The HTTP engine: libmicrohttpd with poll event loops. A request's headers
// and body are gathered by the event loop; the call itself is handed to a
// worker of a bounded pool while its connection is suspended, so a slow
// client or a long store never keeps the loop from serving the others.

namespace kvr::server {

namespace {

// Bodies above this are followed by malloc_trim: their rows were spread over
// the heap of a worker thread, and glibc would keep those pages for it.
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
// Connections libmicrohttpd may hold beyond our limit: the newcomers that
// make the one idle longest go, in the moment before it is closed.
constexpr unsigned kAdmitting = 64;

// The answer to a call the server will not carry out because it is stopping.
const char* const kStopping = "O servidor está encerrando; tente de novo.";

std::string NoMemory(size_t total) {
  return "O servidor está sem memória livre para esta requisição (limite de " +
         std::to_string(total / (1024 * 1024)) +
         " MiB em --max-memory); tente de novo em instantes.";
}

std::string MiB(size_t bytes) { return std::to_string(bytes / (1024 * 1024)); }

// True when an Accept-Encoding header value admits gzip.
bool AcceptsGzip(const char* header) {
  if (header == nullptr) return false;
  std::string value = header;
  for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find(',', start);
    if (end == std::string::npos) end = value.size();
    std::string item = value.substr(start, end - start);
    std::string coding = item.substr(0, item.find(';'));
    coding.erase(0, coding.find_first_not_of(" \t"));
    coding.erase(coding.find_last_not_of(" \t") + 1);
    if (coding == "gzip" || coding == "x-gzip") {
      size_t q = item.find("q=");
      return q == std::string::npos || std::strtod(item.c_str() + q + 2, nullptr) > 0;
    }
    start = end + 1;
  }
  return false;
}

// Extra header lines of an answer.
struct Extra {
  const char* name = nullptr;
  const char* value = nullptr;
  bool close = false;  // "Connection: close": the connection ends with this answer
};

}  // namespace

struct RpcServer::Engine {
  using Connection = ConnectionDeadlines::Connection;
  using Clock = ConnectionDeadlines::Clock;

  // One HTTP request from its headers to its answer.
  struct Request {
    MHD_Connection* connection = nullptr;
    Connection* tracked = nullptr;
    std::string module;  // the path without its "/"
    std::string client;
    bool post = false;
    bool gzip = false;
    bool accept_gzip = false;
    bool answered = false;  // a response is queued (or the connection is being dropped)
    bool read = false;      // call holds the body, read on the event loop
    Caller caller;          // who the request's key let in
    bool submitted = false;
    bool done = false;      // the worker has put the reply here
    // Waiting for memory: suspended until the budget calls back.
    bool waiting = false;
    std::atomic<int> room{0};  // 1: granted, -1: the wait timed out
    size_t memory = 0;         // taken from the budget, given back when the request ends
    size_t declared = 0;       // the Content-Length, 0 when none
    size_t allowance = 0;      // the body bytes the memory taken covers
    bool drain = false;        // no room for the rest of the body: read and drop it, then 503
    Clock::time_point started;
    std::string body;
    RpcCall call;
    RpcReply reply;
  };

  explicit Engine(RpcServer& server)
      : owner(server),
        own_access(nullptr, server.options_.token),
        budget(server.options_.max_memory) {}

  RpcServer& owner;
  AccessControl own_access;  // when the options give none
  ListenSocket socket;
  MHD_Daemon* daemon = nullptr;
  WorkerPool pool;
  ConnectionDeadlines deadlines;
  GuessLimit guesses;
  MemoryBudget budget;

  std::mutex run_mutex;
  std::condition_variable run_changed;
  bool stop_requested = false;
  std::atomic<bool> running{false};

  const ServerOptions& Options() const { return owner.options_; }
  AccessControl& Access() { return Options().access ? *Options().access : own_access; }
  std::chrono::seconds Timeout() const { return std::chrono::seconds(Options().timeout_seconds); }

  void Log(const std::string& line) const {
    if (Options().log) Options().log(line);
  }

  // --- answers -------------------------------------------------------------

  static MHD_Result Queue(MHD_Connection* connection, int status, const std::string& body,
                          const char* content_type, bool gzip = false, Extra extra = {}) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    if (!body.empty() || status != 204)
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
    if (gzip) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
    if (extra.name != nullptr) MHD_add_response_header(response, extra.name, extra.value);
    if (extra.close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result result = MHD_queue_response(connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    return result;
  }

  MHD_Result Refuse(Request& request, int status, int code, const std::string& message,
                    const std::string& what, Extra extra = {}, bool log = true) {
    if (log)
      Log("kvr61400-server: " + request.client + " " + LogText(what, 200) + ": " +
          LogText(message, 300));
    request.answered = true;
    return Queue(request.connection, status, ErrorBody(code, message), "application/json", false,
                 extra);
  }

  // Answers a body that came too slowly, from the watcher: the event loop
  // cannot queue an answer in the middle of a body, so it is written to the
  // socket directly (nothing else is being written to it while a body
  // comes); the watcher then shuts the socket down.
  void AnswerSlowBody(int fd, const std::string& label) {
    const std::string body = ErrorBody(
        kInvalidRequestError,
        "Requisição encerrada: o corpo chegou a menos de 64 KiB/s; confira a rede e envie de "
        "novo.");
    const std::string answer =
        "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Type: application/json\r\n"
        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    (void)send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    Log("kvr61400-server: " + label +
        ": corpo a menos de 64 KiB/s; conexão encerrada (408).");
  }

  // --- the request, from its headers to its answer ---------------------------

  MHD_Result Begin(Request& request, const char* url, const char* http_method,
                   const char* version) {
    MHD_Connection* connection = request.connection;
    const MHD_ConnectionInfo* address =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    request.client = address != nullptr ? AddressText(address->client_addr, sizeof(sockaddr_in6))
                                        : std::string("?");
    request.tracked = ConnectionOf(connection);
    request.started = Clock::now();
    deadlines.BeginRequest(request.tracked, ConnectionDeadlines::kNever);
    const std::string path = url != nullptr ? url : "";
    const std::string method = http_method != nullptr ? http_method : "";
    const std::string what = method + " " + path;

    // A head whose body cannot be delimited without doubt is refused before
    // anything else, and its connection closed: what follows it on the
    // connection is not to be read as another request.
    const FramingFault framing = CheckFraming(connection, version);
    if (framing.status != 0)
      return Refuse(request, framing.status, kInvalidRequestError, framing.message, what,
                    Extra{nullptr, nullptr, true});

    // A blocked address is refused before its key is looked up (and the
    // refusal written to the trail), even with a good key; each key refused
    // counts toward the block. A database that cannot be asked (503) is no
    // guess.
    const std::string from = request.client.substr(0, request.client.rfind(':'));
    if (guesses.Blocked(from))
      // Logged once, when the block began.
      return Refuse(request, 429, kUnauthorized,
                    "Muitos segredos errados a partir de " + from +
                        "; tente de novo em 60 segundos.",
                    what, Extra{"Retry-After", "60"}, false);
    const AccessDecision access = Access().Check(
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION),
        request.client);
    if (!access.allowed) {
      if (access.status == 401 && guesses.Judge(from, false) == GuessLimit::Verdict::kNowBlocked)
        Log("kvr61400-server: " + from + " bloqueado por 60 segundos: " +
            std::to_string(GuessLimit::kMaxRefusals) + " segredos errados em 60 segundos.");
      return Refuse(request, access.status, kUnauthorized, access.message,
                    what + " " + access.note,
                    access.status == 401
                        ? Extra{MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer realm=\"kvr61400\""}
                        : Extra{});
    }
    request.caller = access.caller;

    if (method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD) {
      request.answered = true;
      if (path == "/")
        return Queue(connection, 200,
                     std::string("kvr61400-server: ") + ImportModule::kName + "\n", "text/plain");
      return Refuse(request, 404, kInvalidRequestError,
                    "Caminho \"" + CutText(path, 100) + "\" desconhecido; as chamadas vão para /" +
                        ImportModule::kName + ".",
                    what);
    }
    if (method != MHD_HTTP_METHOD_POST)
      return Refuse(request, 405, kInvalidRequestError,
                    "Método HTTP " + CutText(method, 20) + " não aceito; as chamadas são POST /" +
                        ImportModule::kName + ".",
                    what);
    if (path.empty() || path[0] != '/' || path.find('/', 1) != std::string::npos)
      return Refuse(request, 404, kInvalidRequestError,
                    "Caminho \"" + CutText(path, 100) + "\" desconhecido; as chamadas vão para /" +
                        ImportModule::kName + ".",
                    what);
    request.post = true;
    request.module = path.substr(1);

    const char* encoding =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_ENCODING);
    if (encoding != nullptr && *encoding != '\0') {
      if (strcasecmp(encoding, "gzip") == 0 || strcasecmp(encoding, "x-gzip") == 0)
        request.gzip = true;
      else if (strcasecmp(encoding, "identity") != 0)
        return Refuse(request, 415, kInvalidRequestError,
                      "Codificação de conteúdo \"" + CutText(encoding, 40) +
                          "\" não aceita; envie o corpo sem codificação ou em gzip.",
                      what);
    }
    request.accept_gzip = AcceptsGzip(
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING));

    // A declared body over the limit is refused before any of it is read.
    size_t declared = 0;
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length != nullptr) {
      errno = 0;
      char* end = nullptr;
      const unsigned long long value = std::strtoull(length, &end, 10);
      if (errno != 0 || value > Options().max_body)
        return Refuse(request, 413, kInvalidRequestError, TooLarge(), what);
      declared = static_cast<size_t>(value);
    }
    // The body and the rows it becomes must fit in the memory budget: a
    // gzip body takes the room for its rows as it inflates, a body of
    // unknown length a first piece, and more as it comes.
    request.declared = declared;
    request.allowance = length != nullptr ? declared : std::min(kChunkedStart, Options().max_body);
    const size_t share = Share(request, request.allowance);
    if (share > budget.Total())
      return Refuse(request, 503, kInternalError, NoMemory(budget.Total()), what);
    Request* waiting = &request;
    const bool taken = budget.TakeOrWait(
        share, request.started + Timeout(),
        [this, waiting] {
          waiting->waiting = true;
          MHD_suspend_connection(waiting->connection);
        },
        [waiting](bool granted) {
          waiting->room = granted ? 1 : -1;
          MHD_resume_connection(waiting->connection);
        });
    request.memory = share;
    if (taken) return Admitted(request);
    return MHD_YES;
  }

  // The memory the body bytes of request and their rows take.
  static size_t Share(const Request& request, size_t body) {
    return request.gzip ? body : body * (1 + kRowsPerBodyByte);
  }

  // The request has its memory: its body may come.
  MHD_Result Admitted(Request& request) {
    request.waiting = false;
    request.body.reserve(request.declared);
    const size_t body = request.declared > 0 ? request.declared : Options().max_body;
    // Besides the floor over every window, the whole body must come at that
    // rate on average once the timeout has passed.
    deadlines.BeginBody(request.tracked, request.client + " POST /" + LogText(request.module, 100),
                        Clock::now() + Timeout() +
                            std::chrono::seconds(body / ConnectionDeadlines::kMinBodyRate));
    return MHD_YES;
  }

  // Called again once the budget answered a request that waited for memory.
  MHD_Result Resumed(Request& request) {
    if (request.room.load() > 0) return Admitted(request);
    request.waiting = false;
    request.memory = 0;  // never taken
    return Refuse(request, 503, kInternalError, NoMemory(budget.Total()),
                  "POST /" + request.module + " (sem memória)");
  }

  std::string TooLarge() const {
    return "Requisição recusada: o corpo passa do limite de " + MiB(Options().max_body) + " MiB.";
  }

  MHD_Result Receive(Request& request, const char* data, size_t size) {
    ConnectionDeadlines::Received(request.tracked, size);
    if (request.drain) return MHD_YES;
    if (request.body.size() + size > Options().max_body) {
      // A body without a declared length that grows past the limit: there
      // is no answering in the middle of an upload, so the connection goes.
      Log("kvr61400-server: " + request.client + " POST /" + LogText(request.module, 100) + ": " +
          TooLarge() + " (conexão encerrada)");
      request.answered = true;
      return MHD_NO;
    }
    if (request.body.size() + size > request.allowance) {
      // A body of unknown length grows: more room, without waiting (the
      // event loop cannot wait, nor answer in the middle of a body). With
      // none, the rest is read and dropped and the answer is 503.
      const size_t grow = std::min(std::max(request.allowance, size),
                                   Options().max_body - request.allowance);
      if (request.body.size() + size <= request.allowance + grow &&
          budget.TryTake(Share(request, grow))) {
        request.memory += Share(request, grow);
        request.allowance += grow;
      } else {
        request.drain = true;
        std::string().swap(request.body);
        return MHD_YES;
      }
    }
    request.body.append(data, size);
    return MHD_YES;
  }

  BodyLimits Limits(Request& request) {
    BodyLimits limits;
    limits.max_inflated = Options().max_inflated;
    if (request.gzip)
      limits.grow = [this, &request](size_t bytes) {
        const size_t rows = bytes * kRowsPerBodyByte;
        if (!budget.Take(rows, request.started + Timeout())) return false;
        request.memory += rows;
        return true;
      };
    return limits;
  }

  MHD_Result Submit(Request& request) {
    deadlines.EndBody(request.tracked);
    if (request.drain)
      return Refuse(request, 503, kInternalError, NoMemory(budget.Total()),
                    "POST /" + request.module + " (sem memória)");
    // A small plain body is read here, once: a quick call (a look-up that
    // answers at once) costs less than handing it to a worker and back.
    if (Options().quick_calls && !request.gzip && request.body.size() <= kQuickBody &&
        request.module == ImportModule::kName) {
      request.call = ReadRpcCall(request.body, false, Limits(request));
      request.call.caller = request.caller;
      request.read = true;
      if (ImportModule::IsQuick(request.call.method)) {
        request.reply = AnswerRpcCall(owner.module_, request.module, request.call, Options().log);
        return Answer(request);
      }
    }
    const bool queued = pool.Submit([this, &request](bool cancelled) { Work(request, cancelled); },
                                    [this, &request] {
                                      deadlines.Set(request.tracked, ConnectionDeadlines::kNever);
                                      MHD_suspend_connection(request.connection);
                                      request.submitted = true;
                                    });
    if (queued) return MHD_YES;
    request.answered = true;
    return Queue(request.connection, 503, ErrorBody(kInternalError, kStopping), "application/json");
  }

  MHD_Result Answer(Request& request) {
    request.answered = true;
    RpcReply& reply = request.reply;
    if (reply.status == 204) return Queue(request.connection, 204, "", "application/json");
    if (request.accept_gzip && reply.body.size() > kGzipReplyAbove)
      return Queue(request.connection, reply.status, GzipCompress(reply.body), "application/json",
                   true);
    return Queue(request.connection, reply.status, reply.body, "application/json");
  }

  // Runs on a worker while the request's connection is suspended.
  void Work(Request& request, bool cancelled) {
    const size_t size = request.body.size();
    if (cancelled)
      request.reply = {503, ErrorBody(kInternalError, kStopping)};
    else if (request.read)
      request.reply = AnswerRpcCall(owner.module_, request.module, request.call, Options().log);
    else {
      RpcCall call = ReadRpcCall(request.body, request.gzip, Limits(request));
      call.caller = request.caller;
      request.reply = AnswerRpcCall(owner.module_, request.module, call, Options().log);
    }
    std::string().swap(request.body);
    request.call = RpcCall();
    // Give the pages of a large call back before answering, so that a
    // client that sends the next statement finds them returned.
    if (size > kTrimAfter) malloc_trim(0);
    // The rows are gone: their room goes to the requests that wait for it.
    budget.Give(std::exchange(request.memory, 0));
    request.done = true;
    // From here on the request belongs to the event loop again.
    MHD_resume_connection(request.connection);
  }

  Connection* ConnectionOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<Connection*>(info->socket_context) : nullptr;
  }

  // --- libmicrohttpd callbacks -----------------------------------------------

  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char* version, const char* upload_data,
                              size_t* upload_size, void** context) {
    Engine& engine = *static_cast<Engine*>(cls);
    auto* request = static_cast<Request*>(*context);
    if (request == nullptr) {
      request = new Request;
      request->connection = connection;
      *context = request;
      return engine.Begin(*request, url, method, version);
    }
    if (request->waiting) return engine.Resumed(*request);
    if (*upload_size > 0) {
      const size_t size = *upload_size;
      *upload_size = 0;
      if (request->answered) return MHD_YES;
      return engine.Receive(*request, upload_data, size);
    }
    if (request->answered) return MHD_YES;
    if (!request->post) return MHD_NO;
    if (!request->submitted) return engine.Submit(*request);
    if (request->done) return engine.Answer(*request);
    return MHD_YES;
  }

  static void OnCompleted(void* cls, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode) {
    Engine& engine = *static_cast<Engine*>(cls);
    auto* request = static_cast<Request*>(*context);
    if (request != nullptr && request->memory > 0) engine.budget.Give(request->memory);
    delete request;
    *context = nullptr;
    // The next request's head is due within the timeout.
    engine.deadlines.EndRequest(engine.ConnectionOf(connection), Clock::now() + engine.Timeout());
  }

  static void OnConnection(void* cls, MHD_Connection* connection, void** socket_context,
                           MHD_ConnectionNotificationCode code) {
    Engine& engine = *static_cast<Engine*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      *socket_context = engine.deadlines.Follow(info != nullptr ? info->connect_fd : -1,
                                                Clock::now() + engine.Timeout());
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      engine.deadlines.Forget(static_cast<Connection*>(*socket_context));
      *socket_context = nullptr;
    }
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
  const unsigned loops = static_cast<unsigned>(options_.http_threads > 0 ? options_.http_threads : 1);
  const unsigned limit = static_cast<unsigned>(
      options_.max_connections > static_cast<int>(loops) ? options_.max_connections : loops);
  e.deadlines.Configure(limit, std::chrono::seconds(options_.timeout_seconds),
                        [&e](int fd, const std::string& label) { e.AnswerSlowBody(fd, label); });
  // The workers take calls from the first connection on.
  e.pool.Start(options_.threads);
  // poll, not epoll: the epoll loop of libmicrohttpd 0.9.75 drains ready
  // events 128 at a time and, after a full batch, waits again with the whole
  // connection timeout before handling what it drained; with more than 128
  // requests arriving at once, a batch of them sat unanswered until the
  // timeout closed their connections.
  // libmicrohttpd splits its connection limit among the loops, and which loop
  // takes a connection is chance: each may hold them all. The limit proper
  // is kept by the deadlines, which make room by closing the idle; no limit
  // per address either, as every local client shares 127.0.0.1.
  // HTTPS: the certificate comes from the callback, so a renewed one is
  // served without restarting the engine.
  MHD_OptionItem tls[] = {
      {MHD_OPTION_HTTPS_CERT_CALLBACK, 0, TlsCredentials::CertificateCallback()},
      {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(TlsCredentials::Priorities())},
      {MHD_OPTION_END, 0, nullptr}};
  if (options_.tls == nullptr) tls[0] = {MHD_OPTION_END, 0, nullptr};
  e.daemon = MHD_start_daemon(
      MHD_USE_POLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME |
          (options_.tls != nullptr ? MHD_USE_TLS : 0),
      0, nullptr, nullptr,
      &Engine::OnRequest, &e, MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(e.socket.Fd()),
      MHD_OPTION_THREAD_POOL_SIZE, loops, MHD_OPTION_CONNECTION_LIMIT,
      (limit + kAdmitting) * loops, MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(options_.timeout_seconds), MHD_OPTION_NOTIFY_COMPLETED,
      &Engine::OnCompleted, &e, MHD_OPTION_NOTIFY_CONNECTION, &Engine::OnConnection, &e,
      MHD_OPTION_ARRAY, tls, MHD_OPTION_END);
  if (e.daemon == nullptr) {
    e.pool.Stop();
    return false;
  }
  // The engine closes the listening socket when it stops.
  e.socket.Release();
  e.deadlines.Start([&e] { e.budget.Expire(Engine::Clock::now()); });
  e.running = true;
  {
    std::unique_lock<std::mutex> lock(e.run_mutex);
    e.run_changed.wait(lock, [&e] { return e.stop_requested; });
  }
  // Calls under way finish and resume their connections; calls still
  // waiting are answered 503. Only then may the engine stop: it must not
  // stop with a connection suspended.
  e.pool.Stop();
  e.deadlines.Stop();
  e.budget.Expire(Engine::Clock::time_point::max());
  MHD_stop_daemon(e.daemon);
  e.daemon = nullptr;
  e.running = false;
  return true;
}

bool RpcServer::IsRunning() const { return engine_->running; }

void RpcServer::Stop() {
  std::lock_guard<std::mutex> lock(engine_->run_mutex);
  engine_->stop_requested = true;
  engine_->run_changed.notify_all();
}

}  // namespace kvr::server
