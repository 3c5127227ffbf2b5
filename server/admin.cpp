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

#include "account_rules.h"
#include "continuity.h"
#include "import_module.h"
#include "printable_text.h"
#include "rpc_server.h"
#include "open_store.h"
#include "usage.h"

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

// Reads args into line. With --help anywhere, unknown options and missing
// values are passed over (the help is shown instead); otherwise they throw
// Usage, line then holding the words read so far.
void Parse(const std::vector<std::string>& args, CommandLine& line) {
  static const char* const kValued[] = {
      "db",    "listen", "threads", "codigo",     "banco",           "agencia",      "conta",
      "tipo",  "mascara", "token-file", "max-connections", "max-inflated", "timeout", "de",
      "para"};
  for (const std::string& arg : args) line.help = line.help || arg == "--help" || arg == "-h";
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
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
      if (!known) {
        if (line.help) continue;
        throw Usage("opção desconhecida \"" + EscapeControls(arg) + "\".");
      }
      if (!value) {
        if (i + 1 >= args.size()) {
          if (line.help) continue;
          throw Usage("a opção --" + name + " precisa de um valor.");
        }
        value = args[++i];
      }
      line.options[name] = *value;
    } else {
      line.words.push_back(arg);
    }
  }
}

// A stored text as a terminal shows it safely.
std::string Shown(const Cell& cell) { return EscapeControls(CellText(cell)); }

// "2024-01-05T00:00:00" as "05/01/2024"; anything else unchanged.
std::string ShowDate(const Cell& cell) {
  std::string text = Shown(cell);
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
  Account account =
      CheckAccount({line.Required("codigo"), line.Required("banco"), line.Option("agencia"),
                    line.Required("conta"), line.Required("tipo"), line.Option("mascara")});
  std::unique_ptr<Store> opened = OpenStore(line.Option("db", kDefaultDb), true);
  Store& store = *opened;
  store.AddAccount(account);
  out << "Conta corrente " << account.code << " cadastrada: banco " << account.bank
      << ", agência " << account.agency << ", conta " << account.number << ", tipo "
      << account.kind << ".\n";
  return 0;
}

int ListAccounts(const CommandLine& line, std::ostream& out) {
  std::unique_ptr<Store> opened = OpenStore(line.Option("db", kDefaultDb), false);
  Store& store = *opened;
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
    out << Pad(EscapeControls(a.code), 7) << Pad(EscapeControls(a.bank), 6)
        << Pad(EscapeControls(a.agency), 8) << Pad(EscapeControls(a.number), 11)
        << Pad(EscapeControls(a.kind), 6) << EscapeControls(a.mask) << "\n";
  return 0;
}

// The account of --codigo, or an InvalidRequest saying it is not there.
Account RegisteredAccount(Store& store, const std::string& code) {
  std::optional<Account> account = store.FindAccount(code);
  if (!account)
    throw InvalidRequest("Conta corrente de código \"" + EscapeControls(code) +
                         "\" não cadastrada.");
  return *account;
}

int EditAccount(const CommandLine& line, std::ostream& out) {
  const std::string code = line.Required("codigo");
  if (line.options.count("tipo") == 0 && line.options.count("mascara") == 0)
    throw Usage("conta edit precisa de --tipo ou --mascara.");
  std::unique_ptr<Store> opened = OpenStore(line.Option("db", kDefaultDb), false);
  Store& store = *opened;
  Account account = RegisteredAccount(store, code);
  if (line.options.count("tipo") != 0) {
    account.kind = line.Option("tipo");
    CheckAccountKind(account.kind);
  }
  if (line.options.count("mascara") != 0) {
    account.mask = line.Option("mascara");
    CheckAccountMask(account.mask, account.number);
  }
  if (!store.UpdateAccount(account))
    throw InvalidRequest("Conta corrente de código \"" + EscapeControls(code) +
                         "\" não cadastrada.");
  out << "Conta corrente " << account.code << " alterada: tipo " << account.kind << ", máscara "
      << (account.mask.empty() ? "nenhuma" : account.mask) << ".\n";
  return 0;
}

