#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kvr::server {

// The process exit code of a usage error (the value sysexits.h gives
// EX_USAGE).
constexpr int kUsageExit = 64;

// The help text (Portuguese, UTF-8, with an example) of the command named by
// words: none for the program, {"conta"}, {"conta", "add"}, ... Nothing for
// words that name no command.
std::optional<std::string> HelpText(const std::vector<std::string>& words);

// The longest leading part of words that names a command with a help text
// (empty when the first word names none).
std::vector<std::string> KnownCommand(const std::vector<std::string>& words);

}  // namespace kvr::server
