#include "runtime/state_file.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "runtime/text.h"

namespace lumagate {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// The day count since 1970-01-01 of a date in the proleptic Gregorian
// calendar, and back (H. Hinnant's algorithms, in eras of 400 years).
std::int64_t days_from_civil(std::int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t year_of_era = year - era * 400;
  const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

struct Date {
  std::int64_t year;
  int month;
  int day;
};

Date civil_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t day_of_era = days - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
  const int day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  const int month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  return {year_of_era + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

std::int64_t floor_divide(std::int64_t value, std::int64_t by) {
  return value / by - (value % by < 0 ? 1 : 0);
}

// The keys in the file's order.
enum Key {
  kState,
  kSince,
  kLastGood,
  kServer,
  kMode,
  kRefusals,
  kNextTry,
  kText,
  kInterval,
  kPid,
  kVersion,
  kKeyCount
};
const std::array<const char*, kKeyCount> kKeys = {"state",    "since",    "last_good", "server",
                                                  "mode",     "refusals", "next_try",  "text",
                                                  "interval", "pid",      "version"};

bool read_number(const std::string& text, std::int64_t limit, std::int64_t* value) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *value = std::strtoll(text.c_str(), nullptr, 10);
  return *value <= limit;
}

// A time, or the empty text that stands for none.
bool read_time(const std::string& text, std::int64_t* seconds) {
  if (text.empty()) {
    *seconds = kNoTime;
    return true;
  }
  return parse_utc_time(text, seconds);
}

// The numbers and times of `values` into `record`; false when one is not
// of its key's kind.
bool take_values(const std::array<std::string, kKeyCount>& values, StateRecord* record) {
  std::int64_t refusals = 0;
  std::int64_t interval = 0;
  std::int64_t pid = 0;
  if (!read_time(values[kSince], &record->since) ||
      !read_time(values[kLastGood], &record->last_good) ||
      !read_time(values[kNextTry], &record->next_try) ||
      !read_number(values[kRefusals], INT32_MAX, &refusals) ||
      !read_number(values[kInterval], INT32_MAX, &interval) ||
      !read_number(values[kPid], UINT32_MAX, &pid)) {
    return false;
  }
  record->state = values[kState];
  record->server = values[kServer];
  record->mode = values[kMode];
  record->text = values[kText];
  record->version = values[kVersion];
  record->refusals = static_cast<int>(refusals);
  record->interval = static_cast<int>(interval);
  record->pid = static_cast<std::uint32_t>(pid);
  return true;
}

}  // namespace

std::string format_state(const StateRecord& record) {
  const std::array<std::string, kKeyCount> values = {
      record.state,
      utc_time_text(record.since),
      utc_time_text(record.last_good),
      record.server,
      record.mode,
      decimal(record.refusals),
      utc_time_text(record.next_try),
      record.text,
      decimal(record.interval),
      decimal(record.pid),
      record.version,
  };
  std::string text;
  for (std::size_t key = 0; key < kKeyCount; ++key) {
    text += kKeys[key];
    text += '=';
    text += values[key];
    text += '\n';
  }
  return text;
}

StateParse parse_state(const std::string& text, StateRecord* record) {
  *record = StateRecord{};
  std::array<std::string, kKeyCount> values;
  std::array<bool, kKeyCount> found{};
  for (std::size_t line = 0; line < text.size();) {
    const std::size_t end = text.find('\n', line);
    if (end == std::string::npos) return StateParse::kTruncated;
    const std::size_t equals = text.find('=', line);
    for (std::size_t key = 0; key < kKeyCount && equals < end; ++key) {
      if (text.compare(line, equals - line, kKeys[key]) != 0) continue;
      values[key] = text.substr(equals + 1, end - equals - 1);
      found[key] = true;
    }
    line = end + 1;
  }
  // The version first: another version may keep other keys.
  if (found[kVersion] && values[kVersion] != LUMAGATE_VERSION) return StateParse::kOtherVersion;
  for (const bool there : found) {
    if (!there) return StateParse::kTruncated;
  }
  return take_values(values, record) ? StateParse::kRead : StateParse::kTruncated;
}

std::string utc_time_text(std::int64_t seconds) {
  if (seconds == kNoTime) return {};
  const std::int64_t days = floor_divide(seconds, kSecondsPerDay);
  const std::int64_t of_day = seconds - days * kSecondsPerDay;
  const Date date = civil_from_days(days);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02dZ",
                static_cast<long long>(date.year), date.month, date.day,
                static_cast<int>(of_day / 3600), static_cast<int>(of_day / 60 % 60),
                static_cast<int>(of_day % 60));
  return text;
}

bool parse_utc_time(const std::string& text, std::int64_t* seconds) {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  char zone = '\0';
  int length = 0;
  if (text.size() != 20 ||
      std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &year, &month, &day, &hour, &minute,
                  &second, &zone, &length) != 7 ||
      length != 20 || zone != 'Z' || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 59) {
    return false;
  }
  *seconds = days_from_civil(year, month, day) * kSecondsPerDay + std::int64_t{hour} * 3600 +
             std::int64_t{minute} * 60 + second;
  return true;
}

}  // namespace lumagate
