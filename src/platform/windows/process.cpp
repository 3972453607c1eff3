// Running processes and their program images, from a snapshot of the
// process list. The snapshot opens no process: a service's process, or
// another user's, is listed too, and a 32-bit program sees 64-bit ones.
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

// As many as the process list of a scan holds.
constexpr int kMaxListed = 1024;

struct Listed {
  DWORD pid;
  std::string image;
};

// The processes of the last listing, for the names asked after it.
std::vector<Listed> listed;

// Lists up to `max` processes into `listed`; false when they cannot be.
bool take_snapshot(int max) {
  listed.clear();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry);
       more != 0 && listed.size() < static_cast<std::size_t>(max);
       more = Process32Next(snapshot, &entry)) {
    listed.push_back({entry.th32ProcessID, entry.szExeFile});
  }
  CloseHandle(snapshot);
  return true;
}

// The base name of this program's image, as a process listing gives it.
std::wstring own_image_name() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  const wchar_t* slash = wcsrchr(path, L'\\');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

std::uint32_t own_process_id() { return GetCurrentProcessId(); }

bool runs_this_program(std::uint32_t pid) {
  const std::wstring own = own_image_name();
  if (own.empty()) return false;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  bool runs = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more != 0 && !runs;
       more = Process32NextW(snapshot, &entry)) {
    runs = pid != 0 && entry.th32ProcessID == pid && _wcsicmp(entry.szExeFile, own.c_str()) == 0;
  }
  CloseHandle(snapshot);
  return runs;
}

int list_process_ids(std::uint32_t* ids, int max) {
  if (!take_snapshot(max)) return -1;
  for (std::size_t i = 0; i < listed.size(); ++i) ids[i] = listed[i].pid;
  return static_cast<int>(listed.size());
}

// The name as the last listing has it; a process it lacks is looked for
// in a new one.
int process_image_base_name(std::uint32_t pid, char* out, std::size_t size) {
  for (int round = 0; round < 2; ++round) {
    for (const Listed& process : listed) {
      if (process.pid != pid || size == 0) continue;
      const std::size_t length = std::min(process.image.size(), size - 1);
      std::memcpy(out, process.image.data(), length);
      out[length] = '\0';
      return static_cast<int>(length);
    }
    if (round == 0 && !take_snapshot(kMaxListed)) return 0;
  }
  return 0;
}

}  // namespace lumagate::platform
