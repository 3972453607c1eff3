// How the Windows layer words its texts: a system error text (for its
// tests), anything wide in UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace lumagate::platform::windows {

// `text` as one line of UTF-8 in `out`: each run of line ends inside it a
// blank, the ones at its end dropped, cut at a whole character so that its
// own line end still fits. At most `size` - 1 bytes, always terminated.
void one_line(const wchar_t* text, char* out, std::size_t size);

// A wide text in UTF-8, the program's own encoding, and back; empty when
// the text is no UTF-8.
std::string utf8_text(const wchar_t* wide);
std::wstring wide_of(const char* utf8);

}  // namespace lumagate::platform::windows
