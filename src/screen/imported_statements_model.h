#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/net_connection.h"
#include "platform/sysutils.h"
#include "wire/money.h"

namespace kvr {

// One account of the window's list: its code and the caption offered, e.g.
// "001 - banco 341, conta 123456, Circulante (3 problemas)".
struct StatementAccount {
  std::string code;
  std::string caption;
};

// One stored statement as a row of the window's table, the cells in the
// order of ImportedStatementsModel::kColumns.
struct StatementRow {
  std::array<std::string, 6> cells;
  // True when the row marks a break of the chain (a gap, an overlap, a
  // balance that differs): the front end draws it as a problem.
  bool problem = false;
};

// One movement of a stored statement as the window's list of movements
// shows it, the cells in the order of ImportedStatementsModel::kMovementColumns.
struct MovementLine {
  std::array<std::string, 6> cells;
  TDateTime day = 0;  // the posting date; 0 for none (shown first)
};

// A balance on a day: the opening balance at the start of a statement's
// first day, the closing balance at the start of the day after its last.
struct BalancePoint {
  TDateTime day = 0;
  double reais = 0;
};

// A stretch of days drawn over the chart's whole height.
struct ChartBand {
  enum Kind { kGap, kOverlap };
  Kind kind = kGap;
  TDateTime from = 0, to = 0;
};

// The chart of the chosen account's balance over time. Each statement with a
// period runs from its opening to its closing balance; a gap breaks the line,
// and so does a statement that starts before the line's end (an overlap),
// which joined on would draw the balance running back in time.
struct BalanceChart {
  // The unbroken runs of the balance line, in period order.
  std::vector<std::vector<BalancePoint>> lines;
  // The closing balance of every statement drawn.
  std::vector<BalancePoint> closings;
  // A gap from the end of the chain so far to the statement's start; an
  // overlap from the statement's start to the earlier of its end and the
  // chain's end. In period order.
  std::vector<ChartBand> bands;
  // The days shown: the first statement's start to the last one's end.
  TDateTime first = 0, last = 0;
  // The balances shown: every balance and zero, with a margin of 8% of the
  // span (at least R$ 1,00) below and above.
  double low = 0, high = 0;

  // True when no statement has a period: nothing to draw.
  bool Empty() const { return closings.empty(); }
};

// The window "Extratos importados" as a model: the server's statement
// continuity (GetContinuidade) as the list of accounts, the chosen account's
// stored statements in period order as table rows with what breaks the chain
// between each and the one before marked, a summary line and the balance
// chart's data. Read only. Every text is Windows-1252, like the module's;
// amounts are Brazilian ("1.350,00") whatever the locale, as the clerk reads
// reais, and dates "dd/mm/aaaa".
//
// The host library (HostLibrary()) must be installed while Refresh runs.
class ImportedStatementsModel {
 public:
  // The window's title and the menu entry's caption.
  static constexpr const char* kTitle = "Extratos importados";
  // The table's column titles.
  static const std::array<const char*, 6> kColumns;
  // The column titles of a statement's movements.
  static const std::array<const char*, 6> kMovementColumns;

  ImportedStatementsModel();
  ImportedStatementsModel(const ImportedStatementsModel&) = delete;
  ImportedStatementsModel& operator=(const ImportedStatementsModel&) = delete;

  // The connection Refresh calls through, owned by the model: the server
  // address, port and secret come from the host library at each Refresh; a
  // test may replace its transport (SetTransport).
  TNetConnection& Connection() { return connection_; }

  // Asks the server for every account's continuity (GetContinuidade with
  // code "") and whose key the connection uses (GetUsuario), with the host's
  // busy indicator over its main window during the calls, and shows the
  // answer as Show does. On a failure of GetContinuidade (the server's
  // refusal, a transport failure, an answer that is no list) returns false
  // with Error() saying why, and keeps what was shown. A server that does not
  // answer GetUsuario with a user leaves Administrator() false.
  bool Refresh();
  // The reason the last Refresh, Remove or LoadMovements failed; empty after
  // one that succeeded.
  const std::string& Error() const { return error_; }

  // True when the last Refresh found the key an administrator's (the shared
  // key and a server without keys count as one): only then may the window
  // offer to remove a statement.
  bool Administrator() const { return administrator_; }

  // The number (CDSEQUEXTR) of the statement of that row of Rows(); 0 when
  // the row is out of range or its number is no positive whole number.
  long long StatementNumber(int row) const;
  // The question that confirms the removal of the statement of that row,
  // naming it, its account, its period and its movements and asking the
  // reason; empty when StatementNumber(row) is 0.
  std::string RemovalQuestion(int row) const;
  // Removes the statement of that row with its movements (RemoveExtrato with
  // its number and reason, under the busy indicator), then refreshes. False
  // with Error() saying why when the row has no number, the reason is blank,
  // or the server refuses (not an administrator's key, a statement removed
  // meanwhile) or cannot be reached; nothing shown changes then.
  bool Remove(int row, const std::string& reason);

  // Asks the server for the movements of the statement of that row
  // (GetMovimentos, under the busy indicator) and keeps them as
  // Movements(). False with Error() saying why (no number, the server's
  // refusal, a transport failure, an answer that is no packet).
  bool LoadMovements(int row);
  // The movements of the last LoadMovements, in their stored order.
  const std::vector<MovementLine>& Movements() const { return movements_; }
  // The title of the list of movements of that row: "Extrato 3 - 01/03/2024
  // a 31/03/2024 (2 movimentos)".
  std::string MovementsTitle(int row) const;

  // Shows continuity, a GetContinuidade answer (anything but a list counts
  // as an empty one): the accounts, keeping the chosen one when it is still
  // there, else the first. Missing or mistyped fields read as empty texts
  // and zeros.
  void Show(const nlohmann::json& continuity);

  // The accounts of the last answer shown, in the server's order.
  const std::vector<StatementAccount>& Accounts() const { return accounts_; }
  // The position of the chosen account in Accounts(); -1 when there is none.
  int Chosen() const { return chosen_; }
  // Chooses the account at that position (-1 or past the end: none).
  void ChooseIndex(int index);

  // The chosen account's statements, in period order.
  const std::vector<StatementRow>& Rows() const { return rows_; }
  // The line under the table: how many statements and problems, or why
  // there are none.
  const std::string& Summary() const { return summary_; }
  // The chosen account's balance chart (empty when none is chosen).
  const BalanceChart& Chart() const { return chart_; }

 private:
  struct Problem {
    std::string kind;
    long long days = 0;
    Money difference;
  };
  struct Statement {
    std::string id;
    bool dated = false;
    TDateTime start = 0, end = 0;
    Money opening, closing;
    long long movements = 0;
    std::vector<Problem> problems;
  };

  void ShowChosen();
  // The chosen account's statement of that row, or null.
  const Statement* StatementOf(int row) const;
  // Connects, runs calls under the busy indicator, disconnects; false with
  // error_ set when calls throws.
  bool InSession(const std::function<void()>& calls);
  void FillChart(const std::vector<Statement>& statements);

  TNetConnection connection_;
  std::string error_;
  bool administrator_ = false;
  std::vector<MovementLine> movements_;
  std::vector<StatementAccount> accounts_;
  // The statements of each account, in the order of accounts_.
  std::vector<std::vector<Statement>> statements_;
  int chosen_ = -1;
  std::vector<StatementRow> rows_;
  std::string summary_;
  BalanceChart chart_;
};

}  // namespace kvr
