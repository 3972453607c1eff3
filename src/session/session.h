// The Key-server session: connect, answer challenges, reconnect, for ever.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumagate {

inline constexpr std::uint16_t kKeyServerPort = 12040;

[[noreturn]] void run_session(const char* server_address, const char* password_digest);

// Binds the socket to the interface of -i, if one is given; false, said
// once while it is missing, when that cannot be done.
bool keep_on_interface(std::intptr_t socket);

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

// The text of a connection that a wake handles: one line at a time, and
// what a read brings behind its first line waits for the next wake.
struct ReceivedText {
  char* line = nullptr;  // kLineSize bytes: the text of this wake
  char* kept = nullptr;  // kLineSize bytes: what followed its first line
  std::size_t kept_length = 0;
  // A line filled the buffer and was cut there: the rest of it, up to its
  // line end, is still to come and is no line of its own.
  bool dropping = false;
};

// Whether the `length` bytes of `text` hold a line end: text without one is
// the start of a line, whose rest a wake waits for.
bool ends_a_line(const char* text, std::size_t length);

// Clears the line buffer and moves the kept text into it; its length, 0
// when nothing was kept and a read must fill the buffer.
std::size_t take_kept_text(ReceivedText& text);

// While the rest of a cut line is dropped: drops the `length` bytes read
// into the line buffer up to and including the line end, and moves what
// follows it to the front. The bytes left to handle.
std::size_t drop_rest_of_cut_line(ReceivedText& text, std::size_t length);

// Ends the `length` bytes in the line buffer at their first line end and
// keeps what follows it for the next wake; a line that fills the buffer
// without a line end is cut, and its rest dropped when it comes.
void keep_rest(ReceivedText& text, std::size_t length);

// The challenge of a CHALLENGE line: everything after its first blank,
// empty when it has none.
const char* challenge_of(const char* line);

// The wait before the next connection after `refusals` refusals of the
// client's answer in a row: a second for the first three, then 10 s
// doubling to 5 minutes, less up to a tenth as `random` (0 to 32767) says.
inline constexpr int kRefusalsRetriedAtOnce = 3;
std::uint32_t refusal_wait_ms(int refusals, int random);

// The interval a keep-alive line asks for, or `current` when it asks for
// none or for one outside 1 to 600.
int keepalive_interval(const char* line, int current);

}  // namespace lumagate
