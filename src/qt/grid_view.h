#pragma once

#include <QAbstractTableModel>
#include <QFontMetrics>
#include <QTableView>
#include <optional>

#include "platform/controls.h"
#include "qt/control_views.h"

namespace kvr::qt {

// The rows of a data grid as a Qt table model: one Qt column per grid
// column (hidden ones included, the view hides them), one row per row of
// the grid's table that the filter lets through, the cells' display texts
// (the columns' OnGetText) and the titles. Read only. The table's change
// notifications reach the model through Invalidate; the model then reloads
// once the event loop runs, and answers for rows that have gone away with
// empty cells meanwhile.
class GridModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // grid must outlive the model or Detach must be called first.
  explicit GridModel(TDBGrid& grid, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Marks the contents stale and schedules one reload.
  void Invalidate();
  // Reloads rows and columns now.
  void Reload();
  // Stops reading the grid; the model then shows nothing.
  void Detach();

 signals:
  // After a reload: the table's current row (0-based among the visible
  // rows), or -1 for none.
  void Reloaded(int current_row);

 private:
  TDBGrid* grid_;
  int rows_ = 0;
  int columns_ = 0;
  bool reload_pending_ = false;
};

// What a cell of room pixels shows of text, and how: a text that fits
// whole, as it is (left-aligned); a number right-aligned with blanks (a
// document number in its 20 characters) that fits without its blanks, its
// digits right-aligned; a longer number, its last digits after an ellipsis;
// any other text, its start and an ellipsis.
struct ShownCell {
  QString text;
  Qt::Alignment alignment;
  // False when the cell shows less than the whole text (blanks aside).
  bool whole = true;
};
ShownCell ShownCellText(const QString& text, const QFontMetrics& metrics, int room,
                        Qt::Alignment alignment);

// Whether the column of index is too narrow for its display text, so that
// the view shows less than all of it (ShownCellText).
bool CellTextIsCut(const QAbstractItemView& view, const QModelIndex& index);

// The view of a TDBGrid: a QTableView over a GridModel with the grid's
// titles, column widths, hidden columns and lines, no editing, no row
// indicator, Tab moving between columns, texts too long for their column
// elided and shown whole in a tooltip; keys go through the grid's
// OnKeyDown first (a key it cancels does nothing). Made wider than the
// layout (its window grown), the last visible column takes the width gained.
// While it shows no row it draws the grid's empty text (a bank 237 range
// that leaves no movement says so and what to do).
class GridView : public ControlView {
 public:
  GridView(FormView& form_view, TDBGrid& grid, QWidget* parent);
  ~GridView() override;

 protected:
  void SyncCommon() override;
  void SyncKind() override;
  void DetachKind() override;

 private:
  void BindDataSet(TClientDataSet* dataset);
  // Gives the last visible column the width the layout gives it plus what
  // the grid is wider than the layout says: on a wider window the
  // descriptions show whole.
  void FitLastColumn();

  TDBGrid& grid_;
  QTableView* table_;
  GridModel* model_;
  TClientDataSet* dataset_ = nullptr;
  int dataset_observer_ = 0;
  std::vector<TColumn> shown_columns_;
  std::optional<TDBGridOptions> shown_options_;
};

}  // namespace kvr::qt
