#include "admin.h"

#include <optional>
#include <set>

#include "admin_commands.h"
#include "config_file.h"
#include "printable_text.h"
#include "usage.h"

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
  static const std::set<std::string> kSwitches = {"json", "sem-tls", "administrador"};
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

}  // namespace admin

int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  using namespace admin;
  CommandLine line;
  try {
    Parse(args, line);
    if (line.help) {
      out << *HelpText(KnownCommand(line.words));
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
    // No word after the command, but for those that take a NUMERO or a NOME and check it.
    const bool exact = count == (group ? 2u : 1u);
    if (name == "serve" && exact) return ServeConfigured(args, line, err);
    if (name == "backup" && exact) return Backup(line, out);
    if (name == "copiar" && exact) return Copy(line, out);
    if (name == "auditoria" && exact) return ShowTrail(line, out);
    if (name == "conta add" && exact) return AddAccount(line, out);
    if (name == "conta list" && exact) return ListAccounts(line, out);
    if (name == "conta edit" && exact) return EditAccount(line, out);
    if (name == "conta remove" && exact) return RemoveAccount(line, out);
    if (name == "usuario add") return AddUser(line, out, err);
    if (name == "usuario list" && exact) return ListUsers(line, out);
    if (name == "usuario remove") return RemoveUser(line, out);
    if (name == "extrato remove") return RemoveStatement(line, out);
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
    return 1;
  }
}

}  // namespace kvr::server
