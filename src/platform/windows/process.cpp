// Running processes and their program images, from the process status API.
#include <windows.h>

#include <psapi.h>

#include <vector>

#include "platform/platform.h"

namespace lumagate::platform {

int list_process_ids(std::uint32_t* ids, int max) {
  std::vector<DWORD> listed(static_cast<std::size_t>(max));
  DWORD bytes = 0;
  if (EnumProcesses(listed.data(), static_cast<DWORD>(listed.size() * sizeof(DWORD)), &bytes) ==
      0) {
    return -1;
  }
  const int count = static_cast<int>(bytes / sizeof(DWORD));
  for (int i = 0; i < count; ++i) ids[i] = listed[static_cast<std::size_t>(i)];
  return count;
}

int process_image_base_name(std::uint32_t pid, char* out, std::size_t size) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) return 0;
  const DWORD length = GetModuleBaseNameA(process, nullptr, out, static_cast<DWORD>(size));
  CloseHandle(process);
  return static_cast<int>(length);
}

}  // namespace lumagate::platform
