// Console colours by message level.
#pragma once

#include <cstdint>

#include "runtime/settings.h"

namespace lumagate {

// The console text attribute shown for a level.
std::uint16_t level_colour(LogLevel level);

void init_console_colours();
bool stdout_handle_valid();
void colour_on(LogLevel level);
void set_level_colour(LogLevel level);
void colour_off();

}  // namespace lumagate
