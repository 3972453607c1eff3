// The sockets and the process list of a machine that has neither: the fuzz
// targets link this in their place, so that no input can reach a network,
// hold the guard port, or depend on the processes that happen to run.
#include <cerrno>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

// Every socket call fails as on a machine without a network.
int refuse() {
  errno = ENETDOWN;
  return -1;
}

}  // namespace

int start_sockets() { return 0; }
void cleanup_sockets() {}
int lookup_host(const char*, Ipv4*) { return 1; }
Ipv4 parse_dotted_quad(const char*) { return kIpv4None; }
Socket open_ipv4_tcp_socket() { return refuse(); }
int set_tcp_nodelay(Socket, int) { return refuse(); }
int set_non_blocking(Socket, int) { return refuse(); }
int set_keepalive(Socket, int) { return refuse(); }
int set_send_timeout_ms(Socket, int) { return refuse(); }
int set_receive_timeout_ms(Socket, int) { return refuse(); }
int connect_ipv4(Socket, Ipv4, std::uint16_t) { return refuse(); }
bool connection_under_way(std::int32_t) { return false; }
bool would_block(std::int32_t) { return false; }
int wait_readable(Socket, int) { return 0; }
int wait_writable(Socket, int) { return 0; }
long receive(Socket, char*, std::size_t) { return refuse(); }
long send_bytes(Socket, const char*, std::size_t) { return refuse(); }
int bind_guard_port(Socket, std::uint16_t, const char*) { return refuse(); }
bool address_in_use(std::int32_t) { return false; }
std::uint32_t interface_index(const char*) { return 0; }
int bind_to_interface(Socket, const char*) { return refuse(); }
bool interface_missing(std::int32_t) { return false; }
bool interface_binding_refused(std::int32_t) { return false; }
void close_socket(Socket) {}

int list_process_ids(std::uint32_t*, int) { return -1; }
int process_image_base_name(std::uint32_t, char*, std::size_t) { return 0; }
std::uint32_t own_process_id() { return 1; }
bool runs_this_program(std::uint32_t) { return false; }

}  // namespace lumagate::platform
