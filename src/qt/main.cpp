// kvr61400-host: the desktop host shell. Opens a main window whose menu
// entry "Importação de Extrato Bancário (OFX)" loads the package
// Pkg_kvr61400 and calls its IniProc.
#include <cstdio>

#include <QApplication>
#include <QSettings>
#include <QStyleFactory>
#include <QTimer>

#include "platform/format_settings.h"
#include "qt/host_shell.h"
#include "qt/main_window.h"
#include "qt/text.h"

namespace {

constexpr const char* kUsage =
    "Uso: kvr61400-host [--server HOST:PORTA] [--token-file ARQUIVO] [--ca-file ARQUIVO]\n"
    "                   [--pacote CAMINHO] [--abrir]\n"
    "\n"
    "  --server HOST:PORTA  servidor de aplicação, também http://HOST:PORTA ou\n"
    "                       https://HOST:PORTA (senão o das configurações, senão\n"
    "                       127.0.0.1:8061)\n"
    "  --ca-file ARQUIVO    autoridade certificadora (PEM) do certificado HTTPS do\n"
    "                       servidor (senão a das configurações, senão as do sistema)\n"
    "  --token-file ARQUIVO a senha de acesso do servidor (primeira linha do arquivo;\n"
    "                       senão o arquivo das configurações, senão nenhuma)\n"
    "  --pacote CAMINHO     o pacote Pkg_kvr61400.so ou a pasta que o contém\n"
    "                       (senão o das configurações, senão ao lado deste programa)\n"
    "  --abrir              abre a tela de importação ao iniciar\n"
    "  --testar-display     só verifica se o display abre (status 0) e termina\n"
    "\n"
    "Exemplo: kvr61400-host --server 127.0.0.1:8061 --abrir\n";

}  // namespace

int main(int argc, char** argv) {
  bool display_check = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument == "--testar-display") display_check = true;
  }
  // Qt ends the process when it cannot open the display; scripts/run-demo
  // asks first, so that it can fall back to the headless demo.
  QApplication application(argc, argv);
  if (display_check) return 0;
  QApplication::setOrganizationName("kvr");
  QApplication::setApplicationName("kvr61400-host");
  if (QStyle* style = QStyleFactory::create("Fusion")) QApplication::setStyle(style);
  kvr::InitFormatSettingsFromLocale();
  kvr::qt::UsePortuguese(application);

  kvr::qt::HostShellOptions options;
  try {
    const QSettings settings;
    options = kvr::qt::ResolveHostShellOptions(QApplication::arguments(), settings);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kvr61400-host: %s\n%s", kvr::qt::ErrorText(error).toLocal8Bit().constData(), kUsage);
    return 64;
  }

  kvr::qt::HostShell shell(options, QApplication::applicationDirPath());
  shell.Window().show();
  if (options.open_import_ofx) QTimer::singleShot(0, &shell.Window(), [&shell] { shell.OpenImportOFX(); });
  return QApplication::exec();
}
