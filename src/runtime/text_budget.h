// What a server can make the client write where nobody asked for every
// line (a service's output, the log file): a router's log holds 64 KiB,
// and a server sending a line a second would push every other daemon's
// lines out of it in about 80 s. So a line that repeats the last one within
// a minute is counted, server text beyond 8 KiB an hour is held back, and a
// note a minute at most tells what was.
#pragma once

#include <array>
#include <cstdint>

#include "runtime/settings.h"

namespace lumagate {

// The server's verdict that a line carries; a change is never counted as
// a repeat, and the notes keep the verdict in view.
enum class Verdict { kNone, kGood, kSorry };

inline constexpr std::int64_t kTextBudgetBytes = 8192;
inline constexpr int kWholeLinesPerConnection = 8;

struct TextBudget {
  static constexpr std::int64_t kLongAgo = -(std::int64_t{1} << 62);

  std::array<char, kLineSize> last{};  // the server line written last
  std::int64_t last_written_at = kLongAgo;
  Verdict last_verdict = Verdict::kNone;   // that line's
  Verdict shown_verdict = Verdict::kNone;  // the verdict written last
  int repeats = 0;                         // of `last`, not yet told
  std::int64_t repeats_since = 0;
  int connection_lines = 0;
  int held = 0;  // lines not written, not yet told
  Verdict held_verdict = Verdict::kNone;
  std::int64_t held_told_at = kLongAgo;
  // Bytes written in each minute of the last hour and the one under way,
  // and which minute each slot holds.
  std::array<std::int64_t, 61> spent{};
  std::array<std::int64_t, 61> spent_minute{};
};

// Where the lines go that the budget lets through, and its notes.
using WriteLine = void (*)(LogLevel level, const char* message);

// A connection begins at `now` (in seconds): its first lines pass whole.
void budget_connection(TextBudget& budget, std::int64_t now, WriteLine write);

// Writes `message` (a finished message, line end and all) if the budget
// lets it through at `now`, and the notes that are due.
void budget_line(TextBudget& budget, LogLevel level, Verdict verdict, const char* message,
                 std::int64_t now, WriteLine write);

}  // namespace lumagate
