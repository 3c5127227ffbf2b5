#include "rpc_server.h"

#include <malloc.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "body_stream.h"
#include "connection_deadlines.h"
#include "log_text.h"
#include "worker_pool.h"

// The HTTP engine: libmicrohttpd with epoll event loops. A request's headers
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
// A body must keep coming at this rate once the connection's timeout has
// passed.
constexpr size_t kMinBodyRate = 64 * 1024;

// The answer to a call the server will not carry out because it is stopping.
const char* const kStopping = "O servidor está encerrando; tente de novo.";

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

}  // namespace

struct RpcServer::Engine {
  using Connection = ConnectionDeadlines::Connection;

  // One HTTP request from its headers to its answer.
  struct Request {
    MHD_Connection* connection = nullptr;
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
    std::string body;
    RpcCall call;
    RpcReply reply;
  };

  explicit Engine(RpcServer& server)
      : owner(server), own_access(nullptr, server.options_.token) {}

  RpcServer& owner;
  AccessControl own_access;  // when the options give none
  ListenSocket socket;
  MHD_Daemon* daemon = nullptr;
  WorkerPool pool;
  ConnectionDeadlines deadlines;

  std::mutex run_mutex;
  std::condition_variable run_changed;
  bool stop_requested = false;
  std::atomic<bool> running{false};

  const ServerOptions& Options() const { return owner.options_; }
  AccessControl& Access() { return Options().access ? *Options().access : own_access; }
  std::chrono::seconds Timeout() const { return std::chrono::seconds(Options().timeout_seconds); }

  BodyLimits Limits() const {
    BodyLimits limits;
    limits.max_inflated = Options().max_inflated;
    return limits;
  }

  void Log(const std::string& line) const {
    if (Options().log) Options().log(line);
  }

  // --- answers -------------------------------------------------------------

