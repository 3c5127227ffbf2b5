#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kvr::cli {

// What kvr61400 import was asked to do.
struct ImportOptions {
  std::vector<std::string> files;  // as given: files and folders
  std::string file;                // the file being imported, one of them
  std::optional<int> extrato;      // --extrato N: only that statement of each file
  bool batch = false;  // one result line per statement instead of the screen's state
  std::string host = "127.0.0.1";  // "https://HOST" for TLS (ServerUrl::HostValue)
  int port = 8061;
  std::string token;                // read from --token-file
  std::string ca_file;              // --ca-file: the CA that HTTPS trusts (empty: the system's)
  std::optional<std::string> tipo;  // Windows-1252
  std::optional<std::string> de, ate;
  std::optional<bool> answer;  // true: "Sim", false: "Não"
  bool json = false;
  bool summary = false;  // --sem-grade
};

// Reads the arguments of import (after its name) into options, reading the
// secret of --token-file. Returns the problem in UTF-8 ("falta o ARQUIVO",
// "opção desconhecida: --x", an --extrato that is no positive number, a --tipo that is no account type, --de without
// --ate, a date not written DD/MM/AAAA), empty when the arguments are sound.
// Nothing of the screen runs before this check.
std::string ParseImportOptions(const std::vector<std::string>& args, ImportOptions& options);

// Prints the problem and the usage line on stderr; returns kExitUsage.
int ImportUsageError(const std::string& problem);

}  // namespace kvr::cli
