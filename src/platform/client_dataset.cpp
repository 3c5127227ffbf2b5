// TClientDataSet: the table's columns, its cursor and edit state machine,
// searches and change notifications. The rows, their order, the filter and
// the search indexes are in row_store.h, row_order.h, row_filter.h and
// locate_index.h; the fields in field.cpp; data packets in data_packet.cpp.
#include "platform/client_dataset.h"

#include <algorithm>
#include <unordered_set>

#include "platform/cell_values.h"
#include "platform/client_dataset_impl.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/filter_expression.h"
#include "platform/format.h"

namespace kvr {

namespace {

void NotActive() { throw EDatabaseError("A tabela não está aberta."); }

}  // namespace

TClientDataSet::TClientDataSet(TComponent* owner) : TComponent(owner), impl_(std::make_unique<Impl>()) {}

TClientDataSet::~TClientDataSet() = default;

void TClientDataSet::AddFieldDef(const std::string& name, TFieldType type, int size) {
  FieldDefs.push_back(TFieldDef{name, type, size});
}

namespace {

bool SameDefs(const std::vector<std::unique_ptr<TField>>& fields, const std::vector<TFieldDef>& defs) {
  const auto same = [](const std::unique_ptr<TField>& f, const TFieldDef& def) {
    return f->FieldName() == def.Name && f->DataType() == def.DataType && f->Size() == def.Size;
  };
  return std::equal(fields.begin(), fields.end(), defs.begin(), defs.end(), same);
}

void CheckDefs(const std::vector<TFieldDef>& defs) {
  for (size_t i = 0; i < defs.size(); ++i) {
    if (defs[i].Name.empty()) throw EDatabaseError("Coluna " + std::to_string(i + 1) + " sem nome.");
    for (size_t j = 0; j < i; ++j)
      if (EqualAscii(defs[i].Name, defs[j].Name))
        throw EDatabaseError("Coluna \"" + Cp1252ToUtf8(defs[i].Name) + "\" definida duas vezes.");
  }
}

}  // namespace

std::vector<int> ResolveNames(const TClientDataSet& ds, const std::string& names) {
  std::vector<int> out;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string::npos) end = names.size();
    std::string name = names.substr(start, end - start);
    while (!name.empty() && name.front() == ' ') name.erase(name.begin());
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (!name.empty()) out.push_back(ds.FieldByName(name).Index());
    start = end + 1;
  }
  return out;
}

void TClientDataSet::CreateDataSet() {
  CheckDefs(FieldDefs);
  if (FieldDefs.empty()) throw EDatabaseError("A tabela não tem colunas definidas.");
  Impl& im = *impl_;
  im.FreeRows();
  im.locate_indexes.clear();
  im.filter.Set(nullptr);
  if (!SameDefs(fields_, FieldDefs)) {
    fields_.clear();
    im.by_name.clear();
    im.locate_keys_text.clear();
    im.locate_keys_fields.clear();
    for (size_t i = 0; i < FieldDefs.size(); ++i)
      fields_.push_back(std::make_unique<TField>(*this, static_cast<int>(i), FieldDefs[i]));
    for (const auto& f : fields_) im.by_name.emplace(f->FieldName(), f.get());
  }
  active_ = true;
  state_ = TDataSetState::dsBrowse;
  eof_ = true;
  try {
    im.order.SetFields(ResolveNames(*this, index_field_names_));
    if (filtered_) im.filter.Set(std::make_unique<FilterExpression>(filter_text_, FieldDefs));
  } catch (...) {
    im.order.SetFields({});
    filtered_ = false;
    Notify(DataChange::Structure);
    throw;
  }
  Notify(DataChange::Structure);
}

void TClientDataSet::Close() {
  if (!active_) return;
  impl_->FreeRows();
  impl_->locate_indexes.clear();
  impl_->filter.Set(nullptr);
  active_ = false;
  state_ = TDataSetState::dsInactive;
  eof_ = true;
  Notify(DataChange::Structure);
}

