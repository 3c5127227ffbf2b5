#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kvr::server {

// The server's command line (without the program name):
//   serve [--listen HOST:PORT] [--db FILE] [--threads N]
//   conta add --codigo C --banco B --agencia A --conta N --tipo T --mascara M [--db FILE]
//   conta list [--json] [--db FILE]
//   conta edit --codigo C [--tipo T] [--mascara M] [--db FILE]
//   conta remove --codigo C [--db FILE]
//   extrato list [--json] [--db FILE]
//   extrato show CDSEQUEXTR [--json] [--db FILE]
//   extrato continuidade [--conta C] [--json] [--db FILE]
//   [COMMAND [SUBCOMMAND]] --help
//   copiar --de DB --para DB
//   backup --para FILE [--db FILE]
//   serve --config FILE [OPTIONS]   (the file's options under the command line's)
// DB is a SQLite file or a postgresql:// URI; list and show never create it.
// Writes results to out and messages to err (UTF-8). Returns the process
// exit code: 0 done (--help too: its text on out), 1 failed (the reason on
// err), kUsageExit (64) bad usage. serve runs until SIGINT or SIGTERM, which
// must be blocked in the calling thread's signal mask beforehand only if
// other threads exist already.
int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kvr::server
