// serve: the JSON-RPC server on a database until SIGINT or SIGTERM.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "admin_commands.h"
#include "import_module.h"
#include "open_store.h"
#include "rpc_server.h"

namespace kvr::server::admin {

namespace {

// "HOST:PORT", "[V6ADDRESS]:PORT" or ":PORT" (every address).
std::pair<std::string, int> ParseListen(const std::string& listen) {
  size_t colon = listen.rfind(':');
  if (colon == std::string::npos || (colon == 0 && listen.size() == 1))
    throw Usage("--listen espera HOST:PORTA, não \"" + listen + "\".");
  std::string host = listen.substr(0, colon);
  if (!host.empty() && host.front() == '[') {
    if (host.size() < 3 || host.back() != ']')
      throw Usage("--listen espera [ENDEREÇO-IPV6]:PORTA, não \"" + listen + "\".");
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    throw Usage("endereço IPv6 em --listen vai entre colchetes: [::1]:8061, não \"" + listen +
                "\".");
  }
  std::string port_text = listen.substr(colon + 1);
  bool digits = !port_text.empty() && port_text.size() <= 5;
  for (char c : port_text) digits = digits && c >= '0' && c <= '9';
  int port = digits ? std::stoi(port_text) : -1;
  if (port < 0 || port > 65535) throw Usage("porta \"" + port_text + "\" inválida em --listen.");
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
                std::to_string(max) + ", não \"" + text + "\".");
  return value;
}

// The shared secret: the first line of path, without its line end and the
// blanks around it.
std::string ReadToken(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file)
    throw Exception("não foi possível ler o arquivo de segredo \"" + path +
                    "\": " + std::strerror(errno) + ".");
  std::string token;
  std::getline(file, token);
  const size_t begin = token.find_first_not_of(" \t\r");
  const size_t end = token.find_last_not_of(" \t\r");
  token = begin == std::string::npos ? "" : token.substr(begin, end - begin + 1);
  if (token.empty())
    throw Exception("o arquivo de segredo \"" + path + "\" não tem o segredo na primeira linha.");
  for (char c : token)
    if (static_cast<unsigned char>(c) < 32 || c == 127)
      throw Exception("o segredo de \"" + path + "\" tem caracteres de controle.");
  return token;
}

}  // namespace

int Serve(const CommandLine& line, std::ostream& err) {
  auto [host, port] = ParseListen(line.Option("listen", "127.0.0.1:8061"));
  ServerOptions options;
  options.host = host;
  options.port = port;
  options.threads = NumberOption(line, "threads", 8, 1, 999);
  options.max_connections = NumberOption(line, "max-connections", 1000, 8, 100000);
  // One client address may take three quarters of the connections: every
  // client on this machine shares 127.0.0.1, so the share must be large.
  options.max_connections_per_address = options.max_connections * 3 / 4;
  options.max_inflated =
      static_cast<size_t>(NumberOption(line, "max-inflated", 1024, 1, 65536)) * 1024 * 1024;
  options.timeout_seconds = NumberOption(line, "timeout", 30, 1, 3600);
  const std::string shown =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  if (line.options.count("token-file")) options.token = ReadToken(line.Option("token-file"));
  if (options.token.empty() && !IsLoopbackHost(host))
    throw Usage("recuso ouvir em " + shown +
                " sem segredo: fora da interface local (127.0.0.1, ::1) toda chamada precisa "
                "do segredo compartilhado. Grave o segredo em uma linha de um arquivo e passe "
                "--token-file ARQUIVO.");

  // Threads that are done with a large statement give its memory back
  // (malloc_trim after large calls); few arenas keep it from being spread
  // over one heap per thread. A statement's rows are hundreds of thousands
  // of small blocks: growing a heap 64 MiB at a time instead of 128 KiB
  // saves thousands of system calls per statement.
  mallopt(M_ARENA_MAX, 2);
  mallopt(M_TOP_PAD, 64 * 1024 * 1024);
  // Every connection is a descriptor: allow as many as the system lets us.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  // The signals are taken by one waiting thread; block them before any
  // other thread starts so that none of the pool's threads receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const std::string db = line.Option("db", kDefaultDb);
  std::unique_ptr<Store> opened = OpenStore(db, true, true);
  Store& store = *opened;
  options.quick_calls = !IsPostgresAddress(db);
  ImportModule module(store);
  std::mutex log_mutex;
  options.log = [&err, &log_mutex](const std::string& text) {
    std::lock_guard<std::mutex> lock(log_mutex);
    err << text << std::endl;
  };
  RpcServer server(module, options);
  const int bound = server.Bind();
  options.log("kvr61400-server: ouvindo em " + server.HostText() + ":" + std::to_string(bound) +
              (options.token.empty() ? "" : " (com segredo)"));

  std::atomic<bool> finished{false};
  std::thread waiter([&server, &signals, &options, &finished] {
    int signal = 0;
    sigwait(&signals, &signal);
    if (finished) return;
    options.log(std::string("kvr61400-server: ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                " recebido, encerrando.");
    // A signal that comes right after the bind, before the server listens,
    // would otherwise be lost and leave the server running.
    while (!finished && !server.IsRunning())
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!finished) server.Stop();
  });
  const bool served = server.Run();
  finished = true;
  server.Stop();
  // Wake the waiter when serving ended without a signal.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  options.log("kvr61400-server: encerrado.");
  return served ? 0 : 1;
}

}  // namespace kvr::server::admin
