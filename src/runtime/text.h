// Bounded text helpers shared by every subsystem.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace lumagate {

// Copies `text` into `out`, cut to size - 1 bytes and always terminated.
void copy_bounded(char* out, std::size_t size, const char* text);

// Whether `c` is a control character: 0 to 31, or DEL.
inline bool is_control_character(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

// Ends `text` at its first CR or LF.
void cut_line_end(char* text);

// Ends the first line of `text` (`length` bytes) at its line end, a CR LF or
// a lone CR or LF, and gives where the rest begins: `length` when the text
// has no line end.
std::size_t cut_first_line(char* text, std::size_t length);

// The client's answer line, "RESPONSE <proof> <number> <access mode>" and
// CR LF, into `out` (`size` bytes, cut and always terminated; none when
// `size` is 0). Its length uncut.
int format_response(char* out, std::size_t size, const char* proof, int number, const char* mode);

// Copies `text` into `out` with each control character but tab in caret
// notation, as "cat -v" shows it ("^[" for ESC, "^?" for DEL), so that it
// cannot drive a terminal. So are the C1 controls, as `c1` says the console
// takes them ("M-^[" for CSI): bytes 0x80 to 0x9F that are no part of a
// UTF-8 sequence and U+0080 to U+009F in UTF-8, or every such byte. Cut to
// size - 1 bytes without splitting a form or a character, and always
// terminated.
void show_controls(char* out, std::size_t size, const char* text, platform::C1Controls c1);

// A whole number in decimal. (Not std::to_string: the router builds link
// no compiled C++ library, which holds it.)
std::string decimal(long long value);

// `text` as the log shows it, with show_controls and the console's C1
// controls, cut to size - 1 bytes: four times the text's length and one
// cut nothing.
std::string shown_as_logged(const char* text, std::size_t size);

}  // namespace lumagate
