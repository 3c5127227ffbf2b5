#include "qt/imported_statements.h"

#include <cmath>

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QScatterSeries>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QValueAxis>

#include "host/host_library.h"
#include "host/net_connection.h"
#include "platform/errors.h"
#include "qt/main_window.h"
#include "qt/user_action.h"

namespace kvr::qt {

namespace {

const QColor kProblemRow(0xfd, 0xe4, 0xe1);
const QColor kProblemText(0xa3, 0x12, 0x12);
const QColor kGapBand(0xd3, 0x2f, 0x2f, 0x40);
const QColor kOverlapBand(0xef, 0x8a, 0x00, 0x40);

// A balance of the JSON (reais) in exact cents.
long long Cents(const nlohmann::json& value) {
  return value.is_number() ? std::llround(value.get<double>() * 100.0) : 0;
}

// cents as "1.350,00", whatever the process locale says: the clerk reads
// reais the Brazilian way.
QString FormatCents(long long cents) {
  const bool negative = cents < 0;
  const unsigned long long magnitude =
      negative ? 0ULL - static_cast<unsigned long long>(cents) : static_cast<unsigned long long>(cents);
  const QString whole = QString::number(magnitude / 100);
  QString grouped;
  for (qsizetype i = 0; i < whole.size(); ++i) {
    if (i > 0 && (whole.size() - i) % 3 == 0) grouped += '.';
    grouped += whole[i];
  }
  return (negative ? "-" : "") + grouped + "," + QString("%1").arg(magnitude % 100, 2, 10, QChar('0'));
}

QString Balance(const nlohmann::json& value) {
  const long long cents = Cents(value);
  return FormatCents(std::llabs(cents)) + (cents < 0 ? " D" : " C");
}

QString Text(const nlohmann::json& value) {
  return value.is_string() ? QString::fromStdString(value.get<std::string>()) : QString();
}

// "2024-01-31" as a date; invalid for null.
QDate Day(const nlohmann::json& value) { return QDate::fromString(Text(value), Qt::ISODate); }

QString Days(long long days) { return QString::number(days) + (days == 1 ? " dia" : " dias"); }

QString Problem(const nlohmann::json& problem) {
  const std::string kind = problem.value("tipo", "");
  if (kind == "lacuna") return QString::fromUtf8("lacuna de ") + Days(problem.value("dias", 0LL));
  if (kind == "sobreposicao") return QString::fromUtf8("sobreposição de ") + Days(problem.value("dias", 0LL));
  if (kind == "saldo") {
    const long long cents = Cents(problem["diferenca"]);
    return QString::fromUtf8("saldo inicial difere do final anterior em ") + (cents < 0 ? "-" : "") + "R$ " +
           FormatCents(std::llabs(cents));
  }
  return QString::fromStdString(kind);
}

QString KindName(const std::string& kind) {
  if (kind == "C") return "Circulante";
  if (kind == "L") return QString::fromUtf8("Aplicação");
  if (kind == "G") return "Garantida";
  return QString::fromStdString(kind);
}

qint64 Millis(const QDate& day) { return day.startOfDay().toMSecsSinceEpoch(); }

// A translucent band over the whole height between two days.
QAreaSeries* Band(const QDate& from, const QDate& to, double low, double high, const QColor& color,
                  const QString& name) {
  auto* upper = new QLineSeries;
  auto* lower = new QLineSeries;
  upper->append(Millis(from), high);
  upper->append(Millis(to), high);
  lower->append(Millis(from), low);
  lower->append(Millis(to), low);
  auto* band = new QAreaSeries(upper, lower);
  // The area series does not own its edges: they go with it.
  upper->setParent(band);
  lower->setParent(band);
  band->setName(name);
  band->setColor(color);
  band->setBorderColor(color);
  return band;
}

}  // namespace

nlohmann::json FetchContinuity(const std::string& code) {
  THostLibrary& host = HostLibrary();
  TNetConnection connection(nullptr);
  connection.ServerName = "kvr61400.rdmImportOFX";
  connection.OnBeforeConnect = [](TComponent* sender) {
    auto* net = static_cast<TNetConnection*>(sender);
    net->Host = HostLibrary().WebURL();
    net->Port = HostLibrary().WebPort();
    net->Token = HostLibrary().WebToken();
  };
  host.ActiveShowAvi(host.MainForm(), 1);
  struct HideIndicator {
    ~HideIndicator() { HostLibrary().DeactiveShowAvi(); }
  } hide;
  connection.SetConnected(true);
  nlohmann::json result = CheckResultServ(connection.Call("GetContinuidade", {code}), false, 0);
  if (!result.is_array()) throw Exception("Resposta inesperada do servidor a GetContinuidade.");
  return result;
}

ImportedStatementsWindow::ImportedStatementsWindow(QWidget* parent) : QWidget(parent) {
  setObjectName("importedStatements");
  setWindowTitle(QString::fromUtf8(kTitle));

  auto* label = new QLabel(QString::fromUtf8("Conta corrente:"), this);
  accounts_ = new QComboBox(this);
  accounts_->setObjectName("accounts");
  accounts_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  label->setBuddy(accounts_);
  auto* refresh = new QPushButton(QString::fromUtf8("Atualizar"), this);
  refresh->setObjectName("refresh");
  auto* top = new QHBoxLayout;
  top->addWidget(label);
  top->addWidget(accounts_, 1);
  top->addWidget(refresh);

  table_ = new QTableWidget(0, 6, this);
  table_->setObjectName("statements");
  table_->setHorizontalHeaderLabels({"Extrato", QString::fromUtf8("Período"), "Saldo inicial", "Saldo final",
                                     "Movimentos", QString::fromUtf8("Situação")});
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->verticalHeader()->setVisible(false);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setWordWrap(false);

  summary_ = new QLabel(this);
  summary_->setObjectName("summary");

  chart_view_ = new QChartView(new QChart, this);
  chart_view_->setObjectName("balanceChart");
  chart_view_->setRenderHint(QPainter::Antialiasing);
  chart_view_->setMinimumHeight(220);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(table_, 1);
  layout->addWidget(summary_);
  layout->addWidget(chart_view_, 1);

  connect(accounts_, &QComboBox::currentIndexChanged, this, [this](int index) { ShowAccount(index); });
  connect(refresh, &QPushButton::clicked, this, [this] { Refresh(); });
  resize(820, 600);
}

ImportedStatementsWindow::~ImportedStatementsWindow() = default;

QChart& ImportedStatementsWindow::Chart() const { return *chart_view_->chart(); }

QString ImportedStatementsWindow::Summary() const { return summary_->text(); }

bool ImportedStatementsWindow::Refresh() {
  nlohmann::json continuity;
  if (!RunUserAction(this, [&continuity] { continuity = FetchContinuity(""); })) return false;
  ShowContinuity(continuity);
  return true;
}

void ImportedStatementsWindow::ShowContinuity(const nlohmann::json& continuity) {
  const QString chosen = accounts_->currentData().toString();
  continuity_ = continuity.is_array() ? continuity : nlohmann::json::array();
  {
    const QSignalBlocker block(accounts_);
    accounts_->clear();
    for (const nlohmann::json& account : continuity_) {
      QString caption = Text(account["conta"]);
      if (!Text(account["banco"]).isEmpty())
        caption += QString::fromUtf8(" - banco %1, conta %2, %3")
                       .arg(Text(account["banco"]), Text(account["numero"]),
                            KindName(account.value("tipo", "")));
      long long problems = 0;
      for (const nlohmann::json& statement : account["extratos"])
        problems += static_cast<long long>(statement["problemas"].size());
      // Which accounts need looking at, before choosing one.
      if (problems > 0)
        caption += QString::fromUtf8(" (%1 %2)").arg(problems).arg(problems == 1 ? "problema" : "problemas");
      accounts_->addItem(caption, Text(account["conta"]));
    }
    const int again = accounts_->findData(chosen);
    accounts_->setCurrentIndex(again >= 0 ? again : (accounts_->count() > 0 ? 0 : -1));
  }
  ShowAccount(accounts_->currentIndex());
}

bool ImportedStatementsWindow::ChooseAccount(const QString& code) {
  const int index = accounts_->findData(code);
  if (index < 0) return false;
  accounts_->setCurrentIndex(index);
  ShowAccount(index);
  return true;
}

void ImportedStatementsWindow::ShowAccount(int index) {
  table_->setRowCount(0);
  if (index < 0 || index >= static_cast<int>(continuity_.size())) {
    summary_->setText(QString::fromUtf8("Nenhuma conta corrente cadastrada no servidor."));
    FillChart(nlohmann::json::array());
    return;
  }
  const nlohmann::json& statements = continuity_[static_cast<size_t>(index)]["extratos"];
  int problems = 0;
  int row = 0;
  table_->setRowCount(static_cast<int>(statements.size()));
  for (const nlohmann::json& statement : statements) {
    QStringList described;
    for (const nlohmann::json& problem : statement["problemas"]) described << Problem(problem);
    problems += static_cast<int>(described.size());
    const QDate start = Day(statement["dataInicial"]), end = Day(statement["dataFinal"]);
    const QString period = start.isValid() && end.isValid()
                               ? start.toString("dd/MM/yyyy") + " a " + end.toString("dd/MM/yyyy")
                               : QString::fromUtf8("sem período");
    const QString state = !described.isEmpty() ? described.join("; ")
                          : row == 0           ? QString::fromUtf8("primeiro extrato")
                                               : QString::fromUtf8("em sequência");
    const QString cells[] = {Text(statement["extrato"]),  period,
                             Balance(statement["saldoInicial"]), Balance(statement["saldoFinal"]),
                             QString::number(statement.value("movimentos", 0LL)), state};
    for (int column = 0; column < 6; ++column) {
      auto* item = new QTableWidgetItem(cells[column]);
      if (column >= 2 && column <= 4) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      if (!described.isEmpty()) {
        item->setBackground(kProblemRow);
        if (column == 5) {
          item->setForeground(kProblemText);
          QFont font = item->font();
          font.setBold(true);
          item->setFont(font);
        }
      }
      if (column == 5) item->setToolTip(state);
      table_->setItem(row, column, item);
    }
    ++row;
  }
  table_->resizeColumnsToContents();
  if (statements.empty())
    summary_->setText(QString::fromUtf8("Nenhum extrato gravado desta conta."));
  else
    summary_->setText(QString::fromUtf8("%1 %2, %3.")
                          .arg(statements.size())
                          .arg(statements.size() == 1 ? "extrato" : "extratos")
                          .arg(problems == 0 ? QString::fromUtf8("em sequência, sem problemas")
                                             : QString::number(problems) +
                                                   (problems == 1 ? " problema marcado" : " problemas marcados")));
  FillChart(statements);
}

void ImportedStatementsWindow::FillChart(const nlohmann::json& statements) {
  // A new chart each time: removing series and axes one by one from a
  // shown chart is slower and leaves stale legend entries.
  auto* chart = new QChart;
  chart->setTitle(QString::fromUtf8("Saldo ao longo do tempo (lacunas em vermelho)"));
  chart->setLocale(QLocale(QLocale::Portuguese, QLocale::Brazil));
  chart->setLocalizeNumbers(true);
  chart->legend()->setAlignment(Qt::AlignBottom);

  // Each statement runs from its opening balance on its first day to its
  // closing balance at the end of its last day; a gap breaks the line.
  struct Point {
    QDate start, after_end;
    double opening, closing;
    bool gap, overlap;
    QDate previous_after_end;
  };
  std::vector<Point> points;
  QDate reach;
  for (const nlohmann::json& statement : statements) {
    const QDate start = Day(statement["dataInicial"]), end = Day(statement["dataFinal"]);
    if (!start.isValid() || !end.isValid()) continue;
    Point point{start, std::max(start, end).addDays(1), Cents(statement["saldoInicial"]) / 100.0,
                Cents(statement["saldoFinal"]) / 100.0, false, false, reach};
    for (const nlohmann::json& problem : statement["problemas"]) {
      point.gap = point.gap || problem.value("tipo", "") == "lacuna";
      point.overlap = point.overlap || problem.value("tipo", "") == "sobreposicao";
    }
    if (!reach.isValid() || point.after_end > reach) reach = point.after_end;
    points.push_back(point);
  }
  if (points.empty()) {
    ShowChart(chart);
    return;
  }
  double low = 0, high = 0;
  QDate first = points.front().start, last = points.front().after_end;
  for (const Point& p : points) {
    low = std::min({low, p.opening, p.closing});
    high = std::max({high, p.opening, p.closing});
    first = std::min(first, p.start);
    last = std::max(last, p.after_end);
  }
  const double margin = std::max(1.0, (high - low) * 0.08);
  low -= margin;
  high += margin;

  auto* x_axis = new QDateTimeAxis;
  x_axis->setFormat("dd/MM/yyyy");
  x_axis->setTickCount(6);
  x_axis->setRange(first.startOfDay(), last.startOfDay());
  auto* y_axis = new QValueAxis;
  y_axis->setRange(low, high);
  y_axis->applyNiceNumbers();
  y_axis->setLabelFormat("%.0f");
  low = y_axis->min();
  high = y_axis->max();
  y_axis->setTitleText("R$");
  chart->addAxis(x_axis, Qt::AlignBottom);
  chart->addAxis(y_axis, Qt::AlignLeft);
  auto attach = [&](QAbstractSeries* series, bool in_legend) {
    chart->addSeries(series);
    series->attachAxis(x_axis);
    series->attachAxis(y_axis);
    if (!in_legend)
      for (QLegendMarker* marker : chart->legend()->markers(series)) marker->setVisible(false);
  };

  bool gap_named = false, overlap_named = false;
  for (const Point& p : points) {
    if (p.gap) {
      attach(Band(p.previous_after_end, p.start, low, high, kGapBand, "Lacuna"), !gap_named);
      gap_named = true;
    } else if (p.overlap) {
      attach(Band(p.start, std::min(p.after_end, p.previous_after_end), low, high, kOverlapBand,
                  QString::fromUtf8("Sobreposição")),
             !overlap_named);
      overlap_named = true;
    }
  }
  // One line per run of statements that follow each other: a gap breaks it,
  // and so does a statement that starts before the line's end (an overlap),
  // which joined on would draw the balance running back in time.
  QLineSeries* line = nullptr;
  QDate line_end;
  bool line_named = false;
  const QPen pen(QColor(0x1f, 0x5f, 0xa8), 2);
  for (const Point& p : points) {
    if (line == nullptr || p.gap || p.start < line_end) {
      if (line != nullptr) {
        attach(line, !line_named);
        line_named = true;
      }
      line = new QLineSeries;
      line->setName("Saldo");
      line->setPen(pen);
    }
    line->append(Millis(p.start), p.opening);
    line->append(Millis(p.after_end), p.closing);
    line_end = p.after_end;
  }
  attach(line, !line_named);
  auto* closings = new QScatterSeries;
  closings->setName("Saldo final");
  closings->setMarkerSize(9);
  closings->setColor(QColor(0x1f, 0x5f, 0xa8));
  for (const Point& p : points) closings->append(Millis(p.after_end), p.closing);
  attach(closings, true);
  ShowChart(chart);
}

void ImportedStatementsWindow::ShowChart(QChart* chart) {
  // The view hands the chart it showed back to us instead of deleting it.
  QChart* previous = chart_view_->chart();
  chart_view_->setChart(chart);
  delete previous;
}

ImportedStatementsWindow* OpenImportedStatements(MainWindow& main_window) {
  QMdiArea& area = main_window.ChildArea();
  for (QMdiSubWindow* child : area.subWindowList()) {
    if (auto* window = qobject_cast<ImportedStatementsWindow*>(child->widget())) {
      child->show();
      child->raise();
      area.setActiveSubWindow(child);
      window->Refresh();
      return window;
    }
  }
  auto* window = new ImportedStatementsWindow;
  QMdiSubWindow* child = area.addSubWindow(window);
  child->setAttribute(Qt::WA_DeleteOnClose);
  child->setObjectName("importedStatementsWindow");
  child->resize(840, 620);
  child->show();
  area.setActiveSubWindow(child);
  window->Refresh();
  return window;
}

}  // namespace kvr::qt
