// TClientDataSet::CopyRowsFrom: the confirmation's copy of a statement's
// movements into the table sent to the server, with its search for repeated
// movements, in one pass over the rows.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/cell_values.h"
#include "platform/client_dataset.h"
#include "platform/client_dataset_impl.h"
#include "platform/errors.h"
#include "platform/locate_index.h"

namespace kvr {

namespace {

bool IsText(const TField& f) { return f.DataType() == TFieldType::ftString; }

// The columns of the given names ("A;B") of another table, in the same order.
std::vector<int> SameNames(const TClientDataSet& other, const TClientDataSet& named, const std::vector<int>& fields) {
  std::vector<int> out;
  for (int f : fields) out.push_back(other.FieldByName(named.Fields(f).FieldName()).Index());
  return out;
}

}  // namespace

std::vector<TRowMatch> TClientDataSet::CopyRowsByLoop(TClientDataSet& source, const TCopyRows& plan) {
  std::vector<TRowMatch> found;
  std::vector<TVariant> wanted;
  std::vector<int> key_fields;
  if (!plan.keys.empty()) key_fields = ResolveNames(source, plan.keys);
  source.First();
  while (!source.Eof()) {
    source.Edit();
    if (plan.stamp_column >= 0) source.Fields(plan.stamp_column).SetAsString(plan.stamp_text);
    if (!plan.keys.empty()) {
      wanted.clear();
      for (int f : key_fields) {
        const TField& field = source.Fields(f);
        if (f == plan.stamp_column)
          wanted.emplace_back(plan.stamp_text);
        else if (field.DataType() == TFieldType::ftString)
          wanted.emplace_back(field.AsString());
        else if (field.DataType() == TFieldType::ftFloat)
          wanted.emplace_back(field.AsFloat());
        else
          wanted.emplace_back(field.AsDateTime());
      }
      if (Locate(plan.keys, wanted, plan.options)) found.push_back({RecNo() - 1, source.RecNo() - 1});
    }
    Append();
    for (auto [from, to] : plan.columns) {
      const TField& f = source.Fields(from);
      if (IsText(f))
        Fields(to).SetAsString(f.AsString());
      else
        Fields(to).SetAsFloat(f.AsFloat());
    }
    Post();
    source.Next();
  }
  return found;
}

std::vector<TRowMatch> TClientDataSet::CopyRowsFrom(TClientDataSet& source, const TCopyRows& plan) {
  if (&source == this) throw EDatabaseError("Uma tabela não é copiada para si mesma.");
  // The search's columns here and in source, resolved before anything changes.
  std::vector<int> keys_here, keys_there;
  if (!plan.keys.empty()) {
    keys_here = ResolveNames(*this, plan.keys);
    keys_there = SameNames(source, *this, keys_here);
  }
  Impl& src = *source.impl_;
  Impl& im = *impl_;

  const auto field_ok = [](const TClientDataSet& t, int f) { return f >= 0 && f < t.FieldCount(); };
  bool one_pass = source.active_ && active_ && !filtered_ && !im.order.Active() &&
                  (plan.keys.empty() || !keys_here.empty());
  if (plan.stamp_column >= 0)
    one_pass = one_pass && field_ok(source, plan.stamp_column) && IsText(source.Fields(plan.stamp_column)) &&
               !src.order.Orders(plan.stamp_column);
  for (auto [from, to] : plan.columns)
    one_pass = one_pass && field_ok(source, from) && field_ok(*this, to) &&
               IsText(source.Fields(from)) == IsText(Fields(to));
  for (size_t k = 0; k < keys_here.size() && one_pass; ++k) {
    const bool text_here = IsText(Fields(keys_here[k]));
    one_pass = (keys_there[k] == plan.stamp_column ? true : IsText(source.Fields(keys_there[k]))) == text_here;
  }
  if (!one_pass) return CopyRowsByLoop(source, plan);

  source.CheckBrowse();
  const std::vector<TableRow*> visited = src.filter.VisibleRows();
  if (visited.empty()) return CopyRowsByLoop(source, plan);
  CheckBrowse();

  // Per column here: the source's column it copies (the last pair naming it
  // wins, as the last assignment does), or -1 (null).
  std::vector<int> copied_from(fields_.size(), -1);
  for (auto [from, to] : plan.columns) copied_from[static_cast<size_t>(to)] = from;
  std::string stamp_stored = plan.stamp_text;
  if (plan.stamp_column >= 0) {
    const int size = source.Fields(plan.stamp_column).Size();
    if (size > 0 && stamp_stored.size() > static_cast<size_t>(size)) stamp_stored.resize(static_cast<size_t>(size));
  }

  // The rows already here come first in table order, and are searched too.
  FirstMatchIndex first(keys_here, plan.options.CaseInsensitive);
  if (!keys_here.empty()) {
    first.Reserve(static_cast<size_t>(im.rows.count()) + visited.size());
    for (const TableRow* r = im.rows.head(); r != nullptr; r = r->next) first.Add(r->data);
  }

  // A column holds null or a value of its own kind (the fields convert what
  // they are given, packets are checked), so AsString of a text column is its
  // text or "", AsFloat and AsDateTime of a number or date its number or 0.
  const auto as_field_value = [&source](const std::vector<RowCell>& cells, int field) {
    RowCell cell = cells[static_cast<size_t>(field)];
    if (IsText(source.Fields(field))) {
      if (cell.kind != RowCell::Text) cell = RowCell{RowCell::Text, 0, {}};
    } else if (cell.kind != RowCell::Number) {
      cell = RowCell{RowCell::Number, 0, {}};
    }
    return cell;
  };
  const auto read_cells = [](const RowData& data, std::vector<RowCell>& cells) {
    RowCursor cursor(data);
    for (RowCell& cell : cells)
      if (!cursor.Next(cell)) cell = RowCell{};
  };
  // The values searched for a row: the stamp for the stamped column.
  const auto wanted_of = [&](const std::vector<RowCell>& cells, std::vector<RowCell>& wanted) {
    for (size_t k = 0; k < keys_there.size(); ++k)
      wanted[k] = keys_there[k] == plan.stamp_column ? RowCell{RowCell::Text, 0, plan.stamp_text}
                                                     : as_field_value(cells, keys_there[k]);
  };
  const auto same = [](const RowCell& a, const RowCell& b) {
    return a.kind == b.kind && (a.kind != RowCell::Number || std::memcmp(&a.number, &b.number, 8) == 0) &&
           (a.kind != RowCell::Text || a.text == b.text);
  };

  // The rows are scattered in memory (the table's order is not the order
  // they were made in), their bytes and the search's slots too: each is asked
  // for some rows ahead of its use (the row, then its bytes, then the
  // search's slot for its key), so that the waits on memory overlap.
  constexpr size_t kAhead = 8;
  const size_t n = visited.size();
  const bool search = !keys_here.empty();
  std::vector<RowCell> cells(source.fields_.size()), ahead_cells(source.fields_.size());
  std::vector<RowCell> wanted(keys_here.size()), ahead_wanted(keys_here.size()), stored(keys_here.size());
  std::vector<RowCell> copy_cells(fields_.size());
  // The hashes of the rows from i to i + kAhead, the next ones' written while
  // the row's own is still to be used.
  std::uint64_t hashes[2 * kAhead] = {};
  const auto hash_ahead = [&](size_t i) {
    read_cells(visited[i]->data, ahead_cells);
    wanted_of(ahead_cells, ahead_wanted);
    hashes[i % (2 * kAhead)] = first.Hash(ahead_wanted.data());
    first.Prefetch(hashes[i % (2 * kAhead)]);
  };
  for (size_t i = 0; i < std::min(n, 4 * kAhead); ++i) __builtin_prefetch(visited[i]);
  for (size_t i = 0; i < std::min(n, 2 * kAhead); ++i) visited[i]->data.Prefetch();
  for (size_t i = 0; search && i < std::min(n, kAhead); ++i) hash_ahead(i);

  std::vector<TRowMatch> found;
  int source_position = 0;
  RowBuilder& builder = im.builder;
  for (size_t i = 0; i < n; ++i) {
    if (i + 4 * kAhead < n) __builtin_prefetch(visited[i + 4 * kAhead]);
    if (i + 2 * kAhead < n) visited[i + 2 * kAhead]->data.Prefetch();
    if (search && i + kAhead < n) hash_ahead(i + kAhead);
    TableRow* r = visited[i];
    if (plan.stamp_column >= 0) {
      read_cells(r->data, cells);
      cells[static_cast<size_t>(plan.stamp_column)] = RowCell{RowCell::Text, 0, stamp_stored};
      for (const RowCell& cell : cells) builder.Add(cell);
      RowData stamped = builder.Finish();
      src.IndexRemove(r);
      r->data = std::move(stamped);
      src.IndexAdd(r);
      src.filter.Rejudge(r);
    }
    read_cells(r->data, cells);

    if (search) {
      wanted_of(cells, wanted);
      const int match = first.Find(wanted.data(), hashes[i % (2 * kAhead)]);
      // Rows before this one that the filter still lets through: a stamp can
      // hide the rows it changed.
      if (match >= 0) found.push_back({match, source_position});
    }
    if (src.filter.Visible(r)) ++source_position;

    for (size_t c = 0; c < copied_from.size(); ++c) {
      const int from = copied_from[c];
      RowCell cell;
      if (from >= 0) {
        cell = as_field_value(cells, from);
        const int size = fields_[c]->Size();
        if (cell.kind == RowCell::Text && size > 0 && cell.text.size() > static_cast<size_t>(size))
          cell.text = cell.text.substr(0, static_cast<size_t>(size));
      }
      copy_cells[c] = cell;
      builder.Add(cell);
    }
    TableRow* copy = im.rows.NewRow();
    copy->data = builder.Finish();
    im.filter.Admit(copy);
    im.order.Place(copy, nullptr);
    im.IndexAdd(copy);
    if (search) {
      // The copy's keys are those searched unless the copy cut a text (or the
      // stamp): then their hash is its own.
      bool as_searched = true;
      for (size_t k = 0; k < keys_here.size(); ++k) {
        stored[k] = copy_cells[static_cast<size_t>(keys_here[k])];
        as_searched = as_searched && same(stored[k], wanted[k]);
      }
      first.Add(copy->data, stored.data(), as_searched ? hashes[i % (2 * kAhead)] : first.Hash(stored.data()));
    }
    im.current = copy;
  }

  // Where the loop leaves both tables: the source past its last row (on the
  // last one it lets through), this table on the last copy.
  TableRow* last = visited.back();
  src.current = src.filter.Visible(last) ? last : src.filter.PrevVisible(last);
  src.filter.Invalidate();
  source.eof_ = true;
  im.filter.Invalidate();
  eof_ = false;
  source.Notify(DataChange::Rows);
  Notify(DataChange::Rows);
  return found;
}

}  // namespace kvr
