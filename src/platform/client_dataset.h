#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/component.h"
#include "platform/row_data.h"
#include "platform/sysutils.h"

namespace kvr {

class TClientDataSet;
class TField;

// Column types of the in-memory table.
enum class TFieldType { ftString, ftDateTime, ftFloat };

// What the table is doing with its current row.
enum class TDataSetState { dsInactive, dsBrowse, dsInsert, dsEdit };

// A column definition: name (upper case by convention), type and, for text
// columns, the most characters a value keeps (0 = no limit).
struct TFieldDef {
  std::string Name;
  TFieldType DataType = TFieldType::ftString;
  int Size = 0;
};

// A value given to Locate or read generically: null, a number (floats and
// dates) or a text (Windows-1252). A text given for a number or date column
// is converted to the column's type before comparing.
using TVariant = std::variant<std::monostate, double, std::string>;

// Display-text handler of a column, the grid's source of cell texts. Called
// with the column, the text to fill (empty on entry; left empty, the cell
// shows nothing) and whether the text is for display (true) or for editing.
using TFieldGetTextEvent = std::function<void(TField& sender, std::string& text, bool display_text)>;

// One column of a table, read and written on the table's current row (the
// pending insert/edit buffer while one is open). Owned by its table; valid
// while the table's column definitions stay the same (until CreateDataSet or
// a loaded data packet replaces them).
class TField {
 public:
  TField(TClientDataSet& dataset, int index, TFieldDef def);
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  const std::string& FieldName() const { return def_.Name; }
  TFieldType DataType() const { return def_.DataType; }
  int Size() const { return def_.Size; }
  // 0-based position among the table's columns.
  int Index() const { return index_; }
  TClientDataSet& DataSet() const { return dataset_; }

  // True when the current row holds no value in this column (also when the
  // table has no current row).
  bool IsNull() const;
  // The value as text: texts as stored; numbers in their 15-significant-digit
  // form with FormatSettings.DecimalSeparator ("1234,5"); dates as
  // "dd/mm/yyyy", with " hh:nn:ss" when there is a time of day. Null gives "".
  std::string AsString() const;
  // The value as a number: numbers and dates as stored; a text through
  // StrToFloat (EConvertError when it is not a number). Null gives 0.
  double AsFloat() const;
  // Same as AsFloat for dates; a text is read as "dd/mm/yyyy" (EConvertError
  // when it is not a date). Null gives 0.
  TDateTime AsDateTime() const;
  // The value as a TVariant (null, number or text).
  TVariant Value() const;

  // Setters of the pending insert/edit row; throw EDatabaseError when the
  // table is not in insert or edit state. A text longer than Size keeps its
  // first Size characters. SetAsString on a number column goes through
  // StrToFloat, on a date column through "dd/mm/yyyy" (EConvertError when the
  // text is not such a value); the empty text stores null there.
  void SetAsString(std::string_view text);
  void SetAsFloat(double value);
  void SetAsDateTime(TDateTime value);
  void SetValue(const TVariant& value);

  // The cell text the grid shows: OnGetText's text when a handler is set,
  // otherwise AsString.
  std::string DisplayText();

  // Display-text handler, may be empty.
  TFieldGetTextEvent OnGetText;

 private:
  // The value on the row being read: the grid's display row, the pending
  // insert/edit buffer, or the current row (null without one, and on an
  // inactive table).
  RowCell Cell() const;

  TClientDataSet& dataset_;
  int index_;
  TFieldDef def_;
};

// What a change notification of the table reports, for views.
enum class DataChange {
  Structure,   // opened, closed, columns replaced, data packet loaded
  Rows,        // a row was added, removed or changed; the table emptied
  Filter,      // the filter text or switch changed: the visible rows differ
  CurrentRow,  // the current row moved
  State        // insert/edit began or ended
};

// Options of Locate.
struct TLocateOptions {
  // Texts compare ignoring the case of the ASCII letters a-z.
  bool CaseInsensitive = false;
};

// What TClientDataSet::CopyRowsFrom copies and searches.
struct TCopyRows {
  // Pairs (source's column, this table's column), 0-based.
  std::vector<std::pair<int, int>> columns;
  // The source's column given stamp_text on every copied row; -1 for none.
  int stamp_column = -1;
  std::string stamp_text;
  // The search made before each row's copy ("A;B", "" for none) and how.
  std::string keys;
  TLocateOptions options;
};

// A repeat CopyRowsFrom found: the 0-based visible positions of the first
// matching row in the copy's table and of the source's row.
struct TRowMatch {
  int found = 0;
  int source = 0;
  bool operator==(const TRowMatch&) const = default;
};

// The module's in-memory table: column definitions, rows, a current row, an
// optional ordering by one or more columns, a filter, keyed search and data
// packets. Every navigation, count and search sees only the rows that the
// filter in force lets through; the rows themselves never change order or
// vanish when the filter changes. Single-threaded.
//
// Rows of a table without IndexFieldNames keep their insertion order: Insert
// puts the new row before the current row, Append at the end. With
// IndexFieldNames the rows are kept in ascending order of those columns (null
// first), ties in insertion order; an edited row moves to its new place when
// posted.
class TClientDataSet : public TComponent {
 public:
  explicit TClientDataSet(TComponent* owner);
  ~TClientDataSet() override;

