#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <memory>

#include "platform/controls.h"

class QWidget;

namespace kvr::qt {

class FormView;

// The colour a TColor stands for: a plain 0x00BBGGRR colour, or one of the
// system colours resolved from palette (clInfoBk the tooltip background,
// clBtnFace the button face, clWindow the text-box background, ...).
QColor ToQColor(TColor color, const QPalette& palette);

// The text colour of a disabled control whose text is text: legible, not
// the style's faint grey.
QColor DisabledTextColor(const QColor& text);

// The Qt font of a control font: the design's "MS Sans Serif", which the
// desktop lacks, becomes "DejaVu Sans"; a negative height is the character
// height in pixels, a positive one the cell height.
QFont ToQFont(const TFont& font, const QFont& base);

// The key code a Qt key stands for (Windows virtual-key codes: letters and
// digits as their upper-case character, VK_DELETE for Delete, ...), or 0
// for a key without one.
TKey ToKeyCode(int qt_key);
// The modifiers of a Qt modifier set.
TShiftState ToShiftState(Qt::KeyboardModifiers modifiers);

// The view of one control: its widget and the observer that keeps the
// widget in step with the control. Subclasses mirror one control kind.
class ControlView {
 public:
  // widget is owned by its Qt parent; the view does not delete it.
  ControlView(FormView& form_view, TControl& control, QWidget* widget);
  virtual ~ControlView();
  ControlView(const ControlView&) = delete;
  ControlView& operator=(const ControlView&) = delete;

  QWidget* Widget() const { return widget_; }
  // The widget that takes the focus and the keys (the widget itself unless
  // it is a composite).
  virtual QWidget* FocusWidget() const { return widget_; }

  // Starts observing the control and copies its whole state once. Key
  // presses in a widget that takes the focus go through the control's
  // OnKeyDown from then on.
  void Attach();
  // Stops observing the control and everything of the model the view
  // reads (a grid's table); the control may then be destroyed.
  void Detach();
  // Copies the control's state into the widget (inside the form view's
  // sync scope).
  void Sync();
  // Places the widget again (after its parent widget changed size without
  // the model changing).
  void SyncGeometry();

 protected:
  // Geometry, visibility, enabled state, hint, colour and font. A control
  // anchored right or bottom follows what its parent widget is larger than
  // its parent control (the window the user made larger).
  virtual void SyncCommon();
  // What the kind adds (texts, entries, rows).
  virtual void SyncKind() {}
  // Whether the colour of the control paints the widget's background.
  virtual bool PaintsBackground() const { return true; }
  // Lets go of what the kind observes besides the control.
  virtual void DetachKind() {}

  FormView& form_view_;
  TControl& control_;
  QWidget* widget_;

 private:
  friend class KeyFilter;
  int observer_id_ = 0;
  bool attached_ = false;
  bool had_focus_ = false;
  QObject* key_filter_ = nullptr;
};

// The view of a control of any kind; controls without a view of their own
// (unknown kinds) show as plain containers so that their children show.
std::unique_ptr<ControlView> CreateControlView(FormView& form_view, TControl& control,
                                               QWidget* parent_widget);

}  // namespace kvr::qt
