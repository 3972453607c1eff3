// Preloaded into the client by some end-to-end tests, to put it where the
// test needs it without a race:
//   TEST_SHIM_STOP_AFTER_CONNECT=1   the process stops itself (SIGSTOP)
//                                    after every TCP connect, until the
//                                    test continues it
//   TEST_SHIM_CLOCK_SHIFT=SECONDS    the calendar clock moves by SECONDS
//   TEST_SHIM_CLOCK_TRIGGER=PATH     once PATH exists
//   TEST_SHIM_CLOCK_FILE=PATH        the calendar clock moves by the seconds
//                                    PATH holds, read at every reading
//   TEST_SHIM_SLEEP_DIVISOR=N        every sleep lasts an Nth of its time,
//                                    so that many rounds fit in a short run
//   TEST_SHIM_PLANT=FILE             FILE is moved to the path of the file
//   TEST_SHIM_PLANT_AT=PATH          written to, PATH, right after the write
//   TEST_SHIM_PLANT_ON_LOOK=1        or right after the first look at PATH
//                                    (lstat), before any open of it
// The monotonic clock is left alone.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

template <typename Function>
Function next_definition(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The seconds a file holds, 0 when it holds none.
time_t shift_in_file(const char* path) {
  char text[32] = "";
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got > 0) text[got] = '\0';
  return static_cast<time_t>(std::atol(text));
}

// The shift in force: the file's, or none until the trigger file exists,
// then for good.
time_t clock_shift() {
  if (const char* file = std::getenv("TEST_SHIM_CLOCK_FILE")) return shift_in_file(file);
  static bool triggered = false;
  if (!triggered) {
    const char* trigger = std::getenv("TEST_SHIM_CLOCK_TRIGGER");
    if (trigger == nullptr || access(trigger, F_OK) != 0) return 0;
    triggered = true;
  }
  const char* shift = std::getenv("TEST_SHIM_CLOCK_SHIFT");
  return shift != nullptr ? static_cast<time_t>(std::atol(shift)) : 0;
}

bool is_calendar_clock(clockid_t clock) {
  return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE;
}

bool is_stream_socket(int fd) {
  int type = 0;
  socklen_t length = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}

// Whether `fd` is open on the file at `path`.
bool opened_at(int fd, const char* path) {
  struct stat open {
  }, named{};
  return fstat(fd, &open) == 0 && stat(path, &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

// The path a file is to be planted at, at a look or at a write; null when
// none is.
const char* planting_at(bool look) {
  const bool on_look = std::getenv("TEST_SHIM_PLANT_ON_LOOK") != nullptr;
  return std::getenv("TEST_SHIM_PLANT") != nullptr && on_look == look
             ? std::getenv("TEST_SHIM_PLANT_AT")
             : nullptr;
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t size) {
  static auto real = next_definition<ssize_t (*)(int, const void*, size_t)>("write");
  const ssize_t result = real(fd, data, size);
  const int error = errno;
  const char* at = planting_at(false);
  if (at != nullptr && opened_at(fd, at)) rename(std::getenv("TEST_SHIM_PLANT"), at);
  errno = error;
  return result;
}

int lstat(const char* path, struct stat* status) noexcept {
  static auto real = next_definition<int (*)(const char*, struct stat*)>("lstat");
  const int result = real(path, status);
  const int error = errno;
  const char* at = planting_at(true);
  if (at != nullptr && std::strcmp(path, at) == 0) rename(std::getenv("TEST_SHIM_PLANT"), at);
  errno = error;
  return result;
}

time_t time(time_t* out) noexcept {
  static auto real = next_definition<time_t (*)(time_t*)>("time");
  const time_t now = real(nullptr) + clock_shift();
  if (out != nullptr) *out = now;
  return now;
}

int clock_gettime(clockid_t clock, timespec* now) noexcept {
  static auto real = next_definition<int (*)(clockid_t, timespec*)>("clock_gettime");
  const int result = real(clock, now);
  if (result == 0 && is_calendar_clock(clock)) now->tv_sec += clock_shift();
  return result;
}

int gettimeofday(timeval* now, void* zone) noexcept {
  static auto real = next_definition<int (*)(timeval*, void*)>("gettimeofday");
  const int result = real(now, zone);
  if (result == 0) now->tv_sec += clock_shift();
  return result;
}

int nanosleep(const timespec* wanted, timespec* left) {
  static auto real = next_definition<int (*)(const timespec*, timespec*)>("nanosleep");
  const char* setting = std::getenv("TEST_SHIM_SLEEP_DIVISOR");
  const long divisor = setting != nullptr ? std::atol(setting) : 1;
  if (divisor <= 1) return real(wanted, left);
  constexpr long long kNanos = 1000000000;
  const long long nanos = (wanted->tv_sec * kNanos + wanted->tv_nsec) / divisor;
  const timespec shorter{static_cast<time_t>(nanos / kNanos), static_cast<long>(nanos % kNanos)};
  return real(&shorter, left);
}

int connect(int fd, const sockaddr* address, socklen_t length) {
  static auto real = next_definition<int (*)(int, const sockaddr*, socklen_t)>("connect");
  const int result = real(fd, address, length);
  const int error = errno;
  if (std::getenv("TEST_SHIM_STOP_AFTER_CONNECT") != nullptr && is_stream_socket(fd)) {
    raise(SIGSTOP);
  }
  errno = error;
  return result;
}

}  // extern "C"
