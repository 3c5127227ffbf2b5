// What a clerk meets at the desktop when something needs their attention:
// the movements that repeat, an account the server lacks, a server gone
// away, a date typed as digits, a bank 237 statement in a maximized screen,
// the server dialog. Each leaves a picture in the build folder
// (screenshots/) for people to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "platform/format_settings.h"
#include "qt/main_window.h"
#include "desktop_session.h"

namespace kvr::qt {
namespace {

#if defined(KVR_PACKAGE_FILE) && defined(KVR_SERVER_BIN)

using test::BoxResponder;
using test::DesktopSession;
using test::ProcessEvents;

class ClerkDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QApplication::setFont(QFont("DejaVu Sans", 9));
    saved_ = FormatSettings;
    FormatSettings.DecimalSeparator = ',';
    FormatSettings.ThousandSeparator = '.';
    FormatSettings.DateSeparator = '/';
    ASSERT_TRUE(session.Start()) << session.Error().toStdString();
    QDir().mkpath(KVR_SCREENSHOT_DIR);
  }
  void TearDown() override { FormatSettings = saved_; }

  static QString Path(const char* name) { return QDir(KVR_SCREENSHOT_DIR).filePath(name); }

  void SaveWindow(const char* name) {
    ProcessEvents();
    EXPECT_TRUE(session.Shell().Window().grab().save(Path(name)));
  }

  // The example statement of bank 341 with its first transaction written
  // twice, as a bank that repeats a line in its export would.
  QString StatementWithARepeatedLine() {
    QFile example(test::ExampleFile("extrato-341.ofx"));
    EXPECT_TRUE(example.open(QIODevice::ReadOnly));
    QByteArray content = example.readAll();
    const qsizetype start = content.indexOf("<STMTTRN>");
    const qsizetype end = content.indexOf("</STMTTRN>", start) + static_cast<qsizetype>(sizeof "</STMTTRN>") - 1;
    content.insert(end, "\n" + content.mid(start, end - start));
    QFile changed(folder_.filePath("repetido.ofx"));
    EXPECT_TRUE(changed.open(QIODevice::WriteOnly));
    changed.write(content);
    return changed.fileName();
  }

  // Which rows the grid draws marked.
  static QList<int> MarkedRows(const QTableView& grid) {
    QList<int> marked;
    for (int row = 0; row < grid.model()->rowCount(); ++row)
      if (grid.model()->index(row, 0).data(Qt::BackgroundRole).isValid()) marked << row;
    return marked;
  }

  TFormatSettings saved_;
  QTemporaryDir folder_;
  DesktopSession session;
};

TEST_F(ClerkDesktopTest, RepeatedRowsAreMarkedInTheGridAndNamedInTheQuestion) {
  session.Shell().Window().resize(900, 620);
  session.ChooseNext(StatementWithARepeatedLine());
  session.PressSearch();
  auto* grid = session.Widget<QTableView>("dbgExtrBanco");
  ASSERT_NE(nullptr, grid);
  ASSERT_EQ(9, grid->model()->rowCount());
  EXPECT_TRUE(MarkedRows(*grid).isEmpty());

  BoxResponder boxes;
  boxes.SaveNextAs(Path("pergunta-repetidos.png"));
  boxes.Answer(QString::fromUtf8("Não"));
  // The grid as it stands behind the question.
  QList<int> marked_during_question;
  QTimer::singleShot(0, [&] {
    marked_during_question = MarkedRows(*grid);
    session.Shell().Window().grab().save(Path("grade-repetidos.png"));
  });
  session.PressConfirm();
  ASSERT_EQ(1u, boxes.Boxes().size());
  const QString question = boxes.Boxes()[0].text;
  EXPECT_TRUE(question.startsWith(QString::fromUtf8(
      "Existem movimentações com mesmo número, valor e data, deseja realizar a importação?\n\n"
      "Movimentos repetidos (marcados na grade):\nlinha 1: ")))
      << question.toStdString();
  EXPECT_EQ(2, question.count("\nlinha ")) << question.toStdString();
  // The two equal rows, side by side in date order, and only they.
  EXPECT_EQ(QList<int>({0, 1}), marked_during_question);
  EXPECT_EQ(QList<int>({0, 1}), MarkedRows(*grid)) << "the marks went with the answer";
  SaveWindow("grade-repetidos-depois.png");

  // Another file: no row marked.
  session.LoadExample("extrato-341.ofx");
  EXPECT_TRUE(MarkedRows(*grid).isEmpty());
}

