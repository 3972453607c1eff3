// Bounded text helpers shared by every subsystem.
#pragma once

#include <cstddef>

namespace lumagate {

// Copies `text` into `out`, cut to size - 1 bytes and always terminated.
void copy_bounded(char* out, std::size_t size, const char* text);

// Ends `text` at its first CR or LF.
void cut_line_end(char* text);

}  // namespace lumagate
