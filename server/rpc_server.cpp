#include "rpc_server.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "body_stream.h"
#include "log_text.h"
#include "request_parser.h"

namespace kvr::server {

namespace {

using Clock = std::chrono::steady_clock;

// Bodies above this are followed by malloc_trim: their rows were spread over
// the heap of a worker thread, and glibc would keep those pages for it.
constexpr size_t kTrimAfter = 256 * 1024;
// Replies above this go out gzip when the client accepts it.
constexpr size_t kGzipReplyAbove = 64 * 1024;
// Plain bodies up to this size may be quick calls.
constexpr size_t kQuickBody = 8 * 1024;
// A body must keep coming at this rate once the connection's timeout has
// passed.
constexpr size_t kMinBodyRate = 64 * 1024;

nlohmann::json ErrorResponse(const nlohmann::json& id, int code, const std::string& message) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

std::string Dump(const nlohmann::json& value) {
  // Texts of the store came from valid UTF-8, but never let a stray byte turn
  // an answer into an exception.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ErrorBody(int code, const std::string& message) {
  return Dump(ErrorResponse(nullptr, code, message));
}

std::string MiB(size_t bytes) { return std::to_string(bytes / (1024 * 1024)); }

std::string FormatLog(const std::string& method, const CallInfo& info, double millis) {
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.1f", millis);
  std::string line = "kvr61400-server: " + (method.empty() ? std::string("?") : LogText(method, 64));
  line += " conta=" + (info.account.empty() ? std::string("-") : LogText(info.account, 40));
  line += " linhas=" + (info.rows < 0 ? std::string("-") : std::to_string(info.rows));
  line += " " + LogText(info.outcome, 300) + " " + elapsed + " ms";
  return line;
}

// "127.0.0.1:5000" or "[::1]:5000" for a socket address.
std::string AddressText(const sockaddr* address, socklen_t length) {
  if (address == nullptr) return "?";
  char host[NI_MAXHOST], port[NI_MAXSERV];
  if (getnameinfo(address, length, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "?";
  if (address->sa_family == AF_INET6) return std::string("[") + host + "]:" + port;
  return std::string(host) + ":" + port;
}

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

// Compares a client's secret with ours in time that depends only on the
// length of ours.
bool SameSecret(const std::string& given, const std::string& secret) {
  unsigned char difference = given.size() == secret.size() ? 0 : 1;
  for (size_t i = 0; i < secret.size(); ++i)
    difference |= static_cast<unsigned char>((i < given.size() ? given[i] : 0) ^ secret[i]);
  return difference == 0;
}

}  // namespace

RpcReply AnswerRpc(ImportModule& module, const std::string& module_name, const std::string& body,
                   bool gzip, const BodyLimits& limits,
                   const std::function<void(const std::string&)>& log) {
  const auto start = Clock::now();
  nlohmann::json id = nullptr;
  bool notification = false;
  std::string method;
  CallInfo info;
  nlohmann::json response;
  int status = 200;
  try {
    ParsedRequest request;
    try {
      BodyStreamBuf source(body, gzip, limits.max_inflated);
      request = ParseRequest(source, &ImportModule::PacketReaderFor);
    } catch (const BodyError& error) {
      if (error.Fault() == BodyFault::kNulByte) throw RpcError(kParseError, error.what());
      status = error.Fault() == BodyFault::kNotGzip ? 400 : 413;
      throw RpcError(kInvalidRequestError, error.what());
    }
    if (!request.parse_error.empty()) throw RpcError(kParseError, request.parse_error);
    if (!request.is_object && request.invalid.empty())
      throw RpcError(kInvalidRequestError,
                     "A requisição deve ser um objeto JSON-RPC 2.0 (lotes não são aceitos).");
    if (request.has_id && request.id_valid) id = request.id;
    if (!request.invalid.empty()) throw RpcError(kInvalidRequestError, request.invalid);
    if (!request.id_valid)
      throw RpcError(kInvalidRequestError,
                     "O id da requisição deve ser um texto de até 256 caracteres, um número ou "
                     "nulo.");
    if (!request.has_version)
      throw RpcError(kInvalidRequestError, "A requisição deve declarar \"jsonrpc\": \"2.0\".");
    if (!request.has_method)
      throw RpcError(kInvalidRequestError, "A requisição não informa o método.");
    method = std::move(request.method);
    // A call without an id is a notification: carried out, never answered.
    notification = !request.has_id;
    if (request.params_form == ParsedRequest::Params::kOther)
      throw RpcError(kInvalidParams, "Os parâmetros de " + CutText(method, 60) +
                                         " devem ser posicionais (uma lista).");
    if (module_name != ImportModule::kName)
      throw RpcError(kMethodNotFound,
                     "Módulo remoto \"" + CutText(module_name, 60) + "\" desconhecido.");
    nlohmann::json result = module.Call(method, request.params, info);
    response = {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
  } catch (const RpcError& error) {
    info.outcome = std::string("erro: ") + error.what();
    response = ErrorResponse(id, error.Code(), error.what());
  } catch (const std::exception& error) {
    info.outcome = std::string("erro: ") + error.what();
    response = ErrorResponse(id, kInternalError, error.what());
  }
  if (log) {
    const double millis = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    log(FormatLog(method, info, millis));
  }
  if (notification) return {204, ""};
  return {status, Dump(response)};
}

bool IsLoopbackHost(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string name = host.size() > 1 && host.front() == '[' && host.back() == ']'
                               ? host.substr(1, host.size() - 2)
                               : host;
  if (getaddrinfo(name.empty() ? nullptr : name.c_str(), "0", &hints, &found) != 0) return false;
  bool loopback = found != nullptr;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      loopback = loopback && (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    } else if (a->ai_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
      const in6_addr& address = v6->sin6_addr;
      const bool mapped_loopback = IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
      loopback = loopback && (IN6_IS_ADDR_LOOPBACK(&address) || mapped_loopback);
    } else {
      loopback = false;
    }
  }
  freeaddrinfo(found);
  return loopback;
}

// ---------------------------------------------------------------------------
// The HTTP engine: libmicrohttpd with epoll event loops. A request's headers
// and body are gathered by the event loop; the call itself is handed to a
// worker of a bounded pool while its connection is suspended, so a slow
// client or a long store never keeps the loop from serving the others.

struct RpcServer::Engine {
  // A connection as the deadline watcher sees it.
  struct Tracked {
    enum Phase { kHeaders, kBody, kCall } phase = kHeaders;
    int fd = -1;
    Clock::time_point deadline;
  };

  // One HTTP request from its headers to its answer.
  struct Request {
    MHD_Connection* connection = nullptr;
    std::string module;  // the path without its "/"
    std::string client;
    bool post = false;
    bool gzip = false;
    bool accept_gzip = false;
    bool answered = false;  // a response is queued (or the connection is being dropped)
    bool submitted = false;
    bool done = false;      // the worker has put the reply here
    std::string body;
    RpcReply reply;
  };

  Engine(RpcServer& server) : owner(server) {}

  RpcServer& owner;
  int listen_fd = -1;
  std::string host_text;
  int port = 0;
  MHD_Daemon* daemon = nullptr;

  std::mutex pool_mutex;
  std::condition_variable pool_changed;
  std::deque<Request*> queue;
  bool stopping = false;
  std::vector<std::thread> workers;

  std::mutex run_mutex;
  std::condition_variable run_changed;
  bool stop_requested = false;
  std::atomic<bool> running{false};

  std::mutex track_mutex;
  std::unordered_set<Tracked*> tracked;
  std::thread watcher;

  const ServerOptions& Options() const { return owner.options_; }

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

    if (!Options().token.empty()) {
      const char* authorization =
          MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
      const std::string given = authorization != nullptr ? authorization : "";
      const bool bearer = given.size() > 7 && strncasecmp(given.c_str(), "Bearer ", 7) == 0;
      if (!bearer || !SameSecret(given.substr(7), Options().token))
        return Refuse(request, 401, kUnauthorized,
                      bearer ? "Acesso negado: o segredo informado não confere com o do servidor."
                             : "Acesso negado: o servidor exige o segredo compartilhado "
                               "(cabeçalho Authorization: Bearer).",
                      what + (bearer ? " (segredo errado)" : " (sem segredo)"),
                      "Bearer realm=\"kvr61400\"");
    }

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
    SetPhase(connection, Tracked::kBody, declared);
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

  // A small plain call of a quick method (a look-up that answers at once):
  // handing it to a worker and back would cost more than the call itself.
  bool IsQuick(const Request& request) const {
    if (!Options().quick_calls || request.gzip || request.body.size() > kQuickBody ||
        request.module != ImportModule::kName)
      return false;
    try {
      BodyStreamBuf source(request.body, false, kQuickBody);
      ParsedRequest parsed = ParseRequest(source, &ImportModule::PacketReaderFor);
      return parsed.has_method && ImportModule::IsQuick(parsed.method);
    } catch (const BodyError&) {
      return false;
    }
  }

  MHD_Result Submit(Request& request) {
    if (IsQuick(request)) {
      BodyLimits limits;
      limits.max_inflated = Options().max_inflated;
      request.reply = AnswerRpc(owner.module_, request.module, request.body, false, limits,
                                Options().log);
      return Answer(request);
    }
    std::unique_lock<std::mutex> lock(pool_mutex);
    if (stopping) {
      lock.unlock();
      request.answered = true;
      return Queue(request.connection, 503,
                   ErrorBody(kInternalError, "O servidor está encerrando; tente de novo."),
                   "application/json");
    }
    SetPhase(request.connection, Tracked::kCall, 0);
    MHD_suspend_connection(request.connection);
    request.submitted = true;
    queue.push_back(&request);
    pool_changed.notify_one();
    return MHD_YES;
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

  void Work() {
    for (;;) {
      std::unique_lock<std::mutex> lock(pool_mutex);
      pool_changed.wait(lock, [this] { return stopping || !queue.empty(); });
      if (queue.empty()) return;
      Request* request = queue.front();
      queue.pop_front();
      const bool cancelled = stopping;
      lock.unlock();
      const size_t size = request->body.size();
      if (cancelled) {
        request->reply = {503, ErrorBody(kInternalError, "O servidor está encerrando; tente de novo.")};
      } else {
        BodyLimits limits;
        limits.max_inflated = Options().max_inflated;
        request->reply =
            AnswerRpc(owner.module_, request->module, request->body, request->gzip, limits,
                      Options().log);
      }
      std::string().swap(request->body);
      // Give the pages of a large call back before answering, so that a
      // client that sends the next statement finds them returned.
      if (size > kTrimAfter) malloc_trim(0);
      request->done = true;
      MHD_Connection* connection = request->connection;
      // From here on the request belongs to the event loop again.
      MHD_resume_connection(connection);
    }
  }

  // --- deadlines -------------------------------------------------------------

  Tracked* TrackedOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<Tracked*>(info->socket_context) : nullptr;
  }

  void SetPhase(MHD_Connection* connection, Tracked::Phase phase, size_t body_bytes) {
    Tracked* t = TrackedOf(connection);
    if (t == nullptr) return;
    std::lock_guard<std::mutex> lock(track_mutex);
    t->phase = phase;
    const auto timeout = std::chrono::seconds(Options().timeout_seconds);
    if (phase == Tracked::kHeaders) {
      t->deadline = Clock::now() + timeout;
    } else if (phase == Tracked::kBody) {
      const size_t bytes = body_bytes > 0 ? body_bytes : Options().max_body;
      t->deadline = Clock::now() + timeout + std::chrono::seconds(bytes / kMinBodyRate);
    }
  }

  void Watch() {
    std::unique_lock<std::mutex> lock(run_mutex);
    while (!stop_requested) {
      run_changed.wait_for(lock, std::chrono::milliseconds(250));
      const auto now = Clock::now();
      std::lock_guard<std::mutex> track_lock(track_mutex);
      for (Tracked* t : tracked)
        // The event loop sees the connection end and closes it; the
        // CLOSED notice takes track_mutex first, so fd is still this one.
        if (t->phase != Tracked::kCall && now > t->deadline) shutdown(t->fd, SHUT_RDWR);
    }
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
    engine.SetPhase(connection, Tracked::kHeaders, 0);
  }

  static void OnConnection(void* cls, MHD_Connection* connection, void** socket_context,
                           MHD_ConnectionNotificationCode code) {
    Engine& engine = *static_cast<Engine*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* t = new Tracked;
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      t->fd = info != nullptr ? info->connect_fd : -1;
      t->deadline = Clock::now() + std::chrono::seconds(engine.Options().timeout_seconds);
      std::lock_guard<std::mutex> lock(engine.track_mutex);
      if (t->fd >= 0) engine.tracked.insert(t);
      *socket_context = t;
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      auto* t = static_cast<Tracked*>(*socket_context);
      std::lock_guard<std::mutex> lock(engine.track_mutex);
      engine.tracked.erase(t);
      delete t;
      *socket_context = nullptr;
    }
  }
};

RpcServer::RpcServer(ImportModule& module, ServerOptions options)
    : module_(module), options_(std::move(options)), engine_(std::make_unique<Engine>(*this)) {}

RpcServer::~RpcServer() {
  Stop();
  if (engine_->listen_fd >= 0) close(engine_->listen_fd);
}

std::string RpcServer::HostText() const { return engine_->host_text; }

int RpcServer::Bind() {
  const std::string& host = options_.host;
  const std::string name = host.size() > 1 && host.front() == '[' && host.back() == ']'
                               ? host.substr(1, host.size() - 2)
                               : host;
  const std::string shown = (name.find(':') != std::string::npos ? "[" + name + "]" : name) +
                            ":" + std::to_string(options_.port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port_text = std::to_string(options_.port);
  const int resolved =
      getaddrinfo(name.empty() ? nullptr : name.c_str(), port_text.c_str(), &hints, &found);
  if (resolved != 0 || found == nullptr)
    throw Exception("Não foi possível ouvir em " + shown + ": endereço \"" + name +
                    "\" desconhecido.");
  int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  if (fd < 0) {
    freeaddrinfo(found);
    throw Exception("Não foi possível ouvir em " + shown + ": " + std::strerror(errno) + ".");
  }
  // SO_REUSEADDR lets a restarted server take its port while old
  // connections linger in TIME_WAIT; on Linux it never lets two sockets
  // listen on one port (SO_REUSEPORT would, and is never set).
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (found->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  const int bound = bind(fd, found->ai_addr, found->ai_addrlen);
  const int bind_error = errno;
  freeaddrinfo(found);
  if (bound != 0) {
    close(fd);
    if (bind_error == EADDRINUSE)
      throw Exception("porta " + shown +
                      " já está em uso; encerre o outro servidor ou escolha outra porta com "
                      "--listen.");
    throw Exception("Não foi possível ouvir em " + shown + ": " + std::strerror(bind_error) + ".");
  }
  if (listen(fd, 4096) != 0) {
    const int listen_error = errno;
    close(fd);
    throw Exception("Não foi possível ouvir em " + shown + ": " + std::strerror(listen_error) +
                    ".");
  }
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  int port = options_.port;
  char numeric[NI_MAXHOST] = "";
  getnameinfo(reinterpret_cast<sockaddr*>(&address), length, numeric, sizeof numeric, nullptr, 0,
              NI_NUMERICHOST);
  if (address.ss_family == AF_INET6) {
    port = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    engine_->host_text = std::string("[") + numeric + "]";
  } else {
    port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    engine_->host_text = numeric;
  }
  if (engine_->listen_fd >= 0) close(engine_->listen_fd);
  engine_->listen_fd = fd;
  engine_->port = port;
  return port;
}

bool RpcServer::Run() {
  Engine& e = *engine_;
  {
    std::lock_guard<std::mutex> lock(e.run_mutex);
    if (e.stop_requested) return true;
  }
  if (e.listen_fd < 0) Bind();
  const unsigned loops = static_cast<unsigned>(options_.http_threads > 0 ? options_.http_threads : 1);
  const unsigned limit = static_cast<unsigned>(
      options_.max_connections > static_cast<int>(loops) ? options_.max_connections : loops);
  const unsigned per_address = static_cast<unsigned>(
      options_.max_connections_per_address > 0 ? options_.max_connections_per_address : limit);
  e.daemon = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr,
      &Engine::OnRequest, &e, MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(e.listen_fd),
      MHD_OPTION_THREAD_POOL_SIZE, loops, MHD_OPTION_CONNECTION_LIMIT, limit,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, per_address, MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(options_.timeout_seconds), MHD_OPTION_NOTIFY_COMPLETED,
      &Engine::OnCompleted, &e, MHD_OPTION_NOTIFY_CONNECTION, &Engine::OnConnection, &e,
      MHD_OPTION_END);
  if (e.daemon == nullptr) return false;
  // The engine closes the listening socket when it stops.
  e.listen_fd = -1;
  {
    std::lock_guard<std::mutex> lock(e.pool_mutex);
    e.stopping = false;
  }
  const int workers = options_.threads > 0 ? options_.threads : 1;
  for (int i = 0; i < workers; ++i) e.workers.emplace_back([&e] { e.Work(); });
  e.watcher = std::thread([&e] { e.Watch(); });
  e.running = true;
  {
    std::unique_lock<std::mutex> lock(e.run_mutex);
    e.run_changed.wait(lock, [&e] { return e.stop_requested; });
  }
  // Calls under way finish and resume their connections; calls still
  // waiting are answered 503. Only then may the engine stop: it must not
  // stop with a connection suspended.
  {
    std::lock_guard<std::mutex> lock(e.pool_mutex);
    e.stopping = true;
  }
  e.pool_changed.notify_all();
  for (std::thread& worker : e.workers) worker.join();
  e.workers.clear();
  e.watcher.join();
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
