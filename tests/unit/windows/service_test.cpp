// The service's end as the manager hears it, when a stop control and the
// client's own end come in either order.
#include <string>

#include <gtest/gtest.h>

#include "platform/windows/service.h"

namespace lumagate {
namespace {

std::string heard;
void stopping() { heard += "stop-pending "; }
void ended(int code) { heard += "end " + std::to_string(code) + " "; }
void stopped(int code) { heard += "stopped " + std::to_string(code) + " "; }

TEST(WindowsServiceEnd, AStopMakesAnyEndCleanAndNothingFollowsTheEnd) {
  const struct {
    const char* turns;  // s: a stop control, 0 and 1: the client ends with that code
    const char* heard;
  } cases[] = {
      {"s1", "stop-pending end 0 "},
      // A stop after the client's own end wins: the manager hears of a
      // stop, not a failure that it would answer with a restart.
      {"1ss", "end 1 stopped 1 "},
      {"ss10", "stop-pending end 0 "},
  };
  for (const auto& each : cases) {
    heard.clear();
    platform::windows::ServiceEnd end(stopping, ended, stopped);
    for (const char* turn = each.turns; *turn != '\0'; ++turn) {
      if (*turn == 's') {
        end.stop();
      } else {
        end.end(*turn - '0');
      }
    }
    EXPECT_EQ(heard, each.heard) << each.turns;
  }
}

}  // namespace
}  // namespace lumagate
