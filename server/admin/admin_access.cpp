// usuario add, list, remove; auditoria; extrato remove: the clerk keys, the
// audit trail and the removal of a statement, from the command line.
#include <pwd.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "access/access.h"
#include "store/access_store.h"
#include "admin/admin_commands.h"
#include "access/clerk_key.h"
#include "store/open_store.h"
#include "store/printable_text.h"

namespace kvr::server::admin {

namespace {

AccessStore& AccessOf(Store& store) {
  AccessStore* access = store.Access();
  if (access == nullptr) throw Exception("este banco não guarda chaves nem trilha de auditoria.");
  return *access;
}

// The system user running the command, for the trail of what it does.
std::string SystemUser() {
  const passwd* entry = getpwuid(geteuid());
  return entry != nullptr ? entry->pw_name : std::to_string(geteuid());
}

// What a command did, for the audit trail: done here ("local"), about user.
AuditEvent LocalEvent(const std::string& user, const char* event, const std::string& detail) {
  AuditEvent local;
  local.user = user;
  local.address = "local";
  local.event = event;
  local.detail = detail;
  return local;
}

// The NOME of a command "usuario SUB NOME": 1 to 40 letters, digits, ".", "_"
// or "-", not starting with "-" (a name that reads as an option, or as the
// "-" of standard input, in the scripts that pass it on); "compartilhada"
// names the shared secret.
std::string ClerkName(const CommandLine& line) {
  if (line.words.size() != 3) throw Usage("usuario " + line.words[1] + " precisa do NOME.");
  const std::string& name = line.words[2];
  bool valid = !name.empty() && name.size() <= 40 && name[0] != '-';
  for (char c : name)
    valid = valid && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '-');
  if (!valid)
    throw Usage("nome de usuário \"" + EscapeControls(name) +
                "\" inválido: use de 1 a 40 letras sem acento, dígitos, \".\", \"_\" ou \"-\", "
                "sem começar com \"-\".");
  if (name == kSharedKeyUser)
    throw Usage("o nome \"" + name + "\" é o do segredo de --token-file; escolha outro.");
  return name;
}

// "Extrato 8: conta 001 (banco 341, número 123456), período 01/03/2024 a
// 31/03/2024, 12 movimentos, importado por ana."
std::string StatementDescription(const StatementSummary& s, const std::string& importer) {
  auto text = [&s](const char* name) {
    return EscapeControls(CellText(s.header[ColumnIndex(ExtrBancoLayout(), name)]));
  };
  return "Extrato " + std::to_string(s.seq) + ": conta " + text("CDREDUCONT") +
         (s.bank.empty() ? "" : " (banco " + EscapeControls(s.bank) + ", número " +
                                    EscapeControls(s.number) + ")") +
         ", período " + ShowDay(text("DTSALDINIC")) + " a " + ShowDay(text("DTSALDFIN")) + ", " +
         std::to_string(s.movements) + (s.movements == 1 ? " movimento" : " movimentos") +
         ", importado por " + (importer.empty() ? "(não registrado)" : EscapeControls(importer)) +
         ".";
}

nlohmann::json TextOrNull(const std::string& text) {
  return text.empty() ? nlohmann::json() : nlohmann::json(text);
}

// "2024-03-05T14:30:00" as "05/03/2024 14:30:00"; "-" for none.
std::string ShowWhen(const std::string& when) {
  if (when.size() < 19) return when.empty() ? "-" : when;
  return ShowDay(when) + " " + when.substr(11, 8);
}

std::string Shown(const std::string& text) {
  return text.empty() ? "-" : EscapeControls(text);
}

// DD/MM/AAAA as AAAA-MM-DD; throws Usage for anything else.
std::string DayOption(const std::string& name, const std::string& text) {
  bool valid = text.size() == 10 && text[2] == '/' && text[5] == '/';
  for (size_t i : {0, 1, 3, 4, 6, 7, 8, 9}) valid = valid && text[i] >= '0' && text[i] <= '9';
  const int day = valid ? std::stoi(text.substr(0, 2)) : 0;
  const int month = valid ? std::stoi(text.substr(3, 2)) : 0;
  if (!valid || day < 1 || day > 31 || month < 1 || month > 12)
    throw Usage("--" + name + " espera uma data DD/MM/AAAA, não \"" + EscapeControls(text) + "\".");
  return text.substr(6, 4) + "-" + text.substr(3, 2) + "-" + text.substr(0, 2);
}

}  // namespace

int AddUser(const CommandLine& line, std::ostream& out, std::ostream& err) {
  const std::string name = ClerkName(line);
  const bool administrator = line.options.count("administrador") != 0;
  std::unique_ptr<Store> store = OpenStore(line.Option("db", kDefaultDb), true);
  const std::string key = NewClerkKey();
  const std::string kind = administrator ? "chave de administrador" : "chave de operador";
  AccessOf(*store).AddClerk(name, administrator, ClerkKeyHash(key),
                            LocalEvent(name, "chave_criada", kind + " criada por " + SystemUser()));
  out << key << "\n" << std::flush;
  err << "kvr61400-server: chave " << (administrator ? "de administrador " : "") << "do usuário \""
      << name
      << "\" criada. Guarde-a agora em um arquivo só do usuário (chmod 600): ela não é mostrada "
         "de novo.\n";
  return 0;
}

