#include "platform/client_dataset.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/filter_expression.h"
#include "platform/format.h"

namespace kvr {

namespace {

using Cells = std::vector<TVariant>;

// 32 bytes beside its packed values: a statement's rows are many.
struct Row {
  TRowData data;
  Row* prev = nullptr;
  Row* next = nullptr;
  std::uint32_t seq = 0;  // insertion order, the tie-break of an ordered table
  bool passes = true;     // the compiled filter's verdict
  bool alive = true;      // false while the row waits in the pool's free list
};

bool EqualAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

TCellView View(const TVariant& v) {
  TCellView cell;
  if (v.index() == 1) {
    cell.kind = TCellView::Number;
    cell.number = std::get<1>(v);
  } else if (v.index() == 2) {
    cell.kind = TCellView::Text;
    cell.text = std::get<2>(v);
  }
  return cell;
}

TVariant ToVariant(const TCellView& cell) {
  if (cell.kind == TCellView::Number) return cell.number;
  if (cell.kind == TCellView::Text) return std::string(cell.text);
  return TVariant{};
}

int CompareViews(const TCellView& a, const TCellView& b) {
  if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
  if (a.kind == TCellView::Number) return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
  if (a.kind == TCellView::Text) {
    const int c = a.text.compare(b.text);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return 0;
}

int CompareCells(const TVariant& a, const TVariant& b) {
  if (a.index() != b.index()) return a.index() < b.index() ? -1 : 1;
  if (a.index() == 1) {
    const double x = std::get<1>(a), y = std::get<1>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  if (a.index() == 2) {
    const int c = std::get<2>(a).compare(std::get<2>(b));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return 0;
}

// The number rounded to 15 significant digits, the precision at which the
// table's searches compare numbers (the text form of a float has that many).
double Round15(double v) {
  static const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10,
                                  1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21,
                                  1e22};
  if (v == 0.0 || !std::isfinite(v)) return v == 0.0 ? 0.0 : v;
  const int e = static_cast<int>(std::floor(std::log10(std::fabs(v))));
  const int shift = 14 - e;
  if (shift >= 0 && shift <= 22) return std::round(v * kPow10[shift]) / kPow10[shift];
  if (shift < 0 && -shift <= 22) return std::round(v / kPow10[-shift]) * kPow10[-shift];
  return v;
}

void NotActive() { throw EDatabaseError("A tabela n\xE3o est\xE1 aberta."); }

}  // namespace

// A multimap from 64-bit hashes to rows with open addressing: one probe
// sequence in one array, where a node-based map would chase a pointer per
// lookup. Deleted slots are tombstones until the next rehash.
class RowHashMap {
 public:
  void clear() {
    slots_.clear();
    used_ = live_ = 0;
  }
  void reserve(size_t n) {
    size_t cap = 16;
    while (cap < n * 2) cap *= 2;
    if (cap > slots_.size()) Rehash(cap);
  }
  void emplace(std::uint64_t hash, Row* row) {
    if ((used_ + 1) * 2 > slots_.size()) {
      size_t cap = 16;
      while (cap < (live_ + 1) * 4) cap *= 2;
      Rehash(cap);
    }
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    while (slots_[i].row != nullptr && slots_[i].row != Tomb()) i = (i + 1) & mask;
    if (slots_[i].row == nullptr) ++used_;
    slots_[i] = Slot{hash, row};
    ++live_;
  }
  void erase(std::uint64_t hash, Row* row) {
    if (slots_.empty()) return;
    const size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask; slots_[i].row != nullptr; i = (i + 1) & mask) {
      if (slots_[i].row == row) {
        slots_[i].row = Tomb();
        --live_;
        return;
      }
    }
  }
  // Calls f(row) for each row stored under hash.
  template <typename F>
  void for_each(std::uint64_t hash, F&& f) const {
    if (slots_.empty()) return;
    const size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask; slots_[i].row != nullptr; i = (i + 1) & mask)
      if (slots_[i].hash == hash && slots_[i].row != Tomb()) f(slots_[i].row);
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    Row* row = nullptr;
  };
  static Row* Tomb() {
    static Row tomb;
    return &tomb;
  }
  // cap must be a power of two.
  void Rehash(size_t cap) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(cap, Slot{});
    used_ = live_ = 0;
    for (const Slot& s : old)
      if (s.row != nullptr && s.row != Tomb()) emplace(s.hash, s.row);
  }
  std::vector<Slot> slots_;
  size_t used_ = 0;  // live slots and tombstones
  size_t live_ = 0;
};

