#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/component.h"

namespace kvr {

class TClientDataSet;
class TForm;

// A colour: 0x00BBGGRR for plain colours, 0x80000000 + index for the
// system's colours, which a view resolves from its palette.
using TColor = std::uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clNavy = 0x800000;
constexpr TColor clWindow = 0x80000005;
constexpr TColor clWindowText = 0x80000008;
constexpr TColor clBtnFace = 0x8000000F;
constexpr TColor clInfoBk = 0x80000018;

// Key codes (the Windows virtual-key codes) and the modifiers held.
using TKey = std::uint16_t;
constexpr TKey VK_TAB = 9;
constexpr TKey VK_RETURN = 13;
constexpr TKey VK_ESCAPE = 27;
constexpr TKey VK_DELETE = 46;
using TShiftState = unsigned;
constexpr TShiftState ssShift = 1u << 0;
constexpr TShiftState ssAlt = 1u << 1;
constexpr TShiftState ssCtrl = 1u << 2;
constexpr TShiftState ssLeft = 1u << 3;

// Event signatures, named as the original platform names them. The sender is
// the control that raised the event.
using TNotifyEvent = std::function<void(TComponent* sender)>;
using TKeyEvent = std::function<void(TComponent* sender, TKey& key, TShiftState shift)>;

// A font: face name, height in pixels (negative: character height, as the
// designs give it; -11 is 8 points at 96 dpi), bold, colour.
struct TFont {
  std::string Name = "MS Sans Serif";
  int Height = -11;
  bool Bold = false;
  TColor Color = clWindowText;
  bool operator==(const TFont&) const = default;
};

// How a control fills its parent.
enum class TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };

// Edges of the parent a control keeps its distance to when the parent
// resizes (a set).
using TAnchors = unsigned;
constexpr TAnchors akLeft = 1u << 0;
constexpr TAnchors akTop = 1u << 1;
constexpr TAnchors akRight = 1u << 2;
constexpr TAnchors akBottom = 1u << 3;

// Base of every control: a plain state object a view mirrors. Owned by its
// owner (TComponent); Parent is the layout container, which may differ from
// the owner. Every setter that changes state notifies the observers; setting
// an equal value notifies nothing. Texts are Windows-1252.
class TControl : public TComponent {
 public:
  explicit TControl(TComponent* owner);
  ~TControl() override;

  // Class name as the platform names it ("TEdit"), for views and hosts.
  virtual std::string ClassName() const { return "TControl"; }

  // The layout container (null for a form or a free control). Setting it
  // moves the control to the end of the new parent's children. The parent
  // must outlive the relation; a parent being destroyed detaches its
  // children.
  TControl* Parent() const { return parent_; }
  void SetParent(TControl* parent);
  int ControlCount() const { return static_cast<int>(children_.size()); }
  // The i-th child in the order they were parented; i must be in range.
  TControl* Controls(int i) const { return children_.at(static_cast<size_t>(i)); }
  // The form this control is on (itself for a form), or null.
  TForm* ParentForm();

  // Position and size relative to the parent, in pixels.
  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetLeft(int v) { Update(left_, v); }
  void SetTop(int v) { Update(top_, v); }
  virtual void SetWidth(int v) { Update(width_, v); }
  virtual void SetHeight(int v) { Update(height_, v); }
  void SetBounds(int left, int top, int width, int height);
  TAlign Align() const { return align_; }
  void SetAlign(TAlign align) { Update(align_, align); }
  TAnchors Anchors() const { return anchors_; }
  void SetAnchors(TAnchors anchors) { Update(anchors_, anchors); }

