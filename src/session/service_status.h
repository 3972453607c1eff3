// What the service manager shows of the session: "READY=1" once the client
// is first let in, and one status line kept current: the server, whether
// the client is let in, the interval and the last failure. Its turns (the
// session begun, let in, no longer let in) go to the manager too, for
// those that keep no console lines (Windows' Event Log).
#pragma once

#include <array>

namespace lumagate {

struct ServiceStatus {
  bool ready_told = false;
  bool let_in = false;
  std::array<char, 160> last_failure{};  // "09:05:03 at SERVER: what", or ""
  std::array<char, 256> told{};          // the status line told last
};

// The session begins with `server`, empty when discovery is to find one.
void tell_session_begun(const char* server);

// The status with `server` and `interval`, told when it has changed.
void tell_status(ServiceStatus& status, const char* server, int interval);

// The client is let in: READY=1 the first time, and the status.
void tell_let_in(ServiceStatus& status, const char* server, int interval);

// READY=1, unless told already: the client is let in, or backs off after
// refusals, which a restart by the manager would only cut short.
void tell_ready(ServiceStatus& status);

// The connection to `server` failed, or could not be made, because of
// `failure`.
void tell_failure(ServiceStatus& status, const char* server, int interval, const char* failure);

}  // namespace lumagate
