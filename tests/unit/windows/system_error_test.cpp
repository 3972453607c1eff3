// System error reports in the words of FormatMessageA, and the log file.
#include <windows.h>

#include <sddl.h>

#include <filesystem>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/windows/files.h"
#include "platform/windows/system.h"
#include "runtime/log.h"
#include "test_support.h"

namespace lumagate {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

class WindowsReportTest : public testing::SettingsTest {};

// The system's text ends in CR LF; the log file must still end the line with
// one CR LF, never CR CR LF.
TEST_F(WindowsReportTest, SystemTextEndsTheLineOnceOnConsoleAndInTheLog) {
  const std::string log = path("client.log");
  settings.log_file_path = log.c_str();
  CaptureStdout();
  report_system_error("connect", 10061);  // WSAECONNREFUSED
  const std::string shown = GetCapturedStdout();
  const std::string logged = read_file(log);

  const std::string head = "] connect failed with error 10061: ";
  ASSERT_NE(shown.find(head), std::string::npos) << shown;
  const std::string text = shown.substr(shown.find(head) + head.size());
  EXPECT_GT(text.size(), 1u) << "no system text";
  EXPECT_TRUE(text.ends_with("\n")) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos) << text;
  EXPECT_TRUE(logged.ends_with("\r\n")) << logged;
  EXPECT_EQ(logged.find("\r\r"), std::string::npos) << logged;
}

// A system text is one line however long: cut at a whole character, not
// dropped, with its line ends made blanks.
TEST_F(WindowsReportTest, ASystemTextIsOneLineCutToTheBuffer) {
  char text[12];
  platform::error_text(10061, text, sizeof text);
  EXPECT_STREQ(text, "Connection\n");
  const struct {
    const wchar_t* text;
    std::size_t size;
    const char* line;
  } cases[] = {
      {L"The first.\r\nThe second.\r\n", 64, "The first. The second.\n"},
      {L"Zeile mit \u00fc\r\n", 13, "Zeile mit \n"},  // room for half the \u00fc
  };
  for (const auto& each : cases) {
    char line[64];
    platform::windows::one_line(each.text, line, each.size);
    EXPECT_STREQ(line, each.line);
  }
}

TEST_F(WindowsReportTest, ACodeWithoutSystemTextLeavesTheLineOpen) {
  CaptureStdout();
  report_system_error("recv", static_cast<std::int32_t>(0xA0001234u));
  EXPECT_TRUE(GetCapturedStdout().ends_with("] recv failed with error -1610608076: "));
}

// A device or a pipe named as the log path is never written or waited
// for, nor even opened: the pipe's server sees no client come.
TEST_F(WindowsReportTest, ALogPathNamingADeviceOrPipeIsNotWritten) {
  using platform::LogAppend;
  const char* pipe_name = "\\\\.\\pipe\\lumagate-log-test";
  HANDLE pipe = CreateNamedPipeA(pipe_name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  for (const char* path : {"NUL", pipe_name, "//./pipe/lumagate-log-test"}) {
    EXPECT_EQ(platform::append_to_log_file(path, "line\r\n", 6, kLogFileLimit),
              LogAppend::kNotRegularFile)
        << path;
  }
  OVERLAPPED waiting{};
  waiting.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(ConnectNamedPipe(pipe, &waiting), FALSE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING)) << "a client opened the pipe";
  CancelIo(pipe);
  CloseHandle(waiting.hEvent);
  CloseHandle(pipe);
}

// A reader that shares reading and writing but not deletion, as
// PowerShell's Get-Content -Wait does, costs no line; the file grown past
// the limit meanwhile is deleted once it can be.
TEST_F(WindowsReportTest, AReaderThatDoesNotShareDeletionLosesNoLine) {
  const std::string log = path("client.log");
  write_file(log, "first\r\n");
  HANDLE reader = CreateFileA(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform::append_to_log_file(log.c_str(), "second\r\n", 8, 4),
            platform::LogAppend::kAppended);
  CloseHandle(reader);
  EXPECT_EQ(read_file(log), "first\r\nsecond\r\n");
  EXPECT_EQ(platform::append_to_log_file(log.c_str(), "third\r\n", 7, 4),
            platform::LogAppend::kAppended);
  EXPECT_FALSE(std::filesystem::exists(log));
}

// A log file owned by the administrators (an elevated run made it) or by
// the system is the user's to append to; another user's is not.
TEST_F(WindowsReportTest, TheAdministratorsAndTheSystemOwnNoOtherUsersFile) {
  for (const auto& [sid, accepted] : {std::pair{"S-1-5-32-544", true}, std::pair{"S-1-5-18", true},
                                      std::pair{"S-1-5-21-1-2-3-1001", false}}) {
    PSID owner = nullptr;
    ASSERT_NE(ConvertStringSidToSidA(sid, &owner), 0);
    EXPECT_EQ(platform::windows::owner_may_write(owner), accepted) << sid;
    LocalFree(owner);
  }
}

}  // namespace
}  // namespace lumagate
