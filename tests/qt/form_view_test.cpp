// The generic views of the control kinds, over a small form built here:
// what the model changes shows at once, what the user does reaches the
// model's entry points and handlers.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "host/host_controls.h"
#include "platform/controls.h"
#include "platform/cp1252.h"
#include "platform/errors.h"
#include "platform/sysutils.h"
#include "qt/form_view.h"
#include "test_support.h"

namespace kvr::qt {
namespace {

using test::BoxResponder;
using test::ProcessEvents;

class FormViewTest : public ::testing::Test {
 protected:
  FormViewTest() {
    form.Name = "frmTeste";
    form.SetClientWidth(400);
    form.SetClientHeight(200);
    form.SetCaption("Teste");

    label.Name = "lblNome";
    label.SetParent(&form);
    label.SetBounds(12, 18, 0, 0);
    TFont bold;
    bold.Bold = true;
    label.SetFont(bold);
    label.SetCaption("Até"_cp1252);

    first.Name = "edtPrimeiro";
    first.SetParent(&form);
    first.SetBounds(80, 14, 120, 21);
    first.OnChange = [this](TComponent*) { ++changes; };
    first.OnExit = [this](TComponent*) { ++exits; };

    second.Name = "edtSegundo";
    second.SetParent(&form);
    second.SetBounds(80, 40, 120, 21);

    combo.Name = "cbTipo";
    combo.SetParent(&form);
    combo.SetStyle(TComboBoxStyle::csDropDownList);
    combo.SetBounds(210, 14, 91, 21);
    combo.OnChange = [this](TComponent*) { ++combo_changes; };

    group.Name = "grbGrupo";
    group.SetParent(&form);
    group.SetBounds(10, 70, 300, 60);
    group.SetCaption("Data");
    date.Name = "depData";
    date.SetParent(&group);
    date.SetBounds(27, 15, 119, 21);
    date.WeekDayNames = {"Domingo", "Segunda", "Terça"_cp1252, "Quarta", "Quinta", "Sexta", "Sábado"_cp1252};

    number.Name = "nedValor";
    number.SetParent(&form);
    number.SetBounds(210, 40, 119, 21);

    button.Name = "sbtBotao";
    button.SetParent(&form);
    button.SetBounds(320, 14, 60, 22);
    button.SetCaption("Ok");

    view = std::make_unique<FormView>(form);
    view->show();
    view->activateWindow();
    QApplication::setActiveWindow(view.get());
    EXPECT_TRUE(QTest::qWaitForWindowActive(view.get()));
  }

  template <typename W>
  W* Widget(const char* name) {
    return qobject_cast<W*>(view->WidgetOf(name));
  }

  TForm form{nullptr};
  TLabel label{&form};
  TEdit first{&form};
  TEdit second{&form};
  TComboBox combo{&form};
  TGroupBox group{&form};
  TDateEditPlus date{&form};
  TNumberEdit number{&form};
  TButton button{&form};
  std::unique_ptr<FormView> view;
  int changes = 0;
  int exits = 0;
  int combo_changes = 0;
};

TEST_F(FormViewTest, ViewHasTheClientSizeAndControlsSitWhereTheModelSays) {
  EXPECT_EQ(view->size(), QSize(400, 200));
  EXPECT_EQ(Widget<QLineEdit>("edtPrimeiro")->geometry(), QRect(80, 14, 120, 21));
  EXPECT_EQ(Widget<QLineEdit>("depData")->parentWidget(), Widget<QGroupBox>("grbGrupo"));
  EXPECT_EQ(Widget<QLineEdit>("depData")->geometry(), QRect(27, 15, 119, 21));
  EXPECT_EQ(Widget<QGroupBox>("grbGrupo")->title(), "Data");

  form.SetClientHeight(246);
  EXPECT_EQ(view->size(), QSize(400, 246));
}

TEST_F(FormViewTest, LabelShowsItsCaptionInBoldAndSizesToIt) {
  auto* shown = Widget<QLabel>("lblNome");
  EXPECT_EQ(shown->text(), QString::fromUtf8("Até"));
  EXPECT_TRUE(shown->font().bold());
  EXPECT_EQ(shown->font().family(), "DejaVu Sans");
  EXPECT_EQ(shown->font().pixelSize(), 10);  // the design font is 11 pixels, DejaVu a tenth smaller
  EXPECT_EQ(shown->pos(), QPoint(12, 18));
  EXPECT_GT(shown->width(), 0);
}

TEST_F(FormViewTest, ModelChangesAppearAtOnce) {
  auto* edit = Widget<QLineEdit>("edtPrimeiro");
  first.SetText("Crédito"_cp1252);
  EXPECT_EQ(edit->text(), QString::fromUtf8("Crédito"));
  first.SetEnabled(false);
  EXPECT_FALSE(edit->isEnabled());
  first.SetColor(clInfoBk);
  EXPECT_EQ(edit->palette().color(QPalette::Base), QPalette().color(QPalette::ToolTipBase));
  first.SetColor(clBtnFace);
  EXPECT_EQ(edit->palette().color(QPalette::Base), QPalette().color(QPalette::Button));
  first.SetTop(60);
  EXPECT_EQ(edit->geometry(), QRect(80, 60, 120, 21));
  group.SetVisible(false);
  EXPECT_FALSE(Widget<QGroupBox>("grbGrupo")->isVisible());
  group.SetVisible(true);
  EXPECT_TRUE(Widget<QGroupBox>("grbGrupo")->isVisible());
}

TEST_F(FormViewTest, TypingReachesTheModelAndItsChangeHandler) {
  auto* edit = Widget<QLineEdit>("edtPrimeiro");
  QTest::keyClicks(edit, "N");
  QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString::fromUtf8("ã"), Qt::NoModifier);
  QTest::keyClick(edit, Qt::Key_O);
  EXPECT_EQ(first.Text(), "Não"_cp1252);  // Windows-1252 in the model
  EXPECT_EQ(changes, 3);
}

TEST_F(FormViewTest, ProgramChangesOfTheTextAreNotTakenForTyping) {
  first.SetText("abc");
  EXPECT_EQ(changes, 1);  // the program's own change, not a second one from the view
}

TEST_F(FormViewTest, LeavingAControlRunsItsExitHandlerAndMovesTheModelFocus) {
  Widget<QLineEdit>("edtPrimeiro")->setFocus();
  ProcessEvents();
  EXPECT_EQ(form.ActiveControl(), &first);
  Widget<QLineEdit>("edtSegundo")->setFocus();
  ProcessEvents();
  EXPECT_EQ(exits, 1);
  EXPECT_EQ(form.ActiveControl(), &second);
}

TEST_F(FormViewTest, ExitHandlerThatEndsTheActionKeepsTheFocusSilently) {
  BoxResponder boxes;
  first.OnExit = [this](TComponent*) {
    first.SetFocus();
    throw EAbort();
  };
  Widget<QLineEdit>("edtPrimeiro")->setFocus();
  ProcessEvents();
  Widget<QLineEdit>("edtSegundo")->setFocus();
  ProcessEvents();
  EXPECT_EQ(form.ActiveControl(), &first);
  EXPECT_TRUE(Widget<QLineEdit>("edtPrimeiro")->hasFocus());
  EXPECT_EQ(boxes.Boxes().size(), 0u);
}

TEST_F(FormViewTest, ProgramFocusMovesTheQtFocus) {
  second.SetFocus();
  EXPECT_TRUE(Widget<QLineEdit>("edtSegundo")->hasFocus());
  EXPECT_EQ(exits, 0);
}

TEST_F(FormViewTest, UnexpectedErrorOfAClickIsShownInAnErrorBox) {
  BoxResponder boxes;
  button.OnClick = [](TComponent*) {
    throw EConvertError("linha 42: valor \"12,5x\" de TRNAMT não é um número");
  };
  QTest::mouseClick(Widget<QPushButton>("sbtBotao"), Qt::LeftButton);
  ProcessEvents();
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].title, "Erro");
  EXPECT_EQ(boxes.Boxes()[0].icon, QMessageBox::Critical);
  EXPECT_EQ(boxes.Boxes()[0].text, QString::fromUtf8("linha 42: valor \"12,5x\" de TRNAMT não é um número"));
}

