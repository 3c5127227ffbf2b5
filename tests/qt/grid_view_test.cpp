// The data grid's view: the rows the table's filter lets through, the
// display texts of the columns' handlers, titles, widths and hidden
// columns, no editing, Tab between columns, keys through the grid's
// handler.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include "platform/client_dataset.h"
#include "platform/controls.h"
#include "platform/cp1252.h"
#include "platform/sysutils.h"
#include "qt/form_view.h"
#include "qt/grid_view.h"
#include "test_support.h"

namespace kvr::qt {
namespace {

using test::ProcessEvents;

class GridViewTest : public ::testing::Test {
 protected:
  GridViewTest() {
    form.Name = "frmGrade";
    form.SetClientWidth(480);
    form.SetClientHeight(220);
    table.Name = "cdsMov";
    table.AddFieldDef("DTMOVREAL", TFieldType::ftDateTime);
    table.AddFieldDef("CDREDUCONT", TFieldType::ftString, 3);
    table.AddFieldDef("IDMOVREAL", TFieldType::ftString, 1);
    table.AddFieldDef("VRMOVREAL", TFieldType::ftFloat);
    table.AddFieldDef("DSHISTMOVREAL", TFieldType::ftString, 40);
    table.CreateDataSet();
    table.SetIndexFieldNames("DTMOVREAL");
    table.FieldByName("IDMOVREAL").OnGetText = [](TField& field, std::string& text, bool) {
      if (field.AsString() == "D") text = "Débito"_cp1252;
      if (field.AsString() == "C") text = "Crédito"_cp1252;
    };
    AddRow(EncodeDate(2024, 3, 6), "D", 200.0, "PIX ENVIADO");
    AddRow(EncodeDate(2024, 3, 5), "C", 1234.5, "DEPÓSITO"_cp1252);
    AddRow(EncodeDate(2024, 3, 7), "C", 10.0, "TARIFA");

    panel.Name = "pnlGrade";
    panel.SetParent(&form);
    panel.SetBounds(2, 10, 467, 207);
    grid.Name = "dbgGrade";
    grid.SetParent(&panel);
    grid.SetBounds(1, 1, 465, 205);
    grid.SetAlign(TAlign::alClient);
    grid.SetOptions(dgTitles | dgColumnResize | dgColLines | dgRowLines | dgTabs | dgConfirmDelete | dgCancelOnExit);
    grid.SetColumns({{"DTMOVREAL", "Data", 65, true},
                     {"CDREDUCONT", "", -1, false},
                     {"IDMOVREAL", "Tipo", 43, true},
                     {"VRMOVREAL", "Valor", -1, true},
                     {"DSHISTMOVREAL", "Descrição"_cp1252, 138, true}});
    grid.SetDataSource(&table);
    grid.OnKeyDown = [this](TComponent*, TKey& key, TShiftState shift) {
      keys.push_back({key, shift});
      if ((shift & ssCtrl) != 0 && (key == VK_DELETE || key == 39)) key = 0;
    };

    view = std::make_unique<FormView>(form);
    view->show();
    QApplication::setActiveWindow(view.get());
    EXPECT_TRUE(QTest::qWaitForWindowActive(view.get()));
    shown = qobject_cast<QTableView*>(view->WidgetOf("dbgGrade"));
  }

  void AddRow(TDateTime date, const char* sign, double amount, const char* memo) {
    table.Append();
    table.FieldByName("DTMOVREAL").SetAsDateTime(date);
    table.FieldByName("IDMOVREAL").SetAsString(sign);
    table.FieldByName("VRMOVREAL").SetAsFloat(amount);
    table.FieldByName("DSHISTMOVREAL").SetAsString(memo);
    table.Post();
  }

  QString Cell(int row, int column) const {
    return shown->model()->data(shown->model()->index(row, column)).toString();
  }