  bool Visible() const { return visible_; }
  void SetVisible(bool v) { SetFocusable(visible_, v); }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool v) { SetFocusable(enabled_, v); }
  TColor Color() const { return color_; }
  void SetColor(TColor c) { Update(color_, c); }
  const TFont& Font() const { return font_; }
  void SetFont(const TFont& font) { Update(font_, font); }

  // Caption and Text are one value, as on the original platform. Setting a
  // different text runs TextChanged (TEdit's OnChange).
  const std::string& Caption() const { return text_; }
  void SetCaption(const std::string& text) { SetText(text); }
  const std::string& Text() const { return text_; }
  void SetText(const std::string& text);

  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& hint) { Update(hint_, hint); }
  bool ShowHint() const { return show_hint_; }
  void SetShowHint(bool v) { Update(show_hint_, v); }

  // Focus. SetFocus makes this control its form's ActiveControl (no OnExit
  // or OnEnter runs: that is what the user's moves do, see TForm::UserFocus).
  // Focused is true while it is the ActiveControl. Hiding or disabling the
  // focused control (or a parent of it) leaves the form without one, and
  // its OnExit does not run: its checks belong to a part of the screen the
  // user no longer sees.
  void SetFocus();
  bool Focused();
  // Visible and enabled, and so is every parent.
  bool CanFocus() const;

  // Events. OnClick: click (buttons, labels). OnEnter/OnExit: the user moved
  // the focus in/out. OnKeyDown: a key pressed while focused; may change the
  // key (0 cancels it).
  TNotifyEvent OnClick;
  TNotifyEvent OnEnter;
  TNotifyEvent OnExit;
  TKeyEvent OnKeyDown;

  // User input, called by views and the console host; each acts only while
  // the control CanFocus (UserExit always runs). UserSetText replaces the
  // text as typing would (not on a read-only edit). UserKeyDown runs
  // OnKeyDown and returns the key as the handler left it. Exceptions from
  // handlers pass to the caller.
  virtual void UserSetText(const std::string& text);
  virtual void UserClick();
  virtual void UserExit();
  virtual TKey UserKeyDown(TKey key, TShiftState shift);

  // Observer called after every state change of this control (including
  // focus). Returns an id for RemoveObserver. The observer must not destroy
  // the control.
  int AddObserver(std::function<void(TControl&)> observer);
  void RemoveObserver(int id);

 protected:
  // Notifies the observers.
  void Changed();
  // Sets member to value and notifies the observers, unless they are equal.
  template <typename T>
  void Update(T& member, const T& value) {
    if (member == value) return;
    member = value;
    Changed();
  }
  // Runs after the text changed; TEdit runs OnChange here.
  virtual void TextChanged() {}

 private:
  friend class TForm;
  // Update for visible_ and enabled_: the form drops a focus they take away.
  void SetFocusable(bool& member, bool v);

  TControl* parent_ = nullptr;
  std::vector<TControl*> children_;
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  TAlign align_ = TAlign::alNone;
  TAnchors anchors_ = akLeft | akTop;
  bool visible_ = true;
  bool enabled_ = true;
  TColor color_ = clBtnFace;
  TFont font_;
  std::string text_;
  std::string hint_;
  bool show_hint_ = false;
  int next_observer_id_ = 1;
  std::vector<std::pair<int, std::function<void(TControl&)>>> observers_;
};

// What closing a form does (set by OnClose).
enum class TCloseAction { caNone, caHide, caFree, caMinimize };
using TCloseEvent = std::function<void(TComponent* sender, TCloseAction& action)>;
enum class TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };

// A screen. Width/Height are the outer size; ClientWidth/ClientHeight the
// inside, kFrameWidth/kFrameHeight smaller. A new form is hidden.
class TForm : public TControl {
 public:
  static constexpr int kFrameWidth = 8;
  static constexpr int kFrameHeight = 39;

  explicit TForm(TComponent* owner);
  std::string ClassName() const override { return "TForm"; }

  int ClientWidth() const { return Width() - kFrameWidth; }
  int ClientHeight() const { return Height() - kFrameHeight; }
  void SetClientWidth(int v) { SetWidth(v + kFrameWidth); }
  void SetClientHeight(int v) { SetHeight(v + kFrameHeight); }

  TFormBorderStyle BorderStyle() const { return border_style_; }
  void SetBorderStyle(TFormBorderStyle s) { Update(border_style_, s); }

  // The focused control on this form, or null.
  TControl* ActiveControl() const { return active_control_; }

  // Files the user dropped on the form (paths as the file system's bytes),
  // one user action; unset: the form takes no files. Exceptions pass to the
  // caller as from any handler.
  std::function<void(const std::vector<std::string>& files)> OnDropFiles;

