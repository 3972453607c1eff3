// The service manager's notification socket, as systemd documents it: one
// datagram per state to the AF_UNIX address in $NOTIFY_SOCKET.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

// The address in $NOTIFY_SOCKET and its length; false when there is none.
// A leading '@' names an abstract socket.
bool notify_address(sockaddr_un* address, socklen_t* length) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || (name[0] != '/' && name[0] != '@')) return false;
  const std::size_t size = std::strlen(name);
  if (size < 2 || size > sizeof address->sun_path) return false;
  *address = {};
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, name, size);
  if (name[0] == '@') address->sun_path[0] = '\0';
  // An abstract name has no terminator: its length is all it has.
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
  return true;
}

}  // namespace

void notify_service_manager(const char* state) {
  sockaddr_un address{};
  socklen_t length = 0;
  if (!notify_address(&address, &length)) return;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // A manager that does not read in time loses a state, never the client.
  sendto(fd, state, std::strlen(state), MSG_NOSIGNAL | MSG_DONTWAIT,
         reinterpret_cast<const sockaddr*>(&address), length);
  close(fd);
}

// systemd has the status lines, and READY=1 once the client is let in; the
// journal keeps what the client shows.
void tell_service_turn(ServiceTurn /*turn*/, const char* /*status*/) {}

}  // namespace lumagate::platform
