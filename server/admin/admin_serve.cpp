// serve: the JSON-RPC server on a database until SIGINT or SIGTERM.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "admin/admin_commands.h"
#include "rpc/import_module.h"
#include "rpc/log_text.h"
#include "store/open_store.h"
#include "http/private_file.h"
#include "rpc/rpc_server.h"
#include "admin/service_notifier.h"

namespace kvr::server::admin {

namespace {

// "HOST:PORT", "[V6ADDRESS]:PORT" or ":PORT" (every address).
std::pair<std::string, int> ParseListen(const std::string& given) {
  // Messages quote the value cut: it may come from a file.
  const std::string listen = CutText(given, 60);
  size_t colon = given.rfind(':');
  if (colon == std::string::npos || (colon == 0 && given.size() == 1))
    throw Usage("--listen espera HOST:PORTA, não \"" + listen + "\".");
  std::string host = given.substr(0, colon);
  if (!host.empty() && host.front() == '[') {
    if (host.size() < 3 || host.back() != ']')
      throw Usage("--listen espera [ENDEREÇO-IPV6]:PORTA, não \"" + listen + "\".");
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    throw Usage("endereço IPv6 em --listen vai entre colchetes: [::1]:8061, não \"" + listen +
                "\".");
  }
  std::string port_text = given.substr(colon + 1);
  bool digits = !port_text.empty() && port_text.size() <= 5;
  for (char c : port_text) digits = digits && c >= '0' && c <= '9';
  int port = digits ? std::stoi(port_text) : -1;
  if (port < 0 || port > 65535)
    throw Usage("porta \"" + CutText(port_text, 20) + "\" inválida em --listen.");
  return {host, port};
}

// The value of a numeric option, from min to max.
int NumberOption(const CommandLine& line, const std::string& name, int def, int min, int max) {
  if (!line.options.count(name)) return def;
  const std::string text = line.Option(name);
  bool digits = !text.empty() && text.size() <= 9;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  const int value = digits ? std::stoi(text) : -1;
  if (value < min || value > max)
    throw Usage("--" + name + " espera um número de " + std::to_string(min) + " a " +
                std::to_string(max) + ", não \"" + CutText(text, 60) + "\".");
  return value;
}

// True when systemd's journal reads stderr ($JOURNAL_STREAM names its device
// and inode): the log lines then carry their syslog priority ("<4>...") for
// journalctl -p to filter. A stderr redirected elsewhere gets plain lines.
bool Journal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat err_stat {};
  if (stream == nullptr || fstat(2, &err_stat) != 0) return false;
  unsigned long long device = 0, inode = 0;
  return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == err_stat.st_dev &&
         inode == err_stat.st_ino;
}

// Descriptors kept for what is not a connection: the database and its
// journal, the listening socket, the engine's own, the log.
constexpr rlim_t kSpareFiles = 64;

// How long a stop signal waits for calls under way before the process ends
// without them.
constexpr auto kStopLimit = std::chrono::seconds(5);

// The shorter a secret, the sooner it is guessed.
constexpr size_t kMinSecret = 16;
// A secret file holds one line; anything much longer is the wrong file
// (--token-file /dev/zero, a log).
constexpr size_t kMaxSecretFile = 4 * 1024;

// The shared secret: the first line of path, without its line end and the
// blanks around it. The file must be private to its owner.
std::string ReadToken(const std::string& path) {
  const std::string content = ReadOwnerOnlyFile(path, "arquivo de segredo", kMaxSecretFile);
  std::string token = content.substr(0, content.find('\n'));
  const size_t begin = token.find_first_not_of(" \t\r");
  const size_t end = token.find_last_not_of(" \t\r");
  token = begin == std::string::npos ? "" : token.substr(begin, end - begin + 1);
  if (token.empty())
    throw Exception("o arquivo de segredo \"" + path + "\" não tem o segredo na primeira linha.");
  for (char c : token)
    if (static_cast<unsigned char>(c) < 32 || c == 127)
      throw Exception("o segredo de \"" + path + "\" tem caracteres de controle.");
  if (token.size() < kMinSecret)
    throw Exception("o segredo de \"" + path + "\" tem " + std::to_string(token.size()) +
                    " caracteres; use ao menos " + std::to_string(kMinSecret) +
                    " (gere um com: umask 077; openssl rand -hex 24 > \"" + path + "\").");
  return token;
}

// A SQLite file that serve created and never served is taken away again
// (with its -wal and -shm), so that a server that could not start (a port
// in use, a key refused) leaves no empty database behind for the next
// command to take for the real one. Declared before the store, it runs
// after the store closed; a file another server claims meanwhile stays.
class NewDatabaseGuard {
 public:
  explicit NewDatabaseGuard(const std::string& db)
      : path_(IsPostgresAddress(db) || access(db.c_str(), F_OK) == 0 ? "" : db) {}
  ~NewDatabaseGuard() {
    if (path_.empty()) return;
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const bool unclaimed = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (unclaimed)
      for (const char* suffix : {"-wal", "-shm", "-journal", ""}) unlink((path_ + suffix).c_str());
    close(fd);
  }
  NewDatabaseGuard(const NewDatabaseGuard&) = delete;
  NewDatabaseGuard& operator=(const NewDatabaseGuard&) = delete;
  // The server serves: the database is its own now.
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

}  // namespace

int Serve(const CommandLine& line, std::ostream& err) {
  auto [host, port] = ParseListen(line.Option("listen", "127.0.0.1:8061"));
  ServerOptions options;
  options.host = host;
  options.port = port;
  options.threads = NumberOption(line, "threads", 8, 1, 999);
  options.max_connections = NumberOption(line, "max-connections", 1000, 8, 1000000);
  options.max_inflated =
      static_cast<size_t>(NumberOption(line, "max-inflated", 1024, 1, 65536)) * 1024 * 1024;
  options.timeout_seconds = NumberOption(line, "timeout", 30, 1, 3600);
  options.max_memory =
      static_cast<size_t>(NumberOption(line, "max-memory", 2048, 16, 1048576)) * 1024 * 1024;
  const std::string shown =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  if (line.options.count("token-file")) options.token = ReadToken(line.Option("token-file"));
  const bool loopback = IsLoopbackHost(host);
  const bool plain = line.options.count("sem-tls") != 0;
  if (line.options.count("tls-cert") != line.options.count("tls-key"))
    throw Usage("--tls-cert e --tls-key vão juntas: o certificado e sua chave privada (PEM).");
  std::unique_ptr<TlsCredentials> tls;
  if (line.options.count("tls-cert")) {
    if (plain) throw Usage("--sem-tls não combina com --tls-cert.");
    tls = std::make_unique<TlsCredentials>(line.Option("tls-cert"), line.Option("tls-key"));
    options.tls = tls.get();
  }
  if (!loopback && !tls && !plain)
    throw Usage("recuso ouvir em " + shown +
                " sem TLS: fora da interface local (127.0.0.1, ::1) as chamadas levam extratos "
                "e chaves de acesso. Passe --tls-cert ARQUIVO --tls-key ARQUIVO (PEM), ou "
                "--sem-tls se um proxy TLS atende na frente deste servidor.");

  // Threads that are done with a large statement give its memory back
  // (malloc_trim after large calls); few arenas keep it from being spread
  // over one heap per thread. A statement's rows are hundreds of thousands
  // of small blocks: growing a heap 64 MiB at a time instead of 128 KiB
  // saves thousands of system calls per statement.
  mallopt(M_ARENA_MAX, 2);
  mallopt(M_TOP_PAD, 64 * 1024 * 1024);
  // Every connection is a descriptor: allow as many as the system lets us,
  // and no more connections than that leaves room for.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    if (files.rlim_cur < files.rlim_max) {
      files.rlim_cur = files.rlim_max;
      if (setrlimit(RLIMIT_NOFILE, &files) != 0) getrlimit(RLIMIT_NOFILE, &files);
    }
    const rlim_t fit = files.rlim_cur > kSpareFiles + 8 ? files.rlim_cur - kSpareFiles : 8;
    if (files.rlim_cur != RLIM_INFINITY && static_cast<rlim_t>(options.max_connections) > fit) {
      err << LogForSink(kLogWarning + std::string("kvr61400-server: o sistema permite ") +
                            std::to_string(files.rlim_cur) + " arquivos abertos; atendo até " +
                            std::to_string(fit) + " conexões em vez de " +
                            std::to_string(options.max_connections) +
                            " (aumente o limite com ulimit -n ou LimitNOFILE).",
                        Journal())
          << std::endl;
      options.max_connections = static_cast<int>(fit);
    }
  }

  // The signals are taken by one waiting thread; block them before any
  // other thread starts so that none of the pool's threads receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const std::string db = line.Option("db", kDefaultDb);
  NewDatabaseGuard created(db);
  std::unique_ptr<Store> opened = OpenStore(db, true, true);
  Store& store = *opened;
  AccessControl access(store.Access(), options.token);
  options.access = &access;
  const bool keys = store.Access() != nullptr && store.Access()->AnyKey();
  if (options.token.empty() && !keys && !loopback)
    throw Usage("recuso ouvir em " + shown +
                " sem autenticação: fora da interface local (127.0.0.1, ::1) toda chamada "
                "precisa de uma chave. Crie as chaves dos usuários (kvr61400-server usuario add "
                "NOME) ou passe --token-file ARQUIVO com um segredo compartilhado.");
  options.quick_calls = !IsPostgresAddress(db);
  ImportModule module(store);
  std::mutex log_mutex;
  options.log = [&err, &log_mutex, journal = Journal()](const std::string& text) {
    std::lock_guard<std::mutex> lock(log_mutex);
    err << LogForSink(text, journal) << std::endl;
  };
  access.SetLog(options.log);
  if (plain && !loopback)
    options.log(kLogWarning + std::string("kvr61400-server: aviso: ouvindo em ") + shown +
                " sem TLS (--sem-tls): as chamadas só devem chegar através de um proxy TLS.");
  RpcServer server(module, options);
  const int bound = server.Bind();
  created.Keep();
  options.log("kvr61400-server: ouvindo em " + server.HostText() + ":" + std::to_string(bound) +
              (tls ? " (HTTPS)" : "") + (options.token.empty() ? "" : " (com segredo)") +
              (keys ? " (com chaves de usuário)" : ""));
  // A unit of Type=notify learns that the server listens; without one
  // ($NOTIFY_SOCKET unset) nothing is sent.
  sd_notify(0, "READY=1");
  ServiceNotifier notifier(server, options.log);

  std::atomic<bool> finished{false};
  std::thread waiter([&server, &signals, &options, &finished, &tls] {
    int signal = 0;
    // SIGHUP reads a renewed certificate; the server goes on.
    while (sigwait(&signals, &signal) == 0 && signal == SIGHUP && !finished) {
      if (!tls) continue;
      try {
        tls->Reload();
        options.log("kvr61400-server: SIGHUP recebido, certificado \"" + tls->CertPath() +
                    "\" lido de novo.");
      } catch (const std::exception& error) {
        options.log(kLogError +
                    std::string("kvr61400-server: SIGHUP recebido, certificado mantido: ") +
                    error.what());
      }
    }
    if (finished) return;
    options.log(std::string("kvr61400-server: ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                " recebido, encerrando.");
    // Whatever the database does (a server that stopped answering, a table
    // locked), the process ends soon after the signal: a call stuck there is
    // not waited for. Its transaction dies with the connection; nothing is
    // half-stored.
    std::thread([] {
      std::this_thread::sleep_for(kStopLimit);
      const std::string given_up =
          "kvr61400-server: o encerramento esperou " + std::to_string(kStopLimit.count()) +
          " segundos por chamadas que não terminaram (o banco de dados não responde?); "
          "encerrado sem elas.\n";
      // The log's stream may be held by the thread that waits.
      (void)!write(STDERR_FILENO, given_up.data(), given_up.size());
      _exit(1);
    }).detach();
    // A signal that comes right after the bind, before the server listens,
    // would otherwise be lost and leave the server running.
    while (!finished && !server.IsRunning())
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!finished) server.Stop();
  });
  const bool served = server.Run();
  notifier.Stop();
  finished = true;
  server.Stop();
  // Wake the waiter when serving ended without a signal.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  options.log("kvr61400-server: encerrado.");
  return served ? 0 : 1;
}

}  // namespace kvr::server::admin
