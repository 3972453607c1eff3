// Process, time and error texts on Windows.
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace lumagate::platform {

void prepare_standard_output() {
  // The C runtime has no line buffering: unbuffered, a finished line is out
  // before any end of the process, and a reader of a pipe sees it at once.
  // Text mode stays, so every "\n" goes out as CR LF.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void install_terminate_handler(void (*handler)(int)) {
  std::signal(SIGINT, handler);
  std::signal(SIGTERM, handler);
}

void terminate_now(int code) {
  // The console key read puts the console's input mode back after every
  // key, so nothing of the prompt is left to undo.
  _exit(code);
}

std::uint32_t tick_count() { return GetTickCount(); }

std::int64_t calendar_time() { return static_cast<std::int64_t>(_time64(nullptr)); }

// The milliseconds since the system started, in 64 bits: nobody sets them,
// and they do not wrap after 49 days as GetTickCount does.
std::int64_t monotonic_seconds() { return static_cast<std::int64_t>(GetTickCount64() / 1000u); }

bool local_time_of_day(std::int64_t seconds, TimeOfDay* out) {
  const __time64_t when = seconds;
  const std::tm* local = _localtime64(&when);
  if (local == nullptr) return false;
  *out = {local->tm_hour, local->tm_min, local->tm_sec};
  return true;
}

void sleep_ms(std::uint32_t milliseconds) { Sleep(milliseconds); }

void error_text(std::int32_t code, char* out, std::size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  char* system_text = static_cast<char*>(std::calloc(size, 1));
  if (system_text == nullptr) return;
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), system_text,
                 static_cast<DWORD>(size), nullptr);
  CharToOemBuffA(system_text, out, static_cast<DWORD>(size));
  out[size - 1] = '\0';
  std::free(system_text);
  // The system's text ends in CR LF; the callers add the CR of every line
  // end themselves (the console's text mode, the log file), so a CR of its
  // own would be doubled.
  const std::size_t length = std::strlen(out);
  if (length >= 2 && out[length - 2] == '\r' && out[length - 1] == '\n') {
    out[length - 2] = '\n';
    out[length - 1] = '\0';
  }
}

std::int32_t last_error() { return static_cast<std::int32_t>(GetLastError()); }

}  // namespace lumagate::platform
