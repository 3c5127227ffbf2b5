#include "desktop_session.h"

#include <QApplication>
#include <QDir>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QAbstractButton>
#include <QDropEvent>
#include <QMimeData>
#include <QTest>
#include <QUrl>

#include <utility>

#include "qt/main_window.h"
#include "qt/qt_host_library.h"

namespace kvr::qt::test {

QString ExampleFile(const QString& name) { return QDir(KVR_EXAMPLES_DIR).filePath(name); }

DesktopSession::DesktopSession() = default;

DesktopSession::~DesktopSession() { shell_.reset(); }

bool DesktopSession::Start(bool open_screen) {
#if defined(KVR_SERVER_BIN) && defined(KVR_PACKAGE_FILE)
  if (!server_.Start(KVR_SERVER_BIN)) {
    error_ = server_.Error();
    return false;
  }
  // The accounts of the shipped examples; bank 341 has a current and an
  // investment account under the same number.
  const struct {
    const char* code;
    const char* bank;
    const char* account;
    const char* type;
  } accounts[] = {
      {"001", "341", "123456", "C"}, {"002", "341", "123456", "L"}, {"003", "237", "543210", "C"},
      {"004", "104", "123456", "C"}, {"005", "021", "123456", "C"}, {"006", "336", "987654", "C"},
  };
  for (const auto& a : accounts) {
    if (!server_.AddAccount(a.code, a.bank, "1234", a.account, a.type, "99999-9")) {
      error_ = "conta add: " + server_.Error();
      return false;
    }
  }
  HostShellOptions options;
  options.server = ServerAddress{"127.0.0.1", server_.Port()};
  options.package_path = KVR_PACKAGE_FILE;
  options.settings_file = SettingsFile();
  shell_ = std::make_unique<HostShell>(options, QCoreApplication::applicationDirPath());
  shell_->Host().SetFileChooser([this](QWidget*, const QString&, const QString&) { return next_file_; });
  shell_->Host().SetFilesChooser([this](QWidget*, const QString&, const QString&) {
    if (next_files_) return *std::exchange(next_files_, std::nullopt);
    return next_file_ ? QStringList{*next_file_} : QStringList{};
  });
  MainWindow& window = shell_->Window();
  window.resize(760, 560);
  window.show();
  QApplication::setActiveWindow(&window);
  if (!QTest::qWaitForWindowActive(&window)) {
    error_ = "main window not active";
    return false;
  }
  if (open_screen) {
    if (!shell_->OpenImportOFX() || View() == nullptr) {
      error_ = "the import screen did not open";
      return false;
    }
  }
  ProcessEvents();
  return true;
#else
  (void)open_screen;
  error_ = "built without the package or the server";
  return false;
#endif
}

FormView* DesktopSession::View() const {
  if (!shell_) return nullptr;
  for (QMdiSubWindow* window : shell_->Window().ChildArea().subWindowList()) {
    if (auto* view = qobject_cast<FormView*>(window->widget()); view != nullptr && !view->Detached()) return view;
  }
  return nullptr;
}

void DesktopSession::LoadExample(const QString& name) {
  ChooseNext(ExampleFile(name));
  PressSearch();
}

void DesktopSession::DropFiles(const QStringList& files) {
  QMimeData data;
  QList<QUrl> urls;
  for (const QString& file : files) urls << QUrl::fromLocalFile(file);
  data.setUrls(urls);
  FormView* view = View();
  const QPointF at(view->width() / 2.0, view->height() / 2.0);
  QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view, &enter);
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view, &drop);
  ProcessEvents();
}

void DesktopSession::PressSearch() {
  QTest::mouseClick(Widget<QAbstractButton>("BtnPesquisa1"), Qt::LeftButton);
  ProcessEvents();
}

void DesktopSession::PressConfirm() {
  QTest::mouseClick(Widget<QAbstractButton>("sbtConfirma"), Qt::LeftButton);
  ProcessEvents();
}

}  // namespace kvr::qt::test
