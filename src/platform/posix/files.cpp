// The log file, appended to only where nobody else can steer the writes,
// and the state file, replaced whole in a folder nobody else may change.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;
// The client's group may read its state: a router's page, a monitor.
constexpr mode_t kGroupReads = S_IRUSR | S_IWUSR | S_IRGRP;
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

std::string folder_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ".";
  return slash == path ? "/" : std::string(path, static_cast<std::size_t>(slash - path));
}

// Whether users other than root, this one and this one's group may add,
// remove or rename what the folder holds.
bool others_may_change(const struct stat& folder) {
  if (folder.st_uid != 0 && folder.st_uid != geteuid()) return true;
  if ((folder.st_mode & S_IWOTH) != 0) return true;
  return (folder.st_mode & S_IWGRP) != 0 && folder.st_gid != getegid();
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

// The service's runtime folder, as systemd names it (RuntimeDirectory=), then
// the Linux service's and the router's own; for a client on an interface
// first the folder that the template unit gives it.
std::vector<std::string> state_file_places(const std::string& name, const char* interface_name) {
  std::vector<std::string> places;
  const char* runtime = std::getenv("RUNTIME_DIRECTORY");
  if (runtime != nullptr && runtime[0] == '/') {
    places.push_back(std::string(runtime, std::strcspn(runtime, ":")) + "/" + name);
  }
  const std::string own = interface_name != nullptr ? interface_name : "";
  if (!own.empty() && own.find('/') == std::string::npos && own != "." && own != "..") {
    places.push_back("/run/lumagatec/" + own + "/" + name);
  }
  places.push_back("/run/lumagatec/" + name);
  places.push_back("/var/run/lumagatec/" + name);
  return places;
}

StatePlace check_state_place(const char* path, std::string* folder, LogAppend* file) {
  *folder = folder_of(path);
  struct stat status {};
  if (stat(folder->c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      access(folder->c_str(), W_OK | X_OK) != 0) {
    return StatePlace::kNoFolder;
  }
  if (others_may_change(status)) return StatePlace::kOthersMayWrite;
  if (lstat(path, &status) != 0) return StatePlace::kUsable;
  *file = S_ISDIR(status.st_mode) ? LogAppend::kNotRegularFile : judge(status);
  return *file == LogAppend::kAppended ? StatePlace::kUsable : StatePlace::kFileRefused;
}

bool replace_file(const char* path, const char* bytes, std::size_t size) {
  const std::string fresh = std::string(path) + ".new";
  // One left by a client that ended while writing; nobody else may write here.
  unlink(fresh.c_str());
  const int fd =
      open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kGroupReads);
  if (fd < 0) return false;
  // The umask (the service's is 0077) may have taken the group's bit away.
  fchmod(fd, kGroupReads);
  const bool written = write_all(fd, bytes, size);
  if (close(fd) != 0 || !written || rename(fresh.c_str(), path) != 0) {
    unlink(fresh.c_str());
    return false;
  }
  return true;
}

FileRead read_small_file(const char* path, std::string* content, std::size_t limit) {
  content->clear();
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return errno == ENOENT ? FileRead::kMissing : FileRead::kFailed;
  char buffer[4096];
  ssize_t got = 0;
  while (content->size() < limit && (got = read(fd, buffer, sizeof buffer)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    content->append(buffer, std::min(static_cast<std::size_t>(got), limit - content->size()));
  }
  const int error = errno;
  close(fd);
  errno = error;
  return got < 0 ? FileRead::kFailed : FileRead::kRead;
}

}  // namespace lumagate::platform
