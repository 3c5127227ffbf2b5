#include "admin.h"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "import_module.h"
#include "rpc_server.h"
#include "sqlite_store.h"

namespace kvr::server {

namespace {

constexpr const char* kDefaultDb = "kvr61400.db";

struct Usage : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The words of a command line and its --name value options.
struct CommandLine {
  std::vector<std::string> words;
  std::map<std::string, std::string> options;
  bool json = false;
  bool help = false;

  std::string Option(const std::string& name, const std::string& def = "") const {
    auto it = options.find(name);
    return it == options.end() ? def : it->second;
  }
  std::string Required(const std::string& name) const {
    auto it = options.find(name);
    if (it == options.end()) throw Usage("falta a opção --" + name + ".");
    return it->second;
  }
};

CommandLine Parse(const std::vector<std::string>& args) {
  static const char* const kValued[] = {
      "db",    "listen", "threads", "codigo",     "banco",           "agencia",      "conta",
      "tipo",  "mascara", "token-file", "max-connections", "max-inflated", "timeout"};
  CommandLine line;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      line.help = true;
    } else if (arg == "--json") {
      line.json = true;
    } else if (arg.rfind("--", 0) == 0) {
      std::string name = arg.substr(2);
      std::optional<std::string> value;
      if (auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
      }
      bool known = false;
      for (const char* valued : kValued) known = known || name == valued;
      if (!known) throw Usage("opção desconhecida \"" + arg + "\".");
      if (!value) {
        if (i + 1 >= args.size()) throw Usage("a opção --" + name + " precisa de um valor.");
        value = args[++i];
      }
      line.options[name] = *value;
    } else {
      line.words.push_back(arg);
    }
  }
  return line;
}

// "2024-01-05T00:00:00" as "05/01/2024"; anything else unchanged.
std::string ShowDate(const Cell& cell) {
  std::string text = CellText(cell);
  if (text.size() < 10) return text.empty() ? "-" : text;
  return text.substr(8, 2) + "/" + text.substr(5, 2) + "/" + text.substr(0, 4);
}

// An amount as "1.350,00".
std::string ShowAmount(const Cell& cell) {
  const double* number = std::get_if<double>(&cell);
  if (number == nullptr) return "-";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", std::fabs(*number));
  std::string digits = buffer;
  std::string whole = digits.substr(0, digits.size() - 3);
  std::string grouped;
  for (size_t i = 0; i < whole.size(); ++i) {
    if (i > 0 && (whole.size() - i) % 3 == 0) grouped += '.';
    grouped += whole[i];
  }
  return (*number < 0 ? "-" : "") + grouped + "," + digits.substr(digits.size() - 2);
}

std::string Pad(const std::string& text, size_t width) {
  size_t length = Utf8Length(text);
  return length >= width ? text + " " : text + std::string(width - length, ' ');
}

nlohmann::json CellJson(const Cell& cell) {
  if (const auto* text = std::get_if<std::string>(&cell)) return *text;
  if (const auto* number = std::get_if<double>(&cell)) return *number;
  return nullptr;
}

nlohmann::json RowJson(const Layout& layout, const Row& row) {
  nlohmann::json object = nlohmann::json::object();
  for (size_t i = 0; i < layout.size(); ++i) object[layout[i].name] = CellJson(row[i]);
  return object;
}

nlohmann::json SummaryJson(const StatementSummary& summary) {
  nlohmann::json object = RowJson(ExtrBancoLayout(), summary.header);
  object["CDBANCO"] = summary.bank;
  object["CDCONTCORR"] = summary.number;
  object["MOVIMENTOS"] = summary.movements;
  return object;
}

int AddAccount(const CommandLine& line, std::ostream& out) {
  Account account{line.Required("codigo"), line.Required("banco"),   line.Option("agencia"),
                  line.Required("conta"),  line.Required("tipo"),    line.Option("mascara")};
  CheckAccount(account);
  SqliteStore store(line.Option("db", kDefaultDb));
  store.AddAccount(account);
  out << "Conta corrente " << account.code << " cadastrada: banco " << account.bank
      << ", agência " << account.agency << ", conta " << account.number << ", tipo "
      << account.kind << ".\n";
  return 0;
}

