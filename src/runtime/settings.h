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

using LogLevel = int;

struct ClientSettings {
  int verbose = 0;
  int quiet = 0;
  int coloured = 0;
  const char* log_file_path = nullptr;
  const char* access_mode = nullptr;
  std::intptr_t console_output = 0;
  std::uint16_t saved_text_attribute = 0;
};

extern ClientSettings settings;

}  // namespace lumagate
