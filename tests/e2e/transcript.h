// Reading a client's output in order, and timing what it shows.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "harness.h"

namespace e2e {

using SteadyClock = std::chrono::steady_clock;

// Seconds since `start`, as a fraction.
inline double seconds_since(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// True when `text` starts with a time of day as "[HH:MM:SS] ".
inline bool starts_with_time(const std::string& text, std::size_t at) {
  auto digit = [&](std::size_t i, char high) {
    return at + i < text.size() && text[at + i] >= '0' && text[at + i] <= high;
  };
  auto is = [&](std::size_t i, char c) { return at + i < text.size() && text[at + i] == c; };
  bool hour = (is(1, '2') && digit(2, '3')) || (digit(1, '1') && digit(2, '9'));
  return is(0, '[') && hour && is(3, ':') && digit(4, '5') && digit(5, '9') && is(6, ':') &&
         digit(7, '5') && digit(8, '9') && is(9, ']') && is(10, ' ');
}

// The output with every line's "[HH:MM:SS] " prefix replaced by "[T] ", so a
// whole transcript can be compared; a malformed prefix stays as it was.
inline std::string without_times(const std::string& output) {
  std::string result;
  std::size_t line = 0;
  while (line < output.size()) {
    std::size_t end = output.find('\n', line);
    end = end == std::string::npos ? output.size() : end + 1;
    if (starts_with_time(output, line)) {
      result += "[T] ";
      result.append(output, line + 11, end - line - 11);
    } else {
      result.append(output, line, end - line);
    }
    line = end;
  }
  return result;
}

// Walks through a process's output: each expected text must appear after the
// one found before it.
class Transcript {
 public:
  explicit Transcript(Process& process) : process_(process) {}

  // True once `text` appears after the point reached; moves past it.
  bool next(const std::string& text, Millis timeout) {
    auto deadline = SteadyClock::now() + timeout;
    for (;;) {
      bool alive = process_.running();
      std::string output = process_.output();
      auto at = output.find(text, position_);
      if (at != std::string::npos) {
        position_ = at + text.size();
        return true;
      }
      if (!alive || SteadyClock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

 private:
  Process& process_;
  std::size_t position_ = 0;
};

}  // namespace e2e
