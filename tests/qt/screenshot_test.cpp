// Pictures of the desktop for people to look at: the screen empty, with a
// statement of a standard bank, with a bank 237 statement (date group
// shown), and each kind of message box. Written as PNGs into the build
// folder (screenshots/). Without the DejaVu fonts the pictures would show
// substitute glyphs, so the test fails then.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QFontDatabase>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QToolTip>

#include <chrono>
#include <thread>

#include "host/net_connection.h"
#include "platform/controls.h"
#include "platform/cp1252.h"
#include "platform/format_settings.h"
#include "qt/busy_indicator.h"
#include "qt/grid_view.h"
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

  // Types the bank-237 date range as a clerk does (each field cleared, then
  // typed) and leaves the second field, which applies the range.
  void TypeRange(const char* from_text, const char* to_text) {
    QLineEdit* from = session.Widget<QLineEdit>("depMovDe");
    QLineEdit* to = session.Widget<QLineEdit>("depMovAte");
    for (auto [edit, text] : {std::pair{from, from_text}, std::pair{to, to_text}}) {
      edit->setFocus();
      ProcessEvents();
      edit->selectAll();
      QTest::keyClick(edit, Qt::Key_Backspace);
      QTest::keyClicks(edit, text);
    }
    from->setFocus();
    ProcessEvents();
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
  TypeRange("01/03/2024", "08/03/2024");
  ASSERT_EQ(session.Widget<QTableView>("dbgExtrBanco")->model()->rowCount(), 8);
  Save("tela-banco-237.png");
}

// The grid's cell of a row and a field, by the field's column.
QModelIndex Cell(const QTableView& table, int row, const char* title) {
  for (int c = 0; c < table.model()->columnCount(); ++c) {
    if (table.model()->headerData(c, Qt::Horizontal).toString() == QString::fromUtf8(title)) {
      return table.model()->index(row, c);
    }
  }
  return {};
}

// The tooltip the grid shows while the mouse rests on the cell.
QString TooltipOf(QTableView& table, const QModelIndex& index) {
  QToolTip::hideText();  // hides after a short delay
  EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 3000))
      << "the previous tooltip did not hide";
  const QPoint at = table.visualRect(index).center();
  QHelpEvent help(QEvent::ToolTip, at, table.viewport()->mapToGlobal(at));
  QApplication::sendEvent(table.viewport(), &help);
  return QToolTip::isVisible() ? QToolTip::text() : QString();
}

TEST_F(ScreenshotTest, TextsTooLongForTheirColumnEndInAnEllipsisAndShowWholeInATooltip) {
  session.LoadExample("extrato-341.ofx");
  auto* table = session.Widget<QTableView>("dbgExtrBanco");
  ASSERT_NE(table, nullptr);
  Save("grade-texto-cortado.png");
  const QModelIndex long_memo = Cell(*table, 0, "Descrição");
  ASSERT_EQ(long_memo.data().toString(), "PIX RECEBIDO JOSE DA SILVA");
  EXPECT_TRUE(CellTextIsCut(*table, long_memo));
  EXPECT_EQ(TooltipOf(*table, long_memo), "PIX RECEBIDO JOSE DA SILVA");
  // Texts that fit: no ellipsis, no tooltip ("Crédito" in the 43 pixels of
  // the column "Tipo" included).
  for (const QModelIndex& fits : {Cell(*table, 1, "Descrição"), Cell(*table, 0, "Tipo"), Cell(*table, 0, "Valor")}) {
    SCOPED_TRACE(fits.data().toString().toStdString());
    EXPECT_FALSE(CellTextIsCut(*table, fits));
    EXPECT_EQ(TooltipOf(*table, fits), "");
  }
  EXPECT_EQ(Cell(*table, 0, "Tipo").data().toString(), QString::fromUtf8("Crédito"));
  QToolTip::hideText();

  // Long document numbers, right-aligned in their 20 characters: the digits
  // show (the last ones when not all fit), never blanks and an ellipsis.
  QFile example(QString(KVR_EXAMPLES_DIR) + "/extrato-341.ofx");
  ASSERT_TRUE(example.open(QIODevice::ReadOnly));
  QByteArray content = example.readAll();
  content.replace("<CHECKNUM>000001", "<CHECKNUM>2024010212345678");
  content.replace("<CHECKNUM>000002", "<CHECKNUM>20240103123456789012");
  QTemporaryDir folder;
  QFile changed(folder.filePath("documentos-longos.ofx"));
  ASSERT_TRUE(changed.open(QIODevice::WriteOnly));
  changed.write(content);
  changed.close();
  session.ChooseNext(changed.fileName());
  session.PressSearch();
  ProcessEvents();
  Save("grade-documento-longo.png");
  const QModelIndex sixteen = Cell(*table, 0, "Documento"), twenty = Cell(*table, 1, "Documento");
  EXPECT_EQ("    2024010212345678", sixteen.data().toString().toStdString());
  EXPECT_FALSE(CellTextIsCut(*table, sixteen));
  EXPECT_EQ("20240103123456789012", twenty.data().toString().toStdString());
  EXPECT_TRUE(CellTextIsCut(*table, twenty));
  EXPECT_EQ("20240103123456789012", TooltipOf(*table, twenty).toStdString());
  QToolTip::hideText();
}

