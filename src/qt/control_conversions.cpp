// The translations between the module's control values (colours, fonts,
// key codes) and Qt's, declared in control_views.h.
#include "qt/control_views.h"

#include <tuple>
#include <utility>

#include <QFont>
#include <QKeyEvent>
#include <QPalette>

#include "qt/text.h"

namespace kvr::qt {

QColor ToQColor(TColor color, const QPalette& palette) {
  // The system colours by index: clWindow, clWindowText, clHighlight,
  // clHighlightText, clBtnFace, clBtnShadow, clGrayText, clBtnText,
  // clInfoText, clInfoBk; any other is the window's colour.
  static const std::tuple<unsigned, QPalette::ColorGroup, QPalette::ColorRole> kSystem[] = {
      {0x05, QPalette::Current, QPalette::Base},
      {0x08, QPalette::Current, QPalette::Text},
      {0x0D, QPalette::Current, QPalette::Highlight},
      {0x0E, QPalette::Current, QPalette::HighlightedText},
      {0x0F, QPalette::Current, QPalette::Button},
      {0x10, QPalette::Current, QPalette::Mid},
      {0x11, QPalette::Disabled, QPalette::Text},
      {0x12, QPalette::Current, QPalette::ButtonText},
      {0x17, QPalette::Current, QPalette::ToolTipText},
      {0x18, QPalette::Current, QPalette::ToolTipBase}};
  if ((color & 0xFF000000u) == 0x80000000u) {
    for (const auto& [index, group, role] : kSystem)
      if ((color & 0xFFu) == index) return palette.color(group, role);
    return palette.color(QPalette::Window);
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
  static const std::pair<int, TKey> kKeys[] = {
      {Qt::Key_Backspace, 8},     {Qt::Key_Tab, VK_TAB},
      {Qt::Key_Backtab, VK_TAB},  {Qt::Key_Return, VK_RETURN},
      {Qt::Key_Enter, VK_RETURN}, {Qt::Key_Escape, VK_ESCAPE},
      {Qt::Key_Space, 32},        {Qt::Key_PageUp, 33},
      {Qt::Key_PageDown, 34},     {Qt::Key_End, 35},
      {Qt::Key_Home, 36},         {Qt::Key_Left, 37},
      {Qt::Key_Up, 38},           {Qt::Key_Right, 39},
      {Qt::Key_Down, 40},         {Qt::Key_Insert, 45},
      {Qt::Key_Delete, VK_DELETE}};
  for (const auto& [qt, key] : kKeys)
    if (qt == qt_key) return key;
  return 0;
}

TShiftState ToShiftState(Qt::KeyboardModifiers modifiers) {
  TShiftState shift = 0;
  if (modifiers & Qt::ShiftModifier) shift |= ssShift;
  if (modifiers & Qt::ControlModifier) shift |= ssCtrl;
  if (modifiers & Qt::AltModifier) shift |= ssAlt;
  return shift;
}

}  // namespace kvr::qt
