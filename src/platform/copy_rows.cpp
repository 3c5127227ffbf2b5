// TClientDataSet::CopyRowsFrom: the confirmation's copy of a statement's
// movements into the table sent to the server, with its search for repeated
// movements, in one pass over the rows.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/cell_values.h"
#include "platform/client_dataset.h"
#include "platform/client_dataset_impl.h"
#include "platform/errors.h"
#include "platform/locate_index.h"

namespace kvr {

namespace {

// From this many rows on, a second thread makes the rows' copies: below,
// starting it costs about what it would save.
constexpr size_t kThreadedRows = 4096;

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
  const int already = im.rows.count();
  if (!keys_here.empty())
    for (const TableRow* r = im.rows.head(); r != nullptr; r = r->next) first.Add(r->data);
  // Rows equal on the search's columns are equal on the column the source is
  // ordered by, when that is one of them: then, while the rows come in that
  // column's order, a repeat is among the rows of the same value in it (its
  // run), and the copies are searched in a small table of their run alone,
  // which stays in the processor's cache where a table of a million rows
  // would miss it at every row. Should the values go back (a null, taken as
  // 0, before negative numbers), every copy so far joins the whole table and
  // the search goes on there.
  int run_key = -1;
  if (src.order.Active())
    for (size_t k = 0; k < keys_there.size(); ++k)
      if (keys_there[k] == src.order.Fields().front() && keys_there[k] != plan.stamp_column &&
          !IsText(source.Fields(keys_there[k])))
        run_key = static_cast<int>(k);
  FirstMatchIndex run(keys_here, plan.options.CaseInsensitive);
  double run_value = 0;
  bool in_run = false;
  TableRow* first_copy = nullptr;
  if (run_key < 0 && !keys_here.empty()) first.Reserve(static_cast<size_t>(already) + visited.size());

