#pragma once

#include <functional>

class QWidget;

namespace kvr::qt {

// Runs one user action of the module (a click, a text change, leaving a
// control, opening the screen) to its end, as the boundary between the
// event loop and the module: the silent end of an action (EAbort) ends it
// quietly; any other exception hides the busy indicator, takes the wait
// cursor back and shows its message in an error box over parent (may be
// null). Returns true when the action ran to its end without an exception.
bool RunUserAction(QWidget* parent, const std::function<void()>& action);

}  // namespace kvr::qt
