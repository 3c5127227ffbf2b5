#pragma once

#include <memory>
#include <optional>

#include <QString>
#include <QStringList>

#include "qt/form_view.h"
#include "qt/host_shell.h"
#include "test_support.h"

namespace kvr::qt::test {

// The whole desktop as a user meets it: a kvr61400-server on 127.0.0.1 with
// the accounts of the shipped example statements, the host shell pointed at
// it with the package built beside it, and the file chooser answered by the
// test. Start() opens the import screen through the menu entry.
class DesktopSession {
 public:
  DesktopSession();
  ~DesktopSession();

  // Starts the server and the shell; with open_screen, chooses the menu
  // entry. Returns false with Error() set when anything does not come up.
  bool Start(bool open_screen = true);
  const QString& Error() const { return error_; }

  ServerProcess& Server() { return server_; }
  HostShell& Shell() { return *shell_; }
  // The settings file the shell saves to (never the user's own).
  QString SettingsFile() const { return settings_folder_.filePath("kvr61400-host.ini"); }
  // The view of the open import screen, or null.
  FormView* View() const;
  // A widget of the screen by control name, cast to W (null when absent).
  template <typename W>
  W* Widget(const char* name) const {
    FormView* view = View();
    return view == nullptr ? nullptr : qobject_cast<W*>(view->WidgetOf(name));
  }
  // The next file the chooser answers with: a path, or nothing (cancel).
  void ChooseNext(std::optional<QString> file) { next_file_ = std::move(file); }
  // The next files the chooser answers with, several at once.
  void ChooseNextFiles(const QStringList& files) { next_files_ = files; }
  // Drops files on the import screen, as the file manager does.
  void DropFiles(const QStringList& files);
  // Chooses the example statement (examples/NAME) and presses the search
  // button.
  void LoadExample(const QString& name);
  // Presses the search button of the screen.
  void PressSearch();
  // Presses the confirm button of the screen.
  void PressConfirm();

 private:
  ServerProcess server_;
  QTemporaryDir settings_folder_;
  std::unique_ptr<HostShell> shell_;
  std::optional<QString> next_file_;
  std::optional<QStringList> next_files_;
  QString error_;
};

// The example statement NAME of the source tree.
QString ExampleFile(const QString& name);

}  // namespace kvr::qt::test