// ---------------------------------------------------------------- Impl

struct TClientDataSet::Impl {
  // The ordering keeps, per distinct key, the first and last row holding it:
  // rows of one key are contiguous in the list, so a new row goes right
  // after the last of its key, and the map holds only distinct keys (a few
  // hundred dates for a year of movements), which keeps it cache-resident.
  using Key = std::vector<TVariant>;
  struct KeyLess {
    bool operator()(const Key& a, const Key& b) const {
      for (size_t i = 0; i < a.size(); ++i) {
        const int c = CompareCells(a[i], b[i]);
        if (c != 0) return c < 0;
      }
      return false;
    }
  };
  struct Group {
    Row* first = nullptr;
    Row* last = nullptr;
    int count = 0;
  };

  // The ordering key of a row, in the scratch vector (no allocation once
  // its capacity is reached).
  const Key& KeyOf(const Row* r) {
    scratch_key.resize(index_fields.size());
    for (size_t i = 0; i < index_fields.size(); ++i)
      scratch_key[i] = ToVariant(r->data.Get(static_cast<size_t>(index_fields[i])));
    return scratch_key;
  }

  // True when a comes before b in table order (ordered tables only).
  bool OrderedBefore(const Row* a, const Row* b) {
    const Key ka = KeyOf(a);
    const Key& kb = KeyOf(b);
    if (KeyLess{}(ka, kb)) return true;
    if (KeyLess{}(kb, ka)) return false;
    return a->seq < b->seq;
  }

  void Unplace(Row* r) {
    if (!index_fields.empty()) {
      auto it = groups.find(KeyOf(r));
      if (it != groups.end()) {
        Group& g = it->second;
        if (--g.count == 0) {
          groups.erase(it);
        } else {
          if (g.first == r) g.first = r->next;
          if (g.last == r) g.last = r->prev;
        }
      }
    }
    Unlink(r);
  }

  struct LocateIndex {
    std::vector<int> fields;
    bool case_insensitive = false;
    RowHashMap map;
  };

  Impl() = default;
  ~Impl() { FreeRows(); }

  // Rows live in a pool so that whole-table passes (filter evaluation) read
  // memory in allocation order instead of chasing the list.
  std::deque<Row> pool;
  std::vector<Row*> free_rows;
  Row* head = nullptr;
  Row* tail = nullptr;
  int count = 0;
  int passing = 0;  // rows the compiled filter lets through
  std::uint32_t next_seq = 1;
  Row* current = nullptr;
  Row* display_row = nullptr;

  Cells buffer;
  Row* edit_row = nullptr;       // edit: the row being edited
  Row* insert_before = nullptr;  // insert: place (null = end)

  std::vector<int> index_fields;
  std::map<Key, Group, KeyLess> groups;
  Key scratch_key;

  std::unique_ptr<TFilterExpression> filter;  // compiled while filtering is on

  std::vector<LocateIndex> locate_indexes;
  // The last key list Locate resolved, as text and as columns.
  std::string locate_keys_text;
  std::vector<int> locate_keys_fields;

  std::vector<Row*> visible_cache;
  bool cache_valid = false;

  int next_observer_id = 1;
  std::vector<std::pair<int, std::function<void(TClientDataSet&, TDataChange)>>> observers;
  int disable_count = 0;

  // Columns by their exact name; other spellings fall back to a scan.
  std::unordered_map<std::string_view, TField*> by_name;

  bool Visible(const Row* r) const { return !filter || r->passes; }

  Row* NextVisible(Row* r) const {
    while (r != nullptr && !Visible(r)) r = r->next;
    return r;
  }
  Row* PrevVisible(Row* r) const {
    while (r != nullptr && !Visible(r)) r = r->prev;
    return r;
  }

  void Link(Row* r, Row* before) {
    if (before == nullptr) {
      r->prev = tail;
      r->next = nullptr;
      if (tail != nullptr) tail->next = r; else head = r;
      tail = r;
    } else {
      r->next = before;
      r->prev = before->prev;
      if (before->prev != nullptr) before->prev->next = r; else head = r;
      before->prev = r;
    }
  }

  void Unlink(Row* r) {
    if (r->prev != nullptr) r->prev->next = r->next; else head = r->next;
    if (r->next != nullptr) r->next->prev = r->prev; else tail = r->prev;
    r->prev = r->next = nullptr;
  }

