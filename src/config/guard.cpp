// Keeps a second client, and the sibling service, from running beside us.
#include "config/guard.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "runtime/lifecycle.h"
#include "runtime/log.h"
#include "runtime/settings.h"

namespace lumagate {
namespace {

constexpr std::uint16_t kGuardPort = 12040;
constexpr const char* kSiblingImageName = "lmgsvc32.exe";

// Holds the guard port until the process ends; the end releases it.
platform::Socket guard_socket = platform::kNoSocket;

// ASCII letters only: a locale's folding must not decide who may run.
char fold_case(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// True when the first `length` characters of the two texts are equal in
// any letter case; the end of either text is a difference.
bool equal_ignoring_case(const char* left, const char* right, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (fold_case(left[i]) != fold_case(right[i])) return false;
    if (left[i] == '\0') return true;
  }
  return true;
}

}  // namespace

// 1 when another socket holds the guard port; 0 when it is now ours, or
// when it cannot be asked. A bind refused for another reason (a range that
// Hyper-V, WSL 2 or Docker reserve, no loopback) tells of no other client:
// it is said, and the process check still runs.
int instance_port_busy() {
  const platform::Socket socket = platform::open_ipv4_tcp_socket();
  if (socket < 0) return 0;
  guard_socket = socket;
  if (platform::bind_guard_port(guard_socket, kGuardPort, settings.network_interface) == 0) {
    return 0;
  }
  const std::int32_t code = platform::last_error();
  if (platform::address_in_use(code)) return 1;
  report_system_error("Holding the guard port 127.0.0.1:12040", code);
  return 0;
}

// 1 when a process of the sibling service is found.
int sibling_service_running() { return process_running(kSiblingImageName); }

// 1 when a readable process's image base name begins with `name`.
int process_running(const char* name) {
  std::array<std::uint32_t, kMaxProcesses> ids{};
  const int count = platform::list_process_ids(ids.data(), kMaxProcesses);
  if (count < 0) return 0;

  char* fname = static_cast<char*>(std::malloc(kProcessNameSize));
  if (fname == nullptr) {
    report(1, "Error allocating memory for fname.\n");
    exit_program(1);
  }
  const std::size_t length = std::strlen(name);
  int found = 0;
  for (int i = 0; i < count && found == 0; ++i) {
    if (process_base_name(ids[i], fname) == 0) continue;
    if (equal_ignoring_case(fname, name, length)) found = 1;
  }
  std::free(fname);
  return found;
}

// The length of the image base name written into `name`, 0 when unreadable.
int process_base_name(std::uint32_t pid, char* name) {
  return platform::process_image_base_name(pid, name, kProcessNameSize);
}

}  // namespace lumagate
