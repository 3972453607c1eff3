// Shared between the service and the process code of the Windows layer.
#pragma once

namespace lumagate::platform::windows {

// Runs `client_main` as the service of the Service Control Manager, when
// the manager started the process; returns at once when it did not. A
// service's process ends through exit_process or a stop, never here.
void run_as_service(int (*client_main)(int argc, char** argv), int argc, char** argv);

// Whether the process runs as a service.
bool is_service();

// Tells the manager, and the Event Log, that the service ends with `code`;
// only the first call counts.
void tell_service_end(int code);

// Whether the manager has asked the service to stop: the end is then a
// clean one.
bool service_stop_asked();

}  // namespace lumagate::platform::windows
