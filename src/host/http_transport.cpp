// The HTTP transport of the server connection, on libcurl: JSON-RPC 2.0
// requests as POST /<server name>, every call bounded by one overall deadline
// and every reply by a size limit.
#include <curl/curl.h>
#include <dlfcn.h>
#include <gnutls/gnutls.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/gzip_pipe.h"
#include "host/net_connection.h"
#include "host/server_url.h"
#include "platform/errors.h"

namespace kvr {

namespace {

// libcurl is loaded when the first connection to a server is made rather than
// when a program starts. It brings some twenty-five libraries with it (TLS,
// Kerberos, LDAP, SSH...) whose loading costs every process about 6 MB of
// memory: `kvr61400 inspect`, and any run that never connects, spares them.
// These are the functions the transport calls, with libcurl's own types,
// each a member named as the function without its "curl_".
// clang-format off
#define KVR_CURL_FUNCTIONS(FUNCTION)                                                         \
  FUNCTION(easy_init) FUNCTION(easy_cleanup) FUNCTION(easy_setopt) FUNCTION(easy_getinfo)  \
  FUNCTION(easy_pause) FUNCTION(easy_strerror) FUNCTION(multi_init) FUNCTION(multi_cleanup) \
  FUNCTION(multi_add_handle) FUNCTION(multi_remove_handle) FUNCTION(multi_perform)         \
  FUNCTION(multi_info_read) FUNCTION(multi_poll) FUNCTION(slist_append)                    \
  FUNCTION(slist_free_all)
// clang-format on
struct CurlFunctions {
#define KVR_CURL_MEMBER(name) decltype(&::curl_##name) name;
  KVR_CURL_FUNCTIONS(KVR_CURL_MEMBER)
#undef KVR_CURL_MEMBER
};

// KVR_CURL_SONAME and KVR_CURL_PACKAGE come from the build (src/host/CMakeLists.txt):
// the libcurl the headers belong to, and the Debian package that holds it.
std::string CannotLoad(const std::string& why) {
  return "Não foi possível carregar a biblioteca HTTP " KVR_CURL_SONAME " (" + why +
         "): instale o pacote " KVR_CURL_PACKAGE ".";
}

template <typename Function>
void Find(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  if (function == nullptr) throw Exception(CannotLoad(std::string("falta a função ") + name));
}

CurlFunctions Load() {
  // Never unloaded: curl's global state and its TLS library live as long as
  // the process.
  void* library = dlopen(KVR_CURL_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* error = dlerror();
    throw Exception(CannotLoad(error != nullptr ? error : "dlopen"));
  }
  CurlFunctions curl{};
  decltype(&::curl_global_init) global_init = nullptr;
  Find(library, "curl_global_init", global_init);
#define KVR_CURL_FIND(name) Find(library, "curl_" #name, curl.name);
  KVR_CURL_FUNCTIONS(KVR_CURL_FIND)
#undef KVR_CURL_FIND
  if (global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
    throw Exception("Falha ao iniciar a biblioteca HTTP.");
  return curl;
}

// Loads libcurl (the build the program was compiled against, by its soname)
// and initialises it, once per process; safe from any thread. Throws
// Exception, with the package to install, when it cannot be loaded or
// initialised; the next call tries again.
const CurlFunctions& CurlLibrary() {
  static const CurlFunctions curl = Load();
  return curl;
}

std::string Address(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string DescribeError(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
      return "conexão recusada ou servidor inalcançável";
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return "falha ao ler a resposta";
    case CURLE_SEND_ERROR:
      return "falha ao enviar a requisição";
    case CURLE_URL_MALFORMAT:
      return "endereço inválido";
    default:
      return "falha de comunicação (" + std::string(CurlLibrary().easy_strerror(code)) + ")";
  }
}

// The message of a JSON-RPC error reply (UTF-8); empty when body is not one.
std::string ErrorMessageOf(const std::string& body) {
  const nlohmann::json reply = nlohmann::json::parse(body, nullptr, false);
  if (!reply.is_object() || !reply.contains("error") || !reply["error"].is_object()) return "";
  const nlohmann::json& message = reply["error"].value("message", nlohmann::json());
  return message.is_string() ? message.get<std::string>() : "";
}

std::string Seconds(int ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return std::to_string(ms) + " ms";
}

// One request and its reply on the transport's handles. The body's writer
// drives the transfer: each piece it hands over (Send) lets curl work until
// it has taken the piece, so the body streams out as it is written, on the
// writer's thread, and curl's own timer holds the whole exchange to its
// deadline. The reply's body (inflated by curl when gzip) goes into the given
// text, refused past the size limit.
class Exchange {
 public:
  Exchange(CURLM* multi, CURL* easy, std::string& reply, std::size_t max_reply_bytes)
      : multi_(multi), easy_(easy), reply_(reply), max_reply_bytes_(max_reply_bytes) {
    reply_.clear();
    curl_.easy_setopt(easy_, CURLOPT_READFUNCTION, &Exchange::Read);
    curl_.easy_setopt(easy_, CURLOPT_READDATA, this);
    curl_.easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Exchange::Write);
    curl_.easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    if (curl_.multi_add_handle(multi_, easy_) != CURLM_OK)
      throw Exception("Falha ao iniciar a requisição HTTP.");
  }
  // An exchange left before its end (the body's writer threw) drops its
  // connection; a finished one leaves it to the next call.
  ~Exchange() { curl_.multi_remove_handle(multi_, easy_); }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Hands size bytes of the body over and returns once curl has taken them.
  // Once the exchange has ended (the server answered or closed, the deadline
  // passed) the rest of the body is not wanted: nothing is done.
  void Send(const char* data, std::size_t size) {
    if (done_ || size == 0) return;
    pending_ = data;
    pending_size_ = size;
    Resume();
    Run(false);
    pending_size_ = 0;
  }

  // Ends the body and runs the exchange to its end; curl's outcome.
  CURLcode Finish() {
    body_ended_ = true;
    Resume();
    Run(true);
    return result_;
  }

  // Whether the reply was refused for its size.
  bool TooLarge() const { return too_large_; }

 private:
  void Resume() {
    if (!paused_) return;
    paused_ = false;
    curl_.easy_pause(easy_, CURLPAUSE_CONT);
  }

  // Lets curl work until the pending piece is taken (or, with to_end, until
  // the exchange ends).
  void Run(bool to_end) {
    while (!done_) {
      int running = 0;
      const CURLMcode rc = curl_.multi_perform(multi_, &running);
      if (rc != CURLM_OK) {
        done_ = true;
        result_ = rc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
        return;
      }
      int left = 0;
      while (CURLMsg* message = curl_.multi_info_read(multi_, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
          done_ = true;
          result_ = message->data.result;
        }
      }
      if (done_ || (!to_end && pending_size_ == 0)) return;
      // curl shortens the wait to its own timers (the deadline among them).
      curl_.multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
  }

  static std::size_t Read(char* to, std::size_t size, std::size_t count, void* self) {
    Exchange& exchange = *static_cast<Exchange*>(self);
    if (exchange.pending_size_ == 0) {
      if (exchange.body_ended_) return 0;
      exchange.paused_ = true;
      return CURL_READFUNC_PAUSE;
    }
    const std::size_t n = std::min(size * count, exchange.pending_size_);
    std::memcpy(to, exchange.pending_, n);
    exchange.pending_ += n;
    exchange.pending_size_ -= n;
    return n;
  }

  // Any count other than size * count ends the exchange (CURLE_WRITE_ERROR).
  static std::size_t Write(char* data, std::size_t size, std::size_t count, void* self) {
    Exchange& exchange = *static_cast<Exchange*>(self);
    const std::size_t n = size * count;
    if (exchange.reply_.size() + n > exchange.max_reply_bytes_) {
      exchange.too_large_ = true;
      return 0;
    }
    try {
      exchange.reply_.append(data, n);
    } catch (...) {  // nothing may be thrown through curl
      return 0;
    }
    return n;
  }

  const CurlFunctions& curl_ = CurlLibrary();
  CURLM* multi_;
  CURL* easy_;
  std::string& reply_;
  std::size_t max_reply_bytes_;
  const char* pending_ = nullptr;
  std::size_t pending_size_ = 0;
  bool body_ended_ = false;
  bool paused_ = false;
  bool done_ = false;
  bool too_large_ = false;
  CURLcode result_ = CURLE_OK;
};

// The request body as the request writes it, handed on a chunk at a time
// (gzip-compressed when large, on the compressor's thread while the request
// goes on writing), so that a million movements never exist as one text.
class BodySink : public JsonSink {
 public:
  BodySink(Exchange& out, bool compress) : out_(out) {
    if (compress)
      pipe_ = std::make_unique<GzipPipe>([this](const char* data, std::size_t size) { out_.Send(data, size); });
  }
  BodySink(const BodySink&) = delete;
  BodySink& operator=(const BodySink&) = delete;

  void Flush() override {
    if (pipe_) {
      pipe_->Write(text);
    } else {
      out_.Send(text.data(), text.size());
      text.clear();
    }
  }

  // Hands on what is left.
  void Finish() {
    Flush();
    if (pipe_) pipe_->Finish();
  }

 private:
  Exchange& out_;
  std::unique_ptr<GzipPipe> pipe_;
};

class HttpTransport : public RpcTransport {
 public:
  explicit HttpTransport(HttpLimits limits) : limits_(limits) {}
  ~HttpTransport() override { Close(); }

  void SetToken(const std::string& token) override { token_ = token; }

  void Open(const std::string& host, int port) override {
    if (host.empty())
      throw Exception("Endereço do servidor de aplicação não informado.");
    if (port <= 0 || port > 65535)
      throw Exception("Porta " + std::to_string(port) + " do servidor de aplicação " + host +
                      " é inválida.");
    Close();
    ca_file_ = HttpsCaFile();
    addresses_ = HostAddresses(host, port);
    // A secret seen on the company network is a key anyone may use.
    for (const ServerUrl& url : addresses_)
      if (!url.https && !token_.empty() && !IsLoopbackName(url.host))
        throw Exception("Recuso enviar a chave de acesso sem criptografia ao servidor " +
                        Address(url.host, url.port) + ", fora desta máquina: use https://" +
                        Address(url.host, url.port) + ".");
    multi_.reset(curl_.multi_init());
    easy_.reset(curl_.easy_init());
    if (!multi_ || !easy_) throw Exception("Falha ao iniciar a conexão HTTP.");
    // The server answers a GET of its root with its name: enough to know that
    // something of ours listens there (and, with a token, that it lets us in).
    // Of several addresses, the first that can be reached is used.
    std::string body;
    Outcome outcome;
    for (current_ = 0; current_ < addresses_.size(); ++current_) {
      Select(current_);
      outcome = Perform("/", nullptr, body, limits_.deadline_ms);
      if (!Unreachable(outcome.code)) break;
    }
    if (current_ == addresses_.size()) --current_;
    const std::string where =
        Unreachable(outcome.code) && addresses_.size() > 1
            ? "Nenhum dos servidores de aplicação (" + Listed() + ")"
            : "Servidor de aplicação " + std::string(https_ ? "https://" : "") + address_;
    std::string failure;
    if (outcome.code == CURLE_OPERATION_TIMEDOUT) {
      failure = where + " não respondeu em " + Seconds(limits_.deadline_ms) + ".";
    } else if (outcome.too_large || outcome.code != CURLE_OK) {
      failure = where + (IsTlsFailure(outcome.code) ? ": " : " não responde: ") +
                (outcome.too_large ? TooLarge() : Describe(outcome.code)) + ".";
      // A server that serves HTTPS drops a request in plain HTTP unanswered.
      if (!https_ && !outcome.too_large && IsDroppedReply(outcome.code))
        failure += " Se o servidor atende em HTTPS, use https://" + address_ + ".";
    } else if (outcome.status == 401 && token_.empty()) {
      failure = where + " exige uma chave de acesso (estado HTTP 401): informe o arquivo com a "
                "sua chave (--token-file ou as configurações do servidor).";
    } else if (outcome.status == 401 || outcome.status == 403) {
      failure = where + " recusou a chave de acesso informada (estado HTTP " +
                std::to_string(outcome.status) +
                "): confira o arquivo da chave; uma chave revogada ou de outro servidor não "
                "vale, peça outra ao administrador.";
    } else if (outcome.status != 200) {
      // A balancer with no server up answers with the JSON-RPC error to show.
      const std::string told = ErrorMessageOf(body);
      failure = told.empty() ? where + " respondeu com o estado HTTP " +
                                   std::to_string(outcome.status) + "."
                             : where + ": " + told;
    }
    if (!failure.empty()) {
      Close();
      throw Exception(failure);
    }
  }

  void Close() override {
    easy_.reset();
    multi_.reset();
  }

  RpcResponse Call(const std::string& server_name, const RpcRequest& rpc) override {
    if (!easy_)
      throw Exception("Conexão com o servidor de aplicação não está aberta.");
    // The server's work grows with the statement: a million movements take
    // it minutes to check and store on a busy machine. The deadline grows
    // with the body (a second per megabyte) so that only a stalled server,
    // never a large statement, runs into it.
    const int allowance_ms =
        static_cast<int>(std::min<std::size_t>(rpc.EstimatedBytes() >> 10, 3600000));
    const int deadline_ms = limits_.deadline_ms + allowance_ms;
    RpcResponse reply;
    Outcome outcome = Perform("/" + server_name, &rpc, reply.body, deadline_ms);
    // A server that could not be reached never saw the request: the next
    // address may take it. One that was reached is never sent it again, so a
    // statement is never stored twice by a retry.
    for (size_t tried = 1; Unreachable(outcome.code) && tried < addresses_.size(); ++tried) {
      Select((current_ + 1) % addresses_.size());
      outcome = Perform("/" + server_name, &rpc, reply.body, deadline_ms);
    }
    if (Unreachable(outcome.code) && addresses_.size() > 1)
      throw Exception("Falha na chamada de " + rpc.Method() + ": nenhum dos servidores (" +
                      Listed() + ") pôde ser alcançado.");
    const std::string what = "chamada de " + rpc.Method() + " ao servidor " + address_;
    if (outcome.too_large) throw Exception("Falha na " + what + ": " + TooLarge() + ".");
    if (outcome.code == CURLE_OPERATION_TIMEDOUT)
      throw Exception("Tempo esgotado (" + Seconds(deadline_ms) + ") na " + what + ".");
    // The server went away since the connection opened: said as the clerk
    // sees it, what was being done and what to do, not which call failed.
    if (IsUnreachable(outcome.code))
      throw Exception("O servidor de aplicação " + address_ + " não respondeu " +
                      CallPurpose(rpc.Method()) + " (" + Describe(outcome.code) +
                      "). Confira se ele está no ar e tente de novo; se continuar, avise o "
                      "administrador do servidor.");
    if (outcome.code != CURLE_OK)
      throw Exception("Falha na " + what + ": " + Describe(outcome.code) + ".");
    reply.status = static_cast<int>(outcome.status);
    return reply;
  }

 private:
  // Nothing was sent: the address could not be reached.
  static bool Unreachable(CURLcode code) {
    return code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST;
  }

  // Makes the address at index the one requests go to.
  void Select(size_t index) {
    current_ = index;
    const ServerUrl& url = addresses_[index];
    https_ = url.https;
    host_ = url.host;
    address_ = Address(url.host, url.port);
    Configure();
  }

  // The addresses, for a message: "a:8061, https://b:8061".
  std::string Listed() const {
    std::string list;
    for (const ServerUrl& url : addresses_)
      list += (list.empty() ? "" : ", ") + std::string(url.https ? "https://" : "") +
              Address(url.host, url.port);
    return list;
  }

  struct Outcome {
    CURLcode code = CURLE_OK;
    long status = 0;
    bool too_large = false;
  };

  static bool IsUnreachable(CURLcode code) {
    return code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST ||
           code == CURLE_GOT_NOTHING || code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR;
  }

  // What the screen was doing when it called method, for the clerk.
  static std::string CallPurpose(const std::string& method) {
    static const std::pair<const char*, const char*> kPurposes[] = {
        {"GetContaCorrente", "ao procurar a conta corrente do extrato"},
        {"ValidExtrato", "ao conferir o extrato"},
        {"SetExtratoBancario", "ao gravar o extrato"},
        {"GetContinuidade", "ao ler os extratos importados"},
        {"GetMovimentos", "ao ler os movimentos do extrato"},
        {"GetUsuario", "ao conferir a sua chave de acesso"},
        {"RemoveExtrato", "ao excluir o extrato"},
    };
    for (const auto& [name, purpose] : kPurposes)
      if (method == name) return purpose;
    return "(chamada de " + method + ")";
  }

  static bool IsDroppedReply(CURLcode code) {
    return code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING || code == CURLE_WEIRD_SERVER_REPLY;
  }

  static bool IsTlsFailure(CURLcode code) {
    return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE ||
           code == CURLE_SSL_CONNECT_ERROR;
  }

  // What failed, in words; the TLS failures say why the certificate was not
  // accepted. Never a retry without TLS.
  std::string Describe(CURLcode code) const {
    const std::string detail = error_;
    // GnuTLS reads a CA file without any certificate as no authority at all.
    if (code == CURLE_PEER_FAILED_VERIFICATION && !ca_file_.empty() && !HoldsCertificate(ca_file_))
      code = CURLE_SSL_CACERT_BADFILE;
    if (code == CURLE_PEER_FAILED_VERIFICATION) {
      if (detail.find("host name") != std::string::npos)
        return "o certificado do servidor não vale para o nome " + host_;
      // libcurl's GnuTLS build says why the chain was refused only in
      // GnuTLS's verification status.
      long status = 0;
      curl_.easy_getinfo(easy_.get(), CURLINFO_SSL_VERIFYRESULT, &status);
      std::string reason = "emitido por uma autoridade que este computador não reconhece";
      if (status & GNUTLS_CERT_EXPIRED) reason = "vencido";
      else if (status & GNUTLS_CERT_NOT_ACTIVATED) reason = "ainda não válido";
      return "o certificado do servidor não é confiável (" + reason +
             "); informe o arquivo da autoridade certificadora que o emitiu (--ca-file ou as "
             "configurações do servidor)";
    }
    if (code == CURLE_SSL_CACERT_BADFILE)
      return "o arquivo da autoridade certificadora \"" + ca_file_ +
             "\" não pôde ser lido como certificado PEM";
    if (code == CURLE_SSL_CONNECT_ERROR)
      return "falha na negociação TLS (o servidor atende em HTTPS?)";
    return DescribeError(code);
  }

  // Whether the file at path holds at least one PEM certificate.
  static bool HoldsCertificate(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return text.find("-----BEGIN CERTIFICATE-----") != std::string::npos;
  }

  std::string TooLarge() const {
    return "resposta maior que " + std::to_string(limits_.max_reply_bytes >> 20) + " MiB";
  }

  // What every request of the connection shares.
  void Configure() {
    CURL* easy = easy_.get();
    // curl's own signal handling (an alarm for name look-ups) does not mix
    // with threads; broken pipes are ignored process-wide instead.
    curl_.easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Only ever the server named: no proxy, whatever the environment says.
    curl_.easy_setopt(easy, CURLOPT_PROXY, "");
    // The server speaks HTTP/1.1 (chunked bodies) whatever TLS offers.
    curl_.easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // A request goes out as headers and body in several writes; without this
    // each waits for the delayed acknowledgement of the one before.
    curl_.easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
    curl_.easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip");
    // Room for a whole piece of the body (a little over 64 KiB) in one chunk.
    curl_.easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 1L << 17);
    curl_.easy_setopt(easy, CURLOPT_BUFFERSIZE, 1L << 17);
    error_[0] = '\0';
    curl_.easy_setopt(easy, CURLOPT_ERRORBUFFER, error_);
    if (https_) {
      // The certificate is checked against the trust store (or the CA file)
      // and against the host name: TLS 1.2 or later.
      curl_.easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
      curl_.easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
      curl_.easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
      if (!ca_file_.empty()) curl_.easy_setopt(easy, CURLOPT_CAINFO, ca_file_.c_str());
    }
    // A reply whose head declares a body past the limit is refused there,
    // before any of it is waited for.
    curl_.easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(limits_.max_reply_bytes));
  }

