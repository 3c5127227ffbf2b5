#include "qt/server_address.h"

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
  const qsizetype colon = text.lastIndexOf(':');
  if (colon <= 0) return std::nullopt;
  const QString host = text.left(colon);
  const QString port_text = text.mid(colon + 1);
  for (const QChar c : host) {
    if (c.isSpace()) return std::nullopt;
  }
  if (port_text.isEmpty() || port_text.size() > 5) return std::nullopt;
  for (const QChar c : port_text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  const int port = port_text.toInt();
  if (port < 1 || port > 65535) return std::nullopt;
  ServerAddress address;
  address.host = host.toStdString();
  address.port = port;
  return address;
}

namespace {

std::string TokenFile(const QStringList& arguments, const QSettings& settings) {
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (argument == "--token-file") {
      if (i + 1 >= arguments.size()) {
        throw Exception("Falta o arquivo da senha de acesso depois de --token-file.");
      }
      return arguments[i + 1].toStdString();
    }
    if (argument.startsWith("--token-file=")) return argument.mid(13).toStdString();
  }
  return settings.value(kTokenFileSettingsKey).toString().toStdString();
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
  address.token_file = TokenFile(arguments, settings);
  return address;
}

}  // namespace kvr::qt
