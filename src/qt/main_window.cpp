#include "qt/main_window.h"

#include <functional>
#include <memory>
#include <vector>

#include <QCloseEvent>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QPointer>
#include <QStatusBar>

#include "host/net_connection.h"
#include "platform/controls.h"
#include "qt/busy_indicator.h"
#include "qt/form_view.h"
#include "qt/imported_statements.h"
#include "qt/server_call_runner.h"
#include "qt/text.h"

namespace kvr::qt {

namespace {

// The child window of a module screen. Closing it asks the screen (its
// OnClose decides); a screen that asks to be released is detached from its
// view and deleted here, by the host, which owns it.
class ModuleWindow : public QMdiSubWindow {
 public:
  ModuleWindow(FormView* view, QWidget* parent) : QMdiSubWindow(parent), view_(view) {
    setObjectName("moduleWindow");
    setAttribute(Qt::WA_DeleteOnClose);
    setWidget(view_);
    Update();
    QObject::connect(view_, &FormView::FormStateChanged, this, [this] { Update(); });
  }

  FormView* View() const { return view_; }
  void Discard() {
    discarding_ = true;
    view_->Detach();
    close();
  }

 protected:
  void closeEvent(QCloseEvent* event) override {
    if (discarding_ || view_->Detached()) {
      QMdiSubWindow::closeEvent(event);
      return;
    }
    TForm& form = view_->Form();
    view_->UserAction([&] { form.Close(); });
    if (form.ReleaseRequested()) {
      view_->Detach();
      delete &form;
      QMdiSubWindow::closeEvent(event);
      return;
    }
    event->ignore();
    Update();
  }

 private:
  void Update() {
    if (view_->Detached()) return;
    const TForm& form = view_->Form();
    setWindowTitle(ToQString(form.Caption()));
    Qt::WindowFlags flags = Qt::SubWindow | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
    if (form.BorderStyle() == TFormBorderStyle::bsSizeable || view_->Grows()) flags |= Qt::WindowMaximizeButtonHint;
    if (windowFlags() != flags) setWindowFlags(flags);
    // The form's size, or larger when the user made it so; never smaller.
    setMinimumSize(minimumSizeHint());
    const QSize wanted = sizeHint();
    if (!isMaximized() && size() != wanted) resize(wanted);
    if (form.Visible() != isVisible() && parentWidget() != nullptr) setVisible(form.Visible());
  }

  FormView* view_;
  bool discarding_ = false;
};

// The window of form in area, or null.
ModuleWindow* ModuleOf(const QMdiArea& area, const TForm& form) {
  for (QMdiSubWindow* window : area.subWindowList()) {
    auto* module = dynamic_cast<ModuleWindow*>(window);
    if (module != nullptr && !module->View()->Detached() && &module->View()->Form() == &form)
      return module;
  }
  return nullptr;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setObjectName("mainWindow");
  setWindowTitle(QString::fromUtf8("KVR - Sistema de Gestão"));
  mdi_ = new QMdiArea(this);
  mdi_->setObjectName("childArea");
  mdi_->setBackground(QColor(0x5a, 0x6e, 0x82));
  setCentralWidget(mdi_);

  QMenu* file_menu = menuBar()->addMenu(QString::fromUtf8("&Arquivo"));
  QAction* server = file_menu->addAction(QString::fromUtf8("Servidor de &aplicação..."));
  server->setObjectName("actionServer");
  connect(server, &QAction::triggered, this, [this] {
    if (configure_server_) configure_server_();
  });
  file_menu->addSeparator();
  QAction* quit = file_menu->addAction(QString::fromUtf8("&Sair"));
  quit->setShortcut(QKeySequence::Quit);
  connect(quit, &QAction::triggered, this, &QWidget::close);

  QMenu* finance_menu = menuBar()->addMenu(QString::fromUtf8("&Financeiro"));
  QAction* import_ofx = finance_menu->addAction(QString::fromUtf8(kImportOFXEntry));
  import_ofx->setObjectName("actionImportOFX");
  connect(import_ofx, &QAction::triggered, this, &MainWindow::OpenImportOFX);
  QAction* statements = finance_menu->addAction(QString::fromUtf8(ImportedStatementsWindow::kTitle));
  statements->setObjectName("actionImportedStatements");
  connect(statements, &QAction::triggered, this, [this] { OpenImportedStatements(*this); });

  QMenu* window_menu = menuBar()->addMenu(QString::fromUtf8("&Janela"));
  connect(window_menu->addAction(QString::fromUtf8("&Cascata")), &QAction::triggered, mdi_,
          &QMdiArea::cascadeSubWindows);
  connect(window_menu->addAction(QString::fromUtf8("&Lado a lado")), &QAction::triggered, mdi_,
          &QMdiArea::tileSubWindows);

  status_ = new QLabel(this);
  statusBar()->addPermanentWidget(status_);
  busy_ = new BusyIndicator(this);
  resize(900, 620);
}

MainWindow::~MainWindow() { DiscardViews(); }

void MainWindow::closeEvent(QCloseEvent* event) {
  if (ServerCallRunning()) {
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

void MainWindow::OpenImportOFX() {
  if (open_import_ofx_) open_import_ofx_();
}

void MainWindow::SetStatusText(const QString& text) { status_->setText(text); }

void MainWindow::ShowModuleForm(TForm& form) {
  if (ModuleWindow* module = ModuleOf(*mdi_, form)) {
    module->show();
    module->raise();
    mdi_->setActiveSubWindow(module);
    return;
  }
  auto* view = new FormView(form);
  WatchStores(form, *view);
  auto* window = new ModuleWindow(view, nullptr);
  mdi_->addSubWindow(window);
  window->show();
  window->adjustSize();
  mdi_->setActiveSubWindow(window);
}

void MainWindow::WatchStores(TForm& form, FormView& view) {
  // Every connection the screen owns, however deep.
  std::vector<TNetConnection*> connections;
  std::function<void(TComponent&)> collect = [&](TComponent& owner) {
    for (int i = 0; i < owner.ComponentCount(); ++i) {
      TComponent& component = *owner.Components(i);
      if (auto* net = dynamic_cast<TNetConnection*>(&component)) connections.push_back(net);
      collect(component);
    }
  };
  collect(form);
  if (connections.empty()) return;
  auto stored = std::make_shared<bool>(false);
  for (TNetConnection* net : connections) {
    net->OnCall = [previous = net->OnCall, stored](const std::string& method, bool done) {
      if (previous) previous(method, done);
      if (done && method == "SetExtratoBancario") *stored = true;
    };
  }
  // Refreshed once the user's action has ended (after its message boxes),
  // never in the middle of the screen's own calls.
  QPointer<MainWindow> self(this);
  const TForm* queue = &form;
  connect(&view, &FormView::ActionEnded, this, [self, stored, queue] {
    if (!*stored || self.isNull() || self->queues_.contains(queue)) return;
    *stored = false;
    RefreshImportedStatements(*self);
  });
}

void MainWindow::SetQueueRunning(const TForm& form, bool running) {
  if (running)
    queues_.insert(&form);
  else
    queues_.erase(&form);
}

FormView* MainWindow::ViewOf(const TForm& form) const {
  ModuleWindow* module = ModuleOf(*mdi_, form);
  return module == nullptr ? nullptr : module->View();
}

void MainWindow::DiscardViews() {
  if (mdi_ == nullptr) return;
  for (QMdiSubWindow* window : mdi_->subWindowList()) {
    if (auto* module = dynamic_cast<ModuleWindow*>(window)) module->Discard();
  }
}

}  // namespace kvr::qt
