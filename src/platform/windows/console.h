// Shared between the console and the process code of the Windows layer.
#pragma once

namespace lumagate::platform::windows {

// Puts the console's own attribute back if a level's colour is in force.
// Safe on the thread that delivers an interrupt.
void restore_console_colour();

}  // namespace lumagate::platform::windows
