#include "qt/host_shell.h"

#include "host/host_library.h"
#include "platform/errors.h"
#include "qt/main_window.h"
#include "qt/package_loader.h"
#include "qt/qt_host_library.h"
#include "qt/user_action.h"

namespace kvr::qt {

HostShellOptions ResolveHostShellOptions(const QStringList& arguments, const QSettings& settings) {
  HostShellOptions options;
  options.server = ResolveServerAddress(arguments, settings);
  options.package_path = settings.value(kPackageSettingsKey).toString();
  // The first argument is the program.
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (argument == "--server") {
      ++i;  // checked by ResolveServerAddress
    } else if (argument.startsWith("--server=")) {
    } else if (argument == "--pacote") {
      if (i + 1 >= arguments.size()) throw Exception("Falta o caminho do pacote depois de --pacote.");
      options.package_path = arguments[++i];
    } else if (argument.startsWith("--pacote=")) {
      options.package_path = argument.mid(9);
    } else if (argument == "--abrir") {
      options.open_import_ofx = true;
    } else {
      throw Exception("Opção desconhecida: \"" + argument.toStdString() + "\".");
    }
  }
  return options;
}

HostShell::HostShell(HostShellOptions options, const QString& host_folder)
    : window_(std::make_unique<MainWindow>()),
      host_(std::make_unique<QtHostLibrary>(*window_, options.server)),
      package_(std::make_unique<PackageLoader>()),
      candidates_(kvr::qt::PackageCandidates(options.package_path, host_folder)) {
  SetHostLibrary(host_.get());
  window_->SetOpenImportOFX([this] { OpenImportOFX(); });
  window_->SetStatusText(QString::fromUtf8("Servidor: %1:%2")
                             .arg(QString::fromStdString(options.server.host))
                             .arg(options.server.port));
}

HostShell::~HostShell() {
  host_->ReleaseScreens();
  SetHostLibrary(nullptr);
}

bool HostShell::OpenImportOFX() {
  return RunUserAction(window_.get(), [this] {
    package_->Load(candidates_);
    package_->CallIniProc();
  });
}

}  // namespace kvr::qt