void TClientDataSet::EmptyDataSet() {
  if (!active_) NotActive();
  impl_->FreeRows();
  state_ = TDataSetState::dsBrowse;
  eof_ = true;
  Notify(DataChange::Rows);
}

TField& TClientDataSet::Fields(int index) const {
  if (index < 0 || index >= FieldCount())
    throw EDatabaseError("Coluna de número " + std::to_string(index) + " inexistente.");
  return *fields_[static_cast<size_t>(index)];
}

TField* TClientDataSet::FindField(std::string_view name) const {
  auto it = impl_->by_name.find(name);
  if (it != impl_->by_name.end()) return it->second;
  for (const auto& f : fields_)
    if (EqualAscii(f->FieldName(), name)) return f.get();
  return nullptr;
}

TField& TClientDataSet::FieldByName(std::string_view name) const {
  TField* f = FindField(name);
  if (f == nullptr) {
    std::string table = Name.empty() ? std::string() : " em " + Cp1252ToUtf8(Name);
    throw EDatabaseError("Coluna \"" + Cp1252ToUtf8(name) + "\" não encontrada" + table + ".");
  }
  return *f;
}

int TClientDataSet::RecordCount() const { return active_ ? impl_->filter.VisibleCount() : 0; }

int TClientDataSet::StoredRowCount() const { return active_ ? impl_->rows.count() : 0; }

bool TClientDataSet::IsEmpty() const { return RecordCount() == 0; }

void TClientDataSet::CheckBrowse() {
  if (!active_) NotActive();
  if (state_ != TDataSetState::dsBrowse) Post();
}

void TClientDataSet::First() {
  CheckBrowse();
  Impl& im = *impl_;
  im.current = im.filter.NextVisible(im.rows.head());
  eof_ = im.current == nullptr;
  Notify(DataChange::CurrentRow);
}

void TClientDataSet::Next() {
  CheckBrowse();
  Impl& im = *impl_;
  TableRow* next = im.current == nullptr ? nullptr : im.filter.NextVisible(im.current->next);
  if (next == nullptr) {
    eof_ = true;
    // The cursor stays on the last visible row.
    if (im.current != nullptr && !im.filter.Visible(im.current)) im.current = im.filter.PrevVisible(im.current);
  } else {
    im.current = next;
    eof_ = false;
    if (next->next != nullptr) next->next->data.Prefetch();
  }
  Notify(DataChange::CurrentRow);
}

int TClientDataSet::RecNo() const {
  if (!active_ || impl_->current == nullptr || !impl_->filter.Visible(impl_->current)) return 0;
  const auto& cache = impl_->filter.VisibleRows();
  auto it = std::find(cache.begin(), cache.end(), impl_->current);
  return it == cache.end() ? 0 : static_cast<int>(it - cache.begin()) + 1;
}

RowCell TClientDataSet::CellOf(int field_index) const {
  const TableRow* row = impl_->display_row;
  if (row == nullptr) {
    if (state_ == TDataSetState::dsInsert || state_ == TDataSetState::dsEdit)
      return View(pending_[static_cast<size_t>(field_index)]);
    row = impl_->current;
  }
  if (row == nullptr) return RowCell{};
  return row->data.Get(static_cast<size_t>(field_index));
}

void TClientDataSet::StartInsert(bool append) {
  CheckBrowse();
  Impl& im = *impl_;
  pending_.assign(fields_.size(), TVariant{});
  im.insert_before = append ? nullptr : im.current;
  im.edit_row = nullptr;
  state_ = TDataSetState::dsInsert;
  Notify(DataChange::State);
}

void TClientDataSet::Insert() { StartInsert(false); }
void TClientDataSet::Append() { StartInsert(true); }

