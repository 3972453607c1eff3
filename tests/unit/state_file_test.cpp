#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "runtime/hours.h"
#include "runtime/state_file.h"

namespace lumagate {
namespace {

TEST(StateFile, TimesAreUtcAndReadBack) {
  for (const auto& [seconds, text] :
       {std::pair<std::int64_t, std::string>{1796880600, "2026-12-10T05:30:00Z"},
        {951868799, "2000-02-29T23:59:59Z"},
        {-1, "1969-12-31T23:59:59Z"}}) {
    std::int64_t read = 0;
    EXPECT_EQ(utc_time_text(seconds), text);
    EXPECT_TRUE(parse_utc_time(text, &read) && read == seconds) << text;
  }
}

// Every key must be there and the last line whole; another version's file
// is told apart.
TEST(StateFile, OnlyAWholeFileOfThisVersionIsRead) {
  StateRecord record;
  record.state = "let-in";
  record.since = 1796880600;
  record.version = LUMAGATE_VERSION;
  const std::string text = format_state(record);
  StateRecord read;
  EXPECT_EQ(parse_state(text, &read), StateParse::kRead);
  EXPECT_EQ(format_state(read), text);
  EXPECT_EQ(parse_state(text.substr(0, text.size() - 1), &read), StateParse::kTruncated);
  EXPECT_EQ(parse_state(text.substr(text.find('\n') + 1), &read), StateParse::kTruncated);
  EXPECT_EQ(parse_state("version=0.9\n", &read), StateParse::kOtherVersion);
}

TEST(Hours, WindowsAcrossMidnightAndTheWholeDay) {
  struct Case {
    const char* text;
    int minute;
    bool within;
    int to_start_or_end;
  };
  const Case cases[] = {
      {"06:00-23:30", 5 * 60, false, 60},
      {"06:00-23:30", 23 * 60 + 29, true, 1},
      {"22:00-02:00", 1 * 60, true, 60},
      {"22:00-02:00", 21 * 60, false, 60},
      {"00:00-24:00", 0, true, 1440},
      {"22:00-00:00,06:00-07:00", 23 * 60, true, 60},
      {"22:00-00:00,06:00-07:00", 3 * 60, false, 180},
  };
  for (const Case& test : cases) {
    Hours hours;
    ASSERT_EQ(parse_hours(test.text, &hours), nullptr) << test.text;
    EXPECT_EQ(within_hours(hours, test.minute), test.within) << test.text << " " << test.minute;
    EXPECT_EQ(test.within ? minutes_to_end(hours, test.minute)
                          : minutes_to_next_start(hours, test.minute),
              test.to_start_or_end)
        << test.text << " " << test.minute;
  }
}

}  // namespace
}  // namespace lumagate
