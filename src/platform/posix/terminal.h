// Shared between the console and the process code of the POSIX layer.
#pragma once

namespace lumagate::platform::posix {

// Puts back the terminal settings that a password prompt changed, if any.
// Async-signal-safe.
void restore_terminal_settings();

// Puts the terminal's default colours back if a colour is in force.
// Async-signal-safe.
void restore_terminal_colour();

}  // namespace lumagate::platform::posix