  // Column definitions used by CreateDataSet. Editing them does not change an
  // active table.
  std::vector<TFieldDef> FieldDefs;
  // Appends a definition to FieldDefs.
  void AddFieldDef(const std::string& name, TFieldType type, int size = 0);

  // Makes the table active and empty with the columns of FieldDefs; a table
  // already active loses its rows. Columns are re-created, so TField
  // references taken earlier become invalid unless the definitions are
  // unchanged (then the same TField objects and their OnGetText stay).
  // Throws EDatabaseError for an empty or duplicate column name.
  void CreateDataSet();
  // Makes the table inactive and drops its rows (a pending insert/edit is
  // discarded). Harmless on an inactive table. Columns and handlers stay.
  void Close();
  bool Active() const { return active_; }
  // Removes every row; the table stays active. Throws EDatabaseError when
  // the table is not active.
  void EmptyDataSet();

  TDataSetState State() const { return state_; }

  // Columns. FieldByName throws EDatabaseError naming the column when there
  // is none of that name (names compare ignoring ASCII case); FindField
  // returns null instead. Both work on an inactive table that has columns.
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  TField& Fields(int index) const;
  TField& FieldByName(std::string_view name) const;
  TField* FindField(std::string_view name) const;

  // Rows the filter in force lets through; 0 on an inactive table. A pending
  // insert is not counted until posted.
  int RecordCount() const;
  // Every stored row, whatever the filter; 0 on an inactive table.
  int StoredRowCount() const;
  // True when RecordCount is 0 (also when inactive).
  bool IsEmpty() const;

  // Navigation over the visible rows. Each first posts a pending insert/edit.
  // Eof is true after Next stepped past the last visible row and whenever
  // there is none. On an inactive table they throw EDatabaseError (Eof
  // answers true).
  void First();
  void Next();
  bool Eof() const { return eof_; }
  // 1-based position of the current row among the visible rows; 0 when there
  // is none.
  int RecNo() const;

  // Opens a new row for editing (all columns null): Insert places it before
  // the current row when posted, Append at the end (with IndexFieldNames
  // both go to their ordered place). A pending insert/edit is posted first.
  // Throws EDatabaseError when the table is not active.
  void Insert();
  void Append();
  // Adds a row in one step, as Insert, then Fields(i).SetValue of each
  // non-null value, then Post would: texts cut to their column's size, a
  // number given to a text column stored as its text, a text given to a
  // number or date column converted ("" stores null there; EConvertError
  // when it is no such value, and the row is then pending as after the
  // failed SetValue). values holds one cell per column (null: the column
  // stays null); its texts are copied. Throws EDatabaseError when the table
  // is not active or values has another count of cells.
  void InsertRow(const std::vector<RowCell>& values);
  // Opens the current row for editing. Throws EDatabaseError when there is no
  // current row. In insert/edit state it does nothing.
  void Edit();
  // Stores the pending row; it becomes (or stays) the current row, even when
  // the filter does not let it through (it is then hidden from the next
  // navigation on). Does nothing in browse state.
  void Post();

  // Ordering columns, "A;B". Setting it reorders the rows (stable); "" keeps
  // their present order as insertion order. Throws EDatabaseError for an
  // unknown column (on an active table; an inactive one checks on
  // CreateDataSet).
  const std::string& IndexFieldNames() const { return index_field_names_; }
  void SetIndexFieldNames(const std::string& names);

  // Filter text and switch. Grammar: comparisons = <> < > <= >= between
  // column names, single-quoted texts ('' stands for one quote) and numbers;
  // AND, OR, NOT (any case), parentheses; blanks anywhere between tokens. A
  // quoted text compared with a date column is read as a date "dd/mm/yyyy"
  // (FormatSettings.DateSeparator), with a number column as a number; texts
  // compare case-sensitively. A comparison with a null column is false.
  // Switching the filter on, or changing the text while it is on, compiles
  // it and throws EDatabaseError for an unknown column or malformed text
  // (the filter then stays off / keeps the old text). A pending insert/edit
  // is posted first; the current row becomes the first visible row.
  const std::string& Filter() const { return filter_text_; }
  void SetFilter(const std::string& text);
  bool Filtered() const { return filtered_; }
  void SetFiltered(bool on);

  // Searches the visible rows for the first (in table order) whose columns
  // keys ("A;B;C") hold values (one per key, same order), comparing whole
  // values: numbers as numbers at 15 significant digits, dates as dates,
  // texts case-sensitively unless options say otherwise; null matches only
  // null. On success posts a pending insert/edit, makes the row current and
  // returns true; otherwise the current row stays and it returns false.
  // Throws EDatabaseError for an unknown column or a count mismatch, and
  // EConvertError for a text value that is no number/date of its column.
  // Repeated searches on the same keys use a hash index kept up to date.
  bool Locate(const std::string& keys, const std::vector<TVariant>& values,
              TLocateOptions options = {});

