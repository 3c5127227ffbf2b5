#include "admin.h"

#include <optional>

#include "admin_commands.h"
#include "config_file.h"
#include "printable_text.h"
#include "statement.h"
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

void Parse(const std::vector<std::string>& args, CommandLine& line) {
  static const char* const kValued[] = {
      "db",      "listen", "threads", "codigo",     "banco",           "agencia",
      "conta",   "tipo",   "mascara", "token-file", "max-connections", "max-inflated",
      "timeout", "de",     "para",    "max-memory", "config",          "tls-cert",
      "tls-key", "desde",  "usuario", "motivo",  "id-extrato"};
  // Options without a value: present or not.
  static const char* const kFlags[] = {"sem-tls", "administrador"};
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
      bool flag = false;
      for (const char* f : kFlags) flag = flag || name == f;
      if (flag && !value) {
        line.options[name] = "";
        continue;
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

}  // namespace admin

std::string UsageText() {
  return *HelpText({});
}

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
      err << UsageText();
      return kUsageExit;
    }
    const std::string& command = line.words[0];
    const std::string sub = line.words.size() > 1 ? line.words[1] : "";
    const size_t count = line.words.size();
    if (command == "serve" && count == 1) return ServeConfigured(args, line, err);
    if (command == "backup" && count == 1) return Backup(line, out);
    if (command == "copiar" && count == 1) return Copy(line, out);
    if (command == "auditoria" && count == 1) return ShowTrail(line, out);
    if (command == "conta" || command == "extrato" || command == "usuario") {
      if (count == 1) {
        err << "kvr61400-server: " << command << " precisa de um subcomando.\n\n"
            << *HelpText({command});
        return kUsageExit;
      }
      if (command == "conta" && sub == "add" && count == 2) return AddAccount(line, out);
      if (command == "conta" && sub == "list" && count == 2) return ListAccounts(line, out);
      if (command == "conta" && sub == "edit" && count == 2) return EditAccount(line, out);
      if (command == "conta" && sub == "remove" && count == 2) return RemoveAccount(line, out);
      if (command == "usuario" && sub == "add") return AddUser(line, out, err);
      if (command == "usuario" && sub == "list" && count == 2) return ListUsers(line, out);
      if (command == "usuario" && sub == "remove") return RemoveUser(line, out);
      if (command == "extrato" && sub == "remove") return RemoveStatement(line, out);
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
