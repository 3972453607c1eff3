// The command line.
#pragma once

#include <cstddef>

namespace lumagate {

// Reads the switches and runs the start-up checks. 0 when start-up may go
// on; 1 when an argument or the password file was refused.
int parse_command_line(int argc, char** argv, char* server_address,
                       std::size_t server_size, char* digest,
                       std::size_t digest_size);

void print_usage();

}  // namespace lumagate
