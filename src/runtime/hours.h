// The daily hours the client may run in (-w): windows of local time such as
// 06:00-23:30, one crossing midnight such as 22:00-02:00, or 00:00-24:00.
#pragma once

#include <vector>

namespace lumagate {

inline constexpr int kMinutesPerDay = 24 * 60;

// From its first minute up to, not including, its last; a window that
// crosses midnight ends below its start.
struct HoursWindow {
  int start;  // minute of the day, 0 to 1439
  int end;    // 1 to 1440
};

using Hours = std::vector<HoursWindow>;

// Reads `text`, windows separated by commas, into `hours`. Null when it
// holds, else why not: a message to show.
const char* parse_hours(const char* text, Hours* hours);

// Whether `minute` of the day lies in one of the windows; any minute does
// without windows.
bool within_hours(const Hours& hours, int minute);

// The minutes from `minute` to the next start of a window, 1 to 1440.
int minutes_to_next_start(const Hours& hours, int minute);

// The minutes from `minute`, inside a window, to that window's end.
int minutes_to_end(const Hours& hours, int minute);

}  // namespace lumagate
