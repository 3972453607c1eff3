// The one message path: time prefix, console, log file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/settings.h"

namespace lumagate {

inline constexpr std::int64_t kLogFileLimit = 1048576;

void report(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A message carrying text that came from the server in its one "%s", with
// the text's control characters in caret notation, on the console and in
// the log file alike, so that a server cannot drive the terminal of whoever
// reads either.
void report_server_text(LogLevel level, const char* format, const char* text)
    __attribute__((format(printf, 2, 0)));

// A level-1 line naming the failed operation, its code and the system's text.
void report_system_error(const char* what, std::int32_t code);

// Appends one finished line to the log file, if one is set. A log file that
// someone else may steer (a link, a FIFO or device, another user's file, a
// file with other names) is passed over, and the console says why once.
void append_to_log_file(const char* line);

}  // namespace lumagate
