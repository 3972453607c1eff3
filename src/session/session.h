// The Key-server session: connect, answer challenges, reconnect, for ever.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumagate {

inline constexpr std::uint16_t kKeyServerPort = 12040;

[[noreturn]] void run_session(const char* server_address, const char* password_digest);

// The socket, connected or with its connection under way; -1 on failure.
std::intptr_t connect_to_server(const char* host, std::uint16_t port);

// 0 and the IPv4 address of a host name or dotted quad; 1 when neither.
int resolve_address(const char* address, std::uint32_t* host);

// A TCP socket with its options set, or -1 after reporting the failing step.
std::intptr_t open_tcp_socket(int non_blocking);

// 1 when the socket turns readable (writable) within 5 seconds, else 0.
int wait_readable(std::intptr_t socket);
int wait_writable(std::intptr_t socket);

// 0 and the RESPONSE line for `challenge` in `out` (768 bytes). 1, with
// `out` left empty, when the proof input or the line would have to be cut:
// the proof of a cut input gives part of the password digest away.
int build_response(const char* challenge, const char* password_digest, char* out);

// The interval a keep-alive line asks for, or `current` when it asks for
// none or for one outside 1 to 600.
int keepalive_interval(const char* line, int current);

}  // namespace lumagate
