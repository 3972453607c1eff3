// The state file: how the client stands, one "key=value" line each, for
// -p, the program of -e and the router's page. Its keys and their order,
// its state words and its time form (UTC, 2026-12-10T05:30:00Z) are what
// every reader relies on.
#pragma once

#include <cstdint>
#include <string>

namespace lumagate {

inline constexpr std::int64_t kNoTime = INT64_MIN;
// Of the server's last line, as the log shows it.
inline constexpr std::size_t kStateTextBytes = 200;

struct StateRecord {
  std::string state;  // connecting, let-in, refused, lost, waiting-hours, backing-off
  std::int64_t since = kNoTime;
  std::int64_t last_good = kNoTime;
  std::string server;
  std::string mode;
  int refusals = 0;  // in a row
  std::int64_t next_try = kNoTime;
  std::string text;
  int interval = 0;
  std::uint32_t pid = 0;
  std::string version;
};

// The file's text. The texts hold no line ends: they come shown as the log
// shows them.
std::string format_state(const StateRecord& record);

enum class StateParse { kRead, kTruncated, kOtherVersion };

// Reads the file's text; every key must be there, and the last line whole.
StateParse parse_state(const std::string& text, StateRecord* record);

// Seconds since 1970 in UTC as 2026-12-10T05:30:00Z; empty for kNoTime.
std::string utc_time_text(std::int64_t seconds);

// The seconds of such a text; false when it is none.
bool parse_utc_time(const std::string& text, std::int64_t* seconds);

}  // namespace lumagate
