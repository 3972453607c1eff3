// The one message path: every line gets the time of day, goes to the
// console unless quiet, and to the log file when one is set.
#include "runtime/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "runtime/colours.h"
#include "runtime/lifecycle.h"

namespace lumagate {
namespace {

constexpr std::size_t kPrefixLength = 10;

// Used when the line buffer itself cannot be had, so that the failure can
// still be told without asking for memory again.
char emergency_line[kLineSize];
bool telling_own_failure = false;

void write_time_prefix(char* line) {
  platform::TimeOfDay time{};
  if (!platform::local_time_of_day(current_time(), &time)) {
    std::snprintf(line, kLineSize, "[--:--:--]");
    return;
  }
  std::snprintf(line, kLineSize, "[%2d:%2d:%2d]", time.hour, time.minute, time.second);
  for (char* blank = std::strchr(line, ' '); blank != nullptr; blank = std::strchr(line, ' ')) {
    *blank = '0';
  }
}

void show_on_console(LogLevel level, const char* line) {
  colour_on(level);
  std::fputs(line, stdout);
  colour_off();
}

void format_and_emit(char* line, LogLevel level, const char* format, std::va_list arguments) {
  write_time_prefix(line);
  std::snprintf(line + kPrefixLength, kLineSize - kPrefixLength, " ");
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started by report
  std::vsnprintf(line + kPrefixLength + 1, kLineSize - kPrefixLength - 1, format, arguments);
  if (settings.quiet == 0) show_on_console(level, line);
  append_to_log_file(line);
}

[[noreturn]] void tell_own_allocation_failure() {
  if (!telling_own_failure) {
    telling_own_failure = true;
    report(1, "Error allocating %d bytes of memory.\n", static_cast<int>(kLineSize));
  }
  telling_own_failure = false;
  exit_program(1);
}

}  // namespace

void report(LogLevel level, const char* format, ...) {
  char* line = static_cast<char*>(try_alloc(kLineSize));
  const bool own_buffer = line != nullptr;
  if (!own_buffer) line = emergency_line;

  std::va_list arguments;
  va_start(arguments, format);
  format_and_emit(line, level, format, arguments);
  va_end(arguments);

  if (!own_buffer) tell_own_allocation_failure();
  std::free(line);
}

void report_system_error(const char* what, std::int32_t code) {
  Block text = alloc_block(kLineSize);
  text[0] = '\0';
  platform::error_text(code, text.get(), kLineSize);
  report(1, "%s failed with error %d: %s", what, code, text.get());
}

void append_to_log_file(const char* line) {
  if (settings.log_file_path == nullptr) return;

  // The file keeps CR LF line ends on every platform.
  std::string stored;
  for (const char* c = line; *c != '\0'; ++c) {
    if (*c == '\n') stored += '\r';
    stored += *c;
  }

  std::FILE* file = std::fopen(settings.log_file_path, "ab");
  if (file == nullptr) return;
  const bool written = std::fwrite(stored.data(), 1, stored.size(), file) == stored.size();
  if (std::fclose(file) != 0 || !written) return;

  std::error_code error;
  const auto size = std::filesystem::file_size(settings.log_file_path, error);
  if (error) return;
  if (size > static_cast<std::uintmax_t>(kLogFileLimit)) {
    std::filesystem::remove(settings.log_file_path, error);
  }
}

}  // namespace lumagate
