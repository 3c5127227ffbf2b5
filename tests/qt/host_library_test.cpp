// The Qt host library: its dialogs, the busy indicator, the file chooser,
// the screen cursor and the child windows of the module's screens.
#include <gtest/gtest.h>

#include <functional>

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTest>

#include "host/host_controls.h"
#include "platform/controls.h"
#include "platform/cp1252.h"
#include "platform/errors.h"
#include "qt/busy_indicator.h"
#include "qt/form_view.h"
#include "qt/main_window.h"
#include "qt/qt_host_library.h"
#include "test_support.h"

namespace kvr::qt {
namespace {

using test::BoxResponder;
using test::ProcessEvents;

class QtHostLibraryTest : public ::testing::Test {
 protected:
  QtHostLibraryTest() : host(window, ServerAddress{"10.0.0.7", 9001}) {
    window.show();
    SetHostLibrary(&host);
  }
  ~QtHostLibraryTest() override { SetHostLibrary(nullptr); }

  MainWindow window;
  QtHostLibrary host;
};

TEST_F(QtHostLibraryTest, ErrorShowsTheTextInAnErrorBoxThenMensErroEndsTheAction) {
  BoxResponder boxes;
  EXPECT_THROW(MensErro("Conta corrente não cadastrada."_cp1252, true), EAbort);
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].title, "Erro");
  EXPECT_EQ(boxes.Boxes()[0].text, QString::fromUtf8("Conta corrente não cadastrada."));
  EXPECT_EQ(boxes.Boxes()[0].icon, QMessageBox::Critical);
  EXPECT_EQ(boxes.Boxes()[0].buttons, QStringList{"OK"});
}

TEST_F(QtHostLibraryTest, QuestionAnswersElevenForTheFirstButton) {
  const std::vector<std::string> buttons = {"Não"_cp1252, "Sim"};
  const struct {
    const char* answer;
    int expected;
  } cases[] = {{"Não", 11}, {"Sim", 12}, {"<Escape>", 11}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    BoxResponder boxes;
    boxes.Answer(QString::fromUtf8(c.answer));
    EXPECT_EQ(host.MsgAlert("Existem movimentações repetidas"_cp1252, TMsgDlgType::mtConfirmation, buttons, 0),
              c.expected);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].buttons, (QStringList{QString::fromUtf8("Não"), "Sim"}));
    EXPECT_EQ(boxes.Boxes()[0].icon, QMessageBox::Question);
    EXPECT_EQ(boxes.Boxes()[0].title, QString::fromUtf8("Confirmação"));
  }
}

TEST_F(QtHostLibraryTest, MessageTableShowsItsTextInAnInformationBox) {
  TMessages messages(nullptr);
  messages.Messages.push_back("ARQ_IMP_SUCESSO|Arquivo importado com sucesso.");
  BoxResponder boxes;
  EXPECT_EQ(messages.ShowMsg("ARQ_IMP_SUCESSO", TMsgDlgType::mtInformation, mbOK, 0), mrOk);
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].title, QString::fromUtf8("Informação"));
  EXPECT_EQ(boxes.Boxes()[0].text, "Arquivo importado com sucesso.");
  EXPECT_EQ(boxes.Boxes()[0].icon, QMessageBox::Information);
}

