#pragma once

#include <optional>
#include <string>

#include <QSettings>
#include <QString>
#include <QStringList>

namespace kvr::qt {

// Where the application server listens, the file holding the secret it
// demands (empty: it demands none) and the CA file its HTTPS certificate is
// checked against (empty: the system's trust store).
struct ServerAddress {
  std::string host = "127.0.0.1";  // "https://HOST" for TLS
  int port = 8061;
  std::string token_file = "";
  std::string ca_file = "";
};

// The settings key that holds the saved server address, "HOST:PORT".
inline constexpr const char* kServerSettingsKey = "servidor/endereco";
// The settings key that holds the path of the server's token file.
inline constexpr const char* kTokenFileSettingsKey = "servidor/arquivo_token";
// The settings key that holds the path of the CA file for HTTPS.
inline constexpr const char* kCaFileSettingsKey = "servidor/arquivo_ca";

// Parses "HOST:PORT", "http://HOST:PORT" or "https://HOST:PORT": a non-empty
// host without blanks and a port from 1 to 65535 (ServerUrl). Returns
// nothing for anything else.
std::optional<ServerAddress> ParseServerAddress(const QString& text);

// The server address the host uses: the value of "--server HOST:PORT" (or
// "--server=HOST:PORT") among the arguments, else the one saved in settings
// under kServerSettingsKey, else 127.0.0.1:8061; its token file from
// "--token-file FILE" (or "--token-file=FILE"), else the settings under
// kTokenFileSettingsKey, else none; its CA file likewise from "--ca-file
// FILE" or kCaFileSettingsKey. Throws kvr::Exception with a Portuguese
// message quoting the value when the argument or the saved value is
// malformed, or when --server or --token-file has no value.
ServerAddress ResolveServerAddress(const QStringList& arguments, const QSettings& settings);

}  // namespace kvr::qt