  Row* NewRow() {
    if (!free_rows.empty()) {
      Row* r = free_rows.back();
      free_rows.pop_back();
      r->alive = true;
      r->passes = true;
      return r;
    }
    return &pool.emplace_back();
  }

  void DropRow(Row* r) {
    r->alive = false;
    r->data = TRowData{};
    r->prev = r->next = nullptr;
    free_rows.push_back(r);
  }

  void FreeRows() {
    pool.clear();
    free_rows.clear();
    head = tail = current = display_row = edit_row = insert_before = nullptr;
    count = passing = 0;
    next_seq = 1;
    groups.clear();
    for (auto& li : locate_indexes) li.map.clear();
    cache_valid = false;
  }

  // Places a row that is not linked: in index order, or before `before`.
  void Place(Row* r, Row* before) {
    if (!index_fields.empty()) {
      auto it = groups.find(KeyOf(r));
      if (it != groups.end()) {
        Group& g = it->second;
        Link(r, g.last->next);
        g.last = r;
        ++g.count;
        return;
      }
      it = groups.emplace(scratch_key, Group{r, r, 1}).first;
      ++it;
      Link(r, it == groups.end() ? nullptr : it->second.first);
    } else {
      Link(r, before);
    }
  }

  // Hash of a row's key columns as the search compares them: numbers at 15
  // significant digits, texts case-folded when the index ignores case.
  template <typename CellAt>
  static std::uint64_t LocateHash(const LocateIndex& li, CellAt cell_at) {
    std::uint64_t h = 1469598103934665603ull;
    auto mix = [&h](std::uint64_t v) {
      h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    };
    for (int f : li.fields) {
      const TCellView v = cell_at(static_cast<size_t>(f));
      mix(v.kind);
      if (v.kind == TCellView::Number) {
        const double d = Round15(v.number) + 0.0;  // -0 becomes 0
        std::uint64_t bits = 0;
        std::memcpy(&bits, &d, sizeof d);
        mix(bits);
      } else if (v.kind == TCellView::Text) {
        std::uint64_t t = 1469598103934665603ull;
        for (char c : v.text) {
          if (li.case_insensitive && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
          t = (t ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        }
        mix(t);
      }
    }
    return h;
  }

  // Whether the row's key columns equal the wanted values.
  static std::uint64_t RowHash(const LocateIndex& li, const Row* r) {
    return LocateHash(li, [r](size_t f) { return r->data.Get(f); });
  }

  static bool LocateMatch(const LocateIndex& li, const TRowData& row, const Cells& wanted) {
    for (int f : li.fields) {
      const TCellView a = row.Get(static_cast<size_t>(f));
      const TVariant& b = wanted[static_cast<size_t>(f)];
      if (a.kind != b.index()) return false;
      if (a.kind == TCellView::Number) {
        if (Round15(a.number) != Round15(std::get<1>(b))) return false;
      } else if (a.kind == TCellView::Text) {
        const std::string& y = std::get<2>(b);
        if (li.case_insensitive ? !EqualAscii(a.text, y) : a.text != y) return false;
      }
    }
    return true;
  }

  TRowData Pack(const Cells& cells) {
    for (const TVariant& v : cells) builder.Add(View(v));
    return builder.Finish();
  }

  TRowBuilder builder;
  // Scratch of Locate, kept to spare an allocation per search.
  Cells wanted;
  std::vector<Row*> matches;

  void IndexAdd(Row* r) {
    for (auto& li : locate_indexes) li.map.emplace(RowHash(li, r), r);
  }

  void IndexRemove(Row* r) {
    for (auto& li : locate_indexes) {
      li.map.erase(RowHash(li, r), r);
    }
  }

  void Evaluate(Row* r) {
    const bool passes = !filter || filter->Matches(r->data);
    if (filter) {
      if (r->passes && !passes) --passing;
      if (!r->passes && passes) ++passing;
    }
    r->passes = passes;
  }

  void EvaluateAll() {
    passing = 0;
    for (Row& r : pool) {
      if (!r.alive) continue;
      r.passes = !filter || filter->Matches(r.data);
      passing += r.passes ? 1 : 0;
    }
    cache_valid = false;
  }

  int VisibleCount() const { return filter ? passing : count; }

  const std::vector<Row*>& Cache() {
    if (!cache_valid) {
      visible_cache.clear();
      visible_cache.reserve(static_cast<size_t>(VisibleCount()));
      for (Row* r = head; r != nullptr; r = r->next)
        if (Visible(r)) visible_cache.push_back(r);
      cache_valid = true;
    }
    return visible_cache;
  }

  void Resort() {
    groups.clear();
    if (index_fields.empty()) return;
    std::vector<Row*> rows;
    rows.reserve(static_cast<size_t>(count));
    for (Row* r = head; r != nullptr; r = r->next) rows.push_back(r);
    // Present order becomes the tie order.
    std::uint32_t seq = 1;
    for (Row* r : rows) r->seq = seq++;
    next_seq = seq;
    head = tail = nullptr;
    for (Row* r : rows) Place(r, nullptr);
    cache_valid = false;
  }
};

// ---------------------------------------------------------------- TField

TField::TField(TClientDataSet& dataset, int index, TFieldDef def)
    : dataset_(dataset), index_(index), def_(std::move(def)) {}

TCellView TField::Cell() const {
  const TClientDataSet::Impl& impl = *dataset_.impl_;
  const Row* row = impl.display_row;
  if (row == nullptr) {
    if (dataset_.state_ == TDataSetState::dsInsert || dataset_.state_ == TDataSetState::dsEdit)
      return View(impl.buffer[static_cast<size_t>(index_)]);
    row = impl.current;
  }
  if (row == nullptr) return TCellView{};
  return row->data.Get(static_cast<size_t>(index_));
}

bool TField::IsNull() const {
  if (!dataset_.active_) return true;
  return Cell().kind == TCellView::Null;
}

TVariant TField::Value() const {
  if (!dataset_.active_) return TVariant{};
  return ToVariant(Cell());
}

std::string TField::AsString() const {
  if (!dataset_.active_) return "";
  const TCellView v = Cell();
  if (v.kind == TCellView::Null) return "";
  if (v.kind == TCellView::Text) return std::string(v.text);
  const double d = v.number;
  if (def_.DataType == TFieldType::ftDateTime) {
    if (d != std::floor(d)) return FormatDateTime("dd/mm/yyyy hh:nn:ss", d);
    return FormatDateTime("dd/mm/yyyy", d);
  }
  return FloatToStr(d);
}

double TField::AsFloat() const {
  if (!dataset_.active_) return 0;
  const TCellView v = Cell();
  if (v.kind == TCellView::Null) return 0;
  if (v.kind == TCellView::Number) return v.number;
  return StrToFloat(std::string(v.text));
}

TDateTime TField::AsDateTime() const {
  if (!dataset_.active_) return 0;
  const TCellView v = Cell();
  if (v.kind == TCellView::Null) return 0;
  if (v.kind == TCellView::Number) return v.number;
  TDateTime d = 0;
  if (!ParseDisplayDate(v.text, d))
    throw EConvertError("\"" + std::string(v.text) + "\" n\xE3o \xE9 uma data v\xE1lida");
  return d;
}

void TField::SetValue(const TVariant& value) {
  TClientDataSet& ds = dataset_;
  if (ds.state_ != TDataSetState::dsInsert && ds.state_ != TDataSetState::dsEdit)
    throw EDatabaseError("A tabela n\xE3o est\xE1 em inclus\xE3o ou edi\xE7\xE3o (coluna " + def_.Name + ").");
  TVariant stored;
  if (value.index() == 1) {
    if (def_.DataType == TFieldType::ftString) {
      stored = FloatToStr(std::get<1>(value));
    } else {
      stored = std::get<1>(value);
    }
  } else if (value.index() == 2) {
    const std::string& text = std::get<2>(value);
    if (def_.DataType == TFieldType::ftString) {
      stored = text;
    } else if (text.empty()) {
      stored = TVariant{};
    } else if (def_.DataType == TFieldType::ftFloat) {
      stored = StrToFloat(text);
    } else {
      TDateTime d = 0;
      if (!ParseDisplayDate(text, d)) throw EConvertError("\"" + text + "\" n\xE3o \xE9 uma data v\xE1lida");
      stored = d;
    }
  }
  if (stored.index() == 2 && def_.Size > 0 && std::get<2>(stored).size() > static_cast<size_t>(def_.Size))
    std::get<2>(stored).resize(static_cast<size_t>(def_.Size));
  ds.impl_->buffer[static_cast<size_t>(index_)] = std::move(stored);
}

void TField::SetAsString(std::string_view text) {
  if (def_.DataType != TFieldType::ftString) {
    SetValue(TVariant{std::string(text)});
    return;
  }
  if (dataset_.state_ != TDataSetState::dsInsert && dataset_.state_ != TDataSetState::dsEdit) {
    SetValue(TVariant{});  // reports the state error
    return;
  }
  if (def_.Size > 0 && text.size() > static_cast<size_t>(def_.Size)) text = text.substr(0, static_cast<size_t>(def_.Size));
  TVariant& cell = dataset_.impl_->buffer[static_cast<size_t>(index_)];
  if (auto* s = std::get_if<std::string>(&cell)) {
    s->assign(text);
  } else {
    cell.emplace<std::string>(text);
  }
}

void TField::SetAsFloat(double value) {
  if (def_.DataType == TFieldType::ftString ||
      (dataset_.state_ != TDataSetState::dsInsert && dataset_.state_ != TDataSetState::dsEdit)) {
    SetValue(TVariant{value});
    return;
  }
  dataset_.impl_->buffer[static_cast<size_t>(index_)] = value;
}

void TField::SetAsDateTime(TDateTime value) {
  if (def_.DataType != TFieldType::ftString &&
      (dataset_.state_ == TDataSetState::dsInsert || dataset_.state_ == TDataSetState::dsEdit)) {
    dataset_.impl_->buffer[static_cast<size_t>(index_)] = value;
    return;
  }
  if (def_.DataType == TFieldType::ftString) {
    SetValue(TVariant{std::string(value != std::floor(value) ? FormatDateTime("dd/mm/yyyy hh:nn:ss", value)
                                                              : FormatDateTime("dd/mm/yyyy", value))});
    return;
  }
  SetValue(TVariant{value});
}
void TField::Clear() { SetValue(TVariant{}); }

std::string TField::DisplayText() {
  std::string text;
  if (OnGetText) {
    OnGetText(*this, text, true);
    return text;
  }
  return AsString();
}

// ---------------------------------------------------------------- TClientDataSet

TClientDataSet::TClientDataSet(TComponent* owner) : TComponent(owner), impl_(std::make_unique<Impl>()) {}

TClientDataSet::~TClientDataSet() = default;

void TClientDataSet::AddFieldDef(const std::string& name, TFieldType type, int size) {
  FieldDefs.push_back(TFieldDef{name, type, size});
}

namespace {

bool SameDefs(const std::vector<std::unique_ptr<TField>>& fields, const std::vector<TFieldDef>& defs) {
  if (fields.size() != defs.size()) return false;
  for (size_t i = 0; i < defs.size(); ++i) {
    if (fields[i]->FieldName() != defs[i].Name || fields[i]->DataType() != defs[i].DataType ||
        fields[i]->Size() != defs[i].Size)
      return false;
  }
  return true;
}

void CheckDefs(const std::vector<TFieldDef>& defs) {
  for (size_t i = 0; i < defs.size(); ++i) {
    if (defs[i].Name.empty()) throw EDatabaseError("Coluna " + std::to_string(i + 1) + " sem nome.");
    for (size_t j = 0; j < i; ++j)
      if (EqualAscii(defs[i].Name, defs[j].Name))
        throw EDatabaseError("Coluna \"" + defs[i].Name + "\" definida duas vezes.");
  }
}

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

}  // namespace

void TClientDataSet::CreateDataSet() {
  CheckDefs(FieldDefs);
  if (FieldDefs.empty()) throw EDatabaseError("A tabela n\xE3o tem colunas definidas.");
  Impl& im = *impl_;
  im.FreeRows();
  im.locate_indexes.clear();
  im.filter.reset();
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
  eof_ = bof_ = true;
  try {
    im.index_fields = ResolveNames(*this, index_field_names_);
    if (filtered_) im.filter = std::make_unique<TFilterExpression>(filter_text_, FieldDefs);
  } catch (...) {
    im.index_fields.clear();
    filtered_ = false;
    Notify(TDataChange::Structure);
    throw;
  }
  Notify(TDataChange::Structure);
}

void TClientDataSet::Close() {
  if (!active_) return;
  impl_->FreeRows();
  impl_->locate_indexes.clear();
  impl_->filter.reset();
  active_ = false;
  state_ = TDataSetState::dsInactive;
  eof_ = bof_ = true;
  Notify(TDataChange::Structure);
}

void TClientDataSet::EmptyDataSet() {
  if (!active_) NotActive();
  impl_->FreeRows();
  state_ = TDataSetState::dsBrowse;
  eof_ = bof_ = true;
  Notify(TDataChange::Rows);
}

TField& TClientDataSet::Fields(int index) const {
  if (index < 0 || index >= FieldCount())
    throw EDatabaseError("Coluna de n\xFAmero " + std::to_string(index) + " inexistente.");
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
    std::string table = Name.empty() ? std::string() : " em " + Name;
    throw EDatabaseError("Coluna \"" + std::string(name) + "\" n\xE3o encontrada" + table + ".");
  }
  return *f;
}

int TClientDataSet::RecordCount() const { return active_ ? impl_->VisibleCount() : 0; }

int TClientDataSet::StoredRowCount() const { return active_ ? impl_->count : 0; }

bool TClientDataSet::IsEmpty() const { return RecordCount() == 0; }

void TClientDataSet::CheckBrowse() {
  if (!active_) NotActive();
  if (state_ != TDataSetState::dsBrowse) Post();
}

void TClientDataSet::First() {
  CheckBrowse();
  Impl& im = *impl_;
  im.current = im.NextVisible(im.head);
  eof_ = im.current == nullptr;
  bof_ = true;
  Notify(TDataChange::CurrentRow);
}

void TClientDataSet::Last() {
  CheckBrowse();
  Impl& im = *impl_;
  im.current = im.PrevVisible(im.tail);
  bof_ = im.current == nullptr;
  eof_ = true;
  Notify(TDataChange::CurrentRow);
}

void TClientDataSet::Next() {
  CheckBrowse();
  Impl& im = *impl_;
  Row* next = im.current == nullptr ? nullptr : im.NextVisible(im.current->next);
  if (next == nullptr) {
    eof_ = true;
    // The cursor stays on the last visible row.
    if (im.current != nullptr && !im.Visible(im.current)) im.current = im.PrevVisible(im.current);
  } else {
    im.current = next;
    eof_ = false;
    if (next->next != nullptr) next->next->data.Prefetch();
  }
  bof_ = false;
  Notify(TDataChange::CurrentRow);
}

void TClientDataSet::Prior() {
  CheckBrowse();
  Impl& im = *impl_;
  Row* prev = im.current == nullptr ? nullptr : im.PrevVisible(im.current->prev);
  if (prev == nullptr) {
    bof_ = true;
    if (im.current != nullptr && !im.Visible(im.current)) im.current = im.NextVisible(im.current);
  } else {
    im.current = prev;
    bof_ = false;
  }
  eof_ = false;
  if (im.current == nullptr) eof_ = true;
  Notify(TDataChange::CurrentRow);
}

int TClientDataSet::RecNo() const {
  if (!active_ || impl_->current == nullptr || !impl_->Visible(impl_->current)) return 0;
  const auto& cache = impl_->Cache();
  auto it = std::find(cache.begin(), cache.end(), impl_->current);
  return it == cache.end() ? 0 : static_cast<int>(it - cache.begin()) + 1;
}

void TClientDataSet::SetRecNo(int rec_no) {
  CheckBrowse();
  const auto& cache = impl_->Cache();
  if (rec_no < 1 || rec_no > static_cast<int>(cache.size())) return;
  impl_->current = cache[static_cast<size_t>(rec_no - 1)];
  eof_ = bof_ = false;
  Notify(TDataChange::CurrentRow);
}

void TClientDataSet::StartInsert(bool append) {
  CheckBrowse();
  Impl& im = *impl_;
  im.buffer.assign(fields_.size(), TVariant{});
  im.insert_before = append ? nullptr : im.current;
  im.edit_row = nullptr;
  state_ = TDataSetState::dsInsert;
  Notify(TDataChange::State);
}

void TClientDataSet::Insert() { StartInsert(false); }
void TClientDataSet::Append() { StartInsert(true); }

void TClientDataSet::Edit() {
  if (!active_) NotActive();
  if (state_ != TDataSetState::dsBrowse) return;
  Impl& im = *impl_;
  if (im.current == nullptr) throw EDatabaseError("N\xE3o h\xE1 linha corrente para editar.");
  im.buffer.resize(fields_.size());
  // One walk over the packed row, not one from its start per column.
  TRowCursor cursor(im.current->data);
  TCellView cell;
  for (size_t i = 0; i < fields_.size(); ++i)
    im.buffer[i] = cursor.Next(cell) ? ToVariant(cell) : TVariant{};
  im.edit_row = im.current;
  state_ = TDataSetState::dsEdit;
  Notify(TDataChange::State);
}

void TClientDataSet::Post() {
  if (state_ != TDataSetState::dsInsert && state_ != TDataSetState::dsEdit) return;
  Impl& im = *impl_;
  Row* row = nullptr;
  if (state_ == TDataSetState::dsInsert) {
    row = im.NewRow();
    row->data = im.Pack(im.buffer);
    row->seq = im.next_seq++;
    row->passes = !im.filter || im.filter->Matches(row->data);
    Row* before = im.insert_before;
    im.Place(row, before);
    ++im.count;
    if (im.filter && row->passes) ++im.passing;
    im.IndexAdd(row);
  } else {
    row = im.edit_row;
    bool key_changed = false;
    for (int f : im.index_fields)
      if (CompareViews(row->data.Get(static_cast<size_t>(f)), View(im.buffer[static_cast<size_t>(f)])) != 0)
        key_changed = true;
    im.IndexRemove(row);
    if (key_changed) {
      im.Unplace(row);
      row->data = im.Pack(im.buffer);
      row->seq = im.next_seq++;
      im.Place(row, nullptr);
    } else {
      row->data = im.Pack(im.buffer);
    }
    im.IndexAdd(row);
    im.Evaluate(row);
  }
  im.buffer.clear();
  im.edit_row = im.insert_before = nullptr;
  im.current = row;
  im.cache_valid = false;
  state_ = TDataSetState::dsBrowse;
  eof_ = bof_ = false;
  Notify(TDataChange::Rows);
}

void TClientDataSet::Cancel() {
  if (state_ != TDataSetState::dsInsert && state_ != TDataSetState::dsEdit) return;
  impl_->buffer.clear();
  impl_->edit_row = impl_->insert_before = nullptr;
  state_ = TDataSetState::dsBrowse;
  Notify(TDataChange::State);
}

void TClientDataSet::Delete() {
  if (!active_) NotActive();
  Impl& im = *impl_;
  if (state_ == TDataSetState::dsInsert) {
    Cancel();
    return;
  }
  if (state_ == TDataSetState::dsEdit) Cancel();
  Row* row = im.current;
  if (row == nullptr || !im.Visible(row)) throw EDatabaseError("N\xE3o h\xE1 linha corrente para excluir.");
  Row* next = im.NextVisible(row->next);
  if (next == nullptr) next = im.PrevVisible(row->prev);
  im.IndexRemove(row);
  im.Unplace(row);
  --im.count;
  if (im.filter && row->passes) --im.passing;
  im.DropRow(row);
  im.current = next;
  im.cache_valid = false;
  eof_ = bof_ = next == nullptr;
  Notify(TDataChange::Rows);
}

void TClientDataSet::SetIndexFieldNames(const std::string& names) {
  if (!active_) {
    index_field_names_ = names;
    return;
  }
  CheckBrowse();
  std::vector<int> fields = ResolveNames(*this, names);
  index_field_names_ = names;
  impl_->index_fields = std::move(fields);
  impl_->Resort();
  Notify(TDataChange::Rows);
}

void TClientDataSet::ApplyFilter(const std::string& text, bool on) {
  Impl& im = *impl_;
  if (!active_ && fields_.empty()) {
    filter_text_ = text;
    filtered_ = on;
    return;
  }
  if (active_) CheckBrowse();
  std::unique_ptr<TFilterExpression> compiled;
  if (on) {
    std::vector<TFieldDef> defs;
    for (const auto& f : fields_) defs.push_back(TFieldDef{f->FieldName(), f->DataType(), f->Size()});
    compiled = std::make_unique<TFilterExpression>(text, defs);
  }
  filter_text_ = text;
  filtered_ = on;
  if (!active_) return;
  im.filter = std::move(compiled);
  im.EvaluateAll();
  im.current = im.NextVisible(im.head);
  eof_ = bof_ = im.current == nullptr;
  bof_ = true;
  Notify(TDataChange::Filter);
}

void TClientDataSet::SetFilter(const std::string& text) {
  if (text == filter_text_) return;
  if (filtered_) {
    ApplyFilter(text, true);
  } else {
    filter_text_ = text;
  }
}

void TClientDataSet::SetFiltered(bool on) {
  if (on == filtered_ && (!on || !active_ || impl_->filter)) return;
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
    throw EDatabaseError("A busca por \"" + keys + "\" recebeu " + std::to_string(values.size()) +
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
        throw EConvertError("\"" + std::get<2>(v) + "\" n\xE3o \xE9 uma data v\xE1lida");
      w = d;
    }
  }

