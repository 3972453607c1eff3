// Running processes and their program images, read from /proc.
#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

// True, with the id, when a /proc entry name is a process id.
bool process_id_of(const char* name, std::uint32_t* pid) {
  if (*name == '\0') return false;
  std::uint64_t value = 0;
  for (const char* at = name; *at != '\0'; ++at) {
    if (*at < '0' || *at > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(*at - '0');
    if (value > 0xFFFFFFFFu) return false;
  }
  *pid = static_cast<std::uint32_t>(value);
  return true;
}

// The name the kernel keeps for a process (/proc/PID/comm): its program's
// file name, cut to 15 bytes. Readable for every process, and the same
// for a program that an emulator runs, whose image is the emulator.
std::string process_name(const char* pid) {
  char path[48];
  std::snprintf(path, sizeof path, "/proc/%s/comm", pid);
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) return {};
  char name[32] = "";
  const bool read = std::fgets(name, sizeof name, file) != nullptr;
  std::fclose(file);
  return read ? std::string(name) : std::string();
}

}  // namespace

std::uint32_t own_process_id() { return static_cast<std::uint32_t>(getpid()); }

bool runs_this_program(std::uint32_t pid) {
  if (pid == 0 || pid > INT_MAX) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  char number[16];
  std::snprintf(number, sizeof number, "%u", pid);
  const std::string name = process_name(number);
  return !name.empty() && name == process_name("self");
}

int list_process_ids(std::uint32_t* ids, int max) {
  DIR* directory = opendir("/proc");
  if (directory == nullptr) return -1;
  int count = 0;
  while (count < max) {
    const dirent* entry = readdir(directory);
    if (entry == nullptr) break;
    if (process_id_of(entry->d_name, &ids[count])) ++count;
  }
  closedir(directory);
  return count;
}

int process_image_base_name(std::uint32_t pid, char* out, std::size_t size) {
  if (size == 0) return 0;
  char link[32];
  std::snprintf(link, sizeof link, "/proc/%u/exe", pid);
  char image[PATH_MAX];
  const ssize_t length = readlink(link, image, sizeof image);
  // Kernel threads have no image; other users' processes cannot be read; a
  // path that fills the buffer may have lost its base name.
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof image) {
    return 0;
  }
  image[length] = '\0';
  const char* slash = std::strrchr(image, '/');
  const char* base = slash != nullptr ? slash + 1 : image;
  const std::size_t kept = std::min(std::strlen(base), size - 1);
  std::memcpy(out, base, kept);
  out[kept] = '\0';
  return static_cast<int>(kept);
}

}  // namespace lumagate::platform
