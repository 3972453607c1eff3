// Shared between the console and the process code of the Windows layer.
#pragma once

namespace lumagate::platform::windows {

// Puts the console's own attribute back if a level's colour is in force.
// Safe on the thread that delivers an interrupt.
void restore_console_colour();

// Puts the console's input mode back as the program found it, if the
// program has changed it. Safe on the thread that delivers an interrupt.
void restore_console_input();

// After an error, in a console window that belongs to this process alone
// (a double-click in Explorer made it, and it closes with the process):
// asks for a key and waits for it, so that the message can be read.
void hold_window_for_reading();

}  // namespace lumagate::platform::windows
