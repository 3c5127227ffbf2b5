#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "admin/admin_commands.h"

// serve --config FILE: the serve options written in a file, one per line.
namespace kvr::server::admin {

// One option of a configuration file: `chave = valor`, or a key alone (a
// switch). number is the 1-based line of the file.
struct ConfigEntry {
  std::string key;
  std::string value;
  bool has_value = true;
  int number = 0;
};

// The options of the configuration file at path: lines `chave = valor`
// (blanks around both ignored, the value not empty), blank lines and lines whose first non-blank
// character is '#' skipped; a UTF-8 byte-order mark at the start ignored.
// Every key must name an option that `serve --help` describes (but config
// and help). Throws Exception when the file cannot be read, Usage naming the
// file and the line for a line without a key, an unknown key, a key
// given twice, or a value left out (only a switch stands alone).
std::vector<ConfigEntry> ReadConfigFile(const std::string& path);

// serve with the options of --config FILE, when given, under those of the
// command line: args is the whole command line (as RunCommand got it) and
// line what Parse read from it. The file's options go through Parse as if
// written before args (`--chave=valor`, a switch as `--chave`), so the
// command line wins and every option Parse knows is checked as there. A
// Usage thrown while serve checks its options, about an option the file
// gave (its message names it as --chave), is rethrown naming the file and
// its line. Returns what Serve returns.
int ServeConfigured(const std::vector<std::string>& args, const CommandLine& line,
                    std::ostream& err);

}  // namespace kvr::server::admin
