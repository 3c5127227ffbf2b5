#include "qt/imported_statements.h"

#include <span>
#include <utility>

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineEdit>
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
const QColor kClosingPoint(0x2e, 0x7d, 0x32);

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

// A read-only table of whole rows under the titles given.
QTableWidget* NewTable(std::span<const char* const> titles, const char* name, QWidget* parent) {
  auto* table = new QTableWidget(0, static_cast<int>(titles.size()), parent);
  table->setObjectName(name);
  QStringList labels;
  for (const char* title : titles) labels << ToQString(title);
  table->setHorizontalHeaderLabels(labels);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->verticalHeader()->setVisible(false);
  table->horizontalHeader()->setStretchLastSection(true);
  table->setWordWrap(false);
  return table;
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
  remove_ = new QPushButton(QString::fromUtf8("Excluir extrato..."), this);
  remove_->setObjectName("removeStatement");
  remove_->setToolTip(QString::fromUtf8("Exclui do servidor o extrato escolhido na lista, com os seus movimentos"));
  remove_->setVisible(false);
  auto* top = new QHBoxLayout;
  top->addWidget(label);
  top->addWidget(accounts_, 1);
  top->addWidget(remove_);
  top->addWidget(refresh);

  table_ = NewTable(ImportedStatementsModel::kColumns, "statements", this);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  // The situation takes the room the other columns leave and wraps there,
  // its rows growing, instead of being cut at the window's edge.
  const int state_column = static_cast<int>(ImportedStatementsModel::kColumns.size()) - 1;
  table_->setWordWrap(true);
  table_->horizontalHeader()->setSectionResizeMode(state_column, QHeaderView::Stretch);
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  table_->setToolTip(QString::fromUtf8("Clique duas vezes num extrato para ver os seus movimentos"));

  summary_ = new QLabel(this);
  summary_->setObjectName("summary");

  chart_view_ = new QChartView(new QChart, this);
  chart_view_->setObjectName("balanceChart");
  chart_view_->setRenderHint(QPainter::Antialiasing);
  chart_view_->setMinimumHeight(180);

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
  connect(remove_, &QPushButton::clicked, this, [this] { RemoveChosenStatement(); });
  connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { ShowMovements(row); });
  resize(820, 560);
}

QChart& ImportedStatementsWindow::Chart() const { return *chart_view_->chart(); }

QString ImportedStatementsWindow::Summary() const { return summary_->text(); }

bool ImportedStatementsWindow::Refresh() {
  if (!model_.Refresh()) {
    ShowErrorBox(this, ToQString(model_.Error()));
    return false;
  }
  DrawAccounts();
  return true;
}

bool ImportedStatementsWindow::RemoveChosenStatement() {
  const int row = table_->currentRow();
  const std::string question = model_.RemovalQuestion(row);
  if (question.empty()) {
    ShowMessageBox(this, QString::fromUtf8("Escolha na lista o extrato a excluir."), TMsgDlgType::mtWarning);
    return false;
  }
  const std::optional<QString> reason = AskRemovalReason(this, ToQString(question));
  if (!reason) return false;
  if (!model_.Remove(row, FromQString(*reason))) {
    ShowErrorBox(this, ToQString(model_.Error()));
    return false;
  }
  DrawAccounts();
  return true;
}

QDialog* ImportedStatementsWindow::ShowMovements(int row) {
  if (!model_.LoadMovements(row)) {
    ShowErrorBox(this, ToQString(model_.Error()));
    return nullptr;
  }
  auto* dialog = new QDialog(this);
  dialog->setObjectName("movementsDialog");
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(ToQString(model_.MovementsTitle(row)));
  auto* title = new QLabel(ToQString(model_.MovementsTitle(row)), dialog);
  auto* table = NewTable(ImportedStatementsModel::kMovementColumns, "movements", dialog);
  const std::vector<MovementLine>& movements = model_.Movements();
  table->setRowCount(static_cast<int>(movements.size()));
  for (int r = 0; r < static_cast<int>(movements.size()); ++r) {
    for (int c = 0; c < table->columnCount(); ++c) {
      auto* item = new QTableWidgetItem(ToQString(movements[static_cast<size_t>(r)].cells[static_cast<size_t>(c)]));
      // The document and the amount.
      if (c == 2 || c == 4) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      table->setItem(r, c, item);
    }
  }
  table->resizeColumnsToContents();
  auto* close = new QPushButton(QString::fromUtf8("Fechar"), dialog);
  close->setObjectName("close");
  connect(close, &QPushButton::clicked, dialog, &QDialog::close);
  auto* layout = new QVBoxLayout(dialog);
  layout->addWidget(title);
  layout->addWidget(table, 1);
  layout->addWidget(close, 0, Qt::AlignRight);
  dialog->resize(700, 420);
  dialog->show();
  return dialog;
}

