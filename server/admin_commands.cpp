#include "admin_commands.h"

#include <optional>

#include "printable_text.h"
#include "statement.h"

namespace kvr::server::admin {

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
      "timeout", "de",     "para"};
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

std::string Pad(const std::string& text, size_t width) {
  size_t length = Utf8Length(text);
  return length >= width ? text + " " : text + std::string(width - length, ' ');
}

}  // namespace kvr::server::admin
