#include "platform/controls.h"

#include <algorithm>
#include <tuple>

#include "platform/client_dataset.h"
#include "platform/errors.h"

namespace kvr {

TControl::TControl(TComponent* owner) : TComponent(owner) {}

TControl::~TControl() {
  if (TForm* form = ParentForm(); form != nullptr && form != this) form->ForgetControl(this);
  for (TControl* child : children_) child->parent_ = nullptr;
  children_.clear();
  if (parent_ != nullptr) std::erase(parent_->children_, this);
}

void TControl::SetParent(TControl* parent) {
  if (parent == parent_) return;
  if (parent_ != nullptr) std::erase(parent_->children_, this);
  parent_ = parent;
  if (parent_ != nullptr) parent_->children_.push_back(this);
  Changed();
}

TForm* TControl::ParentForm() {
  for (TControl* c = this; c != nullptr; c = c->parent_)
    if (auto* form = dynamic_cast<TForm*>(c)) return form;
  return nullptr;
}

void TControl::SetBounds(int left, int top, int width, int height) {
  if (std::tie(left_, top_, width_, height_) == std::tie(left, top, width, height)) return;
  std::tie(left_, top_, width_, height_) = std::tie(left, top, width, height);
  Changed();
}

void TControl::SetFocusable(bool& member, bool v) {
  if (v == member) return;
  member = v;
  Changed();
  if (TForm* form = ParentForm(); !v && form != nullptr && form != this) form->DropUnfocusableControl();
}

void TControl::SetText(const std::string& text) {
  if (text == text_) return;
  text_ = text;
  Changed();
  TextChanged();
}

void TControl::SetFocus() {
  if (TForm* form = ParentForm()) form->SetActiveControl(this);
}

bool TControl::Focused() {
  TForm* form = ParentForm();
  return form != nullptr && form->ActiveControl() == this;
}

bool TControl::CanFocus() const {
  for (const TControl* c = this; c != nullptr; c = c->parent_) {
    if (!c->enabled_) return false;
    // A form that is not shown yet still lets its controls take input, so
    // that a headless host can drive a screen before showing it.
    if (!c->visible_ && dynamic_cast<const TForm*>(c) == nullptr) return false;
  }
  return true;
}

void TControl::UserSetText(const std::string& text) {
  if (CanFocus()) SetText(text);
}

void TControl::UserClick() {
  if (CanFocus() && OnClick) OnClick(this);
}

void TControl::UserExit() {
  if (OnExit) OnExit(this);
}

TKey TControl::UserKeyDown(TKey key, TShiftState shift) {
  if (CanFocus() && OnKeyDown) OnKeyDown(this, key, shift);
  return key;
}

int TControl::AddObserver(std::function<void(TControl&)> observer) {
  const int id = next_observer_id_++;
  observers_.emplace_back(id, std::move(observer));
  return id;
}

void TControl::RemoveObserver(int id) {
  std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void TControl::Changed() {
  // A copy, so that an observer may add or remove observers.
  auto observers = observers_;
  for (auto& entry : observers) entry.second(*this);
}

TForm::TForm(TComponent* owner) : TControl(owner) {
  SetVisible(false);
}

void TForm::SetActiveControl(TControl* control) {
  if (control == active_control_) return;
  TControl* previous = active_control_;
  active_control_ = control;
  if (previous != nullptr) previous->Changed();
  if (control != nullptr) control->Changed();
  Changed();
}

void TForm::ForgetControl(TControl* control) {
  if (active_control_ == control) active_control_ = nullptr;
}

void TForm::DropUnfocusableControl() {
  if (active_control_ != nullptr && !active_control_->CanFocus()) SetActiveControl(nullptr);
}

void TForm::UserFocus(TControl& control) {
  TControl* previous = active_control_;
  if (previous == &control || !control.CanFocus()) return;
  // A control hidden or disabled while focused (SetFocus by program on one
  // that cannot take it) is left without its exit checks.
  if (previous != nullptr && previous->CanFocus()) previous->UserExit();
  if (active_control_ != previous) return;  // the exit handler moved the focus
  SetActiveControl(&control);
  if (control.OnEnter) control.OnEnter(&control);
}

void TForm::Show() {
  SetVisible(true);
  ++show_count_;
  Changed();
}

void TForm::Close() {
  TCloseAction action = TCloseAction::caHide;
  if (OnClose) OnClose(this, action);
  if (action == TCloseAction::caNone) return;
  if (action == TCloseAction::caFree) release_requested_ = true;
  SetVisible(false);
}

void TForm::DoCreate() {
  if (OnCreate) OnCreate(this);
}

TEdit::TEdit(TComponent* owner) : TControl(owner) {
  SetColor(clWindow);
}

void TEdit::UserSetText(const std::string& text) {
  if (read_only_ || !CanFocus()) return;
  SetText(text);
}

void TEdit::TextChanged() {
  if (OnChange) OnChange(this);
}

const std::string& TComboItems::operator[](int i) const {
  if (i < 0 || i >= Count())
    throw EListError("\xCD" "ndice de lista fora dos limites (" + std::to_string(i) + ")", i);
  return items_[static_cast<size_t>(i)];
}

int TComboItems::Add(const std::string& text) {
  items_.push_back(text);
  combo_.ItemsChanged();
  return Count() - 1;
}

void TComboItems::Clear() {
  if (items_.empty() && combo_.item_index_ == -1) return;
  items_.clear();
  combo_.item_index_ = -1;
  combo_.ItemsChanged();
}

TComboBox::TComboBox(TComponent* owner) : TControl(owner), Items(*this) {
  SetColor(clWindow);
}

void TComboBox::ItemsChanged() {
  if (style_ == TComboBoxStyle::csDropDownList) {
    const std::string text = item_index_ >= 0 ? Items[item_index_] : std::string();
    if (text != Text()) {
      TControl::SetText(text);
      return;  // SetText notified
    }
  }
  Changed();
}

void TComboBox::SetStyle(TComboBoxStyle s) {
  if (s == style_) return;
  style_ = s;
  ItemsChanged();
}

void TComboBox::SetItemIndex(int index) {
  if (index < -1 || index >= Items.Count()) index = -1;
  if (index == item_index_) return;
  item_index_ = index;
  // In either style the chosen entry's text shows.
  if (index >= 0 && Items[index] != Text())
    TControl::SetText(Items[index]);
  else
    ItemsChanged();
}

void TComboBox::UserSelect(int index) {
  if (!CanFocus() || index < -1 || index >= Items.Count()) return;
  SetItemIndex(index);
  if (OnChange) OnChange(this);
}

void TComboBox::UserSetText(const std::string& text) {
  if (!CanFocus()) return;
  const auto& items = Items.Strings();
  const auto it = std::find(items.begin(), items.end(), text);
  const int index = it == items.end() ? -1 : static_cast<int>(it - items.begin());
  if (style_ == TComboBoxStyle::csDropDownList) {
    if (index >= 0) UserSelect(index);
    return;
  }
  item_index_ = index;
  TControl::SetText(text);
  if (OnChange) OnChange(this);
}

TDBGrid::TDBGrid(TComponent* owner) : TControl(owner) {
  SetColor(clWindow);
}

void TDBGrid::SetColumns(std::vector<TColumn> columns) {
  columns_ = std::move(columns);
  Changed();
}

int TDBGrid::RowCount() const {
  return data_source_ == nullptr ? 0 : data_source_->RecordCount();
}

std::string TDBGrid::CellText(int row, int column) const {
  if (data_source_ == nullptr || column < 0 || column >= static_cast<int>(columns_.size())) return "";
  TField* field = data_source_->FindField(columns_[static_cast<size_t>(column)].FieldName);
  if (field == nullptr) return "";
  return data_source_->CellDisplayText(row, field->Index());
}

bool TOpenDialog::Execute() {
  if (MultiSelect && ExecuteFilesHook) {
    std::vector<std::string> files = Files;
    if (!ExecuteFilesHook(Filter, files) || files.empty()) return false;
    Files = std::move(files);
    FileName = Files.front();
    return true;
  }
  std::string name = FileName;
  if (!ExecuteHook || !ExecuteHook(Filter, name)) return false;
  FileName = name;
  Files = {name};
  return true;
}

}  // namespace kvr