int ListAccounts(const CommandLine& line, std::ostream& out) {
  SqliteStore store(line.Option("db", kDefaultDb));
  std::vector<Account> accounts = store.ListAccounts();
  if (line.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const Account& a : accounts)
      list.push_back({{"CDREDUCONT", a.code}, {"CDBANCO", a.bank}, {"CDAGENCIA", a.agency},
                      {"CDCONTCORR", a.number}, {"CDPICTCONT", a.mask}, {"IDTIPOCCORR", a.kind}});
    out << list.dump(2) << "\n";
    return 0;
  }
  out << Pad("CODIGO", 7) << Pad("BANCO", 6) << Pad("AGENCIA", 8) << Pad("CONTA", 11)
      << Pad("TIPO", 6) << "MASCARA\n";
  for (const Account& a : accounts)
    out << Pad(a.code, 7) << Pad(a.bank, 6) << Pad(a.agency, 8) << Pad(a.number, 11)
        << Pad(a.kind, 6) << a.mask << "\n";
  return 0;
}

std::string SummaryLine(const StatementSummary& s) {
  const Layout& layout = ExtrBancoLayout();
  const Row& h = s.header;
  return Pad(std::to_string(s.seq), 8) + Pad(CellText(h[ColumnIndex(layout, "CDREDUCONT")]), 6) +
         Pad(s.bank + "/" + s.number, 16) +
         Pad(ShowDate(h[ColumnIndex(layout, "DTSALDINIC")]) + " a " +
                 ShowDate(h[ColumnIndex(layout, "DTSALDFIN")]),
             25) +
         Pad(ShowAmount(h[ColumnIndex(layout, "VRSALDINIC")]) + " " +
                 CellText(h[ColumnIndex(layout, "IDEXTRINI")]),
             18) +
         Pad(ShowAmount(h[ColumnIndex(layout, "VRSALDFIM")]) + " " +
                 CellText(h[ColumnIndex(layout, "IDEXTRFIM")]),
             18) +
         std::to_string(s.movements);
}

std::string SummaryTitle() {
  return Pad("EXTRATO", 8) + Pad("CONTA", 6) + Pad("BANCO/NUMERO", 16) + Pad("PERIODO", 25) +
         Pad("SALDO INICIAL", 18) + Pad("SALDO FINAL", 18) + "MOVIMENTOS";
}

int ListStatements(const CommandLine& line, std::ostream& out) {
  SqliteStore store(line.Option("db", kDefaultDb));
  std::vector<StatementSummary> statements = store.ListStatements();
  if (line.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const StatementSummary& s : statements) list.push_back(SummaryJson(s));
    out << list.dump(2) << "\n";
    return 0;
  }
  out << SummaryTitle() << "\n";
  for (const StatementSummary& s : statements) out << SummaryLine(s) << "\n";
  return 0;
}

int ShowStatement(const CommandLine& line, std::ostream& out) {
  if (line.words.size() != 3) throw Usage("extrato show precisa do número do extrato.");
  const std::string& text = line.words[2];
  long long seq = 0;
  bool digits = !text.empty() && text.size() <= 10;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (!digits) throw InvalidRequest("Número de extrato \"" + text + "\" inválido.");
  seq = std::stoll(text);
  SqliteStore store(line.Option("db", kDefaultDb));
  std::optional<StoredStatement> statement = store.GetStatement(seq);
  if (!statement) throw InvalidRequest("Extrato " + text + " não encontrado.");
  const Layout& layout = MovExtrLayout();
  if (line.json) {
    nlohmann::json object = SummaryJson(statement->summary);
    nlohmann::json movements = nlohmann::json::array();
    for (const Row& row : statement->movements) movements.push_back(RowJson(layout, row));
    object["MOVIMENTOS"] = std::move(movements);
    out << object.dump(2) << "\n";
    return 0;
  }
  out << SummaryTitle() << "\n" << SummaryLine(statement->summary) << "\n\n";
  out << Pad("SEQ", 7) << Pad("DATA", 11) << Pad("DOCUMENTO", 21) << Pad("TIPO", 5)
      << Pad("VALOR", 16) << Pad("FITID", 11) << "DESCRICAO\n";
  for (const Row& row : statement->movements)
    out << Pad(CellText(row[ColumnIndex(layout, "NRSEQMOVREAL")]), 7)
        << Pad(ShowDate(row[ColumnIndex(layout, "DTMOVREAL")]), 11)
        << Pad(CellText(row[ColumnIndex(layout, "NRDOCMOVREAL")]), 21)
        << Pad(CellText(row[ColumnIndex(layout, "IDMOVREAL")]), 5)
        << Pad(ShowAmount(row[ColumnIndex(layout, "VRMOVREAL")]), 16)
        << Pad(CellText(row[ColumnIndex(layout, "CDFITIDEXTR")]), 11)
        << CellText(row[ColumnIndex(layout, "DSHISTMOVREAL")]) << "\n";
  return 0;
}

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
  if (!file) throw Exception("não foi possível ler o arquivo de segredo \"" + path + "\": " +
                             std::strerror(errno) + ".");
  std::string token;
  std::getline(file, token);
  const size_t begin = token.find_first_not_of(" \t\r");
  const size_t end = token.find_last_not_of(" \t\r");
  token = begin == std::string::npos ? "" : token.substr(begin, end - begin + 1);
  if (token.empty())
    throw Exception("o arquivo de segredo \"" + path +
                    "\" não tem o segredo na primeira linha.");
  for (char c : token)
    if (static_cast<unsigned char>(c) < 32 || c == 127)
      throw Exception("o segredo de \"" + path + "\" tem caracteres de controle.");
  return token;
}

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
  // over one heap per thread.
  mallopt(M_ARENA_MAX, 2);
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

  SqliteStore store(line.Option("db", kDefaultDb));
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
    while (!finished && !server.IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
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

}  // namespace