  static MHD_Result Queue(MHD_Connection* connection, int status, const std::string& body,
                          const char* content_type, bool gzip = false,
                          const char* authenticate = nullptr) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    if (!body.empty() || status != 204)
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
    if (gzip) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
    if (authenticate != nullptr)
      MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, authenticate);
    const MHD_Result result = MHD_queue_response(connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    return result;
  }

  MHD_Result Refuse(Request& request, int status, int code, const std::string& message,
                    const std::string& what, const char* authenticate = nullptr) {
    Log("kvr61400-server: " + request.client + " " + LogText(what, 200) + ": " +
        LogText(message, 300));
    request.answered = true;
    return Queue(request.connection, status, ErrorBody(code, message), "application/json", false,
                 authenticate);
  }

  // --- the request, from its headers to its answer ---------------------------

  MHD_Result Begin(Request& request, const char* url, const char* http_method) {
    MHD_Connection* connection = request.connection;
    const MHD_ConnectionInfo* address =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    request.client = address != nullptr ? AddressText(address->client_addr, sizeof(sockaddr_in6))
                                        : std::string("?");
    const std::string path = url != nullptr ? url : "";
    const std::string method = http_method != nullptr ? http_method : "";
    const std::string what = method + " " + path;

    const AccessDecision access = Access().Check(
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION),
        request.client);
    if (!access.allowed)
      return Refuse(request, access.status, kUnauthorized, access.message, what + " " + access.note,
                    access.status == 401 ? "Bearer realm=\"kvr61400\"" : nullptr);
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
    if (const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                         MHD_HTTP_HEADER_CONTENT_LENGTH)) {
      errno = 0;
      char* end = nullptr;
      const unsigned long long value = std::strtoull(length, &end, 10);
      if (errno != 0 || value > Options().max_body)
        return Refuse(request, 413, kInvalidRequestError, TooLarge(), what);
      declared = static_cast<size_t>(value);
      request.body.reserve(declared);
    }
    // The body must keep coming at kMinBodyRate once the timeout has passed.
    const size_t bytes = declared > 0 ? declared : Options().max_body;
    deadlines.Set(ConnectionOf(connection), ConnectionDeadlines::Clock::now() + Timeout() +
                                                std::chrono::seconds(bytes / kMinBodyRate));
    return MHD_YES;
  }

  std::string TooLarge() const {
    return "Requisição recusada: o corpo passa do limite de " + MiB(Options().max_body) + " MiB.";
  }

  MHD_Result Receive(Request& request, const char* data, size_t size) {
    if (request.body.size() + size > Options().max_body) {
      // A body without a declared length that grows past the limit: there
      // is no answering in the middle of an upload, so the connection goes.
      Log("kvr61400-server: " + request.client + " POST /" + LogText(request.module, 100) + ": " +
          TooLarge() + " (conexão encerrada)");
      request.answered = true;
      return MHD_NO;
    }
    request.body.append(data, size);
    return MHD_YES;
  }

  MHD_Result Submit(Request& request) {
    // A small plain body is read here, once: a quick call (a look-up that
    // answers at once) costs less than handing it to a worker and back.
    if (Options().quick_calls && !request.gzip && request.body.size() <= kQuickBody &&
        request.module == ImportModule::kName) {
      request.call = ReadRpcCall(request.body, false, Limits());
      request.call.caller = request.caller;
      request.read = true;
      if (ImportModule::IsQuick(request.call.method)) {
        request.reply = AnswerRpcCall(owner.module_, request.module, request.call, Options().log);
        return Answer(request);
      }
    }
    const bool queued = pool.Submit([this, &request](bool cancelled) { Work(request, cancelled); },
                                    [this, &request] {
                                      deadlines.Set(ConnectionOf(request.connection),
                                                    ConnectionDeadlines::kNever);
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
      RpcCall call = ReadRpcCall(request.body, request.gzip, Limits());
      call.caller = request.caller;
      request.reply = AnswerRpcCall(owner.module_, request.module, call, Options().log);
    }
    std::string().swap(request.body);
    request.call = RpcCall();
    // Give the pages of a large call back before answering, so that a
    // client that sends the next statement finds them returned.
    if (size > kTrimAfter) malloc_trim(0);
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
                              const char* method, const char*, const char* upload_data,
                              size_t* upload_size, void** context) {
    Engine& engine = *static_cast<Engine*>(cls);
    auto* request = static_cast<Request*>(*context);
    if (request == nullptr) {
      request = new Request;
      request->connection = connection;
      *context = request;
      return engine.Begin(*request, url, method);
    }
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
    delete static_cast<Request*>(*context);
    *context = nullptr;
    // The next request's headers are due within the timeout.
    engine.deadlines.Set(engine.ConnectionOf(connection),
                         ConnectionDeadlines::Clock::now() + engine.Timeout());
  }

  static void OnConnection(void* cls, MHD_Connection* connection, void** socket_context,
                           MHD_ConnectionNotificationCode code) {
    Engine& engine = *static_cast<Engine*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      *socket_context = engine.deadlines.Follow(
          info != nullptr ? info->connect_fd : -1,
          ConnectionDeadlines::Clock::now() + engine.Timeout());
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
  const unsigned per_address = static_cast<unsigned>(
      options_.max_connections_per_address > 0 ? options_.max_connections_per_address : limit);
  // The workers take calls from the first connection on.
  e.pool.Start(options_.threads);
  // HTTPS: the certificate comes from the callback, so a renewed one is
  // served without restarting the engine.
  MHD_OptionItem tls[] = {
      {MHD_OPTION_HTTPS_CERT_CALLBACK, 0, TlsCredentials::CertificateCallback()},
      {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(TlsCredentials::Priorities())},
      {MHD_OPTION_END, 0, nullptr}};
  if (options_.tls == nullptr) tls[0] = {MHD_OPTION_END, 0, nullptr};
  e.daemon = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME |
          (options_.tls != nullptr ? MHD_USE_TLS : 0),
      0, nullptr, nullptr,
      &Engine::OnRequest, &e, MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(e.socket.Fd()),
      MHD_OPTION_THREAD_POOL_SIZE, loops, MHD_OPTION_CONNECTION_LIMIT, limit,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, per_address, MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(options_.timeout_seconds), MHD_OPTION_NOTIFY_COMPLETED,
      &Engine::OnCompleted, &e, MHD_OPTION_NOTIFY_CONNECTION, &Engine::OnConnection, &e,
      MHD_OPTION_ARRAY, tls, MHD_OPTION_END);
  if (e.daemon == nullptr) {
    e.pool.Stop();
    return false;
  }
  // The engine closes the listening socket when it stops.
  e.socket.Release();
  e.deadlines.Start();
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
