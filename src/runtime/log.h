// The one message path: time prefix, console, log file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/settings.h"

namespace lumagate {

inline constexpr std::int64_t kLogFileLimit = 1048576;

void report(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A message carrying text that came from the server in its one "%s". The
// console shows the text's control characters in caret notation, so that a
// server cannot drive the user's terminal; the log file keeps the bytes as
// they came.
void report_server_text(LogLevel level, const char* format, const char* text)
    __attribute__((format(printf, 2, 0)));

// A level-1 line naming the failed operation, its code and the system's text.
void report_system_error(const char* what, std::int32_t code);

// Appends one finished line to the log file, if one is set.
void append_to_log_file(const char* line);

}  // namespace lumagate
