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
  const char* summary;
  const char* help;
};

const TSubcommand kCommands[] = {
    {"inspect", kvr::cli::RunInspect, kvr::cli::kInspectUsage,
     "l\xC3\xAA um extrato OFX e mostra o que o leitor encontrou", kvr::cli::kInspectHelp},
    {"import", kvr::cli::RunImport, kvr::cli::kImportUsage,
     "importa um extrato pela tela de importa\xC3\xA7\xC3\xA3o, contra o servidor de aplica\xC3\xA7\xC3\xA3o",
     kvr::cli::kImportHelp},
};

void PrintUsage(std::FILE* out) {
  std::fputs("uso:\n", out);
  for (const auto& c : kCommands) std::fprintf(out, "  kvr61400 %s\n", c.usage);
  std::fputs("Ajuda: kvr61400 --help, kvr61400 SUBCOMANDO --help\n", out);
}

void PrintHelp() {
  std::fputs(
      "kvr61400: importa\xC3\xA7\xC3\xA3o de extrato banc\xC3\xA1rio (OFX) pela linha de comando.\n"
      "\n"
      "uso: kvr61400 SUBCOMANDO [OP\xC3\x87\xC3\x95" "ES] ARQUIVO\n"
      "\n"
      "Subcomandos:\n",
      stdout);
  for (const auto& c : kCommands) std::printf("  %-8s %s\n", c.name, c.summary);
  std::fputs(
      "\n"
      "Exemplos:\n"
      "  kvr61400 inspect examples/extrato-341.ofx\n"
      "  kvr61400 import examples/extrato-237.ofx --server 127.0.0.1:8061 --de 01/03/2024 --ate 08/03/2024\n"
      "\n"
      "Ajuda de cada subcomando: kvr61400 SUBCOMANDO --help (ou kvr61400 help SUBCOMANDO).\n"
      "Vers\xC3\xA3o: kvr61400 --version.\n"
      "Status de sa\xC3\xAD" "da 64: erro de uso (op\xC3\xA7\xC3\xA3o desconhecida, falta o ARQUIVO).\n",
      stdout);
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "--ajuda"; }

}  // namespace

int main(int argc, char** argv) {
  kvr::InitFormatSettingsFromLocale();
  if (argc < 2) {
    PrintUsage(stderr);
    return kvr::cli::kExitUsage;
  }
  const std::string name = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (name == "--version") {
    std::puts("kvr61400 " KVR_VERSION);
    return kvr::cli::kExitOk;
  }
  if (IsHelp(name) || name == "help" || name == "ajuda") {
    if (!args.empty()) {
      for (const auto& c : kCommands) {
        if (args[0] == c.name) {
          std::fputs(c.help, stdout);
          return kvr::cli::kExitOk;
        }
      }
      std::fprintf(stderr, "kvr61400: subcomando desconhecido: \"%s\"\n", args[0].c_str());
      PrintUsage(stderr);
      return kvr::cli::kExitUsage;
    }
    PrintHelp();
    return kvr::cli::kExitOk;
  }
  for (const auto& c : kCommands) {
    if (name != c.name) continue;
    // "--help" anywhere before "--" asks for the subcommand's help.
    for (const std::string& arg : args) {
      if (arg == "--") break;
      if (IsHelp(arg)) {
        std::fputs(c.help, stdout);
        return kvr::cli::kExitOk;
      }
    }
    return c.run(args);
  }
  std::fprintf(stderr, "kvr61400: subcomando desconhecido: \"%s\"\n", name.c_str());
  PrintUsage(stderr);
  return kvr::cli::kExitUsage;
}
