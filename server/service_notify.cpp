#include "service_notify.h"

#include <systemd/sd-daemon.h>

namespace kvr::server {

void NotifyServiceReady() { sd_notify(0, "READY=1"); }

}  // namespace kvr::server