std::optional<QString> AskRemovalReason(QWidget* parent, const QString& question) {
  QDialog dialog(parent);
  dialog.setObjectName("removalDialog");
  dialog.setWindowTitle(QString::fromUtf8("Excluir extrato"));
  auto* text = new QLabel(question, &dialog);
  text->setObjectName("removalQuestion");
  text->setWordWrap(true);
  auto* reason = new QLineEdit(&dialog);
  reason->setObjectName("removalReason");
  reason->setMaxLength(200);
  reason->setPlaceholderText(QString::fromUtf8("por exemplo: importado na conta errada"));
  auto* buttons = new QDialogButtonBox(&dialog);
  QPushButton* remove = buttons->addButton(QString::fromUtf8("Excluir"), QDialogButtonBox::AcceptRole);
  remove->setObjectName("confirmRemoval");
  remove->setEnabled(false);
  QPushButton* cancel = buttons->addButton(QString::fromUtf8("Cancelar"), QDialogButtonBox::RejectRole);
  // Enter in the reason confirms what the text above asks, once a reason is
  // typed, and does nothing before; only Escape or "Cancelar" cancel.
  cancel->setAutoDefault(false);
  remove->setDefault(true);
  QObject::connect(reason, &QLineEdit::textChanged, remove,
                   [remove](const QString& typed) { remove->setEnabled(!typed.trimmed().isEmpty()); });
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(text);
  layout->addWidget(reason);
  layout->addWidget(buttons);
  dialog.resize(460, dialog.sizeHint().height());
  if (dialog.exec() != QDialog::Accepted || reason->text().trimmed().isEmpty()) return std::nullopt;
  return reason->text().trimmed();
}

void ImportedStatementsWindow::DrawAccounts() {
  {
    const QSignalBlocker block(accounts_);
    accounts_->clear();
    for (const StatementAccount& account : model_.Accounts())
      accounts_->addItem(ToQString(account.caption), ToQString(account.code));
    accounts_->setCurrentIndex(model_.Chosen());
  }
  DrawChosen();
}

void ImportedStatementsWindow::DrawChosen() {
  remove_->setVisible(model_.Administrator() && model_.Chosen() >= 0);
  const std::vector<StatementRow>& rows = model_.Rows();
  table_->setRowCount(0);
  table_->setRowCount(static_cast<int>(rows.size()));
  const int state_column = static_cast<int>(ImportedStatementsModel::kColumns.size()) - 1;
  for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
    const StatementRow& shown = rows[static_cast<size_t>(row)];
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
  const BalanceChart& data = model_.Chart();
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

  bool named[2] = {false, false};  // overlap, gap
  for (const ChartBand& band : data.bands) {
    const bool gap = band.kind == ChartBand::kGap;
    attach(Band(band.from, band.to, low, high, gap ? kGapBand : kOverlapBand,
                QString::fromUtf8(gap ? "Lacuna" : "Sobreposição")),
           !std::exchange(named[gap], true));
  }
  const QColor line_color(0x1f, 0x5f, 0xa8);
  const QPen pen(line_color, 2);
  bool line_named = false;
  for (const std::vector<BalancePoint>& points : data.lines) {
    auto* line = new QLineSeries;
    line->setName("Saldo");
    line->setPen(pen);
    for (const BalancePoint& point : points) line->append(Millis(point.day), point.reais);
    attach(line, !std::exchange(line_named, true));
  }
  auto* closings = new QScatterSeries;
  closings->setName("Saldo final");
  closings->setMarkerSize(9);
  // Its own colour in the legend too: a point of the line would otherwise
  // look the same as the line.
  closings->setColor(kClosingPoint);
  closings->setBorderColor(kClosingPoint.darker(130));
  for (const BalancePoint& point : data.closings) closings->append(Millis(point.day), point.reais);
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
  // Inside the area, whatever its size: in the shell's first 900x620 the
  // window's own 840x620 would reach below the status line.
  QSize size(840, 620);
  if (area.viewport()->width() > 0 && area.viewport()->height() > 0) size = size.boundedTo(area.viewport()->size());
  child->setGeometry(QRect(QPoint(0, 0), size));
  child->show();
  area.setActiveSubWindow(child);
  window->Refresh();
  return window;
}

void RefreshImportedStatements(MainWindow& main_window) {
  for (QMdiSubWindow* child : main_window.ChildArea().subWindowList())
    if (auto* window = qobject_cast<ImportedStatementsWindow*>(child->widget())) window->Refresh();
}

}  // namespace kvr::qt
