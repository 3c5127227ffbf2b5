// The translations between the module's control values (colours, fonts,
// key codes) and Qt's, declared in control_views.h.
#include "qt/control_views.h"

#include <QFont>
#include <QKeyEvent>
#include <QPalette>

#include "qt/text.h"

namespace kvr::qt {

QColor ToQColor(TColor color, const QPalette& palette) {
  if ((color & 0xFF000000u) == 0x80000000u) {
    switch (color & 0xFFu) {
      case 0x05:  // clWindow
        return palette.color(QPalette::Base);
      case 0x08:  // clWindowText
        return palette.color(QPalette::Text);
      case 0x0D:  // clHighlight
        return palette.color(QPalette::Highlight);
      case 0x0E:  // clHighlightText
        return palette.color(QPalette::HighlightedText);
      case 0x0F:  // clBtnFace
        return palette.color(QPalette::Button);
      case 0x10:  // clBtnShadow
        return palette.color(QPalette::Mid);
      case 0x11:  // clGrayText
        return palette.color(QPalette::Disabled, QPalette::Text);
      case 0x12:  // clBtnText
        return palette.color(QPalette::ButtonText);
      case 0x17:  // clInfoText
        return palette.color(QPalette::ToolTipText);
      case 0x18:  // clInfoBk
        return palette.color(QPalette::ToolTipBase);
      default:
        return palette.color(QPalette::Window);
    }
  }
  return QColor(static_cast<int>(color & 0xFFu), static_cast<int>((color >> 8) & 0xFFu),
                static_cast<int>((color >> 16) & 0xFFu));
}

QFont ToQFont(const TFont& font, const QFont& base) {
  QFont result = base;
  const bool design_font = font.Name == "MS Sans Serif" || font.Name.empty();
  result.setFamily(design_font ? QString("DejaVu Sans") : ToQString(font.Name));
  if (font.Height < 0) {
    // DejaVu Sans is wider than the design's bitmap font: a tenth smaller,
    // the captions keep to the room the design gives them.
    result.setPixelSize(design_font ? std::max(1, (-font.Height * 9 + 5) / 10) : -font.Height);
  } else if (font.Height > 0) {
    // A positive height includes the internal leading, about a fifth.
    result.setPixelSize(std::max(1, font.Height * 4 / 5));
  }
  result.setBold(font.Bold);
  return result;
}

QColor DisabledTextColor(const QColor& text) {
  // Black text becomes a dark grey, still well above 7:1 against the button
  // face and the tooltip colour; a colour of its own (a valid date's blue)
  // is kept.
  if (text.lightness() < 40) return QColor(0x3c, 0x3c, 0x3c);
  return text;
}

TKey ToKeyCode(int qt_key) {
  if (qt_key >= Qt::Key_A && qt_key <= Qt::Key_Z) return static_cast<TKey>('A' + (qt_key - Qt::Key_A));
  if (qt_key >= Qt::Key_0 && qt_key <= Qt::Key_9) return static_cast<TKey>('0' + (qt_key - Qt::Key_0));
  if (qt_key >= Qt::Key_F1 && qt_key <= Qt::Key_F12) return static_cast<TKey>(112 + (qt_key - Qt::Key_F1));
  switch (qt_key) {
    case Qt::Key_Backspace:
      return 8;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return VK_TAB;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return VK_RETURN;
    case Qt::Key_Escape:
      return VK_ESCAPE;
    case Qt::Key_Space:
      return 32;
    case Qt::Key_PageUp:
      return 33;
    case Qt::Key_PageDown:
      return 34;
    case Qt::Key_End:
      return 35;
    case Qt::Key_Home:
      return 36;
    case Qt::Key_Left:
      return 37;
    case Qt::Key_Up:
      return 38;
    case Qt::Key_Right:
      return 39;
    case Qt::Key_Down:
      return 40;
    case Qt::Key_Insert:
      return 45;
    case Qt::Key_Delete:
      return VK_DELETE;
    default:
      return 0;
  }
}

TShiftState ToShiftState(Qt::KeyboardModifiers modifiers) {
  TShiftState shift = 0;
  if (modifiers & Qt::ShiftModifier) shift |= ssShift;
  if (modifiers & Qt::ControlModifier) shift |= ssCtrl;
  if (modifiers & Qt::AltModifier) shift |= ssAlt;
  return shift;
}

}  // namespace kvr::qt
