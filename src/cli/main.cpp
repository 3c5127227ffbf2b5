// kvr61400: the module's command-line front end. Each subcommand lives in its
// own file and is listed once in kCommands.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/format_settings.h"

namespace {

struct Subcommand {
  const char* name;
  kvr::cli::Command run;
  const char* usage;
  const char* summary;
  const char* help;
};

const Subcommand kCommands[] = {
    {"inspect", kvr::cli::RunInspect, kvr::cli::kInspectUsage,
     "lê um extrato OFX e mostra o que o leitor encontrou", kvr::cli::kInspectHelp},
    {"import", kvr::cli::RunImport, kvr::cli::kImportUsage,
     "importa um extrato pela tela de importação, contra o servidor de aplicação",
     kvr::cli::kImportHelp},
};

void PrintUsage(std::FILE* out) {
  std::fputs("uso:\n", out);
  for (const auto& c : kCommands) std::fprintf(out, "  kvr61400 %s\n", c.usage);
  std::fputs("Ajuda: kvr61400 --help, kvr61400 SUBCOMANDO --help\n", out);
}

void PrintHelp() {
  std::fputs(
      "kvr61400: importação de extrato bancário (OFX) pela linha de comando.\n"
      "\n"
      "uso: kvr61400 SUBCOMANDO [OPÇÕES] ARQUIVO\n"
      "\n"
      "Subcomandos:\n",
      stdout);
  for (const auto& c : kCommands) std::printf("  %-8s %s\n", c.name, c.summary);
  std::fputs(
      "\n"
      "Exemplos:\n"
      "  kvr61400 inspect examples/extrato-341.ofx\n"
      "  kvr61400 import examples/extrato-237.ofx --server 127.0.0.1:8061 --de 01/03/2024 --ate "
      "08/03/2024\n"
      "\n"
      "Ajuda de cada subcomando: kvr61400 SUBCOMANDO --help (ou kvr61400 help SUBCOMANDO).\n"
      "Versão: kvr61400 --version.\n"
      "Status de saída 64: erro de uso (opção desconhecida, falta o ARQUIVO).\n",
      stdout);
}

bool IsHelp(const std::string& arg) {
  return arg == "--help" || arg == "-h" || arg == "--ajuda";
}

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
  const bool help = IsHelp(name) || name == "help" || name == "ajuda";
  if (help && args.empty()) {
    PrintHelp();
    return kvr::cli::kExitOk;
  }
  const std::string& wanted = help ? args[0] : name;
  for (const auto& c : kCommands) {
    if (wanted != c.name) continue;
    // "--help" anywhere before "--" asks for the subcommand's help.
    if (help || std::any_of(args.begin(), std::find(args.begin(), args.end(), "--"), IsHelp)) {
      std::fputs(c.help, stdout);
      return kvr::cli::kExitOk;
    }
    return c.run(args);
  }
  std::fprintf(stderr, "kvr61400: subcomando desconhecido: \"%s\"\n", wanted.c_str());
  PrintUsage(stderr);
  return kvr::cli::kExitUsage;
}
