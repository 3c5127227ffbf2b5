#include "qt/grid_view.h"

#include <QApplication>
#include <QColor>
#include <QHeaderView>
#include <QHelpEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolTip>
#include <algorithm>

#include "platform/client_dataset.h"
#include "qt/form_view.h"
#include "qt/text.h"

namespace kvr::qt {

GridModel::GridModel(TDBGrid& grid, QObject* parent) : QAbstractTableModel(parent), grid_(&grid) {
  Reload();
}

int GridModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rows_;
}

int GridModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : columns_;
}

QVariant GridModel::data(const QModelIndex& index, int role) const {
  if (grid_ == nullptr || !index.isValid()) return {};
  const int column = index.column();
  if (column >= static_cast<int>(grid_->Columns().size())) return {};
  if (role == Qt::TextAlignmentRole) {
    TClientDataSet* dataset = grid_->DataSource();
    const TField* field =
        dataset != nullptr ? dataset->FindField(grid_->Columns()[column].FieldName) : nullptr;
    const bool number = field != nullptr && field->DataType() == TFieldType::ftFloat;
    return QVariant::fromValue(
        Qt::Alignment((number ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter));
  }
  if (role == Qt::BackgroundRole || role == Qt::ForegroundRole) {
    bool marked = false;
    try {
      marked = grid_->OnRowMarked && grid_->OnRowMarked(index.row());
    } catch (const std::exception&) {
    }
    if (!marked) return {};
    // The rows a question is about, in the colours of a warning.
    return role == Qt::BackgroundRole ? QVariant(QColor(0xFF, 0xD8, 0xA8)) : QVariant(QColor(0x80, 0x20, 0x00));
  }
  if (role != Qt::DisplayRole) return {};
  // The table may have changed since the last reload (a repaint while a
  // server call blocks the loop): rows beyond it show empty.
  try {
    if (index.row() >= grid_->RowCount()) return QString();
    return ToQString(grid_->CellText(index.row(), column));
  } catch (const std::exception&) {
    return QString();
  }
}

QVariant GridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (grid_ == nullptr || role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical) return QString();
  if (section < 0 || section >= static_cast<int>(grid_->Columns().size())) return {};
  const TColumn& column = grid_->Columns()[static_cast<size_t>(section)];
  return ToQString(column.Title.empty() ? column.FieldName : column.Title);
}

Qt::ItemFlags GridModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

void GridModel::Invalidate() {
  if (reload_pending_) return;
  reload_pending_ = true;
  QTimer::singleShot(0, this, [this] {
    if (reload_pending_) Reload();
  });
}

void GridModel::Reload() {
  reload_pending_ = false;
  beginResetModel();
  rows_ = 0;
  columns_ = 0;
  int current = -1;
  if (grid_ != nullptr) {
    columns_ = static_cast<int>(grid_->Columns().size());
    try {
      rows_ = grid_->RowCount();
      if (TClientDataSet* dataset = grid_->DataSource(); dataset != nullptr && dataset->Active()) {
        current = dataset->RecNo() - 1;
      }
    } catch (const std::exception&) {
      rows_ = 0;
    }
  }
  endResetModel();
  emit Reloaded(current);
}

// Quiet: no Reloaded, for the views being torn down.
void GridModel::Detach() {
  beginResetModel();
  grid_ = nullptr;
  rows_ = 0;
  columns_ = 0;
  reload_pending_ = false;
  endResetModel();
}