  // What a front end shows under an error message the form raised: what to
  // do next (Windows-1252); empty or unset: nothing.
  std::function<std::string(const std::string& message)> OnErrorHint;
  void SetActiveControl(TControl* control);
  // The user moves the focus to control: the focused control's OnExit runs
  // first (UserExit) when it can still take the focus; if it throws, the focus stays where the handler left
  // it and the exception passes on. Otherwise, unless the handler moved the
  // focus itself, control becomes ActiveControl and its OnEnter runs.
  void UserFocus(TControl& control);

  // Makes the form visible and brings it to the front (counts ShowCount).
  // The front end shows it through the host library.
  void Show();
  int ShowCount() const { return show_count_; }
  // Runs OnClose with caHide; caNone keeps the form, any other action hides
  // it, and caFree also sets ReleaseRequested for the owner to delete it.
  void Close();
  bool ReleaseRequested() const { return release_requested_; }

  // Runs OnCreate; the screen class calls it at the end of its constructor.
  void DoCreate();

  TNotifyEvent OnCreate;
  TCloseEvent OnClose;

 private:
  friend class TControl;
  void ForgetControl(TControl* control);
  // After a control was hidden or disabled: a focused control that can no
  // longer take the focus loses it, without its OnExit.
  void DropUnfocusableControl();

  TFormBorderStyle border_style_ = TFormBorderStyle::bsSizeable;
  TControl* active_control_ = nullptr;
  int show_count_ = 0;
  bool release_requested_ = false;
};

// A caption.
class TLabel : public TControl {
 public:
  using TControl::TControl;
  std::string ClassName() const override { return "TLabel"; }
};

// A one-line text box. OnChange runs whenever the text changes, by program
// (SetText, Clear) or user (UserSetText).
class TEdit : public TControl {
 public:
  explicit TEdit(TComponent* owner);
  std::string ClassName() const override { return "TEdit"; }

  // Empties the text (running OnChange when it was not empty).
  virtual void Clear() { SetText(""); }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool v) { Update(read_only_, v); }

  void UserSetText(const std::string& text) override;

  TNotifyEvent OnChange;

 protected:
  void TextChanged() override;

 private:
  bool read_only_ = false;
};

class TComboBox;

// The entries of a combo box; changes notify the combo's observers.
class TComboItems {
 public:
  explicit TComboItems(TComboBox& combo) : combo_(combo) {}
  int Count() const { return static_cast<int>(items_.size()); }
  // The i-th entry; throws EListError for an index out of range.
  const std::string& operator[](int i) const;
  const std::vector<std::string>& Strings() const { return items_; }
  // Adds an entry at the end; returns its index.
  int Add(const std::string& text);
  // Removes every entry; the combo's ItemIndex becomes -1.
  void Clear();

 private:
  TComboBox& combo_;
  std::vector<std::string> items_;
};

enum class TComboBoxStyle { csDropDown, csDropDownList };

// A drop-down list. In csDropDownList style (choice only) Text is the
// selected entry, or "" when none is. OnChange runs on the user's choice
// (UserSelect, UserSetText), not on program changes, as on the original.
class TComboBox : public TControl {
 public:
  explicit TComboBox(TComponent* owner);
  std::string ClassName() const override { return "TComboBox"; }

  TComboItems Items;
  TComboBoxStyle Style() const { return style_; }
  void SetStyle(TComboBoxStyle s);
  // Selected entry index, -1 for none. Setting an index out of range selects
  // none.
  int ItemIndex() const { return item_index_; }
  void SetItemIndex(int index);
  // The user picks entry index (ignored while it cannot focus).
  void UserSelect(int index);
  // The user types a text; in csDropDownList style it selects the entry of
  // that exact text, if any.
  void UserSetText(const std::string& text) override;

  TNotifyEvent OnChange;

 private:
  friend class TComboItems;
  void ItemsChanged();
  TComboBoxStyle style_ = TComboBoxStyle::csDropDown;
  int item_index_ = -1;
};

// A container with a caption and bevels.
class TPanel : public TControl {
 public:
  using TControl::TControl;
  std::string ClassName() const override { return "TPanel"; }
};

// A framed container with a caption.
class TGroupBox : public TControl {
 public:
  using TControl::TControl;
  std::string ClassName() const override { return "TGroupBox"; }
};

// A push button: UserClick runs OnClick.
class TButton : public TControl {
 public:
  using TControl::TControl;
  std::string ClassName() const override { return "TButton"; }
};