  TForm form{nullptr};
  TClientDataSet table{&form};
  TPanel panel{&form};
  TDBGrid grid{&form};
  std::unique_ptr<FormView> view;
  QTableView* shown = nullptr;
  std::vector<std::pair<TKey, TShiftState>> keys;
};

TEST_F(GridViewTest, ShowsTitlesWidthsAndHidesColumnsWithoutTitle) {
  ASSERT_NE(shown, nullptr);
  const auto* model = shown->model();
  ASSERT_EQ(model->columnCount(), 5);
  EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), "Data");
  EXPECT_EQ(model->headerData(4, Qt::Horizontal).toString(), QString::fromUtf8("Descrição"));
  EXPECT_TRUE(shown->isColumnHidden(1));
  EXPECT_FALSE(shown->isColumnHidden(2));
  EXPECT_EQ(shown->columnWidth(0), 65);
  EXPECT_EQ(shown->columnWidth(2), 43);
  EXPECT_EQ(shown->columnWidth(3), 64);
  EXPECT_EQ(shown->columnWidth(4), 138);
  EXPECT_TRUE(shown->horizontalHeader()->isVisible());
  EXPECT_FALSE(shown->verticalHeader()->isVisible());
  // alClient inside a panel: the panel's inside less its bevel.
  EXPECT_EQ(shown->geometry(), QRect(1, 1, 465, 205));
}

TEST_F(GridViewTest, CellsShowTheDisplayTextsInDateOrder) {
  ASSERT_EQ(shown->model()->rowCount(), 3);
  const struct {
    int row;
    const char* date;
    const char* kind;
    const char* memo;
  } expected[] = {
      {0, "05/03/2024", "Crédito", "DEPÓSITO"},
      {1, "06/03/2024", "Débito", "PIX ENVIADO"},
      {2, "07/03/2024", "Crédito", "TARIFA"},
  };
  for (const auto& row : expected) {
    SCOPED_TRACE(row.row);
    EXPECT_EQ(Cell(row.row, 0), row.date);
    EXPECT_EQ(Cell(row.row, 2), QString::fromUtf8(row.kind));
    EXPECT_EQ(Cell(row.row, 4), QString::fromUtf8(row.memo));
  }
  EXPECT_EQ(shown->model()->data(shown->model()->index(0, 3), Qt::TextAlignmentRole).value<Qt::Alignment>(),
            Qt::AlignRight | Qt::AlignVCenter);
}

TEST_F(GridViewTest, FilterDecidesTheRowsShownOnceTheLoopRuns) {
  table.SetFilter("1 = 2");
  table.SetFiltered(true);
  ProcessEvents();
  EXPECT_EQ(shown->model()->rowCount(), 0);
  table.SetFilter("DTMOVREAL>= '06/03/2024'AND DTMOVREAL<= '07/03/2024'");
  ProcessEvents();
  ASSERT_EQ(shown->model()->rowCount(), 2);
  EXPECT_EQ(Cell(0, 0), "06/03/2024");
  table.SetFiltered(false);
  ProcessEvents();
  EXPECT_EQ(shown->model()->rowCount(), 3);
}

TEST_F(GridViewTest, RowsThatWentAwayBeforeTheReloadShowEmpty) {
  table.EmptyDataSet();
  // No event loop yet: the model still has three rows but reads none.
  EXPECT_EQ(Cell(2, 0), "");
  ProcessEvents();
  EXPECT_EQ(shown->model()->rowCount(), 0);
}

TEST_F(GridViewTest, CellsCannotBeEdited) {
  shown->setFocus();
  shown->setCurrentIndex(shown->model()->index(0, 4));
  QTest::keyClick(shown, Qt::Key_F2);
  QTest::keyClicks(shown, "xyz");
  EXPECT_EQ(shown->indexWidget(shown->currentIndex()), nullptr);
  EXPECT_EQ(shown->editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_FALSE(shown->model()->flags(shown->model()->index(0, 4)) & Qt::ItemIsEditable);
  table.First();
  EXPECT_EQ(table.FieldByName("DSHISTMOVREAL").AsString(), "DEPÓSITO"_cp1252);
}

TEST_F(GridViewTest, TabMovesBetweenShownColumns) {
  shown->setFocus();
  shown->setCurrentIndex(shown->model()->index(0, 0));
  QTest::keyClick(shown, Qt::Key_Tab);
  EXPECT_EQ(shown->currentIndex().column(), 2);  // column 1 is hidden
  QTest::keyClick(shown, Qt::Key_Tab);
  EXPECT_EQ(shown->currentIndex().column(), 3);
  QTest::keyClick(shown, Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(shown->currentIndex().column(), 2);
}

TEST_F(GridViewTest, KeysGoThroughTheGridsHandlerWhichMayCancelThem) {
  shown->setFocus();
  shown->setCurrentIndex(shown->model()->index(0, 2));
  keys.clear();
  QTest::keyClick(shown, Qt::Key_Delete, Qt::ControlModifier);
  QTest::keyClick(shown, Qt::Key_Delete, Qt::ControlModifier | Qt::ShiftModifier);
  QTest::keyClick(shown, Qt::Key_Delete);
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[0], (std::pair<TKey, TShiftState>{VK_DELETE, ssCtrl}));
  EXPECT_EQ(keys[1], (std::pair<TKey, TShiftState>{VK_DELETE, ssCtrl | ssShift}));
  EXPECT_EQ(keys[2], (std::pair<TKey, TShiftState>{VK_DELETE, 0u}));
  EXPECT_EQ(table.RecordCount(), 3);

  // A cancelled key does not reach the grid: Ctrl+Right stays put, Right moves.
  QTest::keyClick(shown, Qt::Key_Right, Qt::ControlModifier);
  EXPECT_EQ(shown->currentIndex().column(), 2);
  QTest::keyClick(shown, Qt::Key_Right);
  EXPECT_EQ(shown->currentIndex().column(), 3);
}

}  // namespace
}  // namespace kvr::qt

