// The HTTP transport of the server connection: JSON-RPC 2.0 requests as
// POST /<server name>, every call bounded by one overall deadline and every
// reply by a size limit.
#include <httplib.h>
#include <zlib.h>

#include <csignal>

#include <chrono>
#include <exception>
#include <functional>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "host/net_connection.h"
#include "platform/errors.h"

namespace kvr {

namespace {

using Clock = std::chrono::steady_clock;

std::string Address(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
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

std::string Seconds(int ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return std::to_string(ms) + " ms";
}

// Stops the client's request in flight when its deadline passes: the
// library's own timeouts apply to each read and write, so a server that
// trickles a byte at a time would otherwise hold a call for ever.
class Watchdog {
 public:
  explicit Watchdog(httplib::Client& client) : client_(client) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void Arm(Clock::time_point deadline) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      deadline_ = deadline;
      fired_ = false;
      if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    }
    changed_.notify_all();
  }
  // Returns whether the deadline passed while armed.
  bool Disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    deadline_.reset();
    return fired_;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
      if (!deadline_) {
        changed_.wait(lock);
        continue;
      }
      if (Clock::now() < *deadline_) {
        changed_.wait_until(lock, *deadline_);
        continue;
      }
      fired_ = true;
      deadline_.reset();
      client_.stop();
    }
  }

  httplib::Client& client_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Clock::time_point> deadline_;
  bool fired_ = false;
  bool quit_ = false;
  std::thread thread_;
};

// Where the body's bytes go: false when they could not be taken.
using BodyOutput = std::function<bool(const char* data, std::size_t size)>;

