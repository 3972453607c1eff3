#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "runtime/colours.h"
#include "runtime/log.h"
#include "test_support.h"

namespace lumagate {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

class ReportTest : public testing::SettingsTest {};

// Sets the zone so that the local hour is now `hour`.
void make_local_hour(int hour) {
  const std::time_t now = std::time(nullptr);
  const int utc_hour = std::gmtime(&now)->tm_hour;
  int offset = (hour - utc_hour + 24) % 24;
  if (offset > 12) offset -= 24;
  // POSIX zones count west of Greenwich as positive.
  testing::set_time_zone("TST" + std::to_string(-offset));
}

TEST_F(ReportTest, PrefixesTheTimeOfDayWithLeadingZeros) {
  for (int hour : {0, 9}) {
    make_local_hour(hour);
    CaptureStdout();
    report(3, "tick\n");
    const std::string line = GetCapturedStdout();
    char expected_hour[8];
    std::snprintf(expected_hour, sizeof expected_hour, "[%02d:", hour);
    EXPECT_EQ(line.rfind(expected_hour, 0), 0u) << line;
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\[\d\d:[0-5]\d:[0-5]\d\] tick\n)"))) << line;
  }
  testing::set_time_zone("");
}

TEST_F(ReportTest, CutsTheMessageAt756CharactersKeepingItsLineEnd) {
  const std::string message(1000, 'x');
  CaptureStdout();
  report(1, "%s\n", message.c_str());
  report(1, "%s", (message + "\r\n").c_str());
  report(1, "%s", message.c_str());
  const std::string lines = GetCapturedStdout();
  ASSERT_EQ(lines.size(), 3 * 767u);
  EXPECT_EQ(lines.substr(11, 756), std::string(755, 'x') + "\n");
  EXPECT_EQ(lines.substr(767 + 11, 756), std::string(754, 'x') + "\r\n");
  EXPECT_EQ(lines.substr(2 * 767 + 11), std::string(756, 'x'));
}

TEST_F(ReportTest, PrintsPercentSignsOfTheMessageAsTheyAre) {
  CaptureStdout();
  report(2, "50%% done %s\n", "%d%n%s");
  EXPECT_EQ(GetCapturedStdout().substr(11), "50% done %d%n%s\n");
}

TEST_F(ReportTest, QuietModeStillLogsEveryLineWithCrLf) {
  const std::string log = path("client.log");
  settings.quiet = 1;
  settings.log_file_path = log.c_str();
  CaptureStdout();
  report(3, "lost connection\n");
  report(1, "recv failed: text with its own end\r\n");
  EXPECT_EQ(GetCapturedStdout(), "");
  const std::string content = read_file(log);
  ASSERT_EQ(content.size(), std::size_t{2} * 11 + std::strlen("lost connection\r\n") +
                                std::strlen("recv failed: text with its own end\r\n"));
  EXPECT_NE(content.find("] lost connection\r\n["), std::string::npos);
  EXPECT_TRUE(content.ends_with("] recv failed: text with its own end\r\n"));
}

TEST_F(ReportTest, DeletesTheLogOnlyPastOneMebibyte) {
  const std::string log = path("client.log");
  settings.quiet = 1;
  settings.log_file_path = log.c_str();
  const std::size_t stored_line = 11 + std::strlen("line\r\n");

  write_file(log, std::string(kLogFileLimit - stored_line, 'a'));
  report(3, "line\n");
  EXPECT_EQ(std::filesystem::file_size(log), static_cast<std::uintmax_t>(kLogFileLimit));

  report(3, "line\n");  // one line past the limit
  EXPECT_FALSE(std::filesystem::exists(log));

  report(3, "fresh\n");
  EXPECT_EQ(read_file(log).substr(10), " fresh\r\n");

  // A file already too large goes with its first new line.
  write_file(log, std::string(kLogFileLimit + 10, 'b'));
  report(3, "line\n");
  EXPECT_FALSE(std::filesystem::exists(log));
}

TEST_F(ReportTest, AnUnwritableLogLeavesTheConsoleAlone) {
  const std::string folder = folder_.string();
  settings.log_file_path = folder.c_str();  // a directory
  CaptureStdout();
  report(1, "still shown\n");
  EXPECT_EQ(GetCapturedStdout().substr(10), " still shown\n");
}

void* no_memory(std::size_t) { return nullptr; }

TEST_F(ReportTest, ALineBufferThatCannotBeHadStillTellsAndEnds) {
  set_allocate_function(no_memory);
  CaptureStdout();
  const int code = testing::exit_code_of([] { report(2, "hello\n"); });
  const std::string out = GetCapturedStdout();
  set_allocate_function(nullptr);
  EXPECT_EQ(code, 1);
  EXPECT_NE(out.find("] hello\n"), std::string::npos) << out;
  EXPECT_NE(out.find("] Error allocating 768 bytes of memory.\n"), std::string::npos) << out;

  set_allocate_function(no_memory);
  CaptureStdout();
  EXPECT_EQ(testing::exit_code_of([] { alloc_or_exit(100); }), 1);
  set_allocate_function(nullptr);
  EXPECT_NE(GetCapturedStdout().find("] Error allocating 100 bytes of memory.\n"),
            std::string::npos);
}

TEST(ColourTable, EveryLevelHasItsAttribute) {
  EXPECT_EQ(level_colour(0), 0x80);
  EXPECT_EQ(level_colour(1), 0x0C);
  EXPECT_EQ(level_colour(2), 0x0A);
  EXPECT_EQ(level_colour(3), 0x0E);
  EXPECT_EQ(level_colour(6), 0x0B);
  EXPECT_EQ(level_colour(7), 0x0F);
  EXPECT_EQ(level_colour(-1), 0x0F);
}

}  // namespace
}  // namespace lumagate
