// The window "Extratos importados" against a real server, a smoke test of
// the view (its model is tested in tests/screen): statements stored through
// the server's import calls, the window opened from the menu, the problems
// drawn red on their rows and the gap and overlap drawn on the chart. Writes
// a picture of it (screenshots/extratos-importados.png).
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QAreaSeries>
#include <QChart>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QDir>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMap>
#include <QSet>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTableWidget>

#include "../server/packets.h"
#include "../support/json_rpc_double.h"
#include "desktop_session.h"
#include "host/net_connection.h"
#include "platform/format_settings.h"
#include "qt/busy_indicator.h"
#include "qt/imported_statements.h"
#include "qt/main_window.h"
#include "qt/qt_host_library.h"

namespace kvr::qt {
namespace {

#if defined(KVR_PACKAGE_FILE) && defined(KVR_SERVER_BIN)

using test::BoxResponder;
using test::DesktopSession;
using test::ProcessEvents;

// Stores a statement of account for start..end with signed balances and one
// movement that takes the one to the other, through the server's
// SetExtratoBancario.
void Store(TNetConnection& net, const std::string& account, const std::string& start,
           const std::string& end, double opening, double closing, const std::string& fitid) {
  nlohmann::json header = kvr::testing::Header(account, start + "T00:00:00", end + "T00:00:00");
  header["rows"][0][4] = std::fabs(opening);
  header["rows"][0][5] = std::fabs(closing);
  header["rows"][0][6] = opening < 0 ? "D" : "C";
  header["rows"][0][7] = closing < 0 ? "D" : "C";
  kvr::testing::Mov movement{.account = account, .value = std::round(std::fabs(closing - opening) * 100) / 100,
                             .date = start + "T00:00:00", .fitid = fitid,
                             .sign = closing >= opening ? "C" : "D"};
  nlohmann::json stored =
      CheckResultServ(net.Call("SetExtratoBancario",
                               {TServerArg::Packet(header),
                                TServerArg::Packet(kvr::testing::Movements({movement})), true}),
                      false, 0);
  ASSERT_EQ(true, stored) << start;
}

TEST(ImportedStatements, GapOverlapAndBalanceBreakMarkedAndCharted) {
  QApplication::setFont(QFont("DejaVu Sans", 9));
  const TFormatSettings saved = FormatSettings;
  FormatSettings.DecimalSeparator = ',';
  FormatSettings.ThousandSeparator = '.';
  struct Restore {
    TFormatSettings settings;
    ~Restore() { FormatSettings = settings; }
  } restore{saved};
  DesktopSession session;
  ASSERT_TRUE(session.Start(false)) << session.Error().toStdString();
  MainWindow& main = session.Shell().Window();
  main.resize(1000, 780);
  {
    TNetConnection net(nullptr);
    net.ServerName = "kvr61400.rdmImportOFX";
    net.Host = "127.0.0.1";
    net.Port = session.Server().Port();
    net.SetConnected(true);
    Store(net, "001", "2024-01-01", "2024-01-31", 1000, 1250.4, "J");
    Store(net, "001", "2024-02-01", "2024-02-29", 1250.4, 980.1, "F");
    Store(net, "001", "2024-04-01", "2024-04-30", 980.1, -320, "A");
    Store(net, "001", "2024-04-24", "2024-05-31", -307.5, 410.75, "M");
    Store(net, "002", "2024-01-01", "2024-01-31", 5000, 5100, "L");
  }

  auto* entry = main.findChild<QAction*>("actionImportedStatements");
  ASSERT_NE(nullptr, entry);
  EXPECT_EQ(QString::fromUtf8("Extratos importados"), entry->text());
  entry->trigger();
  ProcessEvents();
  auto* window = main.findChild<ImportedStatementsWindow*>();
  ASSERT_NE(nullptr, window);
  EXPECT_FALSE(main.Busy().Active());
  // Only this window: the import screen is not opened by it.
  EXPECT_EQ(1, main.ChildArea().subWindowList().size());

  EXPECT_EQ(6, window->Accounts().count());
  // The number in the account's mask, as the import screen shows it.
  EXPECT_EQ("002 - banco 341, conta 12345-6, Aplicação", window->Accounts().itemText(1).toStdString());
  const QTableWidget& table = window->Statements();
  // The user's choice in the list reaches the model.
  window->Accounts().setCurrentIndex(1);
  EXPECT_EQ(1, table.rowCount());
  EXPECT_EQ("1 extrato, em sequência, sem problemas.", window->Summary().toStdString());
  window->Accounts().setCurrentIndex(window->Accounts().findData("001"));
  EXPECT_EQ(0, window->Accounts().currentIndex());
  ASSERT_EQ(4, table.rowCount());
  EXPECT_EQ("307,50 D", table.item(3, 2)->text().toStdString());
  EXPECT_EQ("sobreposição de 7 dias; saldo inicial difere do final anterior em R$ 12,50",
            table.item(3, 5)->text().toStdString());
  EXPECT_EQ(table.item(0, 0)->background(), table.item(1, 0)->background());
  EXPECT_NE(table.item(0, 0)->background(), table.item(2, 0)->background());
  EXPECT_EQ(table.item(2, 0)->background(), table.item(3, 3)->background());
  EXPECT_EQ("4 extratos, 3 problemas marcados.", window->Summary().toStdString());

  // The line is broken at the gap, which is a band of its own, and at the
  // overlap, so that it never runs back in time.
  int lines = 0;
  QStringList bands;
  for (QAbstractSeries* series : window->Chart().series()) {
    if (series->type() == QAbstractSeries::SeriesTypeLine) ++lines;
    if (series->type() == QAbstractSeries::SeriesTypeArea) bands << series->name();
  }
  EXPECT_EQ(3, lines);
  EXPECT_EQ(QStringList({"Lacuna", QString::fromUtf8("Sobreposição")}), bands);
  // Each entry of the legend in a colour of its own.
  QMap<QString, QColor> legend;
  for (QLegendMarker* marker : window->Chart().legend()->markers())
    if (marker->isVisible()) legend[marker->label()] = marker->brush().color();
  ASSERT_TRUE(legend.contains("Saldo") && legend.contains("Saldo final")) << legend.keys().join('|').toStdString();
  EXPECT_NE(legend["Saldo"], legend["Saldo final"]);
  EXPECT_EQ(4, QSet<QRgb>({legend["Saldo"].rgb(), legend["Saldo final"].rgb(), legend["Lacuna"].rgb(),
                           legend[QString::fromUtf8("Sobreposição")].rgb()})
                   .size());

  QMdiSubWindow* child = main.ChildArea().subWindowList().first();
  QDir().mkpath(KVR_SCREENSHOT_DIR);
  // Narrower than the situation's longest text, the situation wraps in its
  // row instead of being cut.
  child->setGeometry(0, 0, 700, main.ChildArea().height());
  ProcessEvents();
  {
    const QTableWidgetItem& state = *table.item(3, 5);
    const QRect cell = table.visualItemRect(&state);
    const QRect needed = QFontMetrics(state.font()).boundingRect(QRect(0, 0, cell.width() - 8, 10000),
                                                                Qt::TextWordWrap, state.text());
    EXPECT_LE(cell.right(), table.viewport()->width()) << "the situation runs past the table";
    EXPECT_GE(cell.height(), needed.height()) << cell.width() << " wide";
    EXPECT_GT(needed.height(), QFontMetrics(state.font()).height()) << "the text fitted in one line anyway";
    EXPECT_TRUE(main.grab().save(QDir(KVR_SCREENSHOT_DIR).filePath("extratos-importados-estreita.png")));
  }
  child->setGeometry(0, 0, main.ChildArea().width(), main.ChildArea().height());
  ProcessEvents();
  EXPECT_TRUE(main.grab().save(QDir(KVR_SCREENSHOT_DIR).filePath("extratos-importados.png")));

  // A second choice of the entry raises the same window; an account without
  // statements says so.
  entry->trigger();
  ProcessEvents();
  EXPECT_EQ(1, main.ChildArea().subWindowList().size());
  const QPointer<QChart> shown(&window->Chart());
  QPointer<QLineSeries> band_edge;
  for (QAbstractSeries* series : window->Chart().series())
    if (auto* band = qobject_cast<QAreaSeries*>(series)) band_edge = band->upperSeries();
  ASSERT_FALSE(band_edge.isNull());
  const int empty_account = window->Accounts().findData("003");
  ASSERT_GT(empty_account, 0);
  window->Accounts().setCurrentIndex(empty_account);
  EXPECT_TRUE(shown.isNull()) << "the chart shown before is left alive";
  EXPECT_TRUE(band_edge.isNull()) << "a band's edge outlives its chart";
  EXPECT_EQ(0, table.rowCount());
  EXPECT_EQ("Nenhum extrato gravado desta conta.", window->Summary().toStdString());

  // With the server gone, refreshing shows the failure and keeps what was
  // shown; the busy indicator goes away.
  session.Server().Stop();
  BoxResponder boxes;
  EXPECT_FALSE(window->Refresh());
  ASSERT_EQ(1u, boxes.Boxes().size());
  EXPECT_EQ("Erro", boxes.Boxes()[0].title);
  EXPECT_FALSE(main.Busy().Active());
  EXPECT_EQ(6, window->Accounts().count());
  EXPECT_EQ("003", window->Accounts().currentData().toString());
}

// The window opens inside the shell's first 900x620 window, and is no
// larger than its child area; an import made in the same shell shows in it
// without "Atualizar"; double-clicking a statement shows its movements.
TEST(ImportedStatements, FitsTheShellFollowsItsImportsAndShowsMovements) {
  QApplication::setFont(QFont("DejaVu Sans", 9));
  DesktopSession session;
  ASSERT_TRUE(session.Start(true)) << session.Error().toStdString();
  MainWindow& main = session.Shell().Window();
  main.resize(900, 620);
  ProcessEvents();
  ImportedStatementsWindow* window = OpenImportedStatements(main);
  ProcessEvents();
  QMdiSubWindow* child = nullptr;
  for (QMdiSubWindow* sub : main.ChildArea().subWindowList())
    if (sub->widget() == window) child = sub;
  ASSERT_NE(nullptr, child);
  const QRect area = main.ChildArea().viewport()->rect();
  EXPECT_TRUE(area.contains(child->geometry())) << child->geometry().width() << "x" << child->geometry().height()
                                                  << " in " << area.width() << "x" << area.height();
  QDir().mkpath(KVR_SCREENSHOT_DIR);
  EXPECT_TRUE(main.grab().save(QDir(KVR_SCREENSHOT_DIR).filePath("extratos-importados-900x620.png")));
  EXPECT_EQ(0, window->Statements().rowCount());

  session.LoadExample("extrato-341.ofx");
  {
    BoxResponder boxes;
    session.PressConfirm();
    ASSERT_EQ(1u, boxes.Boxes().size());
    EXPECT_EQ("Arquivo importado com sucesso.", boxes.Boxes()[0].text.toStdString());
  }
  ProcessEvents();
  ASSERT_EQ(1, window->Statements().rowCount());
  EXPECT_EQ("1", window->Statements().item(0, 0)->text().toStdString());

  // The table's double-click, as the user gives it: a click, then the
  // second press that the system reports as a double-click.
  QTableWidget& table = window->Statements();
  const QRect cell = table.visualRect(table.model()->index(0, 1));
  QTest::mouseClick(table.viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  QTest::mouseDClick(table.viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  ProcessEvents();
  auto* dialog = window->findChild<QDialog*>("movementsDialog");
  ASSERT_NE(nullptr, dialog);
  EXPECT_TRUE(dialog->isVisible());
  auto* movements = dialog->findChild<QTableWidget*>("movements");
  ASSERT_NE(nullptr, movements);
  const QString stored = session.Server().Run({"extrato", "show", "1"});
  EXPECT_EQ(8, movements->rowCount()) << stored.toStdString();
  QStringList first;
  for (int c = 0; c < movements->columnCount(); ++c) first << movements->item(0, c)->text();
  // As the server stored them, in posting order, the document without its
  // blanks.
  EXPECT_EQ("1|02/01/2024|000001|Crédito|2.500,00|PIX RECEBIDO JOSE DA SILVA", first.join('|').toStdString())
      << stored.toStdString();
  EXPECT_TRUE(dialog->windowTitle().startsWith("Extrato 1 - ")) << dialog->windowTitle().toStdString();
  EXPECT_TRUE(dialog->grab().save(QDir(KVR_SCREENSHOT_DIR).filePath("movimentos-do-extrato.png")));
  dialog->close();
}

// A small JSON-RPC server for the window's removal calls, which a server of
// another branch of the code answers: GetUsuario says whose the key is, and
// RemoveExtrato removes from the continuity it answers.
class RemovalServer : public kvr::testing::JsonRpcDouble {
 public:
  struct State {
    bool administrator = true;
    nlohmann::json continuity = nlohmann::json::parse(R"([{"conta":"001","banco":"341","numero":"123456",
      "tipo":"C","extratos":[
      {"extrato":"1","dataInicial":"2024-01-01","dataFinal":"2024-01-31","saldoInicial":100.0,"saldoFinal":150.0,
       "movimentos":2,"problemas":[]},
      {"extrato":"2","dataInicial":"2024-02-01","dataFinal":"2024-02-29","saldoInicial":150.0,"saldoFinal":90.0,
       "movimentos":12,"problemas":[]}]}])");
    std::vector<nlohmann::json> removals;
  };
  explicit RemovalServer(std::shared_ptr<State> state) : state_(std::move(state)) {}
  void Open(const std::string&, int) override {}
  void Close() override {}
  nlohmann::json Answer(const std::string&, const std::string& method, const nlohmann::json& params) override {
    if (method == "GetContinuidade") return {{"result", state_->continuity}};
    if (method == "GetUsuario")
      return {{"result", {{"usuario", state_->administrator ? "ana" : "rui"}, {"administrador", state_->administrator}}}};
    if (method == "RemoveExtrato") {
      state_->removals.push_back(params);
      nlohmann::json& statements = state_->continuity[0]["extratos"];
      for (size_t i = 0; i < statements.size(); ++i)
        if (statements[i]["extrato"] == params[0].dump()) statements.erase(i);
      return {{"result", true}};
    }
    return {{"error", {{"code", -32601}, {"message", "desconhecido"}}}};
  }

 private:
  std::shared_ptr<State> state_;
};

TEST(ImportedStatements, RemovalForAdministratorsConfirmedNamingTheStatementWithItsReason) {
  QApplication::setFont(QFont("DejaVu Sans", 9));
  MainWindow main;
  QtHostLibrary host(main, ServerAddress{"127.0.0.1", 8061});
  SetHostLibrary(&host);
  main.resize(900, 620);
  main.show();
  auto server = std::make_shared<RemovalServer::State>();
  server->administrator = false;
  ImportedStatementsWindow window;
  window.Model().Connection().SetTransport(std::make_unique<RemovalServer>(server));
  window.show();
  ASSERT_TRUE(window.Refresh());
  EXPECT_FALSE(window.RemoveButton().isVisible()) << "offered to a clerk's key";

  server->administrator = true;
  ASSERT_TRUE(window.Refresh());
  ASSERT_TRUE(window.RemoveButton().isVisible());
  EXPECT_EQ("Excluir extrato...", window.RemoveButton().text().toStdString());
  window.Statements().setCurrentCell(1, 0);
  QDir().mkpath(KVR_SCREENSHOT_DIR);
  EXPECT_TRUE(window.grab().save(QDir(KVR_SCREENSHOT_DIR).filePath("extratos-importados-administrador.png")));

  // The dialog names the statement; "Excluir" waits for a reason. Cancelled
  // first, then confirmed.
  QString question;
  bool enabled_before_reason = true, enter_kept_open = false;
  int dialogs = 0;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr || dialog->objectName() != "removalDialog") return;
    ++dialogs;
    question = dialog->findChild<QLabel*>("removalQuestion")->text();
    auto* confirm = dialog->findChild<QPushButton*>("confirmRemoval");
    enabled_before_reason = confirm->isEnabled();
    auto* reason = dialog->findChild<QLineEdit*>("removalReason");
    if (dialogs == 1) {
      // Enter without a reason neither removes nor cancels.
      QTest::keyClick(reason, Qt::Key_Return);
      enter_kept_open = dialog->isVisible();
      dialog->reject();
      return;
    }
    QTest::keyClicks(reason, QString::fromUtf8("Importado em duplicidade"));
    dialog->grab().save(QDir(KVR_SCREENSHOT_DIR).filePath("excluir-extrato.png"));
    // Enter in the reason confirms, as the button does.
    QTest::keyClick(reason, Qt::Key_Return);
  });
  poll.start(20);
  EXPECT_FALSE(window.RemoveChosenStatement());
  EXPECT_TRUE(server->removals.empty());
  EXPECT_TRUE(window.RemoveChosenStatement());
  poll.stop();
  EXPECT_EQ(2, dialogs);
  EXPECT_FALSE(enabled_before_reason);
  EXPECT_TRUE(enter_kept_open);
  EXPECT_EQ(QString::fromUtf8("Excluir o extrato 2 da conta 001, período 01/02/2024 a 29/02/2024, com 12 movimentos?\n"
                              "O extrato e os seus movimentos são apagados do servidor; a exclusão fica registrada "
                              "com o motivo.\n\nInforme o motivo da exclusão:"),
            question);
  ASSERT_EQ(1u, server->removals.size());
  EXPECT_EQ(R"([2,"Importado em duplicidade"])", server->removals[0].dump());
  EXPECT_EQ(1, window.Statements().rowCount());
  EXPECT_FALSE(main.Busy().Active());
  SetHostLibrary(nullptr);
}

#endif

}  // namespace
}  // namespace kvr::qt