void TClientDataSet::InsertRow(const std::vector<RowCell>& values) {
  if (!active_) NotActive();
  if (values.size() != fields_.size())
    throw EDatabaseError("Linha de " + std::to_string(values.size()) + " valores para " +
                         std::to_string(fields_.size()) + " colunas.");
  bool own_kinds = true;
  for (size_t i = 0; i < values.size() && own_kinds; ++i) {
    const bool text_column = fields_[i]->DataType() == TFieldType::ftString;
    own_kinds = values[i].kind == RowCell::Null || (values[i].kind == RowCell::Text) == text_column;
  }
  if (!own_kinds) {
    Insert();
    for (size_t i = 0; i < values.size(); ++i)
      if (values[i].kind != RowCell::Null) fields_[i]->SetValue(ToVariant(values[i]));
    Post();
    return;
  }
  // Each value of its column's kind: packed as Post packs the fields' values,
  // without a variant per column on the way.
  CheckBrowse();
  Impl& im = *impl_;
  for (size_t i = 0; i < values.size(); ++i) {
    RowCell cell = values[i];
    const size_t size = static_cast<size_t>(fields_[i]->Size());
    if (cell.kind == RowCell::Text && size > 0 && cell.text.size() > size) cell.text = cell.text.substr(0, size);
    im.builder.Add(cell);
  }
  TableRow* row = im.rows.NewRow();
  row->data = im.builder.Finish();
  im.filter.Admit(row);
  im.order.Place(row, im.current);
  im.IndexAdd(row);
  im.current = row;
  im.filter.Invalidate();
  eof_ = false;
  Notify(DataChange::State);
  Notify(DataChange::Rows);
}

void TClientDataSet::Edit() {
  if (!active_) NotActive();
  if (state_ != TDataSetState::dsBrowse) return;
  Impl& im = *impl_;
  if (im.current == nullptr) throw EDatabaseError("Não há linha corrente para editar.");
  pending_.resize(fields_.size());
  // One walk over the packed row, not one from its start per column.
  RowCursor cursor(im.current->data);
  RowCell cell;
  for (size_t i = 0; i < fields_.size(); ++i)
    pending_[i] = cursor.Next(cell) ? ToVariant(cell) : TVariant{};
  im.edit_row = im.current;
  state_ = TDataSetState::dsEdit;
  Notify(DataChange::State);
}

void TClientDataSet::Post() {
  if (state_ != TDataSetState::dsInsert && state_ != TDataSetState::dsEdit) return;
  Impl& im = *impl_;
  TableRow* row = nullptr;
  if (state_ == TDataSetState::dsInsert) {
    row = im.rows.NewRow();
    row->data = im.Pack(pending_);
    im.filter.Admit(row);
    im.order.Place(row, im.insert_before);
    im.IndexAdd(row);
  } else {
    row = im.edit_row;
    const bool key_changed = im.order.KeyDiffers(row, pending_);
    im.IndexRemove(row);
    if (key_changed) {
      im.order.Unplace(row);
      row->data = im.Pack(pending_);
      row->seq = im.rows.NextSeq();
      im.order.Place(row, nullptr);
    } else {
      row->data = im.Pack(pending_);
    }
    im.IndexAdd(row);
    im.filter.Rejudge(row);
  }
  pending_.clear();
  im.edit_row = im.insert_before = nullptr;
  im.current = row;
  im.filter.Invalidate();
  state_ = TDataSetState::dsBrowse;
  eof_ = false;
  Notify(DataChange::Rows);
}

void TClientDataSet::SetIndexFieldNames(const std::string& names) {
  if (!active_) {
    index_field_names_ = names;
    return;
  }
  CheckBrowse();
  std::vector<int> fields = ResolveNames(*this, names);
  index_field_names_ = names;
  impl_->order.SetFields(std::move(fields));
  impl_->filter.Invalidate();
  Notify(DataChange::Rows);
}

