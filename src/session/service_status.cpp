#include "session/service_status.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "runtime/lifecycle.h"
#include "runtime/text.h"

namespace lumagate {
namespace {

const char* state_words(const ServiceStatus& status) {
  if (status.let_in) return "let in";
  return status.last_failure[0] != '\0' ? "not let in" : "not let in yet";
}

// The status line for the service manager; control characters, which would
// end it or start another state, are shown as '?'.
void format_status(const ServiceStatus& status, const char* server, int interval, char* out,
                   std::size_t size) {
  const char* state = state_words(status);
  const int length =
      std::snprintf(out, size, "STATUS=%s: %s, interval %d s", server, state, interval);
  if (status.last_failure[0] != '\0' && length >= 0 && static_cast<std::size_t>(length) < size) {
    std::snprintf(out + length, size - static_cast<std::size_t>(length), "; last failure %s",
                  status.last_failure.data());
  }
  for (char* c = out; *c != '\0'; ++c) {
    if (is_control_character(*c)) *c = '?';
  }
}

// The status line without its "STATUS=", for a turn.
void tell_turn(const ServiceStatus& status, platform::ServiceTurn turn, const char* server,
               int interval) {
  std::array<char, sizeof status.told> line{};
  format_status(status, server, interval, line.data(), line.size());
  platform::tell_service_turn(turn, line.data() + std::strlen("STATUS="));
}

}  // namespace

void tell_session_begun(const char* server) {
  platform::tell_service_turn(platform::ServiceTurn::kSessionBegun,
                              server[0] != '\0' ? server : "the first that discovery finds");
}

void tell_status(ServiceStatus& status, const char* server, int interval) {
  std::array<char, sizeof status.told> line{};
  format_status(status, server, interval, line.data(), line.size());
  if (std::strcmp(line.data(), status.told.data()) == 0) return;
  status.told = line;
  platform::notify_service_manager(line.data());
}

void tell_let_in(ServiceStatus& status, const char* server, int interval) {
  const bool turn = !status.let_in;
  status.let_in = true;
  if (turn) tell_turn(status, platform::ServiceTurn::kLetIn, server, interval);
  tell_ready(status);
  tell_status(status, server, interval);
}

void tell_ready(ServiceStatus& status) {
  if (status.ready_told) return;
  status.ready_told = true;
  platform::notify_service_manager("READY=1");
}

void tell_failure(ServiceStatus& status, const char* server, int interval, const char* failure) {
  const bool turn = status.let_in;
  status.let_in = false;
  platform::TimeOfDay time{};
  if (!platform::local_time_of_day(current_time(), &time)) time = {0, 0, 0};
  std::snprintf(status.last_failure.data(), status.last_failure.size(), "%02d:%02d:%02d at %s: %s",
                time.hour, time.minute, time.second, server, failure);
  if (turn) tell_turn(status, platform::ServiceTurn::kNoLongerLetIn, server, interval);
  tell_status(status, server, interval);
}

}  // namespace lumagate