TEST_F(ClerkDesktopTest, UnregisteredAccountSaysWhichAndWhoRegistersIt) {
  BoxResponder boxes;
  boxes.SaveNextAs(Path("conta-nao-cadastrada.png"));
  session.ChooseNext(QString(KVR_TEST_DATA_DIR) + "/exemplo-999.ofx");
  session.PressSearch();
  ASSERT_EQ(1u, boxes.Boxes().size());
  EXPECT_EQ(QString::fromUtf8("Conta corrente não cadastrada.\n\n"
                              "Conta procurada no servidor: banco 999, conta 123456 (no arquivo: 12345-6).\n"
                              "Peça ao administrador do servidor que a cadastre e carregue o arquivo de novo:\n"
                              "sudo -u kvr61400 kvr61400-server conta add --codigo CODIGO --banco 999 --conta 12345-6 --tipo C"),
            boxes.Boxes()[0].text);
}

TEST_F(ClerkDesktopTest, ServerGoneSaysWhatWasBeingDoneNotWhichCall) {
  session.LoadExample("extrato-341.ofx");
  session.Server().Stop();
  BoxResponder boxes;
  boxes.SaveNextAs(Path("servidor-fora.png"));
  session.LoadExample("extrato-341.ofx");
  ASSERT_EQ(1u, boxes.Boxes().size());
  const QString text = boxes.Boxes()[0].text;
  EXPECT_TRUE(text.startsWith(QString::fromUtf8("O servidor de aplicação 127.0.0.1:%1 não respondeu ao procurar a "
                                                "conta corrente do extrato (")
                                  .arg(session.Server().Port())))
      << text.toStdString();
  EXPECT_TRUE(text.endsWith(QString::fromUtf8(
      "Confira se ele está no ar e tente de novo; se continuar, avise o administrador do servidor.")))
      << text.toStdString();
  EXPECT_FALSE(text.contains("GetContaCorrente")) << text.toStdString();
}

TEST_F(ClerkDesktopTest, DatesTypedAsDigitsTakeTheirSlashes) {
  session.LoadExample("extrato-237.ofx");
  QLineEdit* from = session.Widget<QLineEdit>("depMovDe");
  QLineEdit* to = session.Widget<QLineEdit>("depMovAte");
  ASSERT_TRUE(from != nullptr && to != nullptr);
  BoxResponder boxes;
  for (auto [edit, digits] : {std::pair{from, "01032024"}, std::pair{to, "08032024"}}) {
    edit->setFocus();
    ProcessEvents();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, digits);
  }
  from->setFocus();
  ProcessEvents();
  EXPECT_TRUE(boxes.Boxes().empty()) << boxes.Boxes()[0].text.toStdString();
  EXPECT_EQ("01/03/2024", from->text().toStdString());
  EXPECT_EQ("08/03/2024", to->text().toStdString());
  EXPECT_EQ(8, session.Widget<QTableView>("dbgExtrBanco")->model()->rowCount());
  SaveWindow("datas-digitadas.png");
}

// Maximized, a bank 237 statement (a taller form) keeps the whole grid in
// sight: its bottom edge inside the group and the window.
TEST_F(ClerkDesktopTest, MaximizedScreenShowsTheWholeGridOfABank237Statement) {
  MainWindow& main = session.Shell().Window();
  main.resize(1000, 700);
  ProcessEvents();
  QMdiSubWindow* child = main.ChildArea().subWindowList().first();
  child->showMaximized();
  ProcessEvents();
  session.LoadExample("extrato-237.ofx");
  ProcessEvents();
  QWidget* group = session.Widget<QWidget>("grbDadosRel");
  QWidget* panel = session.Widget<QWidget>("pnlExtrBanc");
  auto* grid = session.Widget<QTableView>("dbgExtrBanco");
  ASSERT_TRUE(group != nullptr && panel != nullptr && grid != nullptr);
  EXPECT_TRUE(child->isMaximized());
  EXPECT_TRUE(group->rect().contains(panel->geometry()))
      << panel->geometry().bottom() << " > " << group->height();
  const QRect grid_in_view = QRect(grid->mapTo(session.View(), QPoint(0, 0)), grid->size());
  EXPECT_TRUE(session.View()->rect().contains(grid_in_view))
      << grid_in_view.bottom() << " > " << session.View()->height();
  const QRect view_in_area = QRect(session.View()->mapTo(main.ChildArea().viewport(), QPoint(0, 0)),
                                   session.View()->size());
  EXPECT_TRUE(main.ChildArea().viewport()->rect().contains(view_in_area))
      << view_in_area.bottom() << " > " << main.ChildArea().viewport()->height();
  SaveWindow("tela-maximizada-banco-237.png");
}

TEST_F(ClerkDesktopTest, ServerDialogAsksForTheClerksKeyFile) {
  QStringList labels;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    for (QLabel* label : dialog->findChildren<QLabel*>()) labels << label->text();
    dialog->grab().save(Path("dialogo-servidor.png"));
    dialog->reject();
  });
  session.Shell().ConfigureServer();
  EXPECT_TRUE(labels.contains(QString::fromUtf8("Arquivo da sua chave de acesso:"))) << labels.join('|').toStdString();
  for (const QString& label : labels) EXPECT_FALSE(label.contains("senha")) << label.toStdString();
}

#endif

}  // namespace
}  // namespace kvr::qt