void TClientDataSet::ApplyFilter(const std::string& text, bool on) {
  Impl& im = *impl_;
  if (!active_ && fields_.empty()) {
    filter_text_ = text;
    filtered_ = on;
    return;
  }
  if (active_) CheckBrowse();
  std::unique_ptr<FilterExpression> compiled;
  if (on) {
    std::vector<TFieldDef> defs;
    for (const auto& f : fields_) defs.push_back(TFieldDef{f->FieldName(), f->DataType(), f->Size()});
    compiled = std::make_unique<FilterExpression>(text, defs);
  }
  filter_text_ = text;
  filtered_ = on;
  if (!active_) return;
  im.filter.Set(std::move(compiled));
  im.current = im.filter.NextVisible(im.rows.head());
  eof_ = im.current == nullptr;
  Notify(DataChange::Filter);
}

void TClientDataSet::SetFilter(const std::string& text) {
  if (text == filter_text_) return;
  if (filtered_)
    ApplyFilter(text, true);
  else
    filter_text_ = text;
}

void TClientDataSet::SetFiltered(bool on) {
  if (on == filtered_ && (!on || !active_ || impl_->filter.On())) return;
  ApplyFilter(filter_text_, on);
}

bool TClientDataSet::Locate(const std::string& keys, const std::vector<TVariant>& values,
                            TLocateOptions options) {
  if (!active_) NotActive();
  Impl& cache = *impl_;
  if (keys != cache.locate_keys_text || cache.locate_keys_fields.empty()) {
    cache.locate_keys_fields = ResolveNames(*this, keys);
    cache.locate_keys_text = keys;
  }
  const std::vector<int>& fields = cache.locate_keys_fields;
  if (fields.empty()) throw EDatabaseError("Nenhuma coluna de busca informada.");
  if (fields.size() != values.size())
    throw EDatabaseError("A busca por \"" + Cp1252ToUtf8(keys) + "\" recebeu " + std::to_string(values.size()) +
                         " valores para " + std::to_string(fields.size()) + " colunas.");
  CheckBrowse();
  Impl& im = *impl_;

  // The wanted values in the columns' own types.
  Cells& wanted = im.wanted;
  wanted.resize(fields_.size());
  for (size_t k = 0; k < fields.size(); ++k) {
    const TField& f = *fields_[static_cast<size_t>(fields[k])];
    const TVariant& v = values[k];
    TVariant& w = wanted[static_cast<size_t>(fields[k])];
    if (v.index() == 0) {
      w = TVariant{};
    } else if (f.DataType() == TFieldType::ftString) {
      w = v.index() == 2 ? std::get<2>(v) : FloatToStr(std::get<1>(v));
    } else if (v.index() == 1) {
      w = std::get<1>(v);
    } else if (f.DataType() == TFieldType::ftFloat) {
      w = StrToFloat(std::get<2>(v));
    } else {
      TDateTime d = 0;
      if (!ParseDisplayDate(std::get<2>(v), d))
        throw EConvertError("\"" + Cp1252ToUtf8(std::get<2>(v)) + "\" não é uma data válida");
      w = d;
    }
  }

  LocateIndex* index = nullptr;
  for (LocateIndex& li : im.locate_indexes)
    if (li.Serves(fields, options.CaseInsensitive)) index = &li;
  if (index == nullptr) {
    index = &im.locate_indexes.emplace_back(fields, options.CaseInsensitive);
    index->Build(im.rows);
  }

  std::vector<TableRow*>& matches = im.matches;
  matches.clear();
  index->FindAll(wanted, matches);
  std::erase_if(matches, [&im](const TableRow* r) { return !im.filter.Visible(r); });
  TableRow* found = matches.empty() ? nullptr : matches.front();
  if (matches.size() > 1) {
    // Several matches: the first in table order.
    if (im.order.Active()) {
      for (TableRow* r : matches)
        if (im.order.Before(r, found)) found = r;
    } else {
      const std::unordered_set<TableRow*> set(matches.begin(), matches.end());
      found = im.rows.head();
      while (set.count(found) == 0) found = found->next;
    }
  }
  if (found == nullptr) return false;
  im.current = found;
  eof_ = false;
  Notify(DataChange::CurrentRow);
  return true;
}