int RemoveAccount(const CommandLine& line, std::ostream& out) {
  const std::string code = line.Required("codigo");
  std::unique_ptr<Store> opened = OpenStore(line.Option("db", kDefaultDb), false);
  Store& store = *opened;
  RegisteredAccount(store, code);
  const long long statements = store.RemoveAccount(code);
  if (statements > 0)
    throw InvalidRequest("A conta corrente " + code + " tem " + std::to_string(statements) +
                         (statements == 1 ? " extrato gravado" : " extratos gravados") +
                         " e não foi excluída.");
  out << "Conta corrente " << code << " excluída.\n";
  return 0;
}

std::string SummaryLine(const StatementSummary& s) {
  const Layout& layout = ExtrBancoLayout();
  const Row& h = s.header;
  return Pad(std::to_string(s.seq), 8) + Pad(Shown(h[ColumnIndex(layout, "CDREDUCONT")]), 6) +
         Pad(EscapeControls(s.bank + "/" + s.number), 16) +
         Pad(ShowDate(h[ColumnIndex(layout, "DTSALDINIC")]) + " a " +
                 ShowDate(h[ColumnIndex(layout, "DTSALDFIN")]),
             25) +
         Pad(ShowAmount(h[ColumnIndex(layout, "VRSALDINIC")]) + " " +
                 Shown(h[ColumnIndex(layout, "IDEXTRINI")]),
             18) +
         Pad(ShowAmount(h[ColumnIndex(layout, "VRSALDFIM")]) + " " +
                 Shown(h[ColumnIndex(layout, "IDEXTRFIM")]),
             18) +
         std::to_string(s.movements);
}

std::string SummaryTitle() {
  return Pad("EXTRATO", 8) + Pad("CONTA", 6) + Pad("BANCO/NUMERO", 16) + Pad("PERIODO", 25) +
         Pad("SALDO INICIAL", 18) + Pad("SALDO FINAL", 18) + "MOVIMENTOS";
}

int ListStatements(const CommandLine& line, std::ostream& out) {
  std::unique_ptr<Store> opened = OpenStore(line.Option("db", kDefaultDb), false);
  Store& store = *opened;
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
  if (!digits)
    throw InvalidRequest("Número de extrato \"" + EscapeControls(text) + "\" inválido.");
  seq = std::stoll(text);
  std::unique_ptr<Store> opened = OpenStore(line.Option("db", kDefaultDb), false);
  Store& store = *opened;
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
    out << Pad(Shown(row[ColumnIndex(layout, "NRSEQMOVREAL")]), 7)
        << Pad(ShowDate(row[ColumnIndex(layout, "DTMOVREAL")]), 11)
        << Pad(Shown(row[ColumnIndex(layout, "NRDOCMOVREAL")]), 21)
        << Pad(Shown(row[ColumnIndex(layout, "IDMOVREAL")]), 5)
        << Pad(ShowAmount(row[ColumnIndex(layout, "VRMOVREAL")]), 16)
        << Pad(Shown(row[ColumnIndex(layout, "CDFITIDEXTR")]), 11)
        << Shown(row[ColumnIndex(layout, "DSHISTMOVREAL")]) << "\n";
  return 0;
}

int ShowContinuity(const CommandLine& line, std::ostream& out) {
  std::unique_ptr<Store> opened = OpenStore(line.Option("db", kDefaultDb), false);
  Store& store = *opened;
  std::vector<AccountChain> chains = StatementContinuity(store, line.Option("conta"));
  if (line.json)
    out << ContinuityJson(chains).dump(2) << "\n";
  else
    out << ContinuityTable(chains);
  return 0;
}

// "1234567" as "1.234.567".
std::string Grouped(long long number) {
  std::string digits = std::to_string(number), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += '.';
    out += digits[i];
  }
  return out;
}

