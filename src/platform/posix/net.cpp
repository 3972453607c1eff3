// Sockets on POSIX systems.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

// What the waits and reads must know of a socket beyond its descriptor. A
// refused connection must look like a silent server, so the waits need to
// know of a connect still under way; a connection that was accepted and
// then reset while under way keeps its error for the read that follows.
struct SocketState {
  bool connect_pending = false;
  int kept_error = 0;
};
std::vector<SocketState> socket_states;

SocketState* state_of(Socket socket) {
  const auto index = static_cast<std::size_t>(socket);
  return index < socket_states.size() ? &socket_states[index] : nullptr;
}

bool is_pending(Socket socket) {
  const SocketState* state = state_of(socket);
  return state != nullptr && state->connect_pending;
}

void set_pending(Socket socket) {
  const auto index = static_cast<std::size_t>(socket);
  if (index >= socket_states.size()) socket_states.resize(index + 1);
  socket_states[index] = {true, 0};
}

void forget(Socket socket) {
  SocketState* state = state_of(socket);
  if (state != nullptr) *state = {};
}

// The error a reset connection kept, once: 0 when there is none.
int take_kept_error(Socket socket) {
  SocketState* state = state_of(socket);
  if (state == nullptr) return 0;
  const int error = state->kept_error;
  state->kept_error = 0;
  return error;
}

int fd_of(Socket socket) { return static_cast<int>(socket); }

int set_int_option(Socket socket, int level, int name, int value) {
  return setsockopt(fd_of(socket), level, name, &value, sizeof value) == 0 ? 0 : -1;
}

int set_timeout_option(Socket socket, int name, int milliseconds) {
  timeval limit{milliseconds / 1000, static_cast<suseconds_t>(milliseconds % 1000) * 1000};
  return setsockopt(fd_of(socket), SOL_SOCKET, name, &limit, sizeof limit) == 0 ? 0 : -1;
}

enum class Outcome { kConnected, kNeverCameAbout, kResetAfterAccept };

// A reset reaches a connection under way only after the peer accepted it
// (one refused while under way reports ECONNREFUSED); EPIPE when the peer
// had closed its side first.
bool reset_after_accept(int error) { return error == ECONNRESET || error == EPIPE; }