// A server that takes its time to answer.
class SlowServer : public RpcTransport {
 public:
  void Open(const std::string&, int) override {}
  void Close() override {}
  RpcResponse Call(const std::string&, const RpcRequest& request) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return {200, R"({"jsonrpc":"2.0","id":)" + std::to_string(request.Id()) + R"(,"result":true})"};
  }
};

TEST_F(ScreenshotTest, BusyIndicatorMovesAndTheWindowTakesNoInputDuringASlowCall) {
  MainWindow& window = session.Shell().Window();
  auto* button = new QPushButton("Outra", window.centralWidget());
  button->show();
  int clicks = 0;
  QObject::connect(button, &QPushButton::clicked, [&] { ++clicks; });
  TNetConnection connection(nullptr);
  connection.SetTransport(std::make_unique<SlowServer>());
  connection.SetConnected(true);

  QtHostLibrary& host = session.Shell().Host();
  host.ActiveShowAvi(host.MainForm(), 1);
  std::vector<QImage> frames;
  auto grab = [&] { frames.push_back(window.Busy().findChild<QProgressBar*>()->grab().toImage()); };
  QTimer::singleShot(300, &window, grab);
  QTimer::singleShot(600, &window, [&] { QTest::mouseClick(button, Qt::LeftButton); });
  QTimer::singleShot(900, &window, grab);
  const TServerResult result = connection.Call("Demorado", std::vector<TServerArg>{});
  EXPECT_EQ(result.Payload(), true);
  // Both pictures were taken while the call waited: the loop kept running.
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_NE(frames[0], frames[1]) << "the busy bar did not move";
  window.grab().save(Path("indicador-ocupado-chamada.png"));
  EXPECT_EQ(clicks, 0);
  host.DeactiveShowAvi();
  EXPECT_FALSE(window.Busy().isVisible());
  ProcessEvents();
  EXPECT_EQ(clicks, 0) << "a click made during the call arrived after it";
  delete button;
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
      "Existem movimentações com mesmo número, valor e data, deseja realizar a importação?"_cp1252,
      TMsgDlgType::mtConfirmation, {"Não"_cp1252, "Sim"}, 0);
  EXPECT_EQ(answer, 11);

  ASSERT_EQ(boxes.Boxes().size(), 3u);
  for (const char* name : {"mensagem-erro.png", "mensagem-informacao.png", "mensagem-pergunta.png"}) {
    SCOPED_TRACE(name);
    const QImage picture(Path(name));
    EXPECT_FALSE(picture.isNull());
    EXPECT_GT(picture.width(), 100);
  }
}

