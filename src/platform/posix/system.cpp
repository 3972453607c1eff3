// Process, time and error texts on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "platform/posix/terminal.h"

namespace lumagate::platform {

// The arguments are the bytes the caller gave, UTF-8 by convention.
void run_program(int argc, char** argv, int (*client_main)(int argc, char** argv)) {
  exit_process(client_main(argc, argv));
}

void exit_process(int code) { std::exit(code); }

bool secure_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Every lower number is open by now, so this one is the lowest free.
    const int null_device = open("/dev/null", O_RDWR);
    if (null_device == fd) continue;
    if (null_device >= 0) close(null_device);
    return false;
  }
  return true;
}

void prepare_standard_output() {
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  // A reader of standard output that has gone away must not end a client
  // that runs unattended: its lines still reach the log file.
  signal(SIGPIPE, SIG_IGN);
}

void install_terminate_handler(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void terminate_now(int code) {
  posix::restore_terminal_settings();
  posix::restore_terminal_colour();
  _exit(code);
}

std::uint32_t tick_count() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto millis = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                      static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(millis);
}

std::int64_t calendar_time() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::int64_t monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec);
}

bool local_time_of_day(std::int64_t seconds, TimeOfDay* out) {
  const auto when = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return false;
  *out = {local.tm_hour, local.tm_min, local.tm_sec};
  return true;
}

void sleep_ms(std::uint32_t milliseconds) {
  timespec remaining{static_cast<std::time_t>(milliseconds / 1000u),
                     static_cast<long>(milliseconds % 1000u) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

namespace {

// glibc's strerror_r returns the text; the XSI form (musl's, on a router)
// fills the buffer and returns 0.
[[maybe_unused]] const char* strerror_result(const char* text, const char* /*buffer*/) {
  return text;
}
[[maybe_unused]] const char* strerror_result(int failed, const char* buffer) {
  return failed == 0 ? buffer : "";
}

}  // namespace

void error_text(std::int32_t code, char* out, std::size_t size) {
  if (size == 0) return;
  char text[512] = "";
  const char* message = strerror_result(strerror_r(code, text, sizeof text), text);
  std::snprintf(out, size, "%s\n", message != nullptr ? message : "");
}

std::int32_t last_error() { return errno; }

void wipe_memory(void* block, std::size_t size) { explicit_bzero(block, size); }

// Never inlined: the stretch must lie below the caller's own frame.
[[gnu::noinline]] void wipe_stack_below_caller() {
  char stretch[32768];
  wipe_memory(stretch, sizeof stretch);
}

void erase_environment_variable(const char* name) {
  const std::size_t length = std::strlen(name);
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, name, length) != 0 || (*entry)[length] != '=') continue;
    char* value = *entry + length + 1;
    wipe_memory(value, std::strlen(value));
  }
  unsetenv(name);
}

}  // namespace lumagate::platform
