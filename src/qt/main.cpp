// kvr61400-host: the desktop host shell. Opens a main window whose menu
// entry "Importação de Extrato Bancário (OFX)" loads the package
// Pkg_kvr61400 and calls its IniProc.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include <QApplication>
#include <QSettings>
#include <QStyleFactory>
#include <QTimer>

#include "platform/format_settings.h"
#include "qt/display_guard.h"
#include "qt/host_shell.h"
#include "qt/main_window.h"
#include "qt/package_loader.h"
#include "qt/text.h"

namespace {

constexpr const char* kUsage =
    "Uso: kvr61400-host [--server HOST:PORTA] [--token-file ARQUIVO] [--ca-file ARQUIVO]\n"
    "                   [--pacote CAMINHO] [--abrir] [ARQUIVO.ofx]\n"
    "\n"
    "  --server HOST:PORTA  servidor de aplicação, também http://HOST:PORTA ou\n"
    "                       https://HOST:PORTA (senão o das configurações, senão\n"
    "                       127.0.0.1:8061); vários, separados por vírgula, são\n"
    "                       tentados em ordem quando um não pode ser alcançado\n"
    "  --ca-file ARQUIVO    autoridade certificadora (PEM) do certificado HTTPS do\n"
    "                       servidor (senão a das configurações, senão as do sistema)\n"
    "  --token-file ARQUIVO a sua chave de acesso ao servidor, a que o administrador\n"
    "                       criou (primeira linha do arquivo; senão o arquivo das\n"
    "                       configurações, senão nenhuma)\n"
    "  --pacote CAMINHO     o pacote Pkg_kvr61400.so ou a pasta que o contém\n"
    "                       (senão o das configurações, senão ao lado deste programa)\n"
    "  --abrir              abre a tela de importação ao iniciar\n"
    "  ARQUIVO.ofx          abre a tela de importação com este extrato carregado\n"
    "  --testar-display     só verifica se o display abre (status 0; 69 quando não abre)\n"
    "  --version            mostra a versão e termina\n"
    "\n"
    "\n"
    "Status de saída: 0 a janela foi fechada; 1 o pacote de --pacote não existe;\n"
    "64 erro de uso; 69 o display não abre.\n"
    "\n"
    "Exemplo: kvr61400-host --server 127.0.0.1:8061 --abrir\n";

// The package file a --pacote path names: the path itself, or the package
// inside it when it is a folder; empty when there is none. A package named
// on the command line that is not there is an error, never a reason to load
// another one from the settings or beside the shell.
std::string NamedPackage(const std::string& path) {
  std::error_code error;
  const std::filesystem::path named =
      std::filesystem::is_directory(path, error) ? std::filesystem::path(path) / kvr::qt::kPackageFileName
                                                 : std::filesystem::path(path);
  return std::filesystem::is_regular_file(named, error) ? named.string() : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  bool display_check = false;
  QStringList arguments;
  for (int i = 0; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument == "--version") {
      std::puts("kvr61400-host " KVR_VERSION);
      return 0;
    }
    if (argument == "--testar-display") {
      display_check = true;
      continue;
    }
    std::string package;
    if (argument == "--pacote" && i + 1 < argc) package = argv[i + 1];
    if (argument.rfind("--pacote=", 0) == 0) package = argument.substr(9);
    if (!package.empty() && NamedPackage(package).empty()) {
      std::fprintf(stderr,
                   "kvr61400-host: pacote do módulo não encontrado em --pacote \"%s\": "
                   "informe o arquivo %s ou a pasta que o contém.\n",
                   package.c_str(), kvr::qt::kPackageFileName);
      return 1;
    }
    arguments << QString::fromLocal8Bit(argv[i]);
  }
  // The arguments are checked before the display opens: a mistyped option
  // is a usage error with or without a display.
  QApplication::setOrganizationName("kvr");
  QApplication::setApplicationName("kvr61400-host");
  kvr::qt::HostShellOptions options;
  try {
    const QSettings settings;
    options = kvr::qt::ResolveHostShellOptions(kvr::qt::WithoutQtOptions(arguments), settings);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kvr61400-host: %s\n%s", kvr::qt::ErrorText(error).toLocal8Bit().constData(), kUsage);
    return 64;
  }

  // A display that does not open ends the program with a message of ours
  // and kExitNoDisplay; scripts/run-demo asks first (--testar-display), so
  // that it can fall back to the headless demo.
  std::optional<kvr::qt::DisplayGuard> guard(std::in_place);
  QApplication application(argc, argv);
  guard.reset();
  if (display_check) return 0;
  if (QStyle* style = QStyleFactory::create("Fusion")) QApplication::setStyle(style);
  kvr::InitFormatSettingsFromLocale();
  kvr::qt::UsePortuguese(application);

  kvr::qt::HostShell shell(options, QApplication::applicationDirPath());
  shell.Window().show();
  if (!options.statement_file.isEmpty()) {
    QTimer::singleShot(0, &shell.Window(), [&shell, file = options.statement_file] { shell.OpenStatementFile(file); });
  } else if (options.open_import_ofx) {
    QTimer::singleShot(0, &shell.Window(), [&shell] { shell.OpenImportOFX(); });
  }
  return QApplication::exec();
}