  Impl::LocateIndex* index = nullptr;
  for (auto& li : im.locate_indexes)
    if (li.fields == fields && li.case_insensitive == options.CaseInsensitive) index = &li;
  if (index == nullptr) {
    im.locate_indexes.push_back(Impl::LocateIndex{fields, options.CaseInsensitive, {}});
    index = &im.locate_indexes.back();
    index->map.reserve(static_cast<size_t>(im.count));
    for (Row* r = im.head; r != nullptr; r = r->next) index->map.emplace(Impl::RowHash(*index, r), r);
  }

  std::vector<Row*>& matches = im.matches;
  matches.clear();
  const std::uint64_t hash =
      Impl::LocateHash(*index, [&wanted](size_t f) { return View(wanted[f]); });
  index->map.for_each(hash, [&](Row* r) {
    if (im.Visible(r) && Impl::LocateMatch(*index, r->data, wanted)) matches.push_back(r);
  });
  Row* found = matches.empty() ? nullptr : matches.front();
  if (matches.size() > 1) {
    // Several matches: the first in table order.
    if (!im.index_fields.empty()) {
      for (Row* r : matches)
        if (im.OrderedBefore(r, found)) found = r;
    } else {
      std::set<Row*> set(matches.begin(), matches.end());
      for (Row* r = im.head; r != nullptr; r = r->next) {
        if (set.count(r) != 0) {
          found = r;
          break;
        }
      }
    }
  }
  if (found == nullptr) return false;
  im.current = found;
  eof_ = bof_ = false;
  Notify(TDataChange::CurrentRow);
  return true;
}

