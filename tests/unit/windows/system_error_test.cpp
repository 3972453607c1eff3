// System error reports in the words of FormatMessageA, and the log file.
#include <windows.h>

#include <string>

#include "platform/platform.h"
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

TEST_F(WindowsReportTest, ACodeWithoutSystemTextLeavesTheLineOpen) {
  CaptureStdout();
  report_system_error("recv", static_cast<std::int32_t>(0xA0001234u));
  EXPECT_TRUE(GetCapturedStdout().ends_with("] recv failed with error -1610608076: "));
}

// A device or a pipe named as the log path is never written or waited for.
TEST_F(WindowsReportTest, ALogPathNamingADeviceOrPipeIsNotWritten) {
  using platform::LogAppend;
  const char* pipe_name = "\\\\.\\pipe\\lumagate-log-test";
  HANDLE pipe =
      CreateNamedPipeA(pipe_name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  for (const char* path : {"NUL", pipe_name}) {
    EXPECT_EQ(platform::append_to_log_file(path, "line\r\n", 6, kLogFileLimit),
              LogAppend::kNotRegularFile)
        << path;
  }
  CloseHandle(pipe);
}

}  // namespace
}  // namespace lumagate