  // Sends the request for path with the token and the deadline: a POST of
  // rpc's body (written into the connection as it is made, chunked, and
  // compressed when large) or, with no rpc, a GET. The reply's body goes
  // into body.
  Outcome Perform(const std::string& path, const RpcRequest* rpc, std::string& body,
                  int deadline_ms) {
    CURL* easy = easy_.get();
    const bool compress = rpc && rpc->EstimatedBytes() > limits_.compress_above_bytes;
    std::vector<std::string> headers;
    if (!token_.empty()) headers.push_back("Authorization: Bearer " + token_);
    if (rpc) {
      // "Expect:" drops curl's wait for "100 Continue": the server reads the
      // body or answers at once.
      headers.insert(headers.end(),
                     {"Content-Type: application/json", "Transfer-Encoding: chunked", "Expect:"});
      if (compress) headers.push_back("Content-Encoding: gzip");
    }
    headers_.reset();
    for (const std::string& header : headers) {
      curl_slist* list = curl_.slist_append(headers_.get(), header.c_str());
      if (!list) throw std::bad_alloc();
      if (!headers_) headers_.reset(list);  // later appends keep the first node
    }
    curl_.easy_setopt(easy, rpc ? CURLOPT_POST : CURLOPT_HTTPGET, 1L);
    curl_.easy_setopt(easy, CURLOPT_HTTPHEADER, headers_.get());
    curl_.easy_setopt(easy, CURLOPT_URL,
                     ((https_ ? "https://" : "http://") + address_ + path).c_str());
    curl_.easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(deadline_ms));

