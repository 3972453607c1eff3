// The log file: appended to only where nobody else can steer the writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;

// Opens the log file for appending, creating it for its owner alone. A
// link is not followed, a FIFO without a reader does not hold the client
// up, and a terminal does not become the client's own.
int open_log_file(const char* path) {
  constexpr int kAppend = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  int fd = open(path, kAppend | O_CREAT | O_EXCL, kOwnerOnly);
  if (fd >= 0) {
    // A umask may have taken the owner's own bits away.
    fchmod(fd, kOwnerOnly);
  } else if (errno == EEXIST) {
    // Deleted meanwhile: whatever is created here is still the owner's alone.
    fd = open(path, kAppend | O_CREAT, kOwnerOnly);
  }
  return fd;
}

// Why the open file may not take the line, or kAppended when it may.
LogAppend judge(const struct stat& file) {
  if (!S_ISREG(file.st_mode)) return LogAppend::kNotRegularFile;
  if (file.st_uid != geteuid()) return LogAppend::kAnotherUsersFile;
  // A file removed since it was opened (a log rotated away) is no planting.
  if (file.st_nlink == 0) return LogAppend::kFailed;
  if (file.st_nlink != 1) return LogAppend::kOtherNames;
  return LogAppend::kAppended;
}

bool write_all(int fd, const char* bytes, std::size_t size) {
  ssize_t written = -1;
  do {
    written = write(fd, bytes, size);
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(size);
}

// Deletes the file at `path` if it is still the open file `file`, and not
// one put there since.
void delete_if_same(const char* path, const struct stat& file) {
  struct stat named {};
  if (lstat(path, &named) == 0 && named.st_dev == file.st_dev && named.st_ino == file.st_ino) {
    unlink(path);
  }
}

}  // namespace

LogAppend append_to_log_file(const char* path, const char* bytes, std::size_t size,
                             std::int64_t limit) {
  const int fd = open_log_file(path);
  if (fd < 0) {
    // O_NOFOLLOW fails on a link; a FIFO with no reader, on a device, fails
    // with ENXIO.
    if (errno == ELOOP) return LogAppend::kSymbolicLink;
    if (errno == ENXIO) return LogAppend::kNotRegularFile;
    return LogAppend::kFailed;
  }
  struct stat file {};
  LogAppend result = fstat(fd, &file) == 0 ? judge(file) : LogAppend::kFailed;
  if (result == LogAppend::kAppended && !write_all(fd, bytes, size)) result = LogAppend::kFailed;
  if (result == LogAppend::kAppended && fstat(fd, &file) == 0 &&
      static_cast<std::int64_t>(file.st_size) > limit) {
    delete_if_same(path, file);
  }
  if (close(fd) != 0 && result == LogAppend::kAppended) result = LogAppend::kFailed;
  return result;
}

std::FILE* open_file(const char* path, const char* mode) { return std::fopen(path, mode); }

}  // namespace lumagate::platform