// copiar --de DB --para DB: the whole installation in one transaction of
// the target, one statement in memory at a time.
int Copy(const CommandLine& line, std::ostream& out) {
  const std::string from = line.Required("de");
  const std::string to = line.Required("para");
  if (from == to) throw Usage("--de e --para são o mesmo banco de dados.");
  std::unique_ptr<Store> source = OpenStore(from, false);
  std::unique_ptr<Store> target = OpenStore(to, true);
  const std::vector<Account> accounts = source->ListAccounts();
  const std::vector<StatementSummary> summaries = source->ListStatements();
  size_t next = 0;
  const long long movements = target->CopyIn(accounts, [&]() -> std::optional<StoredStatement> {
    while (next < summaries.size()) {
      // A statement removed from the source meanwhile is skipped.
      if (std::optional<StoredStatement> statement = source->GetStatement(summaries[next++].seq))
        return statement;
    }
    return std::nullopt;
  });
  out << "Copiados de " << DatabaseLabel(from) << " para " << DatabaseLabel(to) << ": "
      << Grouped(static_cast<long long>(accounts.size()))
      << (accounts.size() == 1 ? " conta corrente, " : " contas correntes, ")
      << Grouped(static_cast<long long>(summaries.size()))
      << (summaries.size() == 1 ? " extrato e " : " extratos e ") << Grouped(movements)
      << (movements == 1 ? " movimento.\n" : " movimentos.\n");
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
  std::unique_ptr<Store> opened = OpenStore(db, true);
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

std::string UsageText() { return *HelpText({}); }

int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CommandLine line;
  try {
    Parse(args, line);
    if (line.help) {
      out << *HelpText(KnownCommand(line.words));
      return 0;
    }
    if (line.words.empty()) {
      err << UsageText();
      return kUsageExit;
    }
    const std::string& command = line.words[0];
    const std::string sub = line.words.size() > 1 ? line.words[1] : "";
    const size_t count = line.words.size();
    if (command == "serve" && count == 1) return Serve(line, err);
    if (command == "copiar" && count == 1) return Copy(line, out);
    if (command == "conta" || command == "extrato") {
      if (count == 1) {
        err << "kvr61400-server: " << command << " precisa de um subcomando.\n\n"
            << *HelpText({command});
        return kUsageExit;
      }
      if (command == "conta" && sub == "add" && count == 2) return AddAccount(line, out);
      if (command == "conta" && sub == "list" && count == 2) return ListAccounts(line, out);
      if (command == "conta" && sub == "edit" && count == 2) return EditAccount(line, out);
      if (command == "conta" && sub == "remove" && count == 2) return RemoveAccount(line, out);
      if (command == "extrato" && sub == "list" && count == 2) return ListStatements(line, out);
      if (command == "extrato" && sub == "show") return ShowStatement(line, out);
      if (command == "extrato" && sub == "continuidade" && count == 2)
        return ShowContinuity(line, out);
      if (!HelpText({command, sub}))
        throw Usage("subcomando desconhecido \"" + EscapeControls(sub) + "\" de " + command + ".");
      throw Usage("argumento a mais: \"" + EscapeControls(line.words[2]) + "\".");
    }
    if (HelpText({command})) throw Usage("argumento a mais: \"" + EscapeControls(sub) + "\".");
    std::string joined;
    for (const std::string& word : line.words) joined += (joined.empty() ? "" : " ") + word;
    throw Usage("comando desconhecido \"" + EscapeControls(joined) + "\".");
  } catch (const Usage& error) {
    std::string help = "kvr61400-server";
    for (const std::string& word : KnownCommand(line.words)) help += " " + word;
    err << "kvr61400-server: " << error.what() << " Veja " << help << " --help.\n";
    return kUsageExit;
  } catch (const std::exception& error) {
    err << "kvr61400-server: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace kvr::server
