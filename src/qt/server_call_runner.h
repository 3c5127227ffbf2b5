#pragma once

#include <functional>

namespace kvr::qt {

// Runs work (the wait for the application server, see CallRunner) on a
// thread of its own while the interface thread waits in an event loop that
// handles paint, timer and posted events but holds user input back: the busy
// indicator keeps moving and the window repaints, and no click or key reaches
// the screen whose handler is waiting. Returns once the work has ended.
// Called from any other thread than the interface thread, or with no
// application object, it runs work at once. work must not throw and must not
// touch widgets.
void RunServerCallWhilePainting(const std::function<void()>& work);

// True while RunServerCallWhilePainting waits for a call (the host's main
// window refuses to close meanwhile).
bool ServerCallRunning();

}  // namespace kvr::qt
