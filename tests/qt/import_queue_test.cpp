// A month's end on the desktop: several files chosen at once (one of them
// unreadable, one holding two accounts' statements) go through the screen
// one statement after the other, each confirmed by the clerk; the queue
// panel says what each came to, the summary what the continuity says of what
// was stored, and the same batch dropped again finds everything recorded.
// Pictures of the queue go to the build folder (screenshots/).
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QTableView>
#include <QTemporaryDir>

#include "platform/format_settings.h"
#include "qt/imported_statements.h"
#include "qt/main_window.h"
#include "desktop_session.h"

namespace kvr::qt {
namespace {

#if defined(KVR_PACKAGE_FILE) && defined(KVR_SERVER_BIN)

using test::BoxResponder;
using test::DesktopSession;
using test::ProcessEvents;

// One statement in the standard layout, one transaction per amount, dated
// from the 10th of the month.
std::string Statement(const char* bank, const char* account, const char* month,
                      const std::vector<const char*>& amounts, const char* balance) {
  std::string s = std::string("<STMTRS><CURDEF>BRL\n<BANKACCTFROM>\n<BANKID>") + bank + "\n<ACCTID>" +
                  account + "\n</BANKACCTFROM>\n<BANKTRANLIST>\n<DTSTART>2024" + month + "01\n<DTEND>2024" +
                  month + "31\n";
  int day = 10;
  for (const char* amount : amounts) {
    const std::string d = std::to_string(day++);
    s += std::string("<STMTTRN>\n<TRNTYPE>OTHER\n<DTPOSTED>2024") + month + d + "\n<TRNAMT>" + amount +
         "\n<FITID>" + bank + month + d + "\n<CHECKNUM>" + d + "\n<MEMO>MOVIMENTO " + d + "\n</STMTTRN>\n";
  }
  return s + "</BANKTRANLIST>\n<LEDGERBAL>\n<BALAMT>" + balance + "\n</LEDGERBAL>\n</STMTRS>\n";
}

class ImportQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QApplication::setFont(QFont("DejaVu Sans", 9));
    saved_ = FormatSettings;
    FormatSettings.DecimalSeparator = ',';
    FormatSettings.ThousandSeparator = '.';
    FormatSettings.DateSeparator = '/';
    ASSERT_TRUE(session.Start()) << session.Error().toStdString();
    session.Shell().Window().resize(1000, 760);
    QDir().mkpath(KVR_SCREENSHOT_DIR);
  }
  void TearDown() override { FormatSettings = saved_; }

  static QString Path(const char* name) { return QDir(KVR_SCREENSHOT_DIR).filePath(name); }

