// Repeats counted, server text held to its budget, and the notes of both.
#include "runtime/text_budget.h"

#include <cstdio>
#include <cstring>

#include "runtime/text.h"

namespace lumagate {
namespace {

constexpr std::int64_t kRepeatSeconds = 60;
// Often enough that a page reading the log sees a repeated GOOD as fresh
// before 660 s pass.
constexpr std::int64_t kRepeatNoteSeconds = 600;
constexpr std::int64_t kHeldNoteSeconds = 60;
constexpr std::int64_t kSecondsPerMinute = 60;
constexpr std::int64_t kMinutesPerHour = 60;
// What a line costs in the output: its time prefix and its message.
constexpr std::int64_t kPrefixCost = 11;
constexpr LogLevel kNoteLevel = 2;

static_assert(std::tuple_size_v<decltype(TextBudget::spent)> == kMinutesPerHour + 1,
              "the hour's minutes and the one under way");

std::int64_t minute_of(std::int64_t now) { return now / kSecondsPerMinute; }

// A whole hour back from `now`: every minute that began less than 61
// minutes ago, so that no hour-long stretch holds more than the budget.
std::int64_t spent_last_hour(const TextBudget& budget, std::int64_t now) {
  std::int64_t spent = 0;
  for (std::size_t slot = 0; slot < budget.spent.size(); ++slot) {
    if (budget.spent_minute[slot] >= minute_of(now) - kMinutesPerHour) spent += budget.spent[slot];
  }
  return spent;
}

void charge(TextBudget& budget, std::int64_t now, std::int64_t cost) {
  const std::int64_t minute = minute_of(now);
  const auto slot =
      static_cast<std::size_t>(minute % static_cast<std::int64_t>(budget.spent.size()));
  if (budget.spent_minute[slot] != minute) {
    budget.spent_minute[slot] = minute;
    budget.spent[slot] = 0;
  }
  budget.spent[slot] += cost;
}

// Writes a line that the hour's budget pays for, or nothing when it cannot:
// a line that passes whole needs only something left of it.
bool pay_and_write(TextBudget& budget, LogLevel level, const char* message, std::int64_t now,
                   bool whole, WriteLine write) {
  const std::int64_t cost = kPrefixCost + static_cast<std::int64_t>(std::strlen(message));
  const std::int64_t spent = spent_last_hour(budget, now);
  if (whole ? spent >= kTextBudgetBytes : spent + cost > kTextBudgetBytes) return false;
  charge(budget, now, cost);
  write(level, message);
  return true;
}

void hold(TextBudget& budget, int lines, Verdict verdict) {
  budget.held += lines;
  if (verdict != Verdict::kNone) budget.held_verdict = verdict;
}

const char* plural(int count) { return count == 1 ? "" : "s"; }

// How often the last line came again unwritten; when the budget cannot pay
// for saying so, those lines count as held back.
void tell_repeats(TextBudget& budget, std::int64_t now, WriteLine write) {
  char note[64];
  std::snprintf(note, sizeof note, "(the last server line came %d time%s more)\n", budget.repeats,
                plural(budget.repeats));
  if (!pay_and_write(budget, kNoteLevel, note, now, false, write)) {
    hold(budget, budget.repeats, budget.last_verdict);
  }
  budget.repeats = 0;
}

// Once a minute at most, how many lines were held back, never their text;
// headed by the last verdict among them, so that whoever reads the log for
// the state still finds it.
void tell_held(TextBudget& budget, std::int64_t now, WriteLine write) {
  if (budget.held == 0 || now - budget.held_told_at < kHeldNoteSeconds) return;
  const char* verdict = budget.held_verdict == Verdict::kGood    ? "GOOD "
                        : budget.held_verdict == Verdict::kSorry ? "SORRY "
                                                                 : "";
  char note[64];
  std::snprintf(note, sizeof note, "%s(%d server line%s held back)\n", verdict, budget.held,
                plural(budget.held));
  write(kNoteLevel, note);
  if (budget.held_verdict != Verdict::kNone) budget.shown_verdict = budget.held_verdict;
  budget.held = 0;
  budget.held_verdict = Verdict::kNone;
  budget.held_told_at = now;
}

}  // namespace

void budget_connection(TextBudget& budget, std::int64_t now, WriteLine write) {
  budget.connection_lines = 0;
  tell_held(budget, now, write);
}

void budget_line(TextBudget& budget, LogLevel level, Verdict verdict, const char* message,
                 std::int64_t now, WriteLine write) {
  tell_held(budget, now, write);
  const bool change = verdict != Verdict::kNone && verdict != budget.shown_verdict;
  const bool same = std::strcmp(message, budget.last.data()) == 0;
  if (same && !change && now - budget.last_written_at < kRepeatSeconds) {
    if (budget.repeats++ == 0) budget.repeats_since = now;
    if (now - budget.repeats_since >= kRepeatNoteSeconds) tell_repeats(budget, now, write);
    return;
  }
  if (!same && budget.repeats > 0) tell_repeats(budget, now, write);

  const bool whole = change || budget.connection_lines < kWholeLinesPerConnection;
  ++budget.connection_lines;
  if (pay_and_write(budget, level, message, now, whole, write)) {
    copy_bounded(budget.last.data(), budget.last.size(), message);
    budget.last_written_at = now;
    budget.last_verdict = verdict;
    if (verdict != Verdict::kNone) budget.shown_verdict = verdict;
  } else {
    hold(budget, 1, verdict);
  }
  tell_held(budget, now, write);
}

}  // namespace lumagate
