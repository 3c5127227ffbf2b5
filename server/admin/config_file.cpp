#include "admin/config_file.h"

#include <set>

#include "rpc/log_text.h"
#include "store/printable_text.h"
#include "http/private_file.h"
#include "admin/usage.h"
#include "wire/errors.h"

namespace kvr::server::admin {

namespace {

// A configuration file is a few lines; a larger one is the wrong file.
constexpr size_t kMaxConfigFile = 64 * 1024;
// The longest value an option takes (a path, a database URI).
constexpr size_t kMaxValue = 4096;
// How much of a key or value a message quotes.
constexpr size_t kShownChars = 60;

bool IsOptionChar(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

// The options of serve are the ones its help describes: an option added to
// serve and to its help is accepted in the file with no list to keep here.
std::set<std::string> ServeOptionNames() {
  std::set<std::string> names;
  const std::string help = HelpText({"serve"}).value_or("");
  for (size_t at = help.find("--"); at != std::string::npos; at = help.find("--", at + 2)) {
    if (at > 0 && IsOptionChar(help[at - 1])) continue;
    size_t end = at + 2;
    while (end < help.size() && IsOptionChar(help[end])) ++end;
    if (end > at + 2) names.insert(help.substr(at + 2, end - at - 2));
  }
  names.erase("config");
  names.erase("help");
  return names;
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

std::string Where(const std::string& path, int number) {
  return "\"" + EscapeControls(path) + "\", linha " + std::to_string(number) + ": ";
}

// Where text names --key as a whole option, or npos.
size_t FindOption(const std::string& text, const std::string& key) {
  const std::string option = "--" + key;
  for (size_t at = text.find(option); at != std::string::npos; at = text.find(option, at + 1)) {
    const size_t end = at + option.size();
    if ((at == 0 || !IsOptionChar(text[at - 1])) && (end == text.size() || !IsOptionChar(text[end])))
      return at;
  }
  return std::string::npos;
}

}  // namespace

std::vector<ConfigEntry> ReadConfigFile(const std::string& path) {
  const std::string content = ReadSmallFile(path, "arquivo de configuração", kMaxConfigFile);
  const std::set<std::string> known = ServeOptionNames();
  std::vector<ConfigEntry> entries;
  size_t start = 0;
  for (int number = 1; start < content.size(); ++number) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string text = content.substr(start, end - start);
    start = end + 1;
    if (number == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    // A NUL would cut the value where the option is read.
    if (text.find('\0') != std::string::npos)
      throw Usage(Where(path, number) +
                  "caractere nulo; grave o arquivo como texto (chave = valor em cada linha).");
    // As in postgresql.conf, "#" starts a comment anywhere on a line:
    // "db = main.db  # banco principal" is main.db.
    text = Trim(text.substr(0, text.find('#')));
    if (text.empty()) continue;
    ConfigEntry entry;
    entry.number = number;
    const size_t equals = text.find('=');
    entry.has_value = equals != std::string::npos;
    entry.key = Trim(text.substr(0, equals));
    if (entry.has_value) entry.value = Trim(text.substr(equals + 1));
    if (entry.key.empty())
      throw Usage(Where(path, number) + "falta a chave antes de \"=\"; escreva chave = valor.");
    if (!entry.has_value && entry.key.find_first_of(" \t") != std::string::npos)
      throw Usage(Where(path, number) + "falta \"=\" entre a chave e o valor; escreva chave = valor.");
    if (!known.count(entry.key)) {
      std::string names;
      for (const std::string& name : known) names += (names.empty() ? "" : ", ") + name;
      throw Usage(Where(path, number) + "chave desconhecida \"" +
                  EscapeControls(CutText(entry.key, kShownChars)) +
                  "\"; as chaves são as opções de serve: " + names + ".");
    }
    // No option takes a value this long; messages that quote a value would
    // repeat all of it.
    if (entry.value.size() > kMaxValue)
      throw Usage(Where(path, number) + "o valor de \"" + entry.key + "\" tem " +
                  std::to_string(entry.value.size()) + " bytes, mais que o limite de " +
                  std::to_string(kMaxValue) + " (\"" +
                  EscapeControls(CutText(entry.value, kShownChars)) + "\"); confira a linha.");
    // No option means an empty value; an empty db would even be a temporary
    // database that vanishes when the server stops. A key alone that needs a
    // value would take the next option as its value.
    if (entry.has_value ? entry.value.empty() : !IsSwitch(entry.key))
      throw Usage(Where(path, number) + "falta o valor de \"" + entry.key + "\"; escreva " +
                  entry.key + " = valor.");
    for (const ConfigEntry& before : entries)
      if (before.key == entry.key)
        throw Usage(Where(path, number) + "a chave \"" + entry.key + "\" já foi dada na linha " +
                    std::to_string(before.number) + ".");
    entries.push_back(entry);
  }
  return entries;
}

int ServeConfigured(const std::vector<std::string>& args, const CommandLine& line,
                    std::ostream& err) {
  if (!line.options.count("config")) return Serve(line, err);
  const std::string path = line.Option("config");
  const std::vector<ConfigEntry> entries = ReadConfigFile(path);
  std::vector<std::string> all;
  for (const ConfigEntry& entry : entries)
    all.push_back("--" + entry.key + (entry.has_value ? "=" + entry.value : ""));
  all.insert(all.end(), args.begin(), args.end());
  CommandLine merged;
  try {
    Parse(all, merged);
  } catch (const Usage& error) {
    // A switch written with a value, or a value left out: Parse names the
    // option, the file's line says where.
    for (const ConfigEntry& entry : entries)
      if (FindOption(error.what(), entry.key) != std::string::npos)
        throw Usage(Where(path, entry.number) + error.what());
    throw;
  }
  try {
    return Serve(merged, err);
  } catch (const Usage& error) {
    const std::string message = error.what();
    const ConfigEntry* named = nullptr;
    size_t first = std::string::npos;
    for (const ConfigEntry& entry : entries) {
      if (line.options.count(entry.key)) continue;  // the command line's value was used
      const size_t at = FindOption(message, entry.key);
      if (at < first) {
        first = at;
        named = &entry;
      }
    }
    if (named == nullptr) throw;
    throw Usage(Where(path, named->number) + message);
  }
}

}  // namespace kvr::server::admin
