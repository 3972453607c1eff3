// The one message path: time prefix, console, log file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "runtime/settings.h"
#include "runtime/text_budget.h"

namespace lumagate {

inline constexpr std::int64_t kLogFileLimit = 1048576;

void report(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A message carrying text that came from the server in its one "%s", with
// the text's control characters in caret notation, on the console and in
// the log file alike, so that a server cannot drive the terminal of whoever
// reads either. Where nobody asked for every line (without -v: the log
// file, and standard output unless it is a terminal) what a server makes
// the client write is held to a budget (runtime/text_budget.h).
void report_server_text(LogLevel level, Verdict verdict, const char* format, const char* text)
    __attribute__((format(printf, 3, 0)));

// A message of the client's own that a server can cause at will (a reset
// after every connect is a read error a second), bounded as server text is.
void report_caused(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void report_caused_system_error(const char* what, std::int32_t code);

// A connection to a server begins: its first lines pass whole.
void report_connection_begun();

// A level-1 line naming the failed operation, its code and the system's text.
void report_system_error(const char* what, std::int32_t code);

// Why the log file's guard passes over a file, or null when it does not.
const char* file_refusal_reason(platform::LogAppend result);

// Appends one finished line to the log file, if one is set. A log file that
// someone else may steer (a link, a FIFO or device, another user's file, a
// file with other names) is passed over, and the console says why once.
void append_to_log_file(const char* line);

}  // namespace lumagate