int ListUsers(const CommandLine& line, std::ostream& out) {
  std::unique_ptr<Store> store = OpenStore(line.Option("db", kDefaultDb), false);
  const std::vector<Clerk> clerks = AccessOf(*store).ListClerks();
  if (line.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const Clerk& clerk : clerks)
      list.push_back({{"usuario", clerk.name},
                      {"administrador", clerk.administrator},
                      {"criada", clerk.created},
                      {"ultimoUso", TextOrNull(clerk.last_used)},
                      {"revogada", TextOrNull(clerk.revoked)}});
    out << list.dump(2) << "\n";
    return 0;
  }
  out << Pad("USUARIO", 20) << Pad("ADMINISTRADOR", 15) << Pad("CRIADA", 21)
      << Pad("ULTIMO USO", 21) << "REVOGADA\n";
  for (const Clerk& clerk : clerks)
    out << Pad(clerk.name, 20) << Pad(clerk.administrator ? "sim" : "não", 15)
        << Pad(ShowWhen(clerk.created), 21) << Pad(ShowWhen(clerk.last_used), 21)
        << ShowWhen(clerk.revoked) << "\n";
  return 0;
}

int RemoveUser(const CommandLine& line, std::ostream& out) {
  const std::string name = ClerkName(line);
  std::unique_ptr<Store> store = OpenStore(line.Option("db", kDefaultDb), false);
  if (!AccessOf(*store).RevokeClerk(
          name, LocalEvent(name, "chave_removida", "revogada por " + SystemUser())))
    throw Exception("o usuário \"" + name +
                    "\" não tem chave ativa (veja kvr61400-server usuario list).");
  out << "Chave do usuário \"" << name
      << "\" revogada: os servidores deste banco a recusam em até 5 segundos.\n";
  return 0;
}

int ShowTrail(const CommandLine& line, std::ostream& out) {
  AuditFilter filter;
  if (line.options.count("desde")) filter.since = DayOption("desde", line.Option("desde"));
  if (line.options.count("usuario")) filter.user = line.Option("usuario");
  std::unique_ptr<Store> store = OpenStore(line.Option("db", kDefaultDb), false);
  const std::vector<AuditEvent> events = AccessOf(*store).ListTrail(filter);
  auto count = [](long long value) { return value < 0 ? nlohmann::json() : nlohmann::json(value); };
  if (line.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const AuditEvent& e : events)
      list.push_back({{"quando", e.when},
                      {"usuario", TextOrNull(e.user)},
                      {"endereco", TextOrNull(e.address)},
                      {"evento", e.event},
                      {"conta", TextOrNull(e.account)},
                      {"extrato", count(e.statement)},
                      {"movimentos", count(e.movements)},
                      {"detalhe", TextOrNull(e.detail)}});
    out << list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return 0;
  }
  auto number = [](long long value) {
    return value < 0 ? std::string("-") : std::to_string(value);
  };
  out << Pad("QUANDO", 20) << Pad("USUARIO", 16) << Pad("ENDERECO", 16) << Pad("EVENTO", 15)
      << Pad("CONTA", 6) << Pad("EXTRATO", 8) << Pad("MOVIMENTOS", 11) << "DETALHE\n";
  for (const AuditEvent& e : events)
    out << Pad(ShowWhen(e.when), 20) << Pad(Shown(e.user), 16) << Pad(Shown(e.address), 16)
        << Pad(e.event, 15) << Pad(Shown(e.account), 6) << Pad(number(e.statement), 8)
        << Pad(number(e.movements), 11) << Shown(e.detail) << "\n";
  return 0;
}

int RemoveStatement(const CommandLine& line, std::ostream& out, std::ostream& err) {
  if (line.words.size() != 3) throw Usage("extrato remove precisa do número do extrato.");
  const std::string& text = line.words[2];
  bool digits = !text.empty() && text.size() <= 10;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (!digits) throw Usage("número de extrato \"" + EscapeControls(text) + "\" inválido.");
  const std::string reason = line.Required("motivo");
  if (reason.find_first_not_of(" \t") == std::string::npos)
    throw Usage("--motivo precisa de um texto: por que o extrato é excluído.");
  std::unique_ptr<Store> store = OpenStore(line.Option("db", kDefaultDb), false);
  const long long seq = std::stoll(text);
  // What the number holds now: a number read from an older listing may name
  // another statement by now, so the one removed is shown before it goes.
  std::optional<StatementSummary> found;
  for (StatementSummary& summary : store->ListStatements())
    if (summary.seq == seq) found = std::move(summary);
  if (!found) throw Exception("Extrato " + std::to_string(seq) + " não encontrado.");
  AccessStore& access = AccessOf(*store);
  const std::map<long long, std::string> importers = access.Importers();
  out << StatementDescription(*found, importers.count(seq) ? importers.at(seq) : "") << "\n";
  if (line.options.count("sim") == 0) {
    if (isatty(STDIN_FILENO) == 0)
      throw Usage("extrato remove pede confirmação e não há terminal para perguntar: confira "
                  "o extrato acima e repita com --sim.");
    err << "Excluir o extrato " << seq << " e seus movimentos? (s/n) " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    if (answer != "s" && answer != "S" && answer != "sim" && answer != "Sim" && answer != "SIM")
      throw Exception("Nada foi excluído.");
  }
  if (!access.RemoveStatement(seq, LocalEvent(SystemUser(), "remocao", reason)))
    throw Exception("Extrato " + std::to_string(seq) + " não encontrado.");
  out << "Extrato " << seq << " excluído com seus movimentos.\n";
  return 0;
}

}  // namespace kvr::server::admin
