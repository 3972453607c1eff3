// What only POSIX has: colours as ANSI sequences on a terminal, the C
// library's error texts, file modes.
#include <fcntl.h>
#include <limits.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "config/password.h"
#include "platform/platform.h"
#include "runtime/colours.h"
#include "runtime/log.h"
#include "test_support.h"

namespace lumagate {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

class PosixReportTest : public testing::SettingsTest {};

TEST_F(PosixReportTest, SystemErrorsCarryTheCodeAndThePlatformText) {
  CaptureStdout();
  report_system_error("recv", 111);
  report_system_error("connect", static_cast<std::int32_t>(0x80000001u));
  const std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("] recv failed with error 111: Connection refused\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("] connect failed with error -2147483647: "), std::string::npos) << out;
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

TEST_F(PosixReportTest, ColoursReachOnlyATerminal) {
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

TEST_F(PosixReportTest, WithoutColourNoSequenceEvenOnATerminal) {
  const std::string shown = on_terminal([] { report(1, "plain\n"); });
  EXPECT_EQ(shown.find('\033'), std::string::npos) << shown;
  EXPECT_NE(shown.find("plain"), std::string::npos);
}

TEST_F(PosixReportTest, AFolderGivenAsPasswordFileCannotBeRead) {
  // A folder opens for reading here but cannot be read.
  const std::string folder = folder_.string();
  char password[kPasswordSize] = "";
  CaptureStdout();
  EXPECT_EQ(read_password_file(folder.c_str(), password, sizeof password), 1);
  const std::string shown = GetCapturedStdout();
  EXPECT_NE(shown.find("] Error reading file: " + std::string(std::strerror(EISDIR)) + "\n"),
            std::string::npos)
      << shown;
  EXPECT_EQ(shown.find(folder), std::string::npos) << shown;
}

TEST_F(PosixReportTest, ANewLogIsTheOwnersAloneAndAnOldOneKeepsItsMode) {
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

// A device at the log path is passed over: the console shows every line,
// and says why the file is not written, once.
TEST_F(PosixReportTest, ALogFileThatIsADeviceIsToldOnceAndLeavesTheConsoleAlone) {
  settings.log_file_path = "/dev/full";
  CaptureStdout();
  report(1, "still shown\n");
  report(1, "again\n");
  EXPECT_EQ(testing::messages(GetCapturedStdout()),
            "still shown\nLog file /dev/full not written: it is not a regular file.\nagain\n");
}

// The log appended to by a process of another user, as a client that is
// not root is: the kernel itself refuses it more than root.
platform::LogAppend append_as_user(uid_t user, const std::string& log) {
  const pid_t child = fork();
  if (child == 0) {
    _exit(setuid(user) != 0 ? 100
                            : static_cast<int>(platform::append_to_log_file(log.c_str(), "line\r\n",
                                                                            6, kLogFileLimit)));
  }
  int status = 0;
  waitpid(child, &status, 0);
  return static_cast<platform::LogAppend>(WEXITSTATUS(status));
}

// What a local user may plant at the log path of a client run by root: a
// link to a file of their choosing (or to none yet), a FIFO that would hold
// the client (a reader waits at it), a file of their own that they could
// read, a second name of a file. None of them is written, none blocks, none
// is even opened, and each is told for what it is, also where the kernel
// refuses the open itself.
TEST_F(PosixReportTest, ALogFileOthersCouldSteerIsNeverWritten) {
  using platform::LogAppend;
  const std::string log = path("log");
  struct Planting {
    const char* plant;
    LogAppend result;
    bool by_nobody;  // appended by a client that is not root
  };
  const Planting plantings[] = {
      {"ln -s target log", LogAppend::kSymbolicLink, false},
      {"ln -s missing log", LogAppend::kSymbolicLink, false},
      {"mkfifo log", LogAppend::kNotRegularFile, false},
      {"ln target log", LogAppend::kOtherNames, false},
      {"cp target log && chown 1 log", LogAppend::kAnotherUsersFile, false},  // as root only
      {"cp target log && chown 1 log && chmod 600 log", LogAppend::kAnotherUsersFile, true},
  };
  for (const auto& [plant, result, by_nobody] : plantings) {
    SCOPED_TRACE(plant);
    write_file(path("target"), "theirs\n");
    if (std::system(("cd " + folder_.string() + " && " + plant + " 2>/dev/null").c_str()) != 0) {
      continue;
    }
    const int reader = open(log.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    const int opens = inotify_init1(IN_NONBLOCK);
    inotify_add_watch(opens, log.c_str(), IN_OPEN | IN_DONT_FOLLOW);
    EXPECT_EQ(by_nobody ? append_as_user(65534, log)
                        : platform::append_to_log_file(log.c_str(), "line\r\n", 6, kLogFileLimit),
              result);
    alignas(inotify_event) char events[sizeof(inotify_event) + NAME_MAX + 1];
    EXPECT_LT(read(opens, events, sizeof events), 0) << "opened";
    close(opens);
    if (reader >= 0) close(reader);
    EXPECT_EQ(read_file(path("target")), "theirs\n");
    EXPECT_FALSE(std::filesystem::exists(path("missing")));
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(log))) {
      EXPECT_EQ(read_file(log), "theirs\n");
    }
    std::filesystem::remove(log);
  }
}

}  // namespace
}  // namespace lumagate