std::string UsageText() {
  return "Uso: kvr61400-server COMANDO [OPÇÕES]\n"
         "\n"
         "Servidor de aplicação do módulo kvr61400.rdmImportOFX (importação de extrato OFX).\n"
         "\n"
         "Comandos:\n"
         "  serve [--listen HOST:PORTA] [--token-file ARQUIVO] [--threads N]\n"
         "        [--max-connections N] [--timeout SEGUNDOS] [--max-inflated MIB]\n"
         "      atende chamadas JSON-RPC em HTTP POST /kvr61400.rdmImportOFX\n"
         "      (padrão 127.0.0.1:8061; porta 0 escolhe uma porta livre; IPv6 como\n"
         "      [::1]:8061). Fora da interface local exige --token-file: um arquivo com o\n"
         "      segredo em uma linha, que toda chamada envia em Authorization: Bearer.\n"
         "      --threads: chamadas atendidas ao mesmo tempo (padrão 8);\n"
         "      --max-connections: conexões abertas (padrão 1000); --timeout: conexão\n"
         "      calada é encerrada (padrão 30); --max-inflated: limite do corpo gzip\n"
         "      descompactado (padrão 1024). Encerra com SIGINT ou SIGTERM.\n"
         "  conta add --codigo C --banco B --agencia A --conta N --tipo T --mascara M\n"
         "      cadastra uma conta corrente (código até 3, banco até 3, agência até 5,\n"
         "      conta até 10, tipo até 20 e máscara até 20 caracteres).\n"
         "  conta list [--json]              lista as contas correntes.\n"
         "  extrato list [--json]            lista os extratos gravados.\n"
         "  extrato show NUMERO [--json]     mostra um extrato e seus movimentos.\n"
         "\n"
         "Opções comuns:\n"
         "  --db ARQUIVO   banco de dados SQLite (padrão: kvr61400.db no diretório atual).\n"
         "  --help         mostra este texto.\n";
}

int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    CommandLine line = Parse(args);
    if (line.help || line.words.empty()) {
      (line.help ? out : err) << UsageText();
      return line.help ? 0 : 2;
    }
    const std::string& command = line.words[0];
    const std::string sub = line.words.size() > 1 ? line.words[1] : "";
    if (command == "serve" && line.words.size() == 1) return Serve(line, err);
    if (command == "conta" && sub == "add" && line.words.size() == 2) return AddAccount(line, out);
    if (command == "conta" && sub == "list" && line.words.size() == 2)
      return ListAccounts(line, out);
    if (command == "extrato" && sub == "list" && line.words.size() == 2)
      return ListStatements(line, out);
    if (command == "extrato" && sub == "show") return ShowStatement(line, out);
    std::string joined;
    for (const std::string& word : line.words) joined += (joined.empty() ? "" : " ") + word;
    throw Usage("comando desconhecido \"" + joined + "\".");
  } catch (const Usage& error) {
    err << "kvr61400-server: " << error.what() << " Veja kvr61400-server --help.\n";
    return 2;
  } catch (const std::exception& error) {
    err << "kvr61400-server: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace kvr::server
