// Files that only their owner may open.
#include <windows.h>

#include <sddl.h>

#include <string>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

// "D:P(A;;FA;;;<the user's SID>)": full access for the user who runs the
// program and nobody else, nothing inherited; empty when the SID is unknown.
std::string owner_only_descriptor() {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) return {};
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::string user(size, '\0');
  char* sid_text = nullptr;
  if (size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size) != 0) {
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid_text);
  }
  CloseHandle(token);
  if (sid_text == nullptr) return {};
  std::string descriptor = std::string("D:P(A;;FA;;;") + sid_text + ")";
  LocalFree(sid_text);
  return descriptor;
}

}  // namespace

bool append_to_private_file(const char* path, const char* bytes, std::size_t size) {
  // A new file gets the owner-only descriptor; an existing one keeps its own.
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof security;
  const std::string descriptor = owner_only_descriptor();
  PSECURITY_DESCRIPTOR owner_only = nullptr;
  if (!descriptor.empty() && ConvertStringSecurityDescriptorToSecurityDescriptorA(
                                 descriptor.c_str(), SDDL_REVISION_1, &owner_only, nullptr) != 0) {
    security.lpSecurityDescriptor = owner_only;
  }
  // Appending only, and others may read, write or delete the file meanwhile.
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (owner_only != nullptr) LocalFree(owner_only);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool wrote = WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) != 0;
  const bool closed = CloseHandle(file) != 0;
  return wrote && closed && written == size;
}

std::int64_t file_size(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA status{};
  if (GetFileAttributesExA(path, GetFileExInfoStandard, &status) == 0) return -1;
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(status.nFileSizeHigh) << 32) |
                                   status.nFileSizeLow);
}

void delete_file(const char* path) { DeleteFileA(path); }

}  // namespace lumagate::platform
