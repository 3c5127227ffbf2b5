#pragma once

namespace kvr::server {

// Tells the service manager that the server listens (sd_notify READY=1),
// when a unit of Type=notify started it ($NOTIFY_SOCKET set); does nothing
// otherwise. Never fails: a manager that
// cannot be told only delays the unit's start until its timeout.
void NotifyServiceReady();

}  // namespace kvr::server
