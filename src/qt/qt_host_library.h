#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>

#include "host/host_library.h"
#include "platform/component.h"
#include "qt/server_address.h"

class QWidget;

namespace kvr::qt {

class MainWindow;

// The file chooser the host library shows: given the parent window, the Qt
// filter ("OFX (*.ofx)") and the file to start from, the chosen file, or
// nothing when the user cancels. Tests replace the real dialog with one.
using FileChooser =
    std::function<std::optional<QString>(QWidget* parent, const QString& filter, const QString& start)>;
// The chooser of several files: the files chosen, in order, or none when the
// user cancels.
using FilesChooser = std::function<QStringList(QWidget* parent, const QString& filter, const QString& start)>;

// The host library of the desktop host, in Qt: modal message boxes over the
// main window, the busy indicator over it, the file chooser, the screen
// cursor, the server address, and the module screens shown as child windows
// of the main window. Install it with SetHostLibrary; main_window must
// outlive it. Lives on the user-interface thread.
class QtHostLibrary : public THostLibrary {
 public:
  QtHostLibrary(MainWindow& main_window, ServerAddress server);
  ~QtHostLibrary() override;

  QtHostLibrary(const QtHostLibrary&) = delete;
  QtHostLibrary& operator=(const QtHostLibrary&) = delete;

  // An error message box titled "Erro". The text is Windows-1252, or UTF-8
  // when it is valid as such (MessageToQString).
  void ShowError(const std::string& text) override;
  // A question box with the buttons in the order given; the first answers
  // 11, the next 12, 13, ...; closing the box with Escape answers as the
  // first button does.
  int MsgAlert(const std::string& text, TMsgDlgType kind, const std::vector<std::string>& buttons,
               int help_context) override;
  // A message box of the kind with one "OK" button.
  void ShowMessage(const std::string& text, TMsgDlgType kind, int help_context) override;

  void ActiveShowAvi(TComponent* window, int kind) override;
  void DeactiveShowAvi() override;

  std::string WebURL() override { return server_.host; }
  int WebPort() override { return server_.port; }
  // The secret read from the server's token file at each connect; empty
  // without one. Throws kvr::Exception naming the file when it cannot be
  // read.
  std::string WebToken() override;
  // Changes the address returned from now on (the next connect uses it).
  void SetServer(ServerAddress server) { server_ = std::move(server); }

  // Shows the chooser (the real dialog unless SetFileChooser replaced it)
  // starting at file_name, or at the last file confirmed in it when
  // file_name is empty. The filter "OFX|*.ofx" becomes "OFX (*.ofx)".
  bool ExecuteOpenDialog(const std::string& filter, std::string& file_name) override;
  void SetFileChooser(FileChooser chooser) { chooser_ = std::move(chooser); }
  // The chooser of several files (QFileDialog::getOpenFileNames unless
  // SetFilesChooser replaced it), as ExecuteOpenDialog shows its own; a file
  // given by ChooseNextFile is confirmed alone.
  bool ExecuteOpenDialogFiles(const std::string& filter, std::vector<std::string>& files) override;
  void SetFilesChooser(FilesChooser chooser) { files_chooser_ = std::move(chooser); }
  // Tells the main window, which refreshes "Extratos importados" once the
  // queue ends rather than after each statement.
  void QueueRunning(TForm& form, bool running) override;
  // The next ExecuteOpenDialog confirms file without showing the chooser
  // (a statement given on the command line or by the file manager).
  void ChooseNextFile(const QString& file) { next_file_ = file; }
  // The last file the user confirmed in the chooser; empty until then.
  const QString& LastChosenFile() const { return last_file_; }

  // crHourGlass sets the wait cursor, crDefault takes it back; other codes
  // count as crDefault.
  void SetScreenCursor(int cursor) override;

  void ShowForm(TForm& form) override;

  // The host application component, which owns the module's screens, and
  // the component standing for the main window.
  TComponent* Application() override { return &application_; }
  TComponent* MainForm() override { return &main_form_; }

  // Destroys the screens the module created (they are owned by
  // Application()) after their views. The package that made them must still
  // be loaded.
  void ReleaseScreens();

 private:
  MainWindow& main_window_;
  ServerAddress server_;
  FileChooser chooser_;
  FilesChooser files_chooser_;
  QString next_file_;
  QString last_file_;
  bool hourglass_ = false;
  TComponent application_{nullptr};
  TComponent main_form_{nullptr};
};

// "OFX|*.ofx" as a Qt file dialog filter, "OFX (*.ofx)": pairs of name and
// patterns separated by "|", patterns separated by ";", pairs joined by ";;".
// A name without patterns keeps "*".
QString ToQtFileFilter(const std::string& filter);

}  // namespace kvr::qt