// Made larger, the screen gives the room to the grid and to its last
// column, the descriptions; the fields keep their places and the button
// column stays at the right edge. A bank 237 statement loaded then keeps
// the grid inside its group.
TEST_F(ScreenshotTest, GridAndDescriptionsGrowWithTheWindow) {
  session.LoadExample("extrato-341.ofx");
  ProcessEvents();
  MainWindow& main = session.Shell().Window();
  main.resize(1000, 700);
  QMdiSubWindow* child = main.ChildArea().subWindowList().first();
  auto* grid = session.Widget<QTableView>("dbgExtrBanco");
  QWidget* bank = session.Widget<QWidget>("edtBanco");
  QWidget* menu = session.Widget<QWidget>("panMenu");
  QWidget* group = session.Widget<QWidget>("grbDadosRel");
  ASSERT_TRUE(grid != nullptr && bank != nullptr && menu != nullptr && group != nullptr);
  const QModelIndex memo = Cell(*grid, 0, "Descrição");
  const int memo_column = memo.column();
  const QRect grid_before = grid->geometry(), bank_before = bank->geometry(), menu_before = menu->geometry();
  EXPECT_EQ(138, grid->columnWidth(memo_column));
  EXPECT_TRUE(CellTextIsCut(*grid, memo));

  child->resize(child->size() + QSize(200, 120));
  ProcessEvents();
  EXPECT_EQ(grid_before.size() + QSize(200, 120), grid->geometry().size());
  EXPECT_EQ(338, grid->columnWidth(memo_column));
  EXPECT_FALSE(CellTextIsCut(*grid, memo));
  EXPECT_EQ(bank_before, bank->geometry());
  EXPECT_EQ(menu_before.translated(200, 0).topLeft(), menu->geometry().topLeft());
  EXPECT_EQ(menu_before.height() + 120, menu->height());
  Save("tela-ampliada.png");

  // Smaller than the form it never gets.
  child->resize(200, 200);
  ProcessEvents();
  EXPECT_EQ(grid_before, grid->geometry());
  EXPECT_EQ(138, grid->columnWidth(memo_column));

  child->resize(child->size() + QSize(120, 80));
  ProcessEvents();
  session.LoadExample("extrato-237.ofx");
  ProcessEvents();
  QWidget* panel = session.Widget<QWidget>("pnlExtrBanc");
  ASSERT_NE(nullptr, panel);
  EXPECT_TRUE(group->rect().contains(panel->geometry())) << panel->geometry().bottom() << " > " << group->height();
  EXPECT_EQ(grid_before.width() + 120, grid->width());

  // A range that leaves no movement: the grid says so, as `kvr61400 import`
  // does, instead of staying empty.
  TypeRange("10/03/2024", "12/03/2024");
  ASSERT_EQ(0, grid->model()->rowCount());
  auto* shown = dynamic_cast<TDBGrid*>(session.View()->ControlOf(grid));
  ASSERT_NE(nullptr, shown);
  ASSERT_TRUE(shown->OnEmptyText);
  EXPECT_EQ("Nenhum movimento de 10/03/2024 a 12/03/2024; o extrato vai de 01/03/2024 a 08/03/2024: escolha o "
            "período em \"de\" e \"até\"."_cp1252,
            shown->OnEmptyText());
  Save("tela-banco-237-ampliada.png");

  // Maximized, a statement of another bank (another form height) keeps the
  // window filling the area.
  child->showMaximized();
  ProcessEvents();
  const QSize area = main.ChildArea().viewport()->size();
  session.LoadExample("extrato-341.ofx");
  ProcessEvents();
  EXPECT_TRUE(child->isMaximized());
  EXPECT_EQ(area, child->size());
  EXPECT_TRUE(group->rect().contains(session.Widget<QWidget>("pnlExtrBanc")->geometry()));

}

#endif

}  // namespace
}  // namespace kvr::qt