    Exchange exchange(multi_.get(), easy, body, limits_.max_reply_bytes);
    if (rpc) {
      BodySink sink(exchange, compress);
      rpc->WriteBody(sink);
      sink.Finish();
    }
    Outcome outcome;
    outcome.code = exchange.Finish();
    outcome.too_large = exchange.TooLarge() || outcome.code == CURLE_FILESIZE_EXCEEDED;
    curl_.easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &outcome.status);
    return outcome;
  }

  HttpLimits limits_;
  std::string token_;
  std::vector<ServerUrl> addresses_;
  size_t current_ = 0;
  std::string address_;
  std::string host_;
  bool https_ = false;
  std::string ca_file_;
  char error_[CURL_ERROR_SIZE] = {};
  // The multi handle keeps the connection between calls; the easy handle
  // carries the options every call shares.
  const CurlFunctions& curl_ = CurlLibrary();
  std::unique_ptr<CURLM, decltype(curl_.multi_cleanup)> multi_{nullptr, curl_.multi_cleanup};
  std::unique_ptr<CURL, decltype(curl_.easy_cleanup)> easy_{nullptr, curl_.easy_cleanup};
  std::unique_ptr<curl_slist, decltype(curl_.slist_free_all)> headers_{nullptr,
                                                                       curl_.slist_free_all};
};

}  // namespace

std::unique_ptr<RpcTransport> MakeHttpTransport(HttpLimits limits) {
  [[maybe_unused]] static const bool sigpipe_ignored = [] {
    // A server that refuses an upload (too large, wrong secret) closes the
    // connection while the body is still being written; a write that does not
    // ask otherwise then raises SIGPIPE, whose default action ends the whole
    // process. A front end that chose its own handler keeps it.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
      signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  CurlLibrary();  // loaded now, or the message says which package is missing
  return std::make_unique<HttpTransport>(limits);
}

}  // namespace kvr