namespace {

// The room of a cell's text: two pixels in from the left edge and one from
// the right, as the design's grid draws it (the style's wider margins would
// cut "Crédito" in the 43 pixels of the column "Tipo").
QRect TextRoom(const QRect& cell) {
  return cell.adjusted(2, 0, -1, 0);
}

// Draws the cells' texts in the design's margins, ending a text too long for
// its column in an ellipsis, and shows such a text whole in a tooltip; a
// text that fits shows none.
class CutTextDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    const QString text = cell.text;
    cell.text.clear();
    const QWidget* widget = cell.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);
    if (text.isEmpty()) return;
    const QPalette::ColorGroup group = !(cell.state & QStyle::State_Enabled) ? QPalette::Disabled
                                       : (cell.state & QStyle::State_Active) ? QPalette::Active
                                                                             : QPalette::Inactive;
    const QRect room = TextRoom(cell.rect);
    painter->save();
    painter->setFont(cell.font);
    painter->setPen(cell.palette.color(
        group, (cell.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text));
    const ShownCell shown =
        ShownCellText(text, cell.fontMetrics, room.width(), cell.displayAlignment);
    painter->drawText(room, static_cast<int>(shown.alignment) | Qt::TextSingleLine, shown.text);
    painter->restore();
  }

  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override {
    if (event == nullptr || view == nullptr || event->type() != QEvent::ToolTip) {
      return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    if (!index.isValid() || !CellTextIsCut(*view, index)) {
      QToolTip::hideText();
      event->ignore();
      return true;
    }
    QToolTip::showText(event->globalPos(), index.data(Qt::DisplayRole).toString().trimmed(),
                       view->viewport(), view->visualRect(index));
    return true;
  }
};

// A table that, while it shows no row, draws the grid's empty text
// (TDBGrid::OnEmptyText) over its rows' area.
class HintTableView : public QTableView {
 public:
  HintTableView(TDBGrid& grid, QWidget* parent) : QTableView(parent), grid_(&grid) {}
  void Forget() { grid_ = nullptr; }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QTableView::paintEvent(event);
    if (grid_ == nullptr || !grid_->OnEmptyText || model() == nullptr || model()->rowCount() > 0)
      return;
    std::string text;
    try {
      text = grid_->OnEmptyText();
    } catch (const std::exception&) {
      return;
    }
    if (text.empty()) return;
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Disabled, QPalette::WindowText).darker(150));
    painter.drawText(viewport()->rect().adjusted(12, 12, -12, -12),
                     Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, ToQString(text));
  }

 private:
  TDBGrid* grid_;
};

}  // namespace

ShownCell ShownCellText(const QString& text, const QFontMetrics& metrics, int room,
                        Qt::Alignment alignment) {
  if (metrics.horizontalAdvance(text) <= room) return {text, alignment, true};
  const QString bare = text.trimmed();
  bool number = !bare.isEmpty();
  for (const QChar c : bare)
    number = number && (c.isDigit() || c == '-' || c == '.' || c == '/' || c == ',');
  if (!number) return {metrics.elidedText(text, Qt::ElideRight, room), alignment, false};
  // The number's blanks only right-align it in its width; its digits are
  // what the user reads, the last ones the most telling.
  const Qt::Alignment right = (alignment & ~Qt::AlignHorizontal_Mask) | Qt::AlignRight;
  if (metrics.horizontalAdvance(bare) <= room) return {bare, right, true};
  return {metrics.elidedText(bare, Qt::ElideLeft, room), right, false};
}

bool CellTextIsCut(const QAbstractItemView& view, const QModelIndex& index) {
  const QString text = index.data(Qt::DisplayRole).toString();
  if (text.isEmpty()) return false;
  return !ShownCellText(text, view.fontMetrics(), TextRoom(view.visualRect(index)).width(),
                        Qt::AlignLeft)
              .whole;
}

