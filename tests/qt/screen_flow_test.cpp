// The import screen as a user drives it on the desktop: the package loaded
// into the shell, a real server on 127.0.0.1, the real widgets.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QTableView>
#include <QTest>

#include "platform/controls.h"
#include "platform/format_settings.h"
#include "qt/busy_indicator.h"
#include "qt/main_window.h"
#include "desktop_session.h"

namespace kvr::qt {
namespace {

using test::BoxResponder;
using test::DesktopSession;
using test::ProcessEvents;

#if defined(KVR_PACKAGE_FILE) && defined(KVR_SERVER_BIN)

class ScreenFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = FormatSettings;
    FormatSettings.DecimalSeparator = ',';
    FormatSettings.ThousandSeparator = '.';
    ASSERT_TRUE(session.Start()) << session.Error().toStdString();
    grid = session.Widget<QTableView>("dbgExtrBanco");
    ASSERT_NE(grid, nullptr);
  }
  void TearDown() override { FormatSettings = saved_; }

  QString Cell(int row, int column) const {
    return grid->model()->data(grid->model()->index(row, column)).toString();
  }
  int Rows() const { return grid->model()->rowCount(); }
  QString Text(const char* name) const { return session.Widget<QLineEdit>(name)->text(); }

  // Replaces the text of a date edit by typing, as the user does.
  void TypeDate(const char* name, const char* text) {
    QLineEdit* edit = session.Widget<QLineEdit>(name);
    edit->setFocus();
    ProcessEvents();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
    ProcessEvents();
  }

  TFormatSettings saved_;
  DesktopSession session;
  QTableView* grid = nullptr;
};

// Columns of the grid: 0 Data, 4 Documento, 5 Tipo, 6 Valor, 7 Descrição.
TEST_F(ScreenFlowTest, SearchButtonLoadsTheStatementIntoTheEditsAndTheGrid) {
  BoxResponder boxes;
  session.LoadExample("extrato-341.ofx");
  EXPECT_EQ(boxes.Boxes().size(), 0u);
  EXPECT_EQ(Text("edtFile"), test::ExampleFile("extrato-341.ofx"));
  EXPECT_EQ(Text("edtBanco"), "0341");
  EXPECT_EQ(Text("edtConta"), "12345-6");
  EXPECT_EQ(Text("depDtIni"), "01/01/2024");
  EXPECT_EQ(Text("depDtFim"), "31/01/2024");
  EXPECT_EQ(Text("nedValorFim"), "3.203,50");
  auto* accounts = session.Widget<QComboBox>("cbTipoConta");
  ASSERT_EQ(accounts->count(), 2);
  EXPECT_EQ(accounts->itemText(0), "Circulante");
  EXPECT_EQ(accounts->itemText(1), QString::fromUtf8("Aplicação"));
  EXPECT_EQ(accounts->currentIndex(), 0);
  EXPECT_EQ(accounts->palette().color(QPalette::Button), QPalette().color(QPalette::ToolTipBase));

  ASSERT_EQ(Rows(), 8);
  const struct {
    int row;
    const char* date;
    const char* document;
    const char* kind;
    const char* amount;
    const char* memo;
  } expected[] = {
      {0, "02/01/2024", "              000001", "Crédito", "2.500,00", "PIX RECEBIDO JOSE DA SILVA"},
      {1, "03/01/2024", "              000002", "Débito", "89,90", "PAGTO CONTA LUZ"},
      {3, "10/01/2024", "              000004", "Crédito", "1.200,00", "DEPOSITO EM DINHEIRO"},
      {6, "25/01/2024", "              000007", "Débito", "1.500,00", nullptr},
      {7, "30/01/2024", "              000008", "Crédito", "0,75", nullptr},
  };
  for (const auto& row : expected) {
    SCOPED_TRACE(row.row);
    EXPECT_EQ(Cell(row.row, 0), row.date);
    EXPECT_EQ(Cell(row.row, 4), row.document);
    EXPECT_EQ(Cell(row.row, 5), QString::fromUtf8(row.kind));
    EXPECT_EQ(Cell(row.row, 6), row.amount);
    if (row.memo != nullptr) {
      EXPECT_EQ(Cell(row.row, 7), QString::fromUtf8(row.memo));
    }
  }
  EXPECT_FALSE(session.Widget<QGroupBox>("grbDtMovimento")->isVisible());
  EXPECT_EQ(session.View()->size(), QSize(528, 338));
}

TEST_F(ScreenFlowTest, CtrlDeleteInTheGridRemovesNothing) {
  session.LoadExample("extrato-341.ofx");
  ASSERT_EQ(Rows(), 8);
  grid->setFocus();
  grid->setCurrentIndex(grid->model()->index(2, 0));
  QTest::keyClick(grid, Qt::Key_Delete, Qt::ControlModifier);
  QTest::keyClick(grid, Qt::Key_Delete, Qt::ControlModifier | Qt::ShiftModifier);
  ProcessEvents();
  EXPECT_EQ(Rows(), 8);
  EXPECT_EQ(Cell(2, 0), "05/01/2024");
}

