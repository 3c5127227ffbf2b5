#include "admin.h"

#include "admin_commands.h"
#include "printable_text.h"
#include "usage.h"

namespace kvr::server {

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