int TClientDataSet::AddObserver(std::function<void(TClientDataSet&, TDataChange)> observer) {
  const int id = impl_->next_observer_id++;
  impl_->observers.emplace_back(id, std::move(observer));
  return id;
}

void TClientDataSet::RemoveObserver(int id) {
  auto& obs = impl_->observers;
  obs.erase(std::remove_if(obs.begin(), obs.end(), [id](const auto& e) { return e.first == id; }), obs.end());
}

void TClientDataSet::DisableControls() { ++impl_->disable_count; }

void TClientDataSet::EnableControls() {
  if (impl_->disable_count == 0) return;
  if (--impl_->disable_count == 0) Notify(TDataChange::Structure);
}

void TClientDataSet::Notify(TDataChange change) {
  if (impl_->observers.empty() || impl_->disable_count > 0) return;
  auto observers = impl_->observers;
  for (auto& e : observers) e.second(*this, change);
}

std::string TClientDataSet::CellDisplayText(int visible_index, int field_index) {
  if (!active_) NotActive();
  TField& field = Fields(field_index);
  const auto& cache = impl_->Cache();
  if (visible_index < 0 || visible_index >= static_cast<int>(cache.size()))
    throw EDatabaseError("Linha " + std::to_string(visible_index + 1) + " inexistente.");
  Row* saved = impl_->display_row;
  impl_->display_row = cache[static_cast<size_t>(visible_index)];
  try {
    std::string text = field.DisplayText();
    impl_->display_row = saved;
    return text;
  } catch (...) {
    impl_->display_row = saved;
    throw;
  }
}