GridView::GridView(FormView& form_view, TDBGrid& grid, QWidget* parent)
    : ControlView(form_view, grid, new HintTableView(grid, parent)),
      grid_(grid),
      table_(static_cast<QTableView*>(widget_)),
      model_(new GridModel(grid, table_)) {
  table_->setModel(model_);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setWordWrap(false);
  // A text wider than its column ends in an ellipsis and shows whole in a
  // tooltip.
  table_->setTextElideMode(Qt::ElideRight);
  table_->setItemDelegate(new CutTextDelegate(table_));
  table_->setCornerButtonEnabled(false);
  table_->verticalHeader()->setDefaultSectionSize(18);
  table_->verticalHeader()->setMinimumSectionSize(14);
  table_->horizontalHeader()->setHighlightSections(false);
  table_->horizontalHeader()->setSectionsClickable(false);
  table_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  table_->horizontalHeader()->setMinimumSectionSize(8);
  QObject::connect(model_, &GridModel::Reloaded, table_, [this](int current_row) {
    FormView::SyncScope scope(form_view_);
    if (current_row < 0 || current_row >= model_->rowCount()) return;
    // The current column (-1 for none) when shown, else the first one shown.
    const auto hidden = [this](int c) { return c < 0 || table_->isColumnHidden(c); };
    int column = table_->currentIndex().column();
    for (int c = 0; hidden(column) && c < model_->columnCount(); ++c)
      if (!hidden(c)) column = c;
    if (column >= 0) table_->setCurrentIndex(model_->index(current_row, column));
  });
}

GridView::~GridView() {
  Detach();
}

void GridView::DetachKind() {
  BindDataSet(nullptr);
  static_cast<HintTableView*>(table_)->Forget();
  model_->Detach();
}

void GridView::BindDataSet(TClientDataSet* dataset) {
  if (dataset == dataset_) return;
  if (dataset_ != nullptr) dataset_->RemoveObserver(dataset_observer_);
  dataset_ = dataset;
  dataset_observer_ = 0;
  if (dataset_ != nullptr) {
    dataset_observer_ = dataset_->AddObserver([this](TClientDataSet&, DataChange change) {
      if (change == DataChange::State) return;
      model_->Invalidate();
    });
  }
}

void GridView::SyncCommon() {
  ControlView::SyncCommon();
  FitLastColumn();
}

void GridView::FitLastColumn() {
  for (int c = static_cast<int>(shown_columns_.size()) - 1; c >= 0; --c) {
    const TColumn& column = shown_columns_[static_cast<size_t>(c)];
    if (!column.Visible) continue;
    const int width = column.Width >= 0 ? column.Width : TDBGrid::kDefaultColumnWidth;
    table_->setColumnWidth(c, width + std::max(0, table_->width() - grid_.Width()));
    return;
  }
}

void GridView::SyncKind() {
  BindDataSet(grid_.DataSource());
  const TDBGridOptions options = grid_.Options();
  if (shown_columns_ != grid_.Columns()) {
    shown_columns_ = grid_.Columns();
    model_->Reload();
    for (int c = 0; c < static_cast<int>(shown_columns_.size()); ++c) {
      const TColumn& column = shown_columns_[static_cast<size_t>(c)];
      table_->setColumnHidden(c, !column.Visible);
      table_->setColumnWidth(c, column.Width >= 0 ? column.Width : TDBGrid::kDefaultColumnWidth);
    }
    FitLastColumn();
  }
  if (shown_options_ != options) {
    shown_options_ = options;
    table_->horizontalHeader()->setVisible((options & dgTitles) != 0);
    table_->verticalHeader()->setVisible((options & dgIndicator) != 0);
    table_->verticalHeader()->setFixedWidth(12);
    table_->setShowGrid((options & (dgColLines | dgRowLines)) != 0);
    table_->setTabKeyNavigation((options & dgTabs) != 0);
    table_->setSelectionBehavior((options & dgRowSelect) != 0 ? QAbstractItemView::SelectRows
                                                              : QAbstractItemView::SelectItems);
    table_->setSelectionMode((options & dgMultiSelect) != 0 ? QAbstractItemView::ExtendedSelection
                                                            : QAbstractItemView::SingleSelection);
    table_->horizontalHeader()->setSectionResizeMode(
        (options & dgColumnResize) != 0 ? QHeaderView::Interactive : QHeaderView::Fixed);
  }
}

}  // namespace kvr::qt
