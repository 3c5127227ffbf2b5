// The plug-in package Pkg_kvr61400 and how the shell loads it.
#include <gtest/gtest.h>

#include <set>

#include <QApplication>
#include <QCursor>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QProcess>
#include <QSettings>

#include "platform/controls.h"
#include "qt/busy_indicator.h"
#include "qt/host_shell.h"
#include "qt/main_window.h"
#include "qt/package_loader.h"
#include "qt/qt_host_library.h"
#include "desktop_session.h"

namespace kvr::qt {
namespace {

using test::BoxResponder;
using test::DesktopSession;
using test::ProcessEvents;

#if defined(KVR_PACKAGE_FILE)

// The symbols of the package's dynamic symbol table, defined or not.
std::set<std::string> DynamicSymbols(bool defined) {
  QProcess nm;
  nm.start(KVR_NM, {"-D", defined ? "--defined-only" : "--undefined-only", KVR_PACKAGE_FILE});
  EXPECT_TRUE(nm.waitForFinished(10000));
  std::set<std::string> names;
  for (const QByteArray& line : nm.readAllStandardOutput().split('\n')) {
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() >= 2 && !fields.last().isEmpty()) names.insert(fields.last().toStdString());
  }
  return names;
}

TEST(Package, ExportsNothingButIniProc) {
  EXPECT_EQ(DynamicSymbols(true), std::set<std::string>{"IniProc"});
}

TEST(Package, TakesTheHostLibraryFromTheSharedComponentLibrary) {
  // One host library object for the shell and the package: the package
  // refers to it, it carries no copy of its own.
  const std::set<std::string> wanted = DynamicSymbols(false);
  EXPECT_EQ(wanted.count("_ZN3kvr11HostLibraryEv"), 1u);
  EXPECT_EQ(wanted.count("_ZN3kvr14FormatSettingsE"), 1u);
}

TEST(Package, LoadsAndResolvesItsEntryByPlainName) {
  PackageLoader loader;
  loader.Load({"/nao/existe.so", KVR_PACKAGE_FILE});
  EXPECT_TRUE(loader.Loaded());
  EXPECT_EQ(loader.FileName(), QFileInfo(KVR_PACKAGE_FILE).absoluteFilePath());
}

#endif

#if defined(KVR_PACKAGE_FILE) && defined(KVR_SERVER_BIN)

TEST(PackageEntry, CalledTwiceShowsOneScreenAndAfterCloseCreatesANewOne) {
  DesktopSession session;
  ASSERT_TRUE(session.Start(false)) << session.Error().toStdString();
  QMdiArea& area = session.Shell().Window().ChildArea();

  ASSERT_TRUE(session.Shell().OpenImportOFX());
  ASSERT_TRUE(session.Shell().OpenImportOFX());
  ProcessEvents();
  ASSERT_EQ(area.subWindowList().size(), 1);
  const TForm* first = &session.View()->Form();
  EXPECT_EQ(first->ShowCount(), 2);
  EXPECT_EQ(area.subWindowList().first()->windowTitle(), QString::fromUtf8("Importação de Extrato Bancário (OFX)"));
  EXPECT_EQ(session.View()->size(), QSize(528, 338));
  EXPECT_EQ(session.Shell().Host().Application()->ComponentCount(), 1);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);

  area.subWindowList().first()->close();
  ProcessEvents();
  EXPECT_EQ(area.subWindowList().size(), 0);
  EXPECT_EQ(session.Shell().Host().Application()->ComponentCount(), 0);

  ASSERT_TRUE(session.Shell().OpenImportOFX());
  ProcessEvents();
  ASSERT_EQ(area.subWindowList().size(), 1);
  EXPECT_EQ(session.View()->Form().ShowCount(), 1);
  EXPECT_EQ(session.Widget<QLineEdit>("depDtIni")->text(), "");
  EXPECT_EQ(session.Widget<QLineEdit>("depDtFim")->text(), "");
}

TEST(PackageEntry, ServerThatDoesNotAnswerIsShownAndNoScreenIsLeft) {
  DesktopSession session;
  ASSERT_TRUE(session.Start(false)) << session.Error().toStdString();
  // A port on which nothing listens: the server's own, once it has gone.
  const int port = session.Server().Port();
  session.Shell().Host().SetServer({"127.0.0.1", port});
  session.Server().Stop();

  BoxResponder boxes;
  session.Shell().OpenImportOFX();
  ProcessEvents();
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].title, "Erro");
  EXPECT_TRUE(boxes.Boxes()[0].text.contains(QString("127.0.0.1:%1").arg(port)))
      << boxes.Boxes()[0].text.toStdString();
  EXPECT_EQ(session.Shell().Window().ChildArea().subWindowList().size(), 0);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_FALSE(session.Shell().Window().Busy().isVisible());
}

TEST(PackageEntry, ChangedServerAddressIsSavedAndUsedAtTheNextOpening) {
  DesktopSession session;
  ASSERT_TRUE(session.Start(false)) << session.Error().toStdString();
  ASSERT_TRUE(session.Shell().OpenImportOFX());
  session.Shell().Window().ChildArea().subWindowList().first()->close();
  ProcessEvents();

  EXPECT_FALSE(session.Shell().ChangeServer("servidor", ""));
  ASSERT_TRUE(session.Shell().ChangeServer("127.0.0.1:1", ""));
  EXPECT_EQ(QSettings(session.SettingsFile(), QSettings::IniFormat).value(kServerSettingsKey).toString(),
            "127.0.0.1:1");
  BoxResponder boxes;
  session.Shell().OpenImportOFX();
  ProcessEvents();
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_TRUE(boxes.Boxes()[0].text.contains("127.0.0.1:1")) << boxes.Boxes()[0].text.toStdString();
  EXPECT_EQ(session.Shell().Window().ChildArea().subWindowList().size(), 0);
}

#endif

}  // namespace
}  // namespace kvr::qt