TEST_F(FormViewTest, ComboMirrorsEntriesAndSendsTheUsersChoice) {
  auto* box = Widget<QComboBox>("cbTipo");
  EXPECT_FALSE(box->isEditable());
  combo.Items.Add("Circulante");
  combo.Items.Add("Aplicação"_cp1252);
  combo.SetItemIndex(0);
  ASSERT_EQ(box->count(), 2);
  EXPECT_EQ(box->itemText(1), QString::fromUtf8("Aplicação"));
  EXPECT_EQ(box->currentIndex(), 0);
  EXPECT_EQ(combo_changes, 0);

  box->setFocus();
  QTest::keyClick(box, Qt::Key_Down);
  ProcessEvents();
  EXPECT_EQ(combo.ItemIndex(), 1);
  EXPECT_EQ(combo.Text(), "Aplicação"_cp1252);
  EXPECT_EQ(combo_changes, 1);

  combo.Items.Clear();
  EXPECT_EQ(box->count(), 0);
}

TEST_F(FormViewTest, DateEditIsBlueWhenValidNamesTheWeekdayAndMayBeEmpty) {
  auto* edit = Widget<QLineEdit>("depData");
  const QColor normal = edit->palette().color(QPalette::Text);
  date.SetDate(EncodeDate(2024, 3, 5));
  EXPECT_EQ(edit->text(), "05/03/2024");
  EXPECT_EQ(edit->palette().color(QPalette::Text), QColor(0, 0, 255));
  EXPECT_EQ(edit->toolTip(), QString::fromUtf8("Terça"));

  edit->setFocus();
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Backspace);
  EXPECT_EQ(date.Text(), "");
  EXPECT_EQ(edit->palette().color(QPalette::Text), normal);

  QTest::keyClicks(edit, "31/02/2024");
  EXPECT_EQ(date.Text(), "31/02/2024");
  EXPECT_FALSE(date.IsValidDate());
  EXPECT_EQ(edit->palette().color(QPalette::Text), normal);
  EXPECT_EQ(edit->toolTip(), "");
}

TEST_F(FormViewTest, NumberEditShowsTheFormattedNumberRightAligned) {
  number.SetValue(-1500.25);
  auto* edit = Widget<QLineEdit>("nedValor");
  EXPECT_EQ(edit->text(), QString::fromStdString(number.Text()));
  EXPECT_TRUE(edit->alignment() & Qt::AlignRight);
}

TEST_F(FormViewTest, DetachedViewIgnoresTheUserAndTheModel) {
  view->Detach();
  first.SetText("depois");
  EXPECT_EQ(Widget<QLineEdit>("edtPrimeiro")->text(), "");
  QTest::keyClicks(Widget<QLineEdit>("edtPrimeiro"), "x");
  EXPECT_EQ(first.Text(), "depois");
}

}  // namespace
}  // namespace kvr::qt