TEST_F(QtHostLibraryTest, BusyIndicatorCoversTheMainWindowWithTheWaitCursor) {
  host.ActiveShowAvi(host.MainForm(), 1);
  EXPECT_TRUE(window.Busy().isVisible());
  EXPECT_EQ(window.Busy().geometry(), window.rect());
  ASSERT_NE(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  host.ActiveShowAvi(host.MainForm(), 1);
  host.DeactiveShowAvi();
  EXPECT_FALSE(window.Busy().isVisible());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  host.DeactiveShowAvi();  // hiding it when hidden is harmless
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// The question about repeated movements and the error boxes come while the
// screen's busy indicator is on: the box is drawn alone, with the normal
// cursor, and the indicator comes back after it while still on.
TEST_F(QtHostLibraryTest, DialogOverTheBusyIndicatorTakesItAwayWhileOpen) {
  window.resize(900, 620);
  const std::function<void()> boxes[] = {
      [&] { host.ShowMessage("Aguarde", TMsgDlgType::mtInformation, 0); },
      [&] { host.MsgAlert("Movimentos repetidos. Importar?", TMsgDlgType::mtConfirmation, {"Não"_cp1252, "Sim"}, 0); },
      [&] { host.ShowError("Conta corrente não cadastrada."_cp1252); },
  };
  int shown = 0;
  for (const auto& box : boxes) {
    SCOPED_TRACE(shown);
    host.ActiveShowAvi(host.MainForm(), 1);
    Qt::CursorShape during = Qt::BlankCursor;
    bool busy_drawn = true;
    QTimer::singleShot(50, [&] {
      during = QApplication::overrideCursor()->shape();
      busy_drawn = window.Busy().isVisible();
      auto* open = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (open == nullptr) return;
      if (shown++ == 1) {
        // The window with the box over it, as the user sees it.
        QImage picture = window.grab().toImage();
        QPainter painter(&picture);
        painter.drawPixmap(window.mapFromGlobal(open->pos()), open->grab());
        painter.end();
        QDir().mkpath(KVR_SCREENSHOT_DIR);
        picture.save(QDir(KVR_SCREENSHOT_DIR).filePath("pergunta-sem-aguarde.png"));
      }
      open->accept();
    });
    box();
    EXPECT_EQ(during, Qt::ArrowCursor);
    EXPECT_FALSE(busy_drawn);
    EXPECT_TRUE(window.Busy().isVisible());
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    host.DeactiveShowAvi();
  }
  EXPECT_EQ(shown, 3);
  EXPECT_FALSE(window.Busy().isVisible());
}

TEST_F(QtHostLibraryTest, HourglassCursorOnAndOff) {
  host.SetScreenCursor(crHourGlass);
  ASSERT_NE(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  host.SetScreenCursor(crHourGlass);
  host.SetScreenCursor(crDefault);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(QtHostLibraryTest, FileChooserStartsAtTheLastConfirmedFileAndKeepsItOnCancel) {
  std::vector<std::pair<QString, QString>> calls;
  std::optional<QString> next = QString("/tmp/extratos/marco.ofx");
  host.SetFileChooser([&](QWidget*, const QString& filter, const QString& start) {
    calls.emplace_back(filter, start);
    return next;
  });
  TOpenDialog chooser(nullptr);
  chooser.Filter = "OFX|*.ofx";
  chooser.ExecuteHook = [&](const std::string& filter, std::string& file_name) {
    return host.ExecuteOpenDialog(filter, file_name);
  };
  EXPECT_TRUE(chooser.Execute());
  EXPECT_EQ(chooser.FileName, "/tmp/extratos/marco.ofx");
  next = std::nullopt;
  EXPECT_FALSE(chooser.Execute());
  EXPECT_EQ(chooser.FileName, "/tmp/extratos/marco.ofx");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], (std::pair<QString, QString>{"OFX (*.ofx)", ""}));
  // The remembered file does not exist: the chooser starts in its folder.
  EXPECT_EQ(calls[1], (std::pair<QString, QString>{"OFX (*.ofx)", "/tmp/extratos"}));
  EXPECT_EQ(host.LastChosenFile(), "/tmp/extratos/marco.ofx");
}

TEST(QtFileFilter, PairsOfNameAndPatterns) {
  const struct {
    const char* filter;
    const char* expected;
  } cases[] = {
      {"OFX|*.ofx", "OFX (*.ofx)"},
      {"OFX|*.ofx;*.OFX", "OFX (*.ofx *.OFX)"},
      {"OFX|*.ofx|Todos|*.*", "OFX (*.ofx);;Todos (*.*)"},
      {"Todos", "Todos (*)"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.filter);
    EXPECT_EQ(ToQtFileFilter(c.filter), c.expected);
  }
}

// A screen that asks to be released when closed, and says when it is gone.
class ReleasedScreen : public TForm {
 public:
  ReleasedScreen(TComponent* owner, bool* destroyed, int* closes = nullptr)
      : TForm(owner), destroyed_(destroyed), closes_(closes) {
    Name = "frmTeste";
    SetCaption("Tela de teste");
    SetClientWidth(528);
    SetClientHeight(338);
    SetBorderStyle(TFormBorderStyle::bsSingle);
    OnClose = [this](TComponent*, TCloseAction& action) {
      if (closes_ != nullptr) ++*closes_;
      action = TCloseAction::caFree;
    };
  }
  ~ReleasedScreen() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
  int* closes_;
};

TEST_F(QtHostLibraryTest, ShowFormBuildsOneChildWindowAndRaisesItAgain) {
  bool destroyed = false;
  int closes = 0;
  auto* screen = new ReleasedScreen(host.Application(), &destroyed, &closes);
  screen->Show();
  host.ShowForm(*screen);
  host.ShowForm(*screen);
  ProcessEvents();
  ASSERT_EQ(window.ChildArea().subWindowList().size(), 1);
  QMdiSubWindow* child = window.ChildArea().subWindowList().first();
  EXPECT_EQ(child->windowTitle(), "Tela de teste");
  EXPECT_EQ(child->widget()->size(), QSize(528, 338));
  EXPECT_FALSE(child->windowFlags() & Qt::WindowMaximizeButtonHint);
  ASSERT_NE(window.ViewOf(*screen), nullptr);

  child->close();
  ProcessEvents();
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(host.Application()->ComponentCount(), 0);
  EXPECT_EQ(window.ChildArea().subWindowList().size(), 0);
}

TEST_F(QtHostLibraryTest, ScreensLeftOpenAreReleasedWithTheHost) {
  bool destroyed = false;
  int closes = 0;
  auto* screen = new ReleasedScreen(host.Application(), &destroyed, &closes);
  screen->Show();
  host.ShowForm(*screen);
  host.ReleaseScreens();
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(closes, 0);  // released at exit, not closed
  EXPECT_EQ(host.Application()->ComponentCount(), 0);
}

}  // namespace
}  // namespace kvr::qt
