#pragma once

// The inside of TClientDataSet, shared by the files that implement it
// (client_dataset.cpp, copy_rows.cpp); no other file includes it.
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/cell_values.h"
#include "platform/client_dataset.h"
#include "platform/locate_index.h"
#include "platform/row_filter.h"
#include "platform/row_order.h"
#include "platform/row_store.h"

namespace kvr {

using Cells = std::vector<TVariant>;

// The 0-based columns named in names ("A;B", blanks around a name ignored).
// Throws EDatabaseError for an unknown column.
std::vector<int> ResolveNames(const TClientDataSet& ds, const std::string& names);

struct TClientDataSet::Impl {
  RowStore rows;
  RowOrder order{rows};
  RowFilter filter{rows};
  TableRow* current = nullptr;
  // The row TField reads while the grid asks for a cell (CellDisplayText).
  TableRow* display_row = nullptr;

  TableRow* edit_row = nullptr;        // edit: the row being edited
  TableRow* insert_before = nullptr;   // insert: place (null = end)
  RowBuilder builder;

  std::vector<LocateIndex> locate_indexes;
  // The last key list Locate resolved, as text and as columns.
  std::string locate_keys_text;
  std::vector<int> locate_keys_fields;
  // Scratch of Locate, kept to spare an allocation per search.
  Cells wanted;
  std::vector<TableRow*> matches;

  int next_observer_id = 1;
  std::vector<std::pair<int, std::function<void(TClientDataSet&, DataChange)>>> observers;
  int disable_count = 0;

  // Columns by their exact name; other spellings fall back to a scan.
  std::unordered_map<std::string_view, TField*> by_name;

  void FreeRows() {
    rows.Clear();
    order.Clear();
    filter.Clear();
    for (LocateIndex& li : locate_indexes) li.Clear();
    current = display_row = edit_row = insert_before = nullptr;
  }

  RowData Pack(const Cells& cells) {
    for (const TVariant& v : cells) builder.Add(View(v));
    return builder.Finish();
  }

  void IndexAdd(TableRow* r) {
    for (LocateIndex& li : locate_indexes) li.Add(r);
  }
  void IndexRemove(TableRow* r) {
    for (LocateIndex& li : locate_indexes) li.Remove(r);
  }
};

}  // namespace kvr
