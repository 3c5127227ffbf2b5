// Pictures of the desktop for people to look at: the screen empty, with a
// statement of a standard bank, with a bank 237 statement (date group
// shown), and each kind of message box. Written as PNGs into the build
// folder (screenshots/). Without the DejaVu fonts the pictures would show
// substitute glyphs, so the test fails then.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTableView>
#include <QTest>

#include "platform/format_settings.h"
#include "qt/main_window.h"
#include "qt/qt_host_library.h"
#include "desktop_session.h"

namespace kvr::qt {
namespace {

using test::BoxResponder;
using test::DesktopSession;
using test::ProcessEvents;

TEST(Screenshots, DejaVuFontsAreInstalled) {
  const QStringList families = QFontDatabase::families();
  EXPECT_TRUE(families.contains("DejaVu Sans")) << "install fonts-dejavu-core (scripts/install-deps)";
}

#if defined(KVR_PACKAGE_FILE) && defined(KVR_SERVER_BIN)

class ScreenshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QFontDatabase::families().contains("DejaVu Sans"))
        << "the DejaVu fonts are missing: install fonts-dejavu-core (scripts/install-deps)";
    QApplication::setFont(QFont("DejaVu Sans", 9));
    saved_ = FormatSettings;
    FormatSettings.DecimalSeparator = ',';
    FormatSettings.ThousandSeparator = '.';
    ASSERT_TRUE(session.Start()) << session.Error().toStdString();
    QDir().mkpath(KVR_SCREENSHOT_DIR);
  }
  void TearDown() override { FormatSettings = saved_; }

  static QString Path(const char* name) { return QDir(KVR_SCREENSHOT_DIR).filePath(name); }

  // Saves the child window of the screen and the whole main window.
  void Save(const char* name) {
    ProcessEvents();
    QMdiSubWindow* child = session.Shell().Window().ChildArea().subWindowList().first();
    const QImage picture = child->grab().toImage();
    ASSERT_TRUE(picture.save(Path(name)));
    EXPECT_GE(picture.width(), 528);
    EXPECT_GE(picture.height(), 338);
  }

  TFormatSettings saved_;
  DesktopSession session;
};

TEST_F(ScreenshotTest, ScreenEmptyStandardBankAndBank237) {
  Save("tela-vazia.png");
  session.Shell().Window().grab().save(Path("janela-principal.png"));

  session.LoadExample("extrato-341.ofx");
  Save("tela-banco-341.png");
  session.Shell().Window().grab().save(Path("janela-banco-341.png"));
  session.Shell().Host().ActiveShowAvi(session.Shell().Host().MainForm(), 1);
  session.Shell().Window().grab().save(Path("indicador-ocupado.png"));
  session.Shell().Host().DeactiveShowAvi();

  session.LoadExample("extrato-237.ofx");
  QLineEdit* from = session.Widget<QLineEdit>("depMovDe");
  QLineEdit* to = session.Widget<QLineEdit>("depMovAte");
  for (auto [edit, text] : {std::pair{from, "01/03/2024"}, std::pair{to, "08/03/2024"}}) {
    edit->setFocus();
    ProcessEvents();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
  }
  from->setFocus();
  ProcessEvents();
  ASSERT_EQ(session.Widget<QTableView>("dbgExtrBanco")->model()->rowCount(), 8);
  Save("tela-banco-237.png");
}

TEST_F(ScreenshotTest, EachKindOfMessageBox) {
  BoxResponder boxes;
  boxes.SaveNextAs(Path("mensagem-erro.png"));
  session.ChooseNext(QString(KVR_TEST_DATA_DIR) + "/planilha.csv");
  session.PressSearch();

  session.LoadExample("extrato-341.ofx");
  boxes.SaveNextAs(Path("mensagem-informacao.png"));
  session.PressConfirm();

  boxes.SaveNextAs(Path("mensagem-pergunta.png"));
  boxes.Answer(QString::fromUtf8("Não"));
  const int answer = session.Shell().Host().MsgAlert(
      "Existem movimenta\xE7\xF5" "es com mesmo n\xFAmero, valor e data, deseja realizar a importa\xE7\xE3o?",
      TMsgDlgType::mtConfirmation, {"N\xE3o", "Sim"}, 0);
  EXPECT_EQ(answer, 11);

  ASSERT_EQ(boxes.Boxes().size(), 3u);
  for (const char* name : {"mensagem-erro.png", "mensagem-informacao.png", "mensagem-pergunta.png"}) {
    SCOPED_TRACE(name);
    const QImage picture(Path(name));
    EXPECT_FALSE(picture.isNull());
    EXPECT_GT(picture.width(), 100);
  }
}

#endif

}  // namespace
}  // namespace kvr::qt
