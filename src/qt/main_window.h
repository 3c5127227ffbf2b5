#pragma once

#include <functional>
#include <set>

#include <QMainWindow>

class QLabel;
class QMdiArea;
class QMdiSubWindow;

namespace kvr {
class TForm;
}

namespace kvr::qt {

class BusyIndicator;
class FormView;

// The host shell's main window: a menu with the module entries, a child
// window area holding the module screens, a status line with the server
// address, and the busy indicator over all of it.
class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // The caption of the module's menu entry (UTF-8).
  static constexpr const char* kImportOFXEntry = "Importação de Extrato Bancário (OFX)";

  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // What the module's menu entry runs (the package's IniProc, guarded).
  void SetOpenImportOFX(std::function<void()> open) { open_import_ofx_ = std::move(open); }
  // Runs the module's menu entry, as choosing it does.
  void OpenImportOFX();
  // What the entry "Servidor de aplicação..." runs (asks for and saves the
  // server address).
  void SetConfigureServer(std::function<void()> configure) { configure_server_ = std::move(configure); }

  // Shows the status line text, e.g. the server address.
  void SetStatusText(const QString& text);

  // Shows form as a child window: builds its view the first time, then
  // shows and raises the existing one. form must outlive its view; a view
  // whose form is released closes itself. After a user action of the form
  // that sent a statement to be stored (SetExtratoBancario on a connection
  // the form owns), the window "Extratos importados" is refreshed when open.
  void ShowModuleForm(TForm& form);
  // A queue of statements runs on form (or ended): the refresh of
  // "Extratos importados" after its stores waits for the queue's end.
  void SetQueueRunning(const TForm& form, bool running);

  // The view of form, or null when it has none.
  FormView* ViewOf(const TForm& form) const;
  // Closes every child window without asking the module (used at exit,
  // before the module's screens are released).
  void DiscardViews();

  QMdiArea& ChildArea() const { return *mdi_; }
  BusyIndicator& Busy() const { return *busy_; }

 protected:
  // Refused while a server call is under way (its screen waits for the
  // answer); otherwise closes as usual.
  void closeEvent(QCloseEvent* event) override;

 private:
  // Marks the stores of form's connections, for the refresh after its action.
  void WatchStores(TForm& form, FormView& view);

  QMdiArea* mdi_ = nullptr;
  BusyIndicator* busy_ = nullptr;
  QLabel* status_ = nullptr;
  std::function<void()> open_import_ofx_;
  std::function<void()> configure_server_;
  std::set<const TForm*> queues_;
};

}  // namespace kvr::qt