  // A column holds null or a value of its own kind (the fields convert what
  // they are given, packets are checked), so AsString of a text column is its
  // text or "", AsFloat and AsDateTime of a number or date its number or 0.
  std::vector<char> text_there(source.fields_.size());
  for (size_t c = 0; c < text_there.size(); ++c) text_there[c] = IsText(source.Fields(static_cast<int>(c)));
  const auto as_field_value = [&text_there](const std::vector<RowCell>& cells, int field) {
    RowCell cell = cells[static_cast<size_t>(field)];
    if (text_there[static_cast<size_t>(field)]) {
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

  // Each row's copy, with its stamped self when there is a stamp, is made
  // apart from the tables: a row's bytes, their keys' hashes, from the row
  // as it was. On a long table a second thread makes them a piece ahead,
  // while this one puts each in its table and searches it; the rows the
  // other thread reads are never those this one changes (a piece is handed
  // over whole).
  struct Made {
    RowData stamped;
    RowData copy;
    std::uint64_t hash = 0;         // of the keys searched
    std::uint64_t stored_hash = 0;  // of the copy's keys
  };
  std::vector<size_t> size_here(fields_.size());
  for (size_t c = 0; c < size_here.size(); ++c)
    size_here[c] = fields_[c]->Size() > 0 ? static_cast<size_t>(fields_[c]->Size()) : 0;
  const bool search = !keys_here.empty();
  const auto make = [&](const TableRow* r, Made& out, RowBuilder& builder, std::vector<RowCell>& cells,
                        std::vector<RowCell>& copy_cells, std::vector<RowCell>& wanted) {
    read_cells(r->data, cells);
    if (plan.stamp_column >= 0) {
      cells[static_cast<size_t>(plan.stamp_column)] = RowCell{RowCell::Text, 0, stamp_stored};
      for (const RowCell& cell : cells) builder.Add(cell);
      out.stamped = builder.Finish();
    }
    for (size_t c = 0; c < copied_from.size(); ++c) {
      const int from = copied_from[c];
      RowCell cell;
      if (from >= 0) {
        cell = as_field_value(cells, from);
        if (cell.kind == RowCell::Text && size_here[c] > 0 && cell.text.size() > size_here[c])
          cell.text = cell.text.substr(0, size_here[c]);
      }
      copy_cells[c] = cell;
      builder.Add(cell);
    }
    out.copy = builder.Finish();
    if (!search) return;
    wanted_of(cells, wanted);
    out.hash = first.Hash(wanted.data());
    // The copy's keys are those searched unless the copy cut a text (or the
    // stamp): then their hash is its own.
    bool as_searched = true;
    for (size_t k = 0; k < keys_here.size() && as_searched; ++k)
      as_searched = same(copy_cells[static_cast<size_t>(keys_here[k])], wanted[k]);
    if (as_searched) {
      out.stored_hash = out.hash;
    } else {
      for (size_t k = 0; k < keys_here.size(); ++k) wanted[k] = copy_cells[static_cast<size_t>(keys_here[k])];
      out.stored_hash = first.Hash(wanted.data());
    }
  };

  const size_t n = visited.size();
  std::vector<RowCell> cells(source.fields_.size()), wanted(keys_here.size()), stored(keys_here.size());
  std::vector<RowCell> copy_cells(fields_.size());
  std::vector<TRowMatch> found;
  int source_position = 0;
  // Puts row i, made, in both tables and searches it; the search's slots for
  // the next rows are asked for ahead (their hashes are known by then).
  const auto place = [&](size_t i, Made& m) {
    TableRow* r = visited[i];
    if (plan.stamp_column >= 0) {
      src.IndexRemove(r);
      r->data = std::move(m.stamped);
      src.IndexAdd(r);
      src.filter.Rejudge(r);
    }
    if (search) {
      read_cells(r->data, cells);
      wanted_of(cells, wanted);
      if (run_key >= 0) {
        const double value = Round15(wanted[static_cast<size_t>(run_key)].number);
        if (value == value) {
          if (in_run && value < run_value) {
            // Out of order: the whole table from here on.
            run_key = -1;
            first.Reserve(static_cast<size_t>(already) + visited.size());
            for (const TableRow* c = first_copy; c != nullptr; c = c->next) first.Add(c->data);
          } else if (!in_run || value != run_value) {
            run.ForgetSlots();
            run_value = value;
            in_run = true;
          }
        }
      }
      int match = first.Find(wanted.data(), m.hash);
      if (match < 0 && run_key >= 0) {
        match = run.Find(wanted.data(), m.hash);
        if (match >= 0) match += already;
      }
      // Rows before this one that the filter still lets through: a stamp can
      // hide the rows it changed.
      if (match >= 0) found.push_back({match, source_position});
    }
    if (src.filter.Visible(r)) ++source_position;
    TableRow* copy = im.rows.NewRow();
    copy->data = std::move(m.copy);
    im.filter.Admit(copy);
    im.order.Place(copy, nullptr);
    im.IndexAdd(copy);
    if (search) {
      read_cells(copy->data, copy_cells);
      for (size_t k = 0; k < keys_here.size(); ++k) stored[k] = copy_cells[static_cast<size_t>(keys_here[k])];
      (run_key >= 0 ? run : first).Add(copy->data, stored.data(), m.stored_hash);
    }
    if (first_copy == nullptr) first_copy = copy;
    im.current = copy;
  };

  // The rows are made in pieces, in turn by a second thread and by this one
  // when its next piece is not yet taken, a few pieces ahead at most; this
  // one places every piece, in order. A piece made is handed over whole.
  constexpr size_t kPiece = 2048, kPiecesAhead = 7;
  const size_t piece = std::clamp<size_t>(n / 16, 8, kPiece);
  const size_t pieces = (n + piece - 1) / piece;
  const size_t slots = std::min(pieces, kPiecesAhead + 1);
  constexpr size_t kBroken = static_cast<size_t>(-1);
  std::vector<std::vector<Made>> made(slots);
  // Per slot: 1 + the number of the piece made in it, kBroken when its
  // making failed.
  std::unique_ptr<std::atomic<size_t>[]> made_piece(new std::atomic<size_t>[slots]);
  for (size_t i = 0; i < slots; ++i) made_piece[i].store(0);
  std::atomic<size_t> next{0}, placed{0};
  std::atomic<bool> stop{false};
  std::exception_ptr failed;
  const auto make_piece = [&](size_t p, RowBuilder& builder, std::vector<RowCell>& c, std::vector<RowCell>& cc,
                              std::vector<RowCell>& w) {
    std::vector<Made>& out = made[p % slots];
    const size_t begin = p * piece, end = std::min(n, begin + piece);
    out.resize(end - begin);
    for (size_t i = begin; i < end; ++i) {
      if (i + 8 < end) __builtin_prefetch(visited[i + 8]);
      if (i + 4 < end) visited[i + 4]->data.Prefetch();
      make(visited[i], out[i - begin], builder, c, cc, w);
    }
  };
  std::thread maker;
  if (n >= kThreadedRows) {
    try {
      maker = std::thread([&] {
        RowBuilder builder;
        std::vector<RowCell> c(source.fields_.size()), cc(fields_.size()), w(keys_here.size());
        size_t p = 0;
        try {
          while (!stop.load()) {
            p = next.load();
            if (p >= pieces) return;
            // Its slot is free once the piece before it there is placed.
            if (const size_t t = placed.load(); p >= t + slots) {
              placed.wait(t);
              continue;
            }
            if (!next.compare_exchange_strong(p, p + 1)) continue;
            make_piece(p, builder, c, cc, w);
            made_piece[p % slots].store(p + 1);
            made_piece[p % slots].notify_one();
          }
        } catch (...) {
          failed = std::current_exception();
          made_piece[p % slots].store(kBroken);
          made_piece[p % slots].notify_one();
        }
      });
    } catch (const std::system_error&) {
      // No thread to be had: this one makes them all.
    }
  }
  // However the loop below ends, the other thread ends before the tables it
  // reads.
  struct Join {
    std::thread& thread;
    std::atomic<bool>& stop;
    std::atomic<size_t>& placed;
    ~Join() {
      if (!thread.joinable()) return;
      stop.store(true);
      placed.store(static_cast<size_t>(-1) / 2);
      placed.notify_one();
      thread.join();
    }
  } join{maker, stop, placed};

  for (size_t p = 0; p < pieces; ++p) {
    std::atomic<size_t>& state = made_piece[p % slots];
    for (size_t v = state.load(); v != p + 1; v = state.load()) {
      if (v == kBroken) std::rethrow_exception(failed);
      // Rather than wait, this one makes the next piece not yet taken, when
      // its slot is free (pieces from p on are not placed yet).
      size_t q = next.load();
      if (q < pieces && q < p + slots && next.compare_exchange_strong(q, q + 1)) {
        make_piece(q, im.builder, cells, copy_cells, wanted);
        made_piece[q % slots].store(q + 1);
      } else if (q >= pieces || q >= p + slots) {
        state.wait(v);
      }
    }
    std::vector<Made>& in = made[p % slots];
    const size_t begin = p * piece, end = std::min(n, begin + piece);
    for (size_t i = begin; i < end; ++i) {
      if (search && i + 8 < end) (run_key >= 0 ? run : first).Prefetch(in[i + 8 - begin].hash);
      place(i, in[i - begin]);
    }
    placed.store(p + 1);
    placed.notify_one();
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