// The request body as the request writes it, handed on a chunk at a time
// (gzip-compressed when large), so that a million movements never exist as
// one text. After a failed write (the server closed, the deadline passed) the
// rest is discarded.
class BodySink : public TJsonSink {
 public:
  BodySink(BodyOutput out, bool compress) : out_(std::move(out)), compress_(compress) {
    if (compress_) {
      // 15 + 16: a gzip wrapper; level 1: the network is rarely slower than
      // the compressor at higher levels.
      if (deflateInit2(&z_, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw Exception("Falha ao iniciar a compress\xE3o da requisi\xE7\xE3o.");
    }
  }
  ~BodySink() override {
    if (compress_) deflateEnd(&z_);
  }
  BodySink(const BodySink&) = delete;
  BodySink& operator=(const BodySink&) = delete;

  void Flush() override {
    if (compress_) {
      Deflate(Z_NO_FLUSH);
    } else {
      Write(text.data(), text.size());
    }
    text.clear();
  }

  // Sends what is left; false when the body could not be sent whole.
  bool Finish() {
    Flush();
    if (compress_) Deflate(Z_FINISH);
    return !broken_;
  }

 private:
  void Write(const char* data, std::size_t size) {
    if (broken_ || size == 0) return;
    if (!out_(data, size)) broken_ = true;
  }

  void Deflate(int flush) {
    z_.next_in = reinterpret_cast<Bytef*>(text.data());
    z_.avail_in = static_cast<uInt>(text.size());
    int rc = Z_OK;
    do {
      z_.next_out = chunk_;
      z_.avail_out = sizeof chunk_;
      rc = deflate(&z_, flush);
      if (rc == Z_STREAM_ERROR) throw Exception("Falha ao comprimir a requisi\xE7\xE3o.");
      Write(reinterpret_cast<const char*>(chunk_), sizeof chunk_ - z_.avail_out);
    } while (z_.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
  }

  BodyOutput out_;
  bool compress_;
  bool broken_ = false;
  z_stream z_{};
  Bytef chunk_[1 << 16];
};

class HttpTransport : public TRpcTransport {
 public:
  explicit HttpTransport(THttpLimits limits) : limits_(limits) {}
  ~HttpTransport() override { Close(); }

  void SetToken(const std::string& token) override { token_ = token; }

  void Open(const std::string& host, int port) override {
    if (host.empty()) throw Exception("Endere\xE7o do servidor de aplica\xE7\xE3o n\xE3o informado.");
    if (port <= 0 || port > 65535)
      throw Exception("Porta " + std::to_string(port) + " do servidor de aplica\xE7\xE3o " + host +
                      " \xE9 inv\xE1lida.");
    Close();
    host_ = host;
    port_ = port;
    client_ = std::make_unique<httplib::Client>(host, port);
    client_->set_keep_alive(true);
    // A request goes out as headers and body in two writes; without this the
    // second waits for the delayed acknowledgement of the first.
    client_->set_tcp_nodelay(true);
    watchdog_ = std::make_unique<Watchdog>(*client_);
    // The server answers a GET of its root with its name: enough to know that
    // something of ours listens there (and, with a token, that it lets us in).
    httplib::Request request;
    request.method = "GET";
    request.path = "/";
    std::string body;
    const Outcome outcome = Send(request, body, limits_.deadline_ms);
    const std::string where = "Servidor de aplica\xE7\xE3o " + Address(host, port);
    if (outcome.timed_out) {
      Close();
      throw Exception(where + " n\xE3o respondeu em " + Seconds(limits_.deadline_ms) + ".");
    }
    if (!outcome.result) {
      const std::string what = outcome.too_large ? TooLarge() : DescribeError(outcome.result.error());
      Close();
      throw Exception(where + " n\xE3o responde: " + what + ".");
    }
    const int status = outcome.result->status;
    if (status == 401 || status == 403) {
      Close();
      throw Exception(where + " recusou o acesso (estado HTTP " + std::to_string(status) +
                      "): confira a senha de acesso (arquivo de token) configurada.");
    }
    if (status != 200) {
      Close();
      throw Exception(where + " respondeu com o estado HTTP " + std::to_string(status) + ".");
    }
  }

  void Close() override {
    watchdog_.reset();
    client_.reset();
  }

  TRpcReply Call(const std::string& server_name, const TRpcRequest& rpc) override {
    if (!client_) throw Exception("Conex\xE3o com o servidor de aplica\xE7\xE3o n\xE3o est\xE1 aberta.");
    const std::string what =
        "chamada de " + rpc.Method() + " ao servidor " + Address(host_, port_);
    const bool compress = rpc.EstimatedBytes() > limits_.compress_above_bytes;
    httplib::Request request;
    request.method = "POST";
    request.path = "/" + server_name;
    request.set_header("Content-Type", "application/json");
    if (compress) request.set_header("Content-Encoding", "gzip");
    // The body is written once, straight into the connection as it is made
    // (chunked transfer): it is never held whole, compressed or not.
    bool sent = true;
    std::exception_ptr failure;
    request.is_chunked_content_provider_ = true;
    request.set_header("Transfer-Encoding", "chunked");
    request.content_provider_ = [&](size_t, size_t, httplib::DataSink& out) {
      // Nothing may be thrown through the library: kept, thrown after.
      try {
        BodySink sink([&out](const char* data, std::size_t size) { return out.write(data, size); },
                      compress);
        rpc.WriteBody(sink);
        sent = sink.Finish();
      } catch (...) {
        failure = std::current_exception();
        sent = false;
      }
      if (sent) out.done();
      return sent;
    };
    TRpcReply reply;
    // The server's work grows with the statement: a million movements take
    // it minutes to check and store on a busy machine. The deadline grows
    // with the body (a second per megabyte) so that only a stalled server,
    // never a large statement, runs into it.
    const int allowance_ms = static_cast<int>(std::min<std::size_t>(rpc.EstimatedBytes() >> 10, 3600000));
    const Outcome outcome = Send(request, reply.body, limits_.deadline_ms + allowance_ms);
    if (failure) std::rethrow_exception(failure);
    if (outcome.timed_out)
      throw Exception("Tempo esgotado (" + Seconds(limits_.deadline_ms + allowance_ms) + ") na " + what + ".");
    if (outcome.too_large) throw Exception("Falha na " + what + ": " + TooLarge() + ".");
    if (!outcome.result) throw Exception("Falha na " + what + ": " + DescribeError(outcome.result.error()) + ".");
    reply.status = outcome.result->status;
    return reply;
  }

 private:
  struct Outcome {
    httplib::Result result;
    bool timed_out = false;
    bool too_large = false;
  };

  std::string TooLarge() const {
    return "resposta maior que " + std::to_string(limits_.max_reply_bytes >> 20) + " MiB";
  }

  // Sends request with the token and the deadline, collecting the reply body
  // (inflated when gzip) into body up to the size limit.
  Outcome Send(httplib::Request& request, std::string& body, int deadline_ms) {
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(deadline_ms);
    const auto timeout = std::chrono::milliseconds(deadline_ms);
    client_->set_connection_timeout(timeout);
    client_->set_read_timeout(timeout);
    client_->set_write_timeout(timeout);
    request.set_header("Accept-Encoding", "gzip");
    if (!token_.empty()) request.set_header("Authorization", "Bearer " + token_);
    bool too_large = false;
    body.clear();
    request.content_receiver = [&](const char* data, size_t length, uint64_t, uint64_t) {
      if (body.size() + length > limits_.max_reply_bytes) {
        too_large = true;
        return false;
      }
      body.append(data, length);
      return Clock::now() < deadline;
    };
    watchdog_->Arm(deadline);
    httplib::Result result = client_->send(request);
    const bool fired = watchdog_->Disarm();
    Outcome outcome{std::move(result)};
    outcome.too_large = too_large;
    outcome.timed_out = !too_large && (fired || (!outcome.result && Clock::now() >= deadline));
    return outcome;
  }

  THttpLimits limits_;
  std::string token_;
  std::string host_;
  int port_ = 0;
  std::unique_ptr<httplib::Client> client_;
  std::unique_ptr<Watchdog> watchdog_;
};

}  // namespace

std::unique_ptr<TRpcTransport> MakeHttpTransport(THttpLimits limits) {
  // A server that refuses an upload (too large, wrong secret) closes the
  // connection while the body is still being written; the write would then
  // raise SIGPIPE, whose default action ends the whole process. A front end
  // that chose its own handler keeps it.
  static const bool broken_pipes_ignored = [] {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
      signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)broken_pipes_ignored;
  return std::make_unique<HttpTransport>(limits);
}

}  // namespace kvr
