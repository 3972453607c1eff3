#include "runtime/hours.h"

namespace lumagate {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads "HH:MM" at `*text` and moves past it; -1 when it is not there.
// 24:00 is the end of the day, no other time past 23:59.
int read_time(const char** text) {
  const char* at = *text;
  if (!is_digit(at[0]) || !is_digit(at[1]) || at[2] != ':' || !is_digit(at[3]) ||
      !is_digit(at[4])) {
    return -1;
  }
  const int hour = (at[0] - '0') * 10 + (at[1] - '0');
  const int minute = (at[3] - '0') * 10 + (at[4] - '0');
  if (minute > 59 || hour > 24 || (hour == 24 && minute != 0)) return -1;
  *text = at + 5;
  return hour * 60 + minute;
}

bool contains(const HoursWindow& window, int minute) {
  return window.start < window.end ? minute >= window.start && minute < window.end
                                   : minute >= window.start || minute < window.end;
}

// Two windows share a minute when either holds the other's first.
bool overlap(const HoursWindow& one, const HoursWindow& other) {
  return contains(one, other.start) || contains(other, one.start);
}

}  // namespace

const char* parse_hours(const char* text, Hours* hours) {
  constexpr const char* kForm =
      "The hours must be windows such as 06:00-23:30, separated by commas.\n";
  hours->clear();
  for (;;) {
    HoursWindow window{};
    window.start = read_time(&text);
    if (window.start < 0 || window.start == kMinutesPerDay || *text++ != '-') return kForm;
    window.end = read_time(&text);
    if (window.end < 0) return kForm;
    if (window.end == window.start)
      return "A window of the hours lasts no time: it ends where it starts.\n";
    // 22:00-00:00 ends with the day, as 22:00-24:00 does.
    if (window.end == 0) window.end = kMinutesPerDay;
    for (const HoursWindow& earlier : *hours) {
      if (overlap(earlier, window)) return "Two windows of the hours overlap.\n";
    }
    hours->push_back(window);
    if (*text == '\0') return nullptr;
    if (*text++ != ',') return kForm;
  }
}

bool within_hours(const Hours& hours, int minute) {
  if (hours.empty()) return true;
  for (const HoursWindow& window : hours) {
    if (contains(window, minute)) return true;
  }
  return false;
}

int minutes_to_next_start(const Hours& hours, int minute) {
  int nearest = kMinutesPerDay;
  for (const HoursWindow& window : hours) {
    const int ahead = (window.start - minute + kMinutesPerDay) % kMinutesPerDay;
    if (ahead > 0 && ahead < nearest) nearest = ahead;
  }
  return nearest;
}

int minutes_to_end(const Hours& hours, int minute) {
  for (const HoursWindow& window : hours) {
    if (contains(window, minute)) {
      return (window.end - minute + kMinutesPerDay - 1) % kMinutesPerDay + 1;
    }
  }
  return 0;
}

}  // namespace lumagate
