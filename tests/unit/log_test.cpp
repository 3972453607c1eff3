#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

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
  std::tm utc{};
  gmtime_r(&now, &utc);
  int offset = (hour - utc.tm_hour + 24) % 24;
  if (offset > 12) offset -= 24;
  // POSIX zones count west of Greenwich as positive.
  setenv("TZ", ("TEST" + std::to_string(-offset)).c_str(), 1);
  tzset();
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
  unsetenv("TZ");
  tzset();
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
  ASSERT_EQ(content.size(), 2 * 11 + std::strlen("lost connection\r\n") +
                                std::strlen("recv failed: text with its own end\r\r\n"));
  EXPECT_NE(content.find("] lost connection\r\n["), std::string::npos);
  EXPECT_TRUE(content.ends_with("] recv failed: text with its own end\r\r\n"));
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

TEST_F(ReportTest, ANewLogIsTheOwnersAloneAndAnOldOneKeepsItsMode) {
  using std::filesystem::perms;
  const std::string log = path("client.log");
  settings.quiet = 1;
  settings.log_file_path = log.c_str();
  const auto mode = [&] { return std::filesystem::status(log).permissions(); };
  // The second mask would even take the owner's right to write.
  for (mode_t mask : {0000, 0277}) {
    const mode_t before = umask(mask);
    report(3, "new\n");
    umask(before);
    EXPECT_EQ(mode(), perms::owner_read | perms::owner_write) << "umask " << mask;
    std::filesystem::remove(log);
  }
  write_file(log, "old\r\n");
  const perms shared = perms::owner_read | perms::owner_write | perms::group_read |
                       perms::group_write | perms::others_read;
  std::filesystem::permissions(log, shared);
  report(3, "appended\n");
  EXPECT_EQ(mode(), shared);
  EXPECT_TRUE(read_file(log).ends_with("] appended\r\n"));
}

TEST_F(ReportTest, AnUnwritableLogLeavesTheConsoleAlone) {
  settings.log_file_path = folder_.c_str();  // a directory
  CaptureStdout();
  report(1, "still shown\n");
  EXPECT_EQ(GetCapturedStdout().substr(10), " still shown\n");
}

TEST_F(ReportTest, SystemErrorsCarryTheCodeAndThePlatformText) {
  CaptureStdout();
  report_system_error("recv", 111);
  report_system_error("connect", static_cast<std::int32_t>(0x80000001u));
  const std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("] recv failed with error 111: Connection refused\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("] connect failed with error -2147483647: "), std::string::npos) << out;
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

// Runs `action` with standard output on a fresh terminal; what it showed.
template <typename Action>
std::string on_terminal(Action action) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "<no pty>";
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(slave, STDOUT_FILENO);
  action();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(slave);
  std::string shown;
  fcntl(master, F_SETFL, O_NONBLOCK);
  char chunk[512];
  for (ssize_t got; (got = read(master, chunk, sizeof chunk)) > 0;) shown.append(chunk, got);
  close(master);
  return shown;
}

TEST_F(ReportTest, ColoursReachOnlyATerminal) {
  settings.coloured = 1;
  const std::string shown = on_terminal([] {
    init_console_colours();
    report(1, "failure\n");
    report(2, "GOOD\n");
  });
  EXPECT_NE(shown.find("\033[0;91;40m["), std::string::npos) << shown;
  EXPECT_NE(shown.find("failure\r\n\033[0m"), std::string::npos) << shown;
  EXPECT_NE(shown.find("\033[0;92;40m["), std::string::npos) << shown;

  // The same settings with standard output in a file: plain lines only.
  const std::string log = path("out.log");
  settings.log_file_path = log.c_str();
  CaptureStdout();
  init_console_colours();
  report(1, "failure\n");
  const std::string plain = GetCapturedStdout();
  EXPECT_EQ(plain.find('\033'), std::string::npos);
  EXPECT_EQ(read_file(log).find('\033'), std::string::npos);
}

TEST_F(ReportTest, WithoutColourNoSequenceEvenOnATerminal) {
  const std::string shown = on_terminal([] { report(1, "plain\n"); });
  EXPECT_EQ(shown.find('\033'), std::string::npos) << shown;
  EXPECT_NE(shown.find("plain"), std::string::npos);
}

}  // namespace
}  // namespace lumagate
