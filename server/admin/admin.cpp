#include "admin/admin.h"

#include <unistd.h>

#include <optional>
#include <set>

#include "admin/admin_commands.h"
#include "admin/config_file.h"
#include "store/open_store.h"
#include "store/printable_text.h"
#include "admin/usage.h"
#include "wire/errors.h"

namespace kvr::server {

namespace admin {

std::string CommandLine::Option(const std::string& name, const std::string& def) const {
  auto it = options.find(name);
  return it == options.end() ? def : it->second;
}

std::string CommandLine::Required(const std::string& name) const {
  auto it = options.find(name);
  if (it == options.end()) throw Usage("falta a opção --" + name + ".");
  return it->second;
}

bool IsSwitch(const std::string& name) {
  // Options without a value: present or not.
  static const std::set<std::string> kSwitches = {"json", "sem-tls", "administrador", "sim"};
  return kSwitches.count(name) != 0;
}

void Parse(const std::vector<std::string>& args, CommandLine& line) {
  static const std::set<std::string> kValued = {
      "db",      "listen", "threads", "codigo",     "banco",           "agencia",
      "conta",   "tipo",   "mascara", "token-file", "max-connections", "max-inflated",
      "timeout", "de",     "para",    "max-memory", "config",          "tls-cert",
      "tls-key", "desde",  "usuario", "motivo",     "id-extrato"};
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
      if (IsSwitch(name) && !value) {
        line.options[name] = "";
        continue;
      }
      if (kValued.count(name) == 0) {
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

void ResolveDatabase(CommandLine& line, const std::string& config) {
  line.db_origin.clear();
  if (line.options.count("db")) return;
  const bool given = line.options.count("config") != 0;
  const std::string path = given ? line.Option("config") : config;
  if (!given && access(path.c_str(), F_OK) != 0) {
    line.options["db"] = kDefaultDb;
    line.db_origin = "o padrão, no diretório atual: sem --db nem --config, e \"" +
                     EscapeControls(path) + "\" não existe";
    return;
  }
  std::vector<ConfigEntry> entries;
  try {
    entries = ReadConfigFile(path);
  } catch (const Usage&) {
    throw;
  } catch (const std::exception& error) {
    // A configuration its administrator made private (it may name a
    // PostgreSQL database with its password): the service's user reads it.
    throw Exception(std::string(error.what()) +
                    " Rode o comando como o usuário do serviço (sudo -u kvr61400 "
                    "kvr61400-server ...) ou passe --db BANCO.");
  }
  std::string db = kDefaultDb;
  int number = 0;
  for (const ConfigEntry& entry : entries)
    if (entry.key == "db") {
      db = entry.value;
      number = entry.number;
    }
  line.options["db"] = db;
  line.db_origin = number != 0 ? "da linha " + std::to_string(number) + " de \"" +
                                     EscapeControls(path) + "\""
                               : "o padrão, no diretório atual: \"" + EscapeControls(path) +
                                     "\" não tem a linha db";
}

std::string DatabaseOf(const CommandLine& line) { return line.Option("db", kDefaultDb); }

namespace {

// The commands that work on one database named by --db or a configuration.
bool UsesDatabase(const std::vector<std::string>& command) {
  static const std::set<std::string> kCommands = {"conta",  "extrato",  "usuario",
                                                  "auditoria", "backup", "restaurar"};
  return !command.empty() && kCommands.count(command[0]) != 0;
}

// Where a command's database comes from, for its help: the rule, and what it
// gives now.
std::string DatabaseNow(const CommandLine& given) {
  CommandLine line = given;
  try {
    ResolveDatabase(line);
  } catch (const std::exception& error) {
    return "\nBanco de dados agora: não foi possível saber: " + std::string(error.what()) + "\n";
  }
  return "\nBanco de dados agora: " + DatabaseLabel(DatabaseOf(line)) +
         (line.db_origin.empty() ? " (de --db)" : " (" + line.db_origin + ")") + ".\n";
}

}  // namespace

}  // namespace admin

int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  using namespace admin;
  CommandLine line;
  try {
    Parse(args, line);
    if (line.help) {
      const std::vector<std::string> known = KnownCommand(line.words);
      out << *HelpText(known);
      if (UsesDatabase(known)) out << DatabaseNow(line);
      return 0;
    }
    if (line.words.empty()) {
      err << *HelpText({});
      return kUsageExit;
    }
    const std::string& command = line.words[0];
    const std::string sub = line.words.size() > 1 ? line.words[1] : "";
    const size_t count = line.words.size();
    const bool group = command == "conta" || command == "extrato" || command == "usuario";
    if (group && count == 1) {
      err << "kvr61400-server: " << command << " precisa de um subcomando.\n\n"
          << *HelpText({command});
      return kUsageExit;
    }
    const std::string name = group ? command + " " + sub : command;
    if (UsesDatabase({command})) ResolveDatabase(line);
    // No word after the command, but for those that take a NUMERO or a NOME and check it.
    const bool exact = count == (group ? 2u : 1u);
    if (name == "serve" && exact) return ServeConfigured(args, line, err);
    if (name == "backup" && exact) return Backup(line, out);
    if (name == "restaurar" && exact) return Restore(line, out);
    if (name == "copiar" && exact) return Copy(line, out);
    if (name == "auditoria" && exact) return ShowTrail(line, out);
    if (name == "conta add" && exact) return AddAccount(line, out, err);
    if (name == "conta list" && exact) return ListAccounts(line, out);
    if (name == "conta edit" && exact) return EditAccount(line, out);
    if (name == "conta remove" && exact) return RemoveAccount(line, out);
    if (name == "usuario add") return AddUser(line, out, err);
    if (name == "usuario list" && exact) return ListUsers(line, out);
    if (name == "usuario remove") return RemoveUser(line, out);
    if (name == "extrato remove") return RemoveStatement(line, out, err);
    if (name == "extrato list" && exact) return ListStatements(line, out);
    if (name == "extrato show") return ShowStatement(line, out);
    if (name == "extrato continuidade" && exact) return ShowContinuity(line, out);
    if (group && !HelpText({command, sub}))
      throw Usage("subcomando desconhecido \"" + EscapeControls(sub) + "\" de " + command + ".");
    if (group || HelpText({command}))
      throw Usage("argumento a mais: \"" + EscapeControls(line.words[group ? 2 : 1]) + "\".");
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
    // A database the command line did not name: say which it was.
    if (!line.db_origin.empty())
      err << "kvr61400-server: banco de dados usado: " << DatabaseLabel(DatabaseOf(line)) << " ("
          << line.db_origin << "; outro com --db BANCO ou --config ARQUIVO).\n";
    return 1;
  }
}

}  // namespace kvr::server
