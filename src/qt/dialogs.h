#pragma once

#include <QString>
#include <QStringList>

#include "host/host_library.h"

class QWidget;

namespace kvr::qt {

// The boxes below show the normal cursor while open, and take the busy layer
// of parent's window away until they close (BusyIndicator::BeginDialog).

// Shows text in a modal error box over parent (may be null) and waits.
void ShowErrorBox(QWidget* parent, const QString& text);

// Shows text in a modal box of the kind with one "OK" button and waits.
void ShowMessageBox(QWidget* parent, const QString& text, TMsgDlgType kind);

// Asks text in a modal box with the buttons in order (none: one "OK") and
// returns the 0-based index of the one chosen; Escape or closing the box
// chooses the first.
int AskQuestion(QWidget* parent, const QString& text, TMsgDlgType kind, const QStringList& buttons);

}  // namespace kvr::qt
