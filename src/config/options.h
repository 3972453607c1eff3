// The command line.
#pragma once

#include <cstddef>

namespace lumagate {

// Reads the switches and runs the start-up checks. 0 when start-up may go
// on; 1 when an argument or the password file was refused.
int parse_command_line(int argc, char** argv, char* server_address, std::size_t server_size,
                       char* digest, std::size_t digest_size);

void print_usage();

// What the switches leave for the checks after them.
struct SwitchState {
  const char* password_file = nullptr;
  // The last -s and -d values as given, before their buffers cut them.
  const char* server_address = nullptr;
  const char* digest = nullptr;
  const char* state_file = nullptr;  // -o
  const char* program = nullptr;     // -e
  bool print_state = false;          // -p
  bool k_given = false;
  bool capital_k_given = false;
};

// The option loop alone: 0 when every argument was taken, 1 after refusing one.
int read_switches(int argc, char** argv, SwitchState& state, char* server_address,
                  std::size_t server_size, char* digest, std::size_t digest_size);

}  // namespace lumagate
