#pragma once

#include <QStringList>

namespace kvr::qt {

// The exit status of kvr61400-host when the display does not open.
inline constexpr int kExitNoDisplay = 69;

// The opening of the display, watched. Qt ends the process with an English
// message and an abort when its platform plugin cannot open the display;
// while a guard lives, Qt's messages about its platform plugin are held
// back, and such an end prints instead a Portuguese message on stderr naming
// the display and what to do, then Qt's reason on a line of its own
// ("Detalhe do Qt: qt.qpa.xcb: could not connect to display :99"), and exits
// with kExitNoDisplay. Construct it just before the QApplication and destroy
// it once that exists (the messages of the running program are Qt's own
// again). One at a time, on the main thread.
class DisplayGuard {
 public:
  DisplayGuard();
  ~DisplayGuard();
  DisplayGuard(const DisplayGuard&) = delete;
  DisplayGuard& operator=(const DisplayGuard&) = delete;
};

// The Portuguese message for a display that did not open (without Qt's
// reason), for the display named by the environment's values of DISPLAY and
// WAYLAND_DISPLAY (empty when unset).
QString NoDisplayMessage(const QString& display, const QString& wayland_display);

// The program's arguments without the options Qt reads itself ("-platform
// NAME", "-display NAME", "-style NAME", "-reverse", ...), so that the
// program's own can be checked before Qt starts.
QStringList WithoutQtOptions(const QStringList& arguments);

}  // namespace kvr::qt
