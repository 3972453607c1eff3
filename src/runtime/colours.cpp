// Console colours by message level; the console's own colours come back
// after every line.
#include "runtime/colours.h"

#include <array>

#include "platform/platform.h"
#include "runtime/lifecycle.h"
#include "runtime/log.h"

namespace lumagate {
namespace {

constexpr std::array<std::uint16_t, 7> kLevelColours = {
    0x80,  // black on dark grey
    0x0C,  // bright red: errors
    0x0A,  // bright green: the server's verdicts and notices
    0x0E,  // bright yellow: tracing, usage text, password prompt
    0x09,  // bright blue
    0x0D,  // bright magenta
    0x0B,  // bright cyan
};
constexpr std::uint16_t kOtherLevelColour = 0x0F;  // bright white

bool colours_active() { return settings.coloured != 0 && stdout_handle_valid(); }

}  // namespace

std::uint16_t level_colour(LogLevel level) {
  if (level < 0 || level >= static_cast<LogLevel>(kLevelColours.size())) {
    return kOtherLevelColour;
  }
  return kLevelColours[static_cast<std::size_t>(level)];
}

void init_console_colours() {
  if (!colours_active()) return;
  settings.console_output = platform::standard_output_handle();
  std::uint16_t attribute = 0;
  switch (platform::console_text_attribute(settings.console_output, &attribute)) {
    case platform::AttributeQuery::kFound:
      break;
    case platform::AttributeQuery::kNotConsole:
      // Later changes have no effect on a file or a pipe.
      attribute = 0;
      break;
    case platform::AttributeQuery::kNoMemory:
      report(1, "Error allocating memory for ConsoleInfo.\n");
      exit_program(1);
  }
  settings.saved_text_attribute = attribute;
}

bool stdout_handle_valid() {
  const platform::ConsoleHandle handle = platform::standard_output_handle();
  return handle != platform::kNullConsole && handle != platform::kInvalidConsole;
}

void colour_on(LogLevel level) {
  if (colours_active()) set_level_colour(level);
}

void set_level_colour(LogLevel level) {
  platform::set_console_text_attribute(settings.console_output, level_colour(level));
}

void colour_off() {
  if (!colours_active()) return;
  platform::set_console_text_attribute(settings.console_output, settings.saved_text_attribute);
}

}  // namespace lumagate
