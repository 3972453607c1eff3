// The process-wide settings, set while the command line is read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumagate {

// Buffer sizes are behaviour: texts copied into them are cut to one less.
inline constexpr std::size_t kLineSize = 768;
// A host name of DNS's longest, 253 characters, and its terminator.
inline constexpr std::size_t kServerAddressSize = 254;
inline constexpr std::size_t kPasswordSize = 64;
inline constexpr std::size_t kDigestSize = 33;
inline constexpr std::size_t kCandidateSize = 16;
// A server silent for longer than its interval and this many seconds has
// gone, and so has the access of a client that heard no GOOD for as long.
inline constexpr int kSilenceMargin = 5;

using LogLevel = int;

struct ClientSettings {
  int verbose = 0;
  int quiet = 0;
  int coloured = 0;
  const char* log_file_path = nullptr;
  const char* access_mode = nullptr;
  const char* state_file_path = nullptr;    // none: no state file is kept
  const char* hook_program = nullptr;       // -e, as checked at start: its full path
  const char* hours = nullptr;              // -w as given; none: any time
  const char* network_interface = nullptr;  // -i; none: connections leave as routed
  std::intptr_t console_output = 0;
  std::uint16_t saved_text_attribute = 0;
};

extern ClientSettings settings;

}  // namespace lumagate