// How the pending connection ended. Reading SO_ERROR clears it, so a reset
// is kept for the read or send that follows.
Outcome finish_connect(Socket socket) {
  int error = 0;
  socklen_t length = sizeof error;
  SocketState* state = state_of(socket);
  state->connect_pending = false;
  if (getsockopt(fd_of(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return Outcome::kNeverCameAbout;
  }
  if (error == 0) return Outcome::kConnected;
  if (!reset_after_accept(error)) return Outcome::kNeverCameAbout;
  state->kept_error = error;
  return Outcome::kResetAfterAccept;
}

// Deadlines on the platform's own clock: the C++ library's steady clock
// throws when the clock cannot be read, and a router build has no exceptions.
int milliseconds_left(std::uint32_t deadline) {
  const auto left = static_cast<std::int32_t>(deadline - tick_count());
  return left > 0 ? left : 0;
}

// 1 when `events` turn up within `milliseconds`. A connection still under way is
// awaited on the side; if it never comes about, the rest of the wait passes
// in silence. One that was reset after it was accepted is ready: the next
// read or send tells the reset.
int wait_for(Socket socket, short events, int milliseconds) {
  const std::uint32_t deadline = tick_count() + static_cast<std::uint32_t>(milliseconds);
  for (;;) {
    pollfd watch{fd_of(socket), events, 0};
    if (is_pending(socket)) watch.events = static_cast<short>(watch.events | POLLOUT);
    const int ready = poll(&watch, 1, milliseconds_left(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
    if (is_pending(socket)) {
      const Outcome outcome = finish_connect(socket);
      if (outcome == Outcome::kNeverCameAbout) {
        sleep_ms(static_cast<std::uint32_t>(milliseconds_left(deadline)));
        return 0;
      }
      if (outcome == Outcome::kConnected && (watch.revents & (events | POLLHUP | POLLERR)) == 0) {
        continue;
      }
    }
    return 1;
  }
}

}  // namespace

int start_sockets() { return 0; }

void cleanup_sockets() {}

int lookup_host(const char* name, Ipv4* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return 1;
  const auto* first = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  *address = first->sin_addr.s_addr;
  freeaddrinfo(found);
  return 0;
}

Ipv4 parse_dotted_quad(const char* text) { return inet_addr(text); }

Socket open_ipv4_tcp_socket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd < 0 ? kNoSocket : fd;
}

int set_tcp_nodelay(Socket socket, int on) {
  return set_int_option(socket, IPPROTO_TCP, TCP_NODELAY, on);
}

int set_non_blocking(Socket socket, int on) {
  const int flags = fcntl(fd_of(socket), F_GETFL);
  if (flags < 0) return -1;
  const int wanted = on != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd_of(socket), F_SETFL, wanted) == 0 ? 0 : -1;
}

int set_keepalive(Socket socket, int on) {
  return set_int_option(socket, SOL_SOCKET, SO_KEEPALIVE, on);
}

int set_send_timeout_ms(Socket socket, int milliseconds) {
  return set_timeout_option(socket, SO_SNDTIMEO, milliseconds);
}

int set_receive_timeout_ms(Socket socket, int milliseconds) {
  return set_timeout_option(socket, SO_RCVTIMEO, milliseconds);
}

int connect_ipv4(Socket socket, Ipv4 address, std::uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = address;
  if (connect(fd_of(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
    return 0;
  }
  if (connection_under_way(errno)) set_pending(socket);
  return -1;
}

bool connection_under_way(std::int32_t code) {
  return code == EINPROGRESS || code == EAGAIN || code == EWOULDBLOCK;
}

bool would_block(std::int32_t code) { return code == EAGAIN || code == EWOULDBLOCK; }

int wait_readable(Socket socket, int milliseconds) {
  return wait_for(socket, POLLIN, milliseconds);
}

int wait_writable(Socket socket, int milliseconds) {
  return wait_for(socket, POLLOUT, milliseconds);
}

long receive(Socket socket, char* buffer, std::size_t size) {
  if (const int kept = take_kept_error(socket); kept != 0) {
    errno = kept;
    return -1;
  }
  for (;;) {
    const ssize_t got = recv(fd_of(socket), buffer, size, 0);
    if (got < 0 && errno == EINTR) continue;
    return static_cast<long>(got);
  }
}

long send_bytes(Socket socket, const char* data, std::size_t size) {
  if (const int kept = take_kept_error(socket); kept != 0) {
    errno = kept;
    return -1;
  }
  for (;;) {
    const ssize_t sent = send(fd_of(socket), data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    return static_cast<long>(sent);
  }
}

// The kernel counts two sockets bound to different devices as no clash on
// one port, and one bound to none as a clash with every other: just the
// guard that clients on several interfaces need.
int bind_guard_port(Socket socket, std::uint16_t port, const char* interface_name) {
  if (interface_name != nullptr && bind_to_interface(socket, interface_name) != 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return bind(fd_of(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : -1;
}

bool address_in_use(std::int32_t code) { return code == EADDRINUSE; }

std::uint32_t interface_index(const char* name) { return if_nametoindex(name); }

int bind_to_interface(Socket socket, const char* name) {
  const auto length = static_cast<socklen_t>(std::strlen(name) + 1);
  return setsockopt(fd_of(socket), SOL_SOCKET, SO_BINDTODEVICE, name, length) == 0 ? 0 : -1;
}

bool interface_missing(std::int32_t code) { return code == ENODEV; }

// An unprivileged process may bind to a device from Linux 5.7 on.
bool interface_binding_refused(std::int32_t code) { return code == EPERM || code == EACCES; }

void close_socket(Socket socket) {
  if (socket < 0) return;
  forget(socket);
  close(fd_of(socket));
}

}  // namespace lumagate::platform
