#include "qt/host_shell.h"

#include "host/server_url.h"

#include <QAbstractButton>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTranslator>

#include "host/host_library.h"
#include "host/net_connection.h"
#include "platform/errors.h"
#include "qt/main_window.h"
#include "qt/package_loader.h"
#include "qt/qt_host_library.h"
#include "qt/dialogs.h"
#include "qt/server_call_runner.h"
#include "qt/user_action.h"

namespace kvr::qt {

bool UsePortuguese(QCoreApplication& application) {
  const QLocale system = QLocale::system();
  if (system.language() == QLocale::C) QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
  auto* translator = new QTranslator(&application);
  if (!translator->load(QLocale(QLocale::Portuguese, QLocale::Brazil), "qtbase", "_",
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  QCoreApplication::installTranslator(translator);
  return true;
}

HostShellOptions ResolveHostShellOptions(const QStringList& arguments, const QSettings& settings) {
  HostShellOptions options;
  options.server = ResolveServerAddress(arguments, settings);
  options.package_path = settings.value(kPackageSettingsKey).toString();
  // The first argument is the program.
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (argument == "--server" || argument == "--token-file" || argument == "--ca-file") {
      ++i;  // checked by ResolveServerAddress
    } else if (argument.startsWith("--server=") || argument.startsWith("--token-file=") ||
               argument.startsWith("--ca-file=")) {
    } else if (argument == "--pacote") {
      if (i + 1 >= arguments.size()) throw Exception("Falta o caminho do pacote depois de --pacote.");
      options.package_path = arguments[++i];
    } else if (argument.startsWith("--pacote=")) {
      options.package_path = argument.mid(9);
    } else if (argument == "--abrir") {
      options.open_import_ofx = true;
    } else if (!argument.startsWith("-")) {
      if (!options.statement_file.isEmpty())
        throw Exception("Um extrato por vez: \"" + argument.toStdString() + "\" depois de \"" +
                        options.statement_file.toStdString() + "\".");
      options.statement_file = argument;
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
      candidates_(kvr::qt::PackageCandidates(options.package_path, host_folder)),
      settings_file_(options.settings_file),
      token_file_(options.server.token_file),
      ca_file_(options.server.ca_file) {
  SetHostLibrary(host_.get());
  SetHttpsCaFile(ca_file_);
  // Server calls wait off the interface thread: the busy indicator moves and
  // the window repaints while the screen's handler waits for its answer.
  TNetConnection::SetCallRunner(RunServerCallWhilePainting);
  window_->SetOpenImportOFX([this] { OpenImportOFX(); });
  window_->SetConfigureServer([this] { ConfigureServer(); });
  ShowServer();
}

QString HostShell::CurrentAddress() const {
  // Several addresses carry their ports in the list.
  const QString host = QString::fromStdString(host_->WebURL());
  return host.contains(',') ? host : QString("%1:%2").arg(host).arg(host_->WebPort());
}

void HostShell::ShowServer() {
  window_->SetStatusText(QString::fromUtf8("Servidor: %1").arg(CurrentAddress()));
}

bool HostShell::ChangeServer(const QString& address, const QString& token_file,
                             const QString& ca_file) {
  std::optional<ServerAddress> parsed = ParseServerAddress(address.trimmed());
  if (!parsed) return false;
  parsed->token_file = token_file.trimmed().toStdString();
  parsed->ca_file = ca_file.trimmed().toStdString();
  token_file_ = parsed->token_file;
  ca_file_ = parsed->ca_file;
  SetHttpsCaFile(ca_file_);
  host_->SetServer(*parsed);
  std::unique_ptr<QSettings> settings = settings_file_.isEmpty()
                                            ? std::make_unique<QSettings>()
                                            : std::make_unique<QSettings>(settings_file_, QSettings::IniFormat);
  settings->setValue(kServerSettingsKey, address.trimmed());
  settings->setValue(kTokenFileSettingsKey, token_file.trimmed());
  settings->setValue(kCaFileSettingsKey, ca_file.trimmed());
  settings->sync();
  ShowServer();
  return true;
}

void HostShell::ConfigureServer() {
  const QString current = CurrentAddress();
  QDialog dialog(window_.get());
  dialog.setWindowTitle(QString::fromUtf8("Servidor de aplicação"));
  auto* form = new QFormLayout(&dialog);
  form->addRow(new QLabel(QString::fromUtf8("Usados ao abrir a próxima tela.")));
  auto* address_edit = new QLineEdit(current);
  address_edit->setObjectName("endereco");
  form->addRow(QString::fromUtf8("Endereço (HOST:PORTA ou https://HOST:PORTA; vários, separados por "
                                 "vírgula, são tentados em ordem):"),
               address_edit);
  // A file name with a button that chooses it.
  auto file_row = [&](const std::string& file, const char* name, const char* none,
                      const char* chooser_title, const char* label) {
    auto* edit = new QLineEdit(QString::fromStdString(file));
    edit->setObjectName(name);
    edit->setPlaceholderText(QString::fromUtf8(none));
    auto* browse = new QPushButton(QString::fromUtf8("Procurar..."));
    QObject::connect(browse, &QPushButton::clicked, &dialog, [&dialog, edit, chooser_title] {
      const QString chosen =
          QFileDialog::getOpenFileName(&dialog, QString::fromUtf8(chooser_title), edit->text());
      if (!chosen.isEmpty()) edit->setText(chosen);
    });
    auto* row = new QHBoxLayout;
    row->addWidget(edit);
    row->addWidget(browse);
    form->addRow(QString::fromUtf8(label), row);
    return edit;
  };
  QLineEdit* token_edit =
      file_row(token_file_, "arquivo_token", "nenhum (servidor sem chaves de acesso)",
               "Arquivo da sua chave de acesso", "Arquivo da sua chave de acesso:");
  QLineEdit* ca_edit =
      file_row(ca_file_, "arquivo_ca", "nenhum (autoridades do sistema)",
               "Autoridade certificadora do servidor (PEM)", "Autoridade certificadora (HTTPS):");
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  form->addRow(buttons);
  if (dialog.exec() != QDialog::Accepted) return;
  const QString address = address_edit->text();
  if (!ChangeServer(address, token_edit->text(), ca_edit->text())) {
    ShowErrorBox(window_.get(), QString::fromUtf8("Endereço do servidor inválido: \"%1\" (use HOST:PORTA, por "
                                                  "exemplo 127.0.0.1:8061).")
                                    .arg(address));
  }
}

HostShell::~HostShell() {
  host_->ReleaseScreens();
  TNetConnection::SetCallRunner(nullptr);
  SetHostLibrary(nullptr);
}

bool HostShell::OpenImportOFX() {
  return RunUserAction(window_.get(), [this] {
    package_->Load(candidates_);
    package_->CallIniProc();
  });
}

bool HostShell::OpenStatementFile(const QString& file) {
  if (!OpenImportOFX()) return false;
  auto* search = window_->findChild<QAbstractButton*>("BtnPesquisa1");
  if (search == nullptr) return false;
  host_->ChooseNextFile(QFileInfo(file).absoluteFilePath());
  search->click();
  return true;
}

}  // namespace kvr::qt
