// The log file: appended to only where nobody else can steer the writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;
// A link is not followed, a FIFO without a reader does not hold the client
// up, and a terminal does not become the client's own.
constexpr int kAppend = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
// Between the look at the path and the open, the path may change hands (a
// log rotated away, or a planting): the look is taken again this often.
constexpr int kLooks = 3;

// Why a file may not take the line, or kAppended when it may.
LogAppend judge(const struct stat& file) {
  if (S_ISLNK(file.st_mode)) return LogAppend::kSymbolicLink;
  // A folder named by mistake is an ordinary failure, not a planting.
  if (S_ISDIR(file.st_mode)) return LogAppend::kFailed;
  if (!S_ISREG(file.st_mode)) return LogAppend::kNotRegularFile;
  if (file.st_uid != geteuid()) return LogAppend::kAnotherUsersFile;
  // A file removed since it was opened (a log rotated away) is no planting.
  if (file.st_nlink == 0) return LogAppend::kFailed;
  if (file.st_nlink != 1) return LogAppend::kOtherNames;
  return LogAppend::kAppended;
}

// Creates the log file for its owner alone; never opens one that is there.
int create_log_file(const char* path) {
  const int fd = open(path, kAppend | O_CREAT | O_EXCL, kOwnerOnly);
  // A umask may have taken the owner's own bits away.
  if (fd >= 0) fchmod(fd, kOwnerOnly);
  return fd;
}

bool same_file(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Opens the log file for appending, after looking at what stands at the
// path: a device or FIFO is never opened (opening some has effects of its
// own), and a file the kernel will not open for us (another user's in a
// sticky folder) is still told by what it is. A descriptor, or -1 with
// `*refused` saying why when the path holds something the log may not go to.
int open_log_file(const char* path, LogAppend* refused) {
  *refused = LogAppend::kFailed;
  for (int look = 0; look < kLooks; ++look) {
    struct stat looked {};
    const bool there = lstat(path, &looked) == 0;
    if (!there && errno != ENOENT) return -1;
    if (there && (*refused = judge(looked)) != LogAppend::kAppended) return -1;
    *refused = LogAppend::kFailed;
    const int fd = there ? open(path, kAppend) : create_log_file(path);
    if (fd < 0) {
      const bool changed = there ? errno == ENOENT || errno == ELOOP : errno == EEXIST;
      if (changed) continue;
      return -1;
    }
    struct stat opened {};
    if (!there || (fstat(fd, &opened) == 0 && same_file(opened, looked))) return fd;
    close(fd);
  }
  return -1;
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
  if (lstat(path, &named) == 0 && same_file(named, file)) unlink(path);
}

}  // namespace

LogAppend append_to_log_file(const char* path, const char* bytes, std::size_t size,
                             std::int64_t limit) {
  LogAppend refused = LogAppend::kFailed;
  const int fd = open_log_file(path, &refused);
  if (fd < 0) return refused;
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
