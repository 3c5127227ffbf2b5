#pragma once

#include <optional>
#include <string>

#include <QSettings>
#include <QString>
#include <QStringList>

namespace kvr::qt {

// Where the application server listens.
struct ServerAddress {
  std::string host = "127.0.0.1";
  int port = 8061;
};

// The settings key that holds the saved server address, "HOST:PORT".
inline constexpr const char* kServerSettingsKey = "servidor/endereco";

// Parses "HOST:PORT": a non-empty host without blanks and a port from 1 to
// 65535. Returns nothing for anything else.
std::optional<ServerAddress> ParseServerAddress(const QString& text);

// The server address the host uses: the value of "--server HOST:PORT" (or
// "--server=HOST:PORT") among the arguments, else the one saved in settings
// under kServerSettingsKey, else 127.0.0.1:8061. Throws kvr::Exception with
// a Portuguese message quoting the value when the argument or the saved
// value is malformed, or when --server has no value.
ServerAddress ResolveServerAddress(const QStringList& arguments, const QSettings& settings);

}  // namespace kvr::qt