TEST_F(ScreenFlowTest, ConfirmStoresTheStatementOnceAndSaysSo) {
  session.LoadExample("extrato-341.ofx");
  BoxResponder boxes;
  session.PressConfirm();
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].title, QString::fromUtf8("Informação"));
  EXPECT_EQ(boxes.Boxes()[0].text, "Arquivo importado com sucesso.");
  EXPECT_FALSE(session.Shell().Window().Busy().isVisible());
  EXPECT_EQ(Rows(), 8);  // the screen keeps the statement

  session.PressConfirm();
  ASSERT_EQ(boxes.Boxes().size(), 2u);
  EXPECT_EQ(boxes.Boxes()[1].title, "Erro");
  EXPECT_EQ(boxes.Boxes()[1].text, QString::fromUtf8("Arquivo de movimentação bancária já cadastrado."));
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);

  const QString stored = session.Server().Run({"extrato", "list"});
  EXPECT_TRUE(stored.contains("001")) << stored.toStdString();
}

TEST_F(ScreenFlowTest, Bank237ShowsTheDateGroupAndTheTypedRangeDecidesTheRows) {
  session.LoadExample("extrato-237.ofx");
  auto* group = session.Widget<QGroupBox>("grbDtMovimento");
  EXPECT_TRUE(group->isVisible());
  EXPECT_EQ(group->title(), "Data");
  EXPECT_EQ(session.Widget<QWidget>("pnlExtrBanc")->y(), 168);
  EXPECT_EQ(session.View()->size(), QSize(528, 384));  // 46 pixels taller
  EXPECT_TRUE(session.Widget<QLineEdit>("depMovDe")->hasFocus());

  TypeDate("depMovDe", "01/03/2024");
  EXPECT_EQ(Rows(), 0);  // typing blocks the grid until the edit is left
  TypeDate("depMovAte", "05/03/2024");  // leaving "de" applies 01/03 to yesterday
  EXPECT_EQ(Rows(), 0);
  session.Widget<QLineEdit>("depMovDe")->setFocus();  // leave "até"
  ProcessEvents();
  ASSERT_EQ(Rows(), 5);
  EXPECT_EQ(Cell(0, 0), "01/03/2024");
  EXPECT_EQ(Cell(4, 0), "05/03/2024");
  EXPECT_EQ(session.Widget<QLineEdit>("depMovAte")->palette().color(QPalette::Text), QColor(0, 0, 255));

  // Another bank afterwards: group hidden, grid back up, the window shorter.
  session.LoadExample("extrato-341.ofx");
  EXPECT_FALSE(group->isVisible());
  EXPECT_EQ(session.Widget<QWidget>("pnlExtrBanc")->y(), 122);
  EXPECT_EQ(session.View()->size(), QSize(528, 338));
}

TEST_F(ScreenFlowTest, ReversedRangeIsRefusedWithTheFocusInTheToDate) {
  session.LoadExample("extrato-237.ofx");
  BoxResponder boxes;
  TypeDate("depMovDe", "06/03/2024");
  TypeDate("depMovAte", "05/03/2024");
  session.Widget<QLineEdit>("depMovDe")->setFocus();
  ProcessEvents();
  ASSERT_GE(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes().back().text,
            QString::fromUtf8("Data de movimento final deve ser maior ou igual à data de movimento inicial."));
  // The offscreen platform does not activate the main window again after
  // the box; the focus waits in the edit for it.
  EXPECT_EQ(session.View()->window()->focusWidget(), session.Widget<QLineEdit>("depMovAte"));
  EXPECT_EQ(Rows(), 0);
}

TEST_F(ScreenFlowTest, FilesThatAreNoStatementOrBrokenAreShownInADialog) {
  const struct {
    const char* file;
    const char* message_start;
  } cases[] = {
      {"planilha.csv", "Arquivo importado não é um extrato válido."},
      {"valor-invalido.ofx", "linha 20"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    BoxResponder boxes;
    session.ChooseNext(QString(KVR_TEST_DATA_DIR) + "/" + c.file);
    session.PressSearch();
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].title, "Erro");
    EXPECT_TRUE(boxes.Boxes()[0].text.startsWith(QString::fromUtf8(c.message_start)))
        << boxes.Boxes()[0].text.toStdString();
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(Text("edtBanco"), "");
  }
}

TEST_F(ScreenFlowTest, CancelledChooserBeforeAnyFileLeavesTheScreenClear) {
  session.ChooseNext(std::nullopt);
  session.PressSearch();
  EXPECT_EQ(Text("edtFile"), "");
  EXPECT_EQ(Rows(), 0);
}

TEST_F(ScreenFlowTest, LostConnectionIsShownAndTheIndicatorGoesAway) {
  session.Server().Stop();
  BoxResponder boxes;
  session.LoadExample("extrato-341.ofx");
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].title, "Erro");
  EXPECT_FALSE(boxes.Boxes()[0].text.isEmpty());
  EXPECT_FALSE(session.Shell().Window().Busy().isVisible());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

#endif

}  // namespace
}  // namespace kvr::qt