int TClientDataSet::AddObserver(std::function<void(TClientDataSet&, DataChange)> observer) {
  const int id = impl_->next_observer_id++;
  impl_->observers.emplace_back(id, std::move(observer));
  return id;
}

void TClientDataSet::RemoveObserver(int id) {
  std::erase_if(impl_->observers, [id](const auto& e) { return e.first == id; });
}

void TClientDataSet::DisableControls() { ++impl_->disable_count; }

void TClientDataSet::EnableControls() {
  if (impl_->disable_count > 0 && --impl_->disable_count == 0) Notify(DataChange::Structure);
}

void TClientDataSet::Notify(DataChange change) {
  if (impl_->observers.empty() || impl_->disable_count > 0) return;
  auto observers = impl_->observers;
  for (auto& e : observers) e.second(*this, change);
}

std::string TClientDataSet::CellDisplayText(int visible_index, int field_index) {
  if (!active_) NotActive();
  TField& field = Fields(field_index);
  const auto& cache = impl_->filter.VisibleRows();
  if (visible_index < 0 || visible_index >= static_cast<int>(cache.size()))
    throw EDatabaseError("Linha " + std::to_string(visible_index + 1) + " inexistente.");
  // The row read before, back however the handler ends.
  struct Restore {
    TableRow*& slot;
    TableRow* saved;
    ~Restore() { slot = saved; }
  } restore{impl_->display_row, impl_->display_row};
  impl_->display_row = cache[static_cast<size_t>(visible_index)];
  return field.DisplayText();
}

// ---------------------------------------------------------------- whole-table access

void TClientDataSet::ForEachRow(const std::function<void(const RowData&)>& visit) {
  CheckBrowse();
  for (const TableRow* r = impl_->rows.head(); r != nullptr; r = r->next) {
    if (r->next != nullptr) r->next->data.Prefetch();
    visit(r->data);
  }
}

void TClientDataSet::ForEachVisibleRow(const std::function<void(const RowData&)>& visit) {
  CheckBrowse();
  // The visible rows' list is kept until the rows change: a later pass over
  // them (the confirmation's copy) walks it again instead of the table.
  const std::vector<TableRow*>& rows = impl_->filter.VisibleRows();
  // The rows, then their bytes, asked for ahead of their use.
  constexpr size_t kAhead = 8;
  for (size_t i = 0; i < std::min(rows.size(), 2 * kAhead); ++i) __builtin_prefetch(rows[i]);
  for (size_t i = 0; i < std::min(rows.size(), kAhead); ++i) rows[i]->data.Prefetch();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i + 2 * kAhead < rows.size()) __builtin_prefetch(rows[i + 2 * kAhead]);
    if (i + kAhead < rows.size()) rows[i + kAhead]->data.Prefetch();
    visit(rows[i]->data);
  }
}

void TClientDataSet::ReplaceData(const std::vector<TFieldDef>& defs, std::vector<RowData>&& rows) {
  const std::vector<TFieldDef> saved_defs = FieldDefs;
  FieldDefs = defs;
  try {
    CreateDataSet();
  } catch (...) {
    FieldDefs = saved_defs;
    throw;
  }
  Impl& im = *impl_;
  for (RowData& data : rows) {
    TableRow* r = im.rows.NewRow();
    r->data = std::move(data);
    im.filter.Admit(r);
    im.order.Place(r, nullptr);
  }
  rows.clear();
  im.current = im.filter.NextVisible(im.rows.head());
  eof_ = im.current == nullptr;
  Notify(DataChange::Structure);
}

}  // namespace kvr