// ---------------------------------------------------------------- whole-table access

void TClientDataSet::ForEachRow(const std::function<void(const TRowData&)>& visit) {
  if (!active_) NotActive();
  if (state_ != TDataSetState::dsBrowse) Post();
  for (const Row* r = impl_->head; r != nullptr; r = r->next) {
    if (r->next != nullptr) r->next->data.Prefetch();
    visit(r->data);
  }
}

void TClientDataSet::ReplaceData(const std::vector<TFieldDef>& defs, std::vector<TRowData>&& rows) {
  const std::vector<TFieldDef> saved_defs = FieldDefs;
  FieldDefs = defs;
  try {
    CreateDataSet();
  } catch (...) {
    FieldDefs = saved_defs;
    throw;
  }
  Impl& im = *impl_;
  for (TRowData& data : rows) {
    Row* r = im.NewRow();
    r->data = std::move(data);
    r->seq = im.next_seq++;
    r->passes = !im.filter || im.filter->Matches(r->data);
    im.Place(r, nullptr);
    ++im.count;
    if (im.filter && r->passes) ++im.passing;
  }
  rows.clear();
  im.cache_valid = false;
  im.current = im.NextVisible(im.head);
  eof_ = im.current == nullptr;
  bof_ = true;
  Notify(TDataChange::Structure);
}

}  // namespace kvr