// A grid column bound to a table column by name. Width -1 means the grid's
// default width (64).
struct TColumn {
  std::string FieldName;
  std::string Title;
  int Width = -1;
  bool Visible = true;
  bool operator==(const TColumn&) const = default;
};

// Grid options (a set).
using TDBGridOptions = unsigned;
constexpr TDBGridOptions dgEditing = 1u << 0;
constexpr TDBGridOptions dgAlwaysShowEditor = 1u << 1;
constexpr TDBGridOptions dgTitles = 1u << 2;
constexpr TDBGridOptions dgIndicator = 1u << 3;
constexpr TDBGridOptions dgColumnResize = 1u << 4;
constexpr TDBGridOptions dgColLines = 1u << 5;
constexpr TDBGridOptions dgRowLines = 1u << 6;
constexpr TDBGridOptions dgTabs = 1u << 7;
constexpr TDBGridOptions dgRowSelect = 1u << 8;
constexpr TDBGridOptions dgAlwaysShowSelection = 1u << 9;
constexpr TDBGridOptions dgConfirmDelete = 1u << 10;
constexpr TDBGridOptions dgCancelOnExit = 1u << 11;
constexpr TDBGridOptions dgMultiSelect = 1u << 12;

// A data grid over a table. Cells show the table's display texts
// (OnGetText); keys go through OnKeyDown (UserKeyDown).
class TDBGrid : public TControl {
 public:
  static constexpr int kDefaultColumnWidth = 64;

  explicit TDBGrid(TComponent* owner);
  std::string ClassName() const override { return "TDBGrid"; }

  // The columns in display order; edit through SetColumns so the view is
  // notified.
  const std::vector<TColumn>& Columns() const { return columns_; }
  void SetColumns(std::vector<TColumn> columns);

  // The table shown; not owned, must outlive the grid or be reset first.
  TClientDataSet* DataSource() const { return data_source_; }
  void SetDataSource(TClientDataSet* dataset) { Update(data_source_, dataset); }

  TDBGridOptions Options() const { return options_; }
  void SetOptions(TDBGridOptions options) { Update(options_, options); }

  // Rows the grid shows (the table's visible rows; 0 without a table).
  int RowCount() const;
  // Text of the cell at a visible row (0-based) and a column of Columns()
  // (0-based): the table's display text, "" for a column without a table
  // column of that name. Throws EDatabaseError for a row out of range.
  std::string CellText(int row, int column) const;

  // What a view shows over the grid while it shows no row, e.g. why the
  // filter in force lets none through; empty or unset: nothing. Asked when
  // the view draws.
  std::function<std::string()> OnEmptyText;
  // Whether a view shows the visible row (0-based) marked, e.g. a movement
  // that repeats another; unset: none. Asked when the view draws.
  std::function<bool(int row)> OnRowMarked;

 private:
  std::vector<TColumn> columns_;
  TClientDataSet* data_source_ = nullptr;
  TDBGridOptions options_ = dgEditing | dgTitles | dgIndicator | dgColumnResize | dgColLines |
                            dgRowLines | dgTabs | dgConfirmDelete | dgCancelOnExit;
};

// The file chooser. Execute shows it through ExecuteHook (the screen
// connects it to the host library's ExecuteOpenDialog); on confirmation
// FileName becomes the chosen file, on cancel it stays as it was. Without a
// hook Execute returns false. With MultiSelect and ExecuteFilesHook the user
// may choose several files: Files holds them in order and FileName the
// first; a chooser of one file sets Files to FileName alone.
class TOpenDialog : public TComponent {
 public:
  explicit TOpenDialog(TComponent* owner) : TComponent(owner) {}

  // Filter text "Name|pattern[|Name|pattern...]", e.g. "OFX|*.ofx".
  std::string Filter;
  // The last file the user confirmed; "" until one was.
  std::string FileName;
  std::string Title;

  std::function<bool(const std::string& filter, std::string& file_name)> ExecuteHook;
  bool MultiSelect = false;
  // The files the user confirmed last; empty until one was.
  std::vector<std::string> Files;
  std::function<bool(const std::string& filter, std::vector<std::string>& files)> ExecuteFilesHook;

  // Returns true when the user confirmed a file.
  bool Execute();
};

}  // namespace kvr
