#include "qt/user_action.h"

#include <exception>

#include "host/host_library.h"
#include "platform/errors.h"
#include "qt/dialogs.h"
#include "qt/text.h"

namespace kvr::qt {

namespace {

// An action that ends unexpectedly may leave the indicator or the hourglass
// on (creating the screen fails after the hourglass was set, and nothing in
// the module takes it back); the boundary puts both back so that the user is
// never left with a wait cursor over an idle window.
void ResetBusyState() {
  try {
    THostLibrary& host = HostLibrary();
    host.DeactiveShowAvi();
    host.SetScreenCursor(crDefault);
  } catch (const std::exception&) {
  }
}

}  // namespace

bool RunUserAction(QWidget* parent, const std::function<void()>& action) {
  try {
    action();
    return true;
  } catch (const EAbort&) {
    ResetBusyState();
  } catch (const std::exception& error) {
    ResetBusyState();
    ShowErrorBox(parent, ErrorText(error));
  } catch (...) {
    ResetBusyState();
    ShowErrorBox(parent, QString::fromUtf8("Erro inesperado."));
  }
  return false;
}

}  // namespace kvr::qt
