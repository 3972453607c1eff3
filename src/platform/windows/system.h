// How the Windows layer words a system error text, for its tests.
#pragma once

#include <cstddef>

namespace lumagate::platform::windows {

// `text` as one line of UTF-8 in `out`: each run of line ends inside it a
// blank, the ones at its end dropped, cut at a whole character so that its
// own line end still fits. At most `size` - 1 bytes, always terminated.
void one_line(const wchar_t* text, char* out, std::size_t size);

}  // namespace lumagate::platform::windows