  // Copies the rows of source that its filter lets through to the end of
  // this table and searches each among the rows before it: what this loop
  // does, with one change notification per table instead of one per row,
  //
  //   source.First();
  //   while (!source.Eof()) {
  //     source.Edit();
  //     if (plan.stamp_column >= 0) source.Fields(plan.stamp_column).SetAsString(plan.stamp_text);
  //     if (!plan.keys.empty() && Locate(plan.keys, wanted, plan.options))
  //       found.push_back({RecNo() - 1, source.RecNo() - 1});
  //     Append();
  //     for (auto [from, to] : plan.columns)
  //       if (source.Fields(from).DataType() == TFieldType::ftString)
  //         Fields(to).SetAsString(source.Fields(from).AsString());
  //       else
  //         Fields(to).SetAsFloat(source.Fields(from).AsFloat());
  //     Post();
  //     source.Next();
  //   }
  //
  // where wanted holds, per column of keys, plan.stamp_text for the stamped
  // column and otherwise the value of the source's column of the same name on
  // its current row (AsString of a text column, AsFloat of a number,
  // AsDateTime of a date). Returns found. source must not be this table.
  // Throws as the loop would (EDatabaseError for an unknown column, a table
  // not active); key columns are resolved before any row changes.
  //
  // A whole statement is copied this way in one pass: without a filter or an
  // ordering here, with the stamped column not ordering source, and with
  // each pair and key of one kind (text and text, number or date and number
  // or date), the search is one hash lookup per row; otherwise the loop runs.
  std::vector<TRowMatch> CopyRowsFrom(TClientDataSet& source, const TCopyRows& plan);

  // Change notifications for views (the grid). The handler must not destroy
  // the table. Returns an id for RemoveObserver.
  int AddObserver(std::function<void(TClientDataSet&, DataChange)> observer);
  void RemoveObserver(int id);
  // Suspends notifications; EnableControls (balanced) sends one Structure
  // notification when the last suspension ends.
  void DisableControls();
  void EnableControls();

  // Display text of a column on the idx-th visible row (0-based), as the
  // grid shows it (OnGetText or AsString), without moving the current row or
  // notifying. Throws EDatabaseError for an index out of range.
  std::string CellDisplayText(int visible_index, int field_index);

  // Data packets (the table as exchanged with the application server; the
  // form and the streaming writer and reader are in data_packet.h).
  //
  // The whole table, every row regardless of the filter, in table order, as
  // a data packet in the form of wire/packet_format.h. A pending insert/edit
  // is posted first. Throws EDatabaseError when the table is not active.
  // Builds a tree: for small tables and tests; the server calls stream the
  // rows instead (WriteDataPacket).
  nlohmann::json GetData();
  // Replaces columns, FieldDefs and rows with those of the packet (texts
  // converted to Windows-1252, longer texts cut to their size) and makes the
  // table active, on its first row; the filter and ordering stay in force.
  // A malformed packet throws EDatabaseError with a message saying what is
  // wrong and where ("linha 3, coluna 2: ..."); the table is then unchanged.
  void SetData(const nlohmann::json& packet);
  // The same from the packet's JSON text, read straight into rows (no tree).
  // Malformed JSON is a malformed packet.
  void SetData(std::string_view packet_text);

  // Calls visit with every row, regardless of the filter, in table order
  // (a pending insert/edit is posted first). Throws EDatabaseError when the
  // table is not active. visit must not change the table.
  void ForEachRow(const std::function<void(const RowData&)>& visit);
  // Calls visit with every row the filter lets through, in table order (a
  // pending insert/edit is posted first), without moving the current row or
  // notifying. Throws EDatabaseError when the table is not active. visit
  // must not change the table.
  void ForEachVisibleRow(const std::function<void(const RowData&)>& visit);
  // Replaces columns, FieldDefs and rows (each packed in the order of defs)
  // as SetData does, after checking defs as CreateDataSet does.
  void ReplaceData(const std::vector<TFieldDef>& defs, std::vector<RowData>&& rows);

 private:
  friend class TField;
  struct Impl;
  std::vector<TRowMatch> CopyRowsByLoop(TClientDataSet& source, const TCopyRows& plan);
  // For TField: the column's value on the row being read (see TField).
  RowCell CellOf(int field_index) const;
  void CheckBrowse();
  void StartInsert(bool append);
  void ApplyFilter(const std::string& text, bool on);
  void Notify(DataChange change);

  std::unique_ptr<Impl> impl_;
  std::vector<std::unique_ptr<TField>> fields_;
  // The pending insert/edit row, one value per column; TField writes it.
  std::vector<TVariant> pending_;
  bool active_ = false;
  bool filtered_ = false;
  bool eof_ = true;
  TDataSetState state_ = TDataSetState::dsInactive;
  std::string index_field_names_;
  std::string filter_text_;
};

}  // namespace kvr
