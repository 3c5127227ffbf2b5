#include "qt/qt_host_library.h"

#include "platform/controls.h"

#include <utility>

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>

#include "host/token_file.h"
#include "qt/busy_indicator.h"
#include "qt/dialogs.h"
#include "qt/main_window.h"
#include "qt/text.h"

namespace kvr::qt {

QString ToQtFileFilter(const std::string& filter) {
  const QStringList parts = ToQString(filter).split('|');
  QStringList filters;
  for (qsizetype i = 0; i < parts.size(); i += 2) {
    const QString name = parts[i].trimmed();
    QString patterns = i + 1 < parts.size() ? parts[i + 1].trimmed() : QString("*");
    if (patterns.isEmpty()) patterns = "*";
    patterns.replace(';', ' ');
    if (name.isEmpty() && patterns == "*") continue;
    filters.append((name.isEmpty() ? patterns : name) + " (" + patterns + ")");
  }
  return filters.join(";;");
}

std::string QtHostLibrary::WebToken() {
  return server_.token_file.empty() ? "" : ReadTokenFile(server_.token_file);
}

QtHostLibrary::QtHostLibrary(MainWindow& main_window, ServerAddress server)
    : main_window_(main_window), server_(std::move(server)) {
  application_.Name = "Application";
  main_form_.Name = "frmPrincipal";
  chooser_ = [](QWidget* parent, const QString& filter, const QString& start) -> std::optional<QString> {
    const QString chosen =
        QFileDialog::getOpenFileName(parent, QString::fromUtf8("Abrir"), start, filter, nullptr);
    return chosen.isEmpty() ? std::nullopt : std::optional<QString>(chosen);
  };
  files_chooser_ = [](QWidget* parent, const QString& filter, const QString& start) {
    return QFileDialog::getOpenFileNames(parent, QString::fromUtf8("Abrir"), start, filter, nullptr);
  };
}

QtHostLibrary::~QtHostLibrary() {
  ReleaseScreens();
  if (hourglass_) QApplication::restoreOverrideCursor();
}

void QtHostLibrary::ShowError(const std::string& text) {
  // The module's messages are Windows-1252, but errors it passes on from
  // below (a lost connection) may be UTF-8.
  std::string hint;
  for (int i = 0; i < application_.ComponentCount() && hint.empty(); ++i)
    if (auto* form = dynamic_cast<TForm*>(application_.Components(i)); form != nullptr && form->OnErrorHint)
      hint = form->OnErrorHint(text);
  ShowErrorBox(&main_window_, MessageToQString(hint.empty() ? text : text + "\n\n" + hint));
}

int QtHostLibrary::MsgAlert(const std::string& text, TMsgDlgType kind, const std::vector<std::string>& buttons,
                            int /*help_context*/) {
  QStringList captions;
  for (const std::string& button : buttons) captions.append(ToQString(button));
  return 11 + AskQuestion(&main_window_, ToQString(text), kind, captions);
}

void QtHostLibrary::ShowMessage(const std::string& text, TMsgDlgType kind, int /*help_context*/) {
  ShowMessageBox(&main_window_, ToQString(text), kind);
}

void QtHostLibrary::ActiveShowAvi(TComponent* /*window*/, int /*kind*/) { main_window_.Busy().Activate(); }

void QtHostLibrary::DeactiveShowAvi() { main_window_.Busy().Deactivate(); }

bool QtHostLibrary::ExecuteOpenDialog(const std::string& filter, std::string& file_name) {
  if (!next_file_.isEmpty()) {
    last_file_ = std::exchange(next_file_, QString());
    file_name = QFile::encodeName(last_file_).toStdString();
    return true;
  }
  QString start = file_name.empty() ? last_file_ : QFile::decodeName(file_name.c_str());
  if (!start.isEmpty() && !QFileInfo::exists(start)) start = QFileInfo(start).absolutePath();
  const std::optional<QString> chosen = chooser_(&main_window_, ToQtFileFilter(filter), start);
  if (!chosen || chosen->isEmpty()) return false;
  last_file_ = *chosen;
  // The path goes to the module as the file system's own bytes, so that the
  // reader opens the very file chosen whatever characters its name holds.
  file_name = QFile::encodeName(*chosen).toStdString();
  return true;
}

bool QtHostLibrary::ExecuteOpenDialogFiles(const std::string& filter, std::vector<std::string>& files) {
  if (!next_file_.isEmpty()) {
    std::string file;
    ExecuteOpenDialog(filter, file);
    files = {file};
    return true;
  }
  QString start = files.empty() ? last_file_ : QFile::decodeName(files.front().c_str());
  if (!start.isEmpty() && !QFileInfo::exists(start)) start = QFileInfo(start).absolutePath();
  const QStringList chosen = files_chooser_(&main_window_, ToQtFileFilter(filter), start);
  if (chosen.isEmpty()) return false;
  last_file_ = chosen.front();
  files.clear();
  for (const QString& file : chosen) files.push_back(QFile::encodeName(file).toStdString());
  return true;
}

void QtHostLibrary::QueueRunning(TForm& form, bool running) { main_window_.SetQueueRunning(form, running); }

void QtHostLibrary::SetScreenCursor(int cursor) {
  const bool hourglass = cursor == crHourGlass;
  if (hourglass == hourglass_) return;
  hourglass_ = hourglass;
  if (hourglass) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

void QtHostLibrary::ShowForm(TForm& form) { main_window_.ShowModuleForm(form); }

void QtHostLibrary::ReleaseScreens() {
  main_window_.DiscardViews();
  while (application_.ComponentCount() > 0) {
    delete application_.Components(application_.ComponentCount() - 1);
  }
}

}  // namespace kvr::qt
