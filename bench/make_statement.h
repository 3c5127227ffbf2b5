#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace kvr::bench {

// Writes to path a statement of bank 341 in the standard layout, with the
// usual OFX SGML header, the sign-on and statement aggregates, `transactions`
// transactions (every third with a DTUSER line, memos with Windows-1252
// accents) and a ledger and an available balance. Lines end in CR LF when
// crlf is true, LF otherwise. Deterministic: the same arguments give the same
// bytes. Returns the file's size in bytes; throws std::runtime_error when the
// file cannot be written.
std::size_t WriteStatement(const std::string& path, std::size_t transactions, bool crlf);

// The run's own temporary folder, "<temp>/<name>-<pid>", made on first use
// and removed with everything in it when the process ends.
const std::filesystem::path& RunFolder(const std::string& name);

}  // namespace kvr::bench
