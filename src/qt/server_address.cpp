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

}  // namespace

std::optional<ServerAddress> ParseServerAddress(const QString& text) {
  const std::optional<TServerUrl> url = ParseServerUrl(text.toStdString());
  if (!url) return std::nullopt;
  ServerAddress address;
  address.host = url->HostValue();
  address.port = url->port;
  return address;
}

namespace {

// The value of the file option name ("--token-file"), else the settings
// under key; missing names what the file holds.
std::string FileOption(const QStringList& arguments, const QSettings& settings, const QString& name,
                       const char* key, const char* missing) {
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (argument == name) {
      if (i + 1 >= arguments.size()) {
        throw Exception(std::string("Falta o arquivo ") + missing + " depois de " + name.toStdString() +
                        ".");
      }
      return arguments[i + 1].toStdString();
    }
    if (argument.startsWith(name + "=")) return argument.mid(name.size() + 1).toStdString();
  }
  return settings.value(key).toString().toStdString();
}

ServerAddress Address(const QStringList& arguments, const QSettings& settings) {
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (argument == "--server") {
      if (i + 1 >= arguments.size()) {
        throw Exception("Falta o endereço do servidor depois de --server (use HOST:PORTA).");
      }
      return ParseOrThrow(arguments[i + 1], "--server");
    }
    if (argument.startsWith("--server=")) {
      return ParseOrThrow(argument.mid(9), "--server");
    }
  }
  const QVariant saved = settings.value(kServerSettingsKey);
  if (saved.isValid() && !saved.toString().isEmpty()) {
    return ParseOrThrow(saved.toString(), "configurações");
  }
  return ServerAddress{};
}

}  // namespace

ServerAddress ResolveServerAddress(const QStringList& arguments, const QSettings& settings) {
  ServerAddress address = Address(arguments, settings);
  address.token_file =
      FileOption(arguments, settings, "--token-file", kTokenFileSettingsKey, "da senha de acesso");
  address.ca_file = FileOption(arguments, settings, "--ca-file", kCaFileSettingsKey,
                               "da autoridade certificadora");
  return address;
}

}  // namespace kvr::qt
