// kvr61400: the module's command-line front end. Each subcommand lives in its
// own file and is listed once in kCommands.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/format_settings.h"

namespace {

struct TSubcommand {
  const char* name;
  kvr::cli::TCommand run;
  const char* usage;
};

const TSubcommand kCommands[] = {
    {"inspect", kvr::cli::RunInspect, kvr::cli::kInspectUsage},
    {"import", kvr::cli::RunImport, kvr::cli::kImportUsage},
};

void PrintUsage(std::FILE* out) {
  std::fputs("uso:\n", out);
  for (const auto& c : kCommands) std::fprintf(out, "  kvr61400 %s\n", c.usage);
}

}  // namespace

int main(int argc, char** argv) {
  kvr::InitFormatSettingsFromLocale();
  if (argc < 2) {
    PrintUsage(stderr);
    return kvr::cli::kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return kvr::cli::kExitOk;
  }
  for (const auto& c : kCommands) {
    if (name == c.name) return c.run(std::vector<std::string>(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "kvr61400: subcomando desconhecido: \"%s\"\n", name.c_str());
  PrintUsage(stderr);
  return kvr::cli::kExitUsage;
}
