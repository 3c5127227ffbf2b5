#pragma once

#include <string>
#include <vector>

#include "platform/sysutils.h"

namespace kvr::cli {

// Exit statuses of the command line.
constexpr int kExitOk = 0;
constexpr int kExitNotStatement = 1;
constexpr int kExitError = 2;
constexpr int kExitUsage = 64;
// import: the statement was already recorded; nothing was stored.
constexpr int kExitAlreadyRecorded = 3;
// import: a message of the screen ended the action.
constexpr int kExitEnded = 4;
// import: the user declined the repeat question; nothing was stored.
constexpr int kExitDeclined = 5;

// A subcommand: its arguments after the subcommand's name; returns the exit
// status. Writes its results on stdout and its errors on stderr, in UTF-8.
using Command = int (*)(const std::vector<std::string>& args);

// kvr61400 inspect [--json] [--decimal-separator C] FILE: reads FILE with the
// statement reader and prints what it found. 0 when the file is a statement,
// 1 when it is not (or does not exist), 2 when the parse fails, 64 for a
// usage error.
int RunInspect(const std::vector<std::string>& args);

// The usage line and the help text (--help) of inspect.
extern const char* const kInspectUsage;
extern const char* const kInspectHelp;

// kvr61400 import FILE [--server HOST:PORT] [--tipo T] [--de D --ate D]
// [--sim | --nao] [--json]: runs the import screen's whole flow on FILE
// against the server. 0 after "Arquivo importado com sucesso.", 3 after
// "Arquivo de movimentação bancária já cadastrado.", 4 after any other
// message that ends the action, 5 when the repeat question was answered
// "Não", 2 for a parse or connection error, 64 for a usage error.
int RunImport(const std::vector<std::string>& args);

// A day as "2024-03-01", as --json writes dates.
std::string IsoDate(TDateTime date);

// The usage line and the help text (--help) of import.
extern const char* const kImportUsage;
extern const char* const kImportHelp;

}  // namespace kvr::cli
