#pragma once

#include <string>

#include <QWidget>
#include <nlohmann/json.hpp>

class QChart;
class QChartView;
class QComboBox;
class QLabel;
class QTableWidget;

namespace kvr::qt {

class MainWindow;

// The statement continuity of the server (its method GetContinuidade): for
// code "" every account, else the account of that code. Connects to the
// host library's server address for the call, with the busy indicator over
// the main window. Throws kvr::Exception with the server's message (UTF-8)
// for a refusal, and whatever the connection throws for a transport
// failure.
nlohmann::json FetchContinuity(const std::string& code);

// The window "Extratos importados": an account chosen from the server's
// accounts, its stored statements in period order with what breaks the chain
// between each and the one before marked on its row (a gap, an overlap, an
// opening balance that differs from the previous closing balance), and a
// chart of the balance over time where gaps show as red bands with the line
// broken across them. Read only; lives on the user-interface thread.
class ImportedStatementsWindow : public QWidget {
  Q_OBJECT

 public:
  // The window's title and the menu entry's caption (UTF-8).
  static constexpr const char* kTitle = "Extratos importados";

  explicit ImportedStatementsWindow(QWidget* parent = nullptr);
  ~ImportedStatementsWindow() override;

  // Asks the server again (FetchContinuity("")) and shows the answer,
  // keeping the account chosen when it is still there. A failure is shown
  // in an error box and leaves what was shown; returns false then.
  bool Refresh();
  // Shows continuity (the JSON of GetContinuidade) as Refresh does.
  void ShowContinuity(const nlohmann::json& continuity);
  // Chooses the account of that code; false when it is not in the list.
  bool ChooseAccount(const QString& code);

  QComboBox& Accounts() const { return *accounts_; }
  QTableWidget& Statements() const { return *table_; }
  QChart& Chart() const;
  // The line under the table: how many statements and problems.
  QString Summary() const;

 private:
  void ShowAccount(int index);
  void FillChart(const nlohmann::json& statements);
  // Shows chart in the view and deletes the chart shown before.
  void ShowChart(QChart* chart);

  nlohmann::json continuity_ = nlohmann::json::array();
  QComboBox* accounts_ = nullptr;
  QTableWidget* table_ = nullptr;
  QLabel* summary_ = nullptr;
  QChartView* chart_view_ = nullptr;
};

// The menu entry "Financeiro > Extratos importados": shows the window in the
// main window's child area (raising it when open) and refreshes it. Returns
// the window.
ImportedStatementsWindow* OpenImportedStatements(MainWindow& main_window);

}  // namespace kvr::qt
