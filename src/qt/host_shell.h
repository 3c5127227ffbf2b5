#pragma once

#include <QCoreApplication>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <memory>

#include "qt/server_address.h"

namespace kvr::qt {

class MainWindow;
class PackageLoader;
class QtHostLibrary;

// The settings key that holds the package's path (a file or a folder).
inline constexpr const char* kPackageSettingsKey = "pacotes/Pkg_kvr61400";

// How the shell is set up: the server address and the package's path.
struct HostShellOptions {
  ServerAddress server;
  // Empty: look beside the shell.
  QString package_path;
  // Open the module's screen right after start.
  bool open_import_ofx = false;
  // A statement to load into it (the command line's FILE, as a file manager
  // passes it); empty: none.
  QString statement_file;
  // The settings file the shell saves to; empty: the user's own
  // (~/.config/kvr/kvr61400-host.conf).
  QString settings_file;
};

// The options from the command line ("--server HOST:PORT", "--pacote PATH",
// "--abrir"), else from the saved settings (kServerSettingsKey,
// kPackageSettingsKey), else the defaults. Throws kvr::Exception quoting a
// malformed or missing value, or an unknown option.
HostShellOptions ResolveHostShellOptions(const QStringList& arguments, const QSettings& settings);

// The module speaks Portuguese whatever the process locale: loads Qt's own
// Portuguese (Brazil) translations (its file chooser, its standard buttons)
// into application, and, when the locale has no regional conventions of its
// own (C, POSIX, C.UTF-8), makes Brazil Qt's default locale. Returns false
// when the translations are not installed (qt6-translations-l10n); Qt's
// dialogs then stay in English.
bool UsePortuguese(QCoreApplication& application);

// The host shell: its main window, the Qt host library installed for the
// module (SetHostLibrary) and the module's package. One per process, on the
// user-interface thread; a QApplication must exist.
class HostShell {
 public:
  HostShell(HostShellOptions options, const QString& host_folder);
  // Releases the module's screens while the package is still loaded, then
  // uninstalls the host library.
  ~HostShell();
  HostShell(const HostShell&) = delete;
  HostShell& operator=(const HostShell&) = delete;

  MainWindow& Window() const { return *window_; }
  QtHostLibrary& Host() const { return *host_; }

  // The menu entry "Importação de Extrato Bancário (OFX)": loads the
  // package on first use and calls its IniProc, as one guarded user action
  // (an error is shown in a dialog). Returns true when IniProc returned
  // normally.
  bool OpenImportOFX();
  // Opens the module's screen and loads file into it, as choosing it with
  // the screen's search button does.
  bool OpenStatementFile(const QString& file);

  // Takes "HOST:PORT" (or "https://HOST:PORT") as the server address and token_file as the path of
  // the server's token file (empty: none) from now on (the next connect,
  // that is the next opening of a screen, uses them) and saves both in the
  // settings. Returns false, changing nothing, when the address is malformed.
  // ca_file names the CA file (PEM) HTTPS trusts (empty: the system's).
  bool ChangeServer(const QString& address, const QString& token_file,
                    const QString& ca_file = QString());
  // The entry "Servidor de aplicação...": asks for the address and the token
  // file in a dialog and changes them (an error box for a malformed
  // address).
  void ConfigureServer();

 private:
  void ShowServer();
  // The server address as the user writes it: HOST:PORTA, or the list of several.
  QString CurrentAddress() const;

  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<QtHostLibrary> host_;
  std::unique_ptr<PackageLoader> package_;
  QStringList candidates_;
  QString settings_file_;
  std::string token_file_;
  std::string ca_file_;
};

}  // namespace kvr::qt
