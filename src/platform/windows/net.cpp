// Windows Sockets 2.2.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

SOCKET socket_of(Socket socket) { return static_cast<SOCKET>(socket); }

int set_int_option(Socket socket, int level, int name, int value) {
  return setsockopt(socket_of(socket), level, name, reinterpret_cast<const char*>(&value),
                    sizeof value) == 0
             ? 0
             : -1;
}

int set_timeout_option(Socket socket, int name, int milliseconds) {
  const DWORD limit = static_cast<DWORD>(milliseconds);
  return setsockopt(socket_of(socket), SOL_SOCKET, name, reinterpret_cast<const char*>(&limit),
                    sizeof limit) == 0
             ? 0
             : -1;
}

// One select over this socket alone in the read or the write set. A
// non-blocking connect that fails is told in the exception set only, which
// is never asked for: a refused connection passes as silence.
int wait_for(Socket socket, bool readable, int milliseconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket_of(socket), &set);
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  const int ready =
      select(0, readable ? &set : nullptr, readable ? nullptr : &set, nullptr, &limit);
  return ready > 0 ? 1 : 0;
}

}  // namespace

int start_sockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : 1;
}

void cleanup_sockets() { WSACleanup(); }

int lookup_host(const char* name, Ipv4* address) {
  const hostent* host = gethostbyname(name);
  if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) return 1;
  Ipv4 first = 0;
  const auto length = static_cast<std::size_t>(host->h_length);
  std::memcpy(&first, host->h_addr_list[0], length < sizeof first ? length : sizeof first);
  *address = first;
  return 0;
}

Ipv4 parse_dotted_quad(const char* text) { return inet_addr(text); }

Socket open_ipv4_tcp_socket() {
  const SOCKET made = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return made == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(made);
}

int set_tcp_nodelay(Socket socket, int on) {
  return set_int_option(socket, IPPROTO_TCP, TCP_NODELAY, on);
}

int set_non_blocking(Socket socket, int on) {
  u_long mode = static_cast<u_long>(on);
  return ioctlsocket(socket_of(socket), FIONBIO, &mode) == 0 ? 0 : -1;
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
  return connect(socket_of(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0
             ? 0
             : -1;
}

bool connection_under_way(std::int32_t code) {
  return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS;
}

bool would_block(std::int32_t code) { return code == WSAEWOULDBLOCK; }

int wait_readable(Socket socket, int milliseconds) { return wait_for(socket, true, milliseconds); }

int wait_writable(Socket socket, int milliseconds) { return wait_for(socket, false, milliseconds); }

long receive(Socket socket, char* buffer, std::size_t size) {
  const int got = recv(socket_of(socket), buffer, static_cast<int>(size), 0);
  return got == SOCKET_ERROR ? -1 : got;
}

long send_bytes(Socket socket, const char* data, std::size_t size) {
  const int sent = send(socket_of(socket), data, static_cast<int>(size), 0);
  return sent == SOCKET_ERROR ? -1 : sent;
}

bool address_in_use(std::int32_t code) { return code == WSAEADDRINUSE; }

void close_socket(Socket socket) {
  if (socket == kNoSocket) return;
  closesocket(socket_of(socket));
}

}  // namespace lumagate::platform