namespace kvr::qt {
namespace {

TEST(GridViewRelease, DetachedViewOutlivesItsFormAndTable) {
  auto* form = new TForm(nullptr);
  form->SetClientWidth(200);
  form->SetClientHeight(100);
  auto* table = new TClientDataSet(form);
  table->AddFieldDef("DSHISTMOVREAL", TFieldType::ftString, 40);
  table->CreateDataSet();
  auto* grid = new TDBGrid(form);
  grid->Name = "dbgGrade";
  grid->SetParent(form);
  grid->SetColumns({{"DSHISTMOVREAL", "Descrição"_cp1252, 138, true}});
  grid->SetDataSource(table);
  auto view = std::make_unique<FormView>(*form);
  auto* shown = qobject_cast<QTableView*>(view->WidgetOf("dbgGrade"));
  ASSERT_NE(shown, nullptr);
  ProcessEvents();
  view->Detach();

  // Detached, the grid's view hears nothing more from the table.
  QSignalSpy reloads(shown->model(), &QAbstractItemModel::modelReset);
  table->Append();
  table->FieldByName("DSHISTMOVREAL").SetAsString("TARIFA");
  table->Post();
  ProcessEvents();
  EXPECT_EQ(reloads.count(), 0);

  delete form;  // the table and the grid go with it
  ProcessEvents();
  EXPECT_EQ(view->WidgetOf("dbgGrade"), shown);
  view.reset();  // lets go of nothing that is gone (the sanitizer build checks)
}

// A document number right-aligned in its 20 characters shows its digits
// when the blanks do not fit, and its last digits when the digits do not
// either; other texts end in an ellipsis.
TEST(GridCellText, NumbersKeepTheirDigitsOtherTextsTheirStart) {
  const QFontMetrics metrics(QFont("DejaVu Sans", 8));
  const QString ellipsis = QString(QChar(0x2026));
  struct Case {
    QString text;
    QString room_of;  // the room is as wide as this text
    QString shown;
    Qt::Alignment alignment;
    bool whole;
  };
  const Case cases[] = {
      {"              000101", "              000101", "              000101", Qt::AlignLeft, true},
      {"    1234567890123456", "1234567890123456", "1234567890123456", Qt::AlignRight, true},
      {"12345678901234567890", ellipsis + "34567890", ellipsis + "34567890", Qt::AlignRight, false},
      {"      123.456-7/0001", "123.456-7/0001", "123.456-7/0001", Qt::AlignRight, true},
      {"PIX RECEBIDO JOSE DA SILVA", "PIX RECEBIDO" + ellipsis, "PIX RECEBIDO" + ellipsis, Qt::AlignLeft, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.toStdString());
    const ShownCell shown =
        ShownCellText(c.text, metrics, metrics.horizontalAdvance(c.room_of), Qt::AlignLeft);
    EXPECT_EQ(c.shown.toStdString(), shown.text.toStdString());
    EXPECT_EQ(c.alignment, shown.alignment & Qt::AlignHorizontal_Mask);
    EXPECT_EQ(c.whole, shown.whole);
  }
}

}  // namespace
}  // namespace kvr::qt