  QString Write(const char* name, const QByteArray& content) {
    QFile file(folder_.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    return file.fileName();
  }

  // January of bank 341 (the example), a file cut off in a transaction, and
  // March of bank 341 with March of bank 104 in one file: February of 341 is
  // missing.
  QStringList Month() {
    QFile example(test::ExampleFile("extrato-341.ofx"));
    EXPECT_TRUE(example.open(QIODevice::ReadOnly));
    const QByteArray january = example.readAll();
    const QByteArray both = QByteArray::fromStdString(
        "OFXHEADER:100\nDATA:OFXSGML\n\n<OFX>\n" +
        Statement("0341", "12345-6", "03", {"-100.00", "250.00"}, "3353.50") +
        Statement("104", "12345-6", "03", {"-10.00"}, "990.00") + "</OFX>\n");
    return {Write("01-banco341-janeiro.ofx", january),
            Write("02-quebrado.ofx", january.left(january.indexOf("<FITID>", january.indexOf("<STMTTRN>")))),
            Write("03-todas-as-contas.ofx", both)};
  }

  // The queue panel's rows: each cell of the columns named, joined by "|".
  QStringList QueueRows(const std::vector<int>& columns) {
    auto* grid = session.Widget<QTableView>("dbgFila");
    QStringList rows;
    if (grid == nullptr || !grid->isVisible()) return rows;
    for (int row = 0; row < grid->model()->rowCount(); ++row) {
      QStringList cells;
      for (int column : columns) cells << grid->model()->index(row, column).data().toString();
      rows << cells.join('|');
    }
    return rows;
  }

  // What "Extratos importados" says of the account it shows.
  QString ImportedSummary() {
    auto* window = session.Shell().Window().findChild<ImportedStatementsWindow*>();
    return window == nullptr ? "no window" : window->Summary();
  }

  TFormatSettings saved_;
  QTemporaryDir folder_;
  DesktopSession session;
};

TEST_F(ImportQueueTest, AMonthGoesThroughTheScreenOneStatementAfterTheOtherAndTwiceIsRecorded) {
  OpenImportedStatements(session.Shell().Window());
  ProcessEvents();
  const QString before = ImportedSummary();
  session.Shell().OpenImportOFX();  // the screen in front again
  ProcessEvents();

  const QStringList month = Month();
  session.ChooseNextFiles(month);
  session.PressSearch();
  EXPECT_EQ(QStringList({"01-banco341-janeiro.ofx||na tela", "02-quebrado.ofx||aguardando",
                         "03-todas-as-contas.ofx||aguardando"}),
            QueueRows({0, 1, 2}));

  BoxResponder boxes;
  session.PressConfirm();
  // January stored; the broken file said so and was passed by; the first
  // statement of the two-account file waits on the screen, its chooser
  // offering both.
  ASSERT_EQ(2u, boxes.Boxes().size());
  EXPECT_EQ(QString::fromUtf8("Arquivo importado com sucesso."), boxes.Boxes()[0].text);
  const QStringList rows = QueueRows({0, 1, 2});
  ASSERT_EQ(4, rows.size()) << rows.join('\n').toStdString();
  EXPECT_EQ("01-banco341-janeiro.ofx||importado", rows[0]);
  EXPECT_TRUE(rows[1].startsWith(QString::fromUtf8("02-quebrado.ofx||ilegível: ") + boxes.Boxes()[1].text))
      << rows[1].toStdString();
  EXPECT_EQ("03-todas-as-contas.ofx|1 de 2|na tela", rows[2]);
  EXPECT_EQ("03-todas-as-contas.ofx|2 de 2|aguardando", rows[3]);
  auto* chooser = session.Widget<QComboBox>("cbExtrato");
  ASSERT_TRUE(chooser != nullptr && chooser->isVisible());
  EXPECT_EQ(QString::fromUtf8("Extrato 1 de 2: banco 0341, conta 12345-6, 01/03/2024 a 31/03/2024, 2 movimentos"),
            chooser->currentText());
  EXPECT_EQ(2, chooser->count());
  // Stored, but the list of what is imported waits for the queue's end.
  EXPECT_EQ(before.toStdString(), ImportedSummary().toStdString());
  session.View()->parentWidget()->grab().save(Path("fila-importacao.png"));

  session.PressConfirm();
  ASSERT_EQ(3u, boxes.Boxes().size());
  EXPECT_EQ(QString::fromUtf8("Extrato 2 de 2: banco 104, conta 12345-6, 01/03/2024 a 31/03/2024, 1 movimento"),
            chooser->currentText());
  boxes.SaveNextAs(Path("fila-sucesso.png"));
  boxes.SaveNextAs(Path("fila-resumo.png"));
  session.PressConfirm();
  ASSERT_EQ(5u, boxes.Boxes().size());
  EXPECT_EQ(QString::fromUtf8("Fila terminada: 4 extratos: 3 importados, 0 já cadastrados, 1 não importado; "
                              "11 movimentos gravados.\nContinuidade: 1 problema:\n"
                              "conta 001, extrato 01/03/2024 a 31/03/2024: lacuna de 29 dias antes dele")
                .toStdString(),
            boxes.Boxes()[4].text.toStdString());
  EXPECT_EQ(QString::fromUtf8("3 importados, 0 já cadastrados, 1 não importado; continuidade: 1 problema"),
            session.Widget<QLabel>("lblFila")->text());
  EXPECT_EQ("2 extratos, 1 problema marcado.", ImportedSummary().toStdString());
  // Beside the screen, the account refreshed: March after a gap.
  if (auto* list = session.Shell().Window().findChild<ImportedStatementsWindow*>()) {
    list->parentWidget()->setGeometry(540, 0, 455, 600);
    ProcessEvents();
  }
  session.Shell().Window().grab().save(Path("fila-terminada.png"));

  // The same month again, dropped on the screen: nothing is stored twice.
  session.DropFiles(month);
  for (int answered = 0; answered < 3; ++answered) session.PressConfirm();
  EXPECT_EQ(QStringList({"01-banco341-janeiro.ofx|já cadastrado", "02-quebrado.ofx|ilegível",
                         "03-todas-as-contas.ofx|já cadastrado", "03-todas-as-contas.ofx|já cadastrado"}),
            QueueRows({0, 2}).replaceInStrings(QRegularExpression(": .*"), ""));
  EXPECT_TRUE(boxes.Boxes().back().text.startsWith(QString::fromUtf8(
      "Fila terminada: 4 extratos: 0 importados, 3 já cadastrados, 1 não importado; 0 movimentos gravados.")))
      << boxes.Boxes().back().text.toStdString();
}

#endif

}  // namespace
}  // namespace kvr::qt
