#include "qt/imported_statements.h"

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

#include "qt/dialogs.h"
#include "qt/main_window.h"
#include "qt/text.h"

namespace kvr::qt {

namespace {

const QColor kProblemRow(0xfd, 0xe4, 0xe1);
const QColor kProblemText(0xa3, 0x12, 0x12);
const QColor kGapBand(0xd3, 0x2f, 0x2f, 0x40);
const QColor kOverlapBand(0xef, 0x8a, 0x00, 0x40);

// The start of a day of the model, in local time.
QDateTime Start(TDateTime day) {
  int year = 0, month = 0, dom = 0;
  DecodeDate(day, year, month, dom);
  return QDate(year, month, dom).startOfDay();
}

// A day as the chart's x value.
qint64 Millis(TDateTime day) { return Start(day).toMSecsSinceEpoch(); }

// A translucent band over the whole height between two days.
QAreaSeries* Band(TDateTime from, TDateTime to, double low, double high, const QColor& color,
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

  table_ = new QTableWidget(0, static_cast<int>(ImportedStatementsModel::kColumns.size()), this);
  table_->setObjectName("statements");
  QStringList titles;
  for (const char* title : ImportedStatementsModel::kColumns) titles << ToQString(title);
  table_->setHorizontalHeaderLabels(titles);
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

  connect(accounts_, &QComboBox::currentIndexChanged, this, [this](int index) {
    model_.ChooseIndex(index);
    DrawChosen();
  });
  connect(refresh, &QPushButton::clicked, this, [this] { Refresh(); });
  resize(820, 600);
}

ImportedStatementsWindow::~ImportedStatementsWindow() = default;

QChart& ImportedStatementsWindow::Chart() const { return *chart_view_->chart(); }

QString ImportedStatementsWindow::Summary() const { return summary_->text(); }

bool ImportedStatementsWindow::Refresh() {
  if (!model_.Refresh()) {
    ShowErrorBox(this, MessageToQString(model_.Error()));
    return false;
  }
  DrawAccounts();
  return true;
}

void ImportedStatementsWindow::DrawAccounts() {
  {
    const QSignalBlocker block(accounts_);
    accounts_->clear();
    for (const TStatementAccount& account : model_.Accounts())
      accounts_->addItem(ToQString(account.caption), ToQString(account.code));
    accounts_->setCurrentIndex(model_.Chosen());
  }
  DrawChosen();
}

void ImportedStatementsWindow::DrawChosen() {
  const std::vector<TStatementRow>& rows = model_.Rows();
  table_->setRowCount(0);
  table_->setRowCount(static_cast<int>(rows.size()));
  const int state_column = static_cast<int>(ImportedStatementsModel::kColumns.size()) - 1;
  for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
    const TStatementRow& shown = rows[static_cast<size_t>(row)];
    for (int column = 0; column <= state_column; ++column) {
      auto* item = new QTableWidgetItem(ToQString(shown.cells[static_cast<size_t>(column)]));
      // The amounts and the count.
      if (column >= 2 && column <= 4) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      if (shown.problem) {
        item->setBackground(kProblemRow);
        if (column == state_column) {
          item->setForeground(kProblemText);
          QFont font = item->font();
          font.setBold(true);
          item->setFont(font);
        }
      }
      if (column == state_column) item->setToolTip(item->text());
      table_->setItem(row, column, item);
    }
  }
  if (model_.Chosen() >= 0) table_->resizeColumnsToContents();
  summary_->setText(ToQString(model_.Summary()));
  DrawChart();
}

void ImportedStatementsWindow::DrawChart() {
  // A new chart each time: removing series and axes one by one from a
  // shown chart is slower and leaves stale legend entries.
  auto* chart = new QChart;
  chart->setTitle(QString::fromUtf8("Saldo ao longo do tempo (lacunas em vermelho)"));
  chart->setLocale(QLocale(QLocale::Portuguese, QLocale::Brazil));
  chart->setLocalizeNumbers(true);
  chart->legend()->setAlignment(Qt::AlignBottom);
  const TBalanceChart& data = model_.Chart();
  if (data.Empty()) {
    ShowChart(chart);
    return;
  }

  auto* x_axis = new QDateTimeAxis;
  x_axis->setFormat("dd/MM/yyyy");
  x_axis->setTickCount(6);
  x_axis->setRange(Start(data.first), Start(data.last));
  auto* y_axis = new QValueAxis;
  y_axis->setRange(data.low, data.high);
  y_axis->applyNiceNumbers();
  y_axis->setLabelFormat("%.0f");
  const double low = y_axis->min(), high = y_axis->max();
  y_axis->setTitleText("R$");
  chart->addAxis(x_axis, Qt::AlignBottom);
  chart->addAxis(y_axis, Qt::AlignLeft);
  // Each kind of series once in the legend.
  auto attach = [&](QAbstractSeries* series, bool in_legend) {
    chart->addSeries(series);
    series->attachAxis(x_axis);
    series->attachAxis(y_axis);
    if (!in_legend)
      for (QLegendMarker* marker : chart->legend()->markers(series)) marker->setVisible(false);
  };

  bool gap_named = false, overlap_named = false;
  for (const TChartBand& band : data.bands) {
    if (band.kind == TChartBand::kGap) {
      attach(Band(band.from, band.to, low, high, kGapBand, "Lacuna"), !gap_named);
      gap_named = true;
    } else {
      attach(Band(band.from, band.to, low, high, kOverlapBand, QString::fromUtf8("Sobreposição")), !overlap_named);
      overlap_named = true;
    }
  }
  const QColor line_color(0x1f, 0x5f, 0xa8);
  const QPen pen(line_color, 2);
  bool line_named = false;
  for (const std::vector<TBalancePoint>& points : data.lines) {
    auto* line = new QLineSeries;
    line->setName("Saldo");
    line->setPen(pen);
    for (const TBalancePoint& point : points) line->append(Millis(point.day), point.reais);
    attach(line, !line_named);
    line_named = true;
  }
  auto* closings = new QScatterSeries;
  closings->setName("Saldo final");
  closings->setMarkerSize(9);
  closings->setColor(line_color);
  for (const TBalancePoint& point : data.closings) closings->append(Millis(point.day), point.reais);
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
