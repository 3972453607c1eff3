// Shared between the service and the process code of the Windows layer.
#pragma once

#include <windows.h>

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

// The service's way to its end, in one order whichever thread brings a
// turn (the manager's stop control, the client's own end): a stop asked
// first makes any end a clean one, and after the end nothing more is told,
// since after the first SERVICE_STOPPED the manager may end the process,
// but for a stop that comes after an end with an error: that stop wins.
class ServiceEnd {
 public:
  // `stopping` reports STOP_PENDING; `ended` tells the end with its code;
  // `stopped` reports SERVICE_STOPPED after an end with an error. All are
  // called under the lock.
  ServiceEnd(void (*stopping)(), void (*ended)(int code), void (*stopped)(int code));
  // A stop control: true the first time, unless the end has been told.
  bool stop();
  // Tells the end once: with 0 when a stop was asked first.
  void end(int code);
  bool stop_asked() const { return asked_; }

 private:
  enum class Phase { kRunning, kStopping, kEnded, kStopped };
  void (*stopping_)();
  void (*ended_)(int code);
  void (*stopped_)(int code);
  SRWLOCK lock_ = SRWLOCK_INIT;
  volatile Phase phase_ = Phase::kRunning;
  volatile bool asked_ = false;
  int code_ = 0;
};

}  // namespace lumagate::platform::windows
