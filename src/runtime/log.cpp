// The one message path: every line gets the time of day, goes to the
// console unless quiet, and to the log file when one is set.
#include "runtime/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "runtime/colours.h"
#include "runtime/lifecycle.h"
#include "runtime/text.h"

namespace lumagate {
namespace {

constexpr std::size_t kPrefixLength = 10;
// The message follows the prefix and a blank: 756 characters at most.
constexpr std::size_t kMessageStart = kPrefixLength + 1;
constexpr std::size_t kMessageRoom = kLineSize - kMessageStart;
// Server text shown in caret notation: more than a line can hold.
constexpr std::size_t kShownTextSize = 2 * kLineSize;
// Room for any whole message: server text so shown, and its format.
constexpr std::size_t kWholeMessageSize = kShownTextSize + kLineSize;
// A line as stored, each line feed with its carriage return.
constexpr std::size_t kStoredLineSize = 2 * kLineSize;

// Where a line goes.
constexpr unsigned kConsole = 1;
constexpr unsigned kLogFile = 2;
constexpr unsigned kEveryOutput = kConsole | kLogFile;

TextBudget server_text_budget;

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

// Writes the time prefix and the blank behind it.
void start_line(char* line) {
  write_time_prefix(line);
  std::snprintf(line + kPrefixLength, kLineSize - kPrefixLength, " ");
}

// The length of the line end that `text` finishes with: CR LF, CR or LF.
std::size_t line_end_length(const char* text, std::size_t length) {
  if (length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n') return 2;
  if (length >= 1 && (text[length - 1] == '\n' || text[length - 1] == '\r')) return 1;
  return 0;
}

// Puts the line end of the whole message, `length` characters, back at the
// end of `message`, which holds its cut start. Worked out without asking
// for memory, which may be what has run out; a message longer than any the
// client makes ends with a line feed.
void keep_line_end(char* message, int length, const char* format, std::va_list arguments) {
  char whole[kWholeMessageSize];
  const char* end = "\n";
  std::size_t end_length = 1;
  if (static_cast<std::size_t>(length) < sizeof whole) {
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): copied by format_message
    std::vsnprintf(whole, sizeof whole, format, arguments);
    end_length = line_end_length(whole, static_cast<std::size_t>(length));
    end = whole + length - end_length;
  }
  std::memcpy(message + kMessageRoom - 1 - end_length, end, end_length);
}

// Formats the message behind the prefix, cut to the room left. A message cut
// short keeps its line end, so that the next one starts on a line of its own.
void format_message(char* message, const char* format, std::va_list arguments) {
  std::va_list again;
  va_copy(again, arguments);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started by the caller
  const int length = std::vsnprintf(message, kMessageRoom, format, arguments);
  if (length >= static_cast<int>(kMessageRoom)) keep_line_end(message, length, format, again);
  va_end(again);
}

void show_on_console(LogLevel level, const char* line) {
  if (settings.quiet != 0) return;
  colour_on(level);
  platform::write_standard_output(line);
  colour_off();
}

// Tells the user, once a run and on the console alone, that the log file
// is not written and why: someone else may have put it there.
void tell_log_file_refused(const char* reason) {
  static bool told = false;
  if (told) return;
  told = true;
  char line[kLineSize];
  start_line(line);
  std::snprintf(line + kMessageStart, kMessageRoom, "Log file %s not written: %s.\n",
                settings.log_file_path, reason);
  show_on_console(1, line);
}

[[noreturn]] void tell_own_allocation_failure() {
  if (!telling_own_failure) {
    telling_own_failure = true;
    report(1, "Error allocating %d bytes of memory.\n", static_cast<int>(kLineSize));
  }
  telling_own_failure = false;
  exit_program(1);
}

// One line to the outputs named.
void report_line(unsigned outputs, LogLevel level, const char* format, std::va_list arguments) {
  char* line = static_cast<char*>(try_alloc(kLineSize));
  const bool own_buffer = line != nullptr;
  if (!own_buffer) line = emergency_line;

  start_line(line);
  format_message(line + kMessageStart, format, arguments);
  // An interrupt is ending the process: what the main thread meets on the
  // way (a wait or a receive cut short) is not the user's news.
  if (!program_ending()) {
    if ((outputs & kConsole) != 0) show_on_console(level, line);
    if ((outputs & kLogFile) != 0) append_to_log_file(line);
  }

  if (!own_buffer) tell_own_allocation_failure();
  std::free(line);
}

__attribute__((format(printf, 3, 4))) void report_to(unsigned outputs, LogLevel level,
                                                     const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  report_line(outputs, level, format, arguments);
  va_end(arguments);
}

void write_message(unsigned outputs, LogLevel level, const char* message) {
  if (outputs != 0) report_to(outputs, level, "%s", message);
}

void format_into(char* message, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  format_message(message, format, arguments);
  va_end(arguments);
}

// Where lines that a server causes are bounded: wherever the user did not
// ask for every line, with -v or by watching a terminal.
unsigned bounded_outputs() {
  if (settings.verbose != 0) return 0;
  unsigned outputs = 0;
  if (!platform::standard_output_is_terminal()) outputs |= kConsole;
  if (settings.log_file_path != nullptr) outputs |= kLogFile;
  return outputs;
}

void write_bounded(LogLevel level, const char* message) {
  write_message(bounded_outputs(), level, message);
}

// A finished message goes whole where it is not bounded, and where it is,
// as far as the budget lets it.
void report_bounded(LogLevel level, Verdict verdict, const char* message) {
  const unsigned bounded = bounded_outputs();
  write_message(kEveryOutput & ~bounded, level, message);
  if (bounded != 0) {
    budget_line(server_text_budget, level, verdict, message, platform::monotonic_seconds(),
                write_bounded);
  }
}

Block system_error_text(std::int32_t code) {
  Block text = alloc_block(kLineSize);
  text[0] = '\0';
  platform::error_text(code, text.get(), kLineSize);
  return text;
}

}  // namespace

void report(LogLevel level, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  report_line(kEveryOutput, level, format, arguments);
  va_end(arguments);
}

void report_server_text(LogLevel level, Verdict verdict, const char* format, const char* text) {
  const Block shown = alloc_block(kShownTextSize);
  show_controls(shown.get(), kShownTextSize, text, platform::console_c1_controls());
  char message[kMessageRoom];
  format_into(message, format, shown.get());
  report_bounded(level, verdict, message);
}

void report_caused(LogLevel level, const char* format, ...) {
  char message[kMessageRoom];
  std::va_list arguments;
  va_start(arguments, format);
  format_message(message, format, arguments);
  va_end(arguments);
  report_bounded(level, Verdict::kNone, message);
}

void report_caused_system_error(const char* what, std::int32_t code) {
  const Block text = system_error_text(code);
  report_caused(1, "%s failed with error %d: %s", what, code, text.get());
}

void report_connection_begun() {
  if (bounded_outputs() != 0) {
    budget_connection(server_text_budget, platform::monotonic_seconds(), write_bounded);
  }
}

void report_system_error(const char* what, std::int32_t code) {
  const Block text = system_error_text(code);
  report(1, "%s failed with error %d: %s", what, code, text.get());
}

const char* file_refusal_reason(platform::LogAppend result) {
  switch (result) {
    case platform::LogAppend::kSymbolicLink:
      return "it is a symbolic link";
    case platform::LogAppend::kNotRegularFile:
      return "it is not a regular file";
    case platform::LogAppend::kAnotherUsersFile:
      return "it belongs to another user";
    case platform::LogAppend::kOtherNames:
      return "it has other names (hard links)";
    case platform::LogAppend::kAppended:
    case platform::LogAppend::kFailed:
      break;
  }
  return nullptr;
}

void append_to_log_file(const char* line) {
  if (settings.log_file_path == nullptr) return;

  // The file keeps CR LF line ends on every platform; a line that already
  // ends in CR LF (a system text) must not become CR CR LF.
  char stored[kStoredLineSize];
  std::size_t length = 0;
  for (const char* c = line; *c != '\0' && length + 2 < sizeof stored; ++c) {
    if (*c == '\n' && (c == line || c[-1] != '\r')) stored[length++] = '\r';
    stored[length++] = *c;
  }

  const platform::LogAppend result =
      platform::append_to_log_file(settings.log_file_path, stored, length, kLogFileLimit);
  if (const char* reason = file_refusal_reason(result)) tell_log_file_refused(reason);
}

}  // namespace lumagate
