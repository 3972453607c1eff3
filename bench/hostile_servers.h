// Servers that try to fill the client's output, in simulated time, at the
// most the client takes: a line a second, a new connection at will.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "runtime/text_budget.h"

namespace lumagate::hostile {

// What a server sends in a second: a new connection first, if `connects`.
struct Sent {
  std::string line;
  Verdict verdict;
  bool connects;
};
using Server = Sent (*)(std::int64_t second);

// A line of the longest message the client writes, 756 characters.
inline std::string longest(const std::string& start) {
  return start + std::string(755 - start.size(), 'x') + "\n";
}

inline Sent distinct_reconnecting(std::int64_t second) {
  return {longest("INFO " + std::to_string(second)), Verdict::kNone, second % 8 == 0};
}
inline Sent alternating_verdicts(std::int64_t second) {
  const bool good = second % 2 == 1;
  return {longest((good ? "GOOD " : "SORRY ") + std::to_string(second)),
          good ? Verdict::kGood : Verdict::kSorry, !good};
}
inline Sent same_good(std::int64_t) { return {longest("GOOD"), Verdict::kGood, false}; }

inline std::vector<std::pair<std::int64_t, std::int64_t>> writes;  // second, bytes
inline std::int64_t second_now = 0;

inline void count_write(LogLevel, const char* message) {
  writes.emplace_back(second_now, 11 + static_cast<std::int64_t>(std::string(message).size()));
}

// The most the client writes in any hour that begins after its first
// minute, over three hours of `server`.
inline std::int64_t worst_hour(Server server) {
  constexpr std::int64_t kHour = 3600;
  TextBudget budget;
  writes.clear();
  for (second_now = 0; second_now < 3 * kHour; ++second_now) {
    const Sent sent = server(second_now);
    if (sent.connects) budget_connection(budget, second_now, count_write);
    budget_line(budget, 2, sent.verdict, sent.line.c_str(), second_now, count_write);
  }
  std::erase_if(writes, [](const auto& write) { return write.first < 60; });
  std::int64_t worst = 0, in_hour = 0;
  for (std::size_t last = 0, first = 0; last < writes.size(); ++last) {
    in_hour += writes[last].second;
    while (writes[first].first <= writes[last].first - kHour) in_hour -= writes[first++].second;
    worst = std::max(worst, in_hour);
  }
  return worst;
}

}  // namespace lumagate::hostile
