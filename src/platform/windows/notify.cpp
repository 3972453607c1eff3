// A console program started by hand or by the Task Scheduler has no service
// manager to tell its state to (a Windows service would talk to the Service
// Control Manager through a service entry point, which this program has
// not), so there is nobody to notify.
#include "platform/platform.h"

namespace lumagate::platform {

void notify_service_manager(const char* /*state*/) {}

}  // namespace lumagate::platform
