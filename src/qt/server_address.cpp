#include "qt/server_address.h"

#include "host/server_url.h"
#include "platform/errors.h"

namespace kvr::qt {

namespace {

ServerAddress ParseOrThrow(const QString& text, const char* origin) {
  if (const auto address = ParseServerAddress(text)) return *address;
  throw Exception(std::string("Endereço do servidor inválido em ") + origin + ": \"" +
                  text.toStdString() + "\" (use HOST:PORTA, por exemplo 127.0.0.1:8061).");
}

// The value of the option name, given as "NAME VALUE" or "NAME=VALUE"; none
// when the option is not there. Throws missing when its value is.
std::optional<QString> OptionValue(const QStringList& arguments, const QString& name,
                                   const std::string& missing) {
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == name) {
      if (i + 1 >= arguments.size()) throw Exception(missing);
      return arguments[i + 1];
    }
    if (arguments[i].startsWith(name + "=")) return arguments[i].mid(name.size() + 1);
  }
  return std::nullopt;
}

}  // namespace

std::optional<ServerAddress> ParseServerAddress(const QString& text) {
  const std::optional<std::vector<ServerUrl>> urls = ParseServerList(text.toStdString());
  if (!urls) return std::nullopt;
  ServerAddress address;
  address.host = ListHostValue(*urls);
  address.port = urls->front().port;
  return address;
}

ServerAddress ResolveServerAddress(const QStringList& arguments, const QSettings& settings) {
  ServerAddress address;
  const QString saved = settings.value(kServerSettingsKey).toString();
  const char* missing_server = "Falta o endereço do servidor depois de --server (use HOST:PORTA).";
  if (const auto server = OptionValue(arguments, "--server", missing_server)) {
    address = ParseOrThrow(*server, "--server");
  } else if (!saved.isEmpty()) {
    address = ParseOrThrow(saved, "configurações");
  }
  // A file option, else the settings under key; missing names what the file holds.
  auto file = [&](const QString& name, const char* key, const char* missing) {
    const std::string text = "Falta o arquivo " + std::string(missing) + " depois de ";
    const std::optional<QString> given =
        OptionValue(arguments, name, text + name.toStdString() + ".");
    return given.value_or(settings.value(key).toString()).toStdString();
  };
  address.token_file = file("--token-file", kTokenFileSettingsKey, "da chave de acesso");
  address.ca_file = file("--ca-file", kCaFileSettingsKey, "da autoridade certificadora");
  return address;
}

}  // namespace kvr::qt
