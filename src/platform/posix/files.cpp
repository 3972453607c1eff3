// Files the client writes, examines and deletes: the log file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace lumagate::platform {

bool append_to_private_file(const char* path, const char* bytes, std::size_t size) {
  constexpr int kAppend = O_WRONLY | O_APPEND | O_CLOEXEC;
  constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;
  int fd = open(path, kAppend | O_CREAT | O_EXCL, kOwnerOnly);
  if (fd >= 0) {
    // A umask may have taken the owner's own bits away.
    fchmod(fd, kOwnerOnly);
  } else if (errno == EEXIST) {
    // Deleted meanwhile, or a link to a missing file: whatever is created
    // here is still the owner's alone.
    fd = open(path, kAppend | O_CREAT, kOwnerOnly);
  }
  if (fd < 0) return false;
  ssize_t written = -1;
  do {
    written = write(fd, bytes, size);
  } while (written < 0 && errno == EINTR);
  const bool closed = close(fd) == 0;
  return closed && written == static_cast<ssize_t>(size);
}

std::int64_t file_size(const char* path) {
  struct stat status {};
  if (stat(path, &status) != 0) return -1;
  return static_cast<std::int64_t>(status.st_size);
}

void delete_file(const char* path) { unlink(path); }

}  // namespace lumagate::platform
