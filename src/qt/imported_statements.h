#pragma once

#include <optional>

#include <QString>
#include <QWidget>

#include "screen/imported_statements_model.h"

class QChart;
class QChartView;
class QComboBox;
class QDialog;
class QLabel;
class QPushButton;
class QTableWidget;

namespace kvr::qt {

class MainWindow;

// The window "Extratos importados": draws what its model
// (ImportedStatementsModel) holds, the accounts in a list, the chosen
// account's statements in a table with the rows that break the chain in red,
// and the balance chart where a gap is a red band with the line broken across
// it and an overlap an orange band, and forwards the user's choices to it.
// Read only; lives on the user-interface thread.
class ImportedStatementsWindow : public QWidget {
  Q_OBJECT

 public:
  // The window's title and the menu entry's caption (UTF-8).
  static constexpr const char* kTitle = ImportedStatementsModel::kTitle;

  explicit ImportedStatementsWindow(QWidget* parent = nullptr);

  // Asks the server again (ImportedStatementsModel::Refresh) and shows the
  // answer, keeping the account chosen when it is still there. A failure is
  // shown in an error box and leaves what was shown; returns false then.
  bool Refresh();

  // "Excluir extrato..." for the statement chosen in the table: asks to
  // confirm, naming the statement, its period and its movements, with the
  // reason typed (AskRemovalReason), then removes it and shows what is left.
  // A refusal is shown in an error box. Returns true when it was removed.
  bool RemoveChosenStatement();
  // Shows the movements of the statement of that table row in a window of
  // their own (what double-clicking the row does); a failure is shown in an
  // error box. Returns the window, or null.
  QDialog* ShowMovements(int row);

  QComboBox& Accounts() const { return *accounts_; }
  QTableWidget& Statements() const { return *table_; }
  // "Excluir extrato...": shown only for an administrator's key.
  QPushButton& RemoveButton() const { return *remove_; }
  // The model the window draws (a test may replace its connection's
  // transport before the first Refresh).
  ImportedStatementsModel& Model() { return model_; }
  QChart& Chart() const;
  // The line under the table: how many statements and problems.
  QString Summary() const;

 private:
  // Draws the accounts and then the chosen account.
  void DrawAccounts();
  // Draws the chosen account's rows, summary and chart.
  void DrawChosen();
  void DrawChart();
  // Shows chart in the view and deletes the chart shown before.
  void ShowChart(QChart* chart);

  ImportedStatementsModel model_;
  QComboBox* accounts_ = nullptr;
  QPushButton* remove_ = nullptr;
  QTableWidget* table_ = nullptr;
  QLabel* summary_ = nullptr;
  QChartView* chart_view_ = nullptr;
};

// Asks the reason of a removal in a modal dialog ("removalDialog") over
// parent showing question, with the buttons "Excluir" (enabled once a reason
// is typed) and "Cancelar". Returns the reason, or nothing when cancelled.
std::optional<QString> AskRemovalReason(QWidget* parent, const QString& question);

// The menu entry "Financeiro > Extratos importados": shows the window in the
// main window's child area (raising it when open) and refreshes it. A new
// window opens at the area's top left corner, no larger than the area.
// Returns the window.
ImportedStatementsWindow* OpenImportedStatements(MainWindow& main_window);

// Refreshes the window "Extratos importados" when it is open (after an
// import made in the same shell); does nothing otherwise.
void RefreshImportedStatements(MainWindow& main_window);

}  // namespace kvr::qt
