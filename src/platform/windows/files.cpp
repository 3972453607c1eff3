// The log file: appended to only where nobody else can steer the writes.
#include <windows.h>

#include <sddl.h>

#include <cstdio>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

// "D:P(A;;FA;;;<the user's SID>)" in `out`: full access for the user who
// runs the program and nobody else, nothing inherited; false when the SID
// is unknown. Made without new, which may be what has run out when the
// line that tells so is logged.
bool owner_only_descriptor(char* out, std::size_t size) {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) return false;
  alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD length = 0;
  char* sid_text = nullptr;
  if (GetTokenInformation(token, TokenUser, user, sizeof user, &length) != 0) {
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid_text);
  }
  CloseHandle(token);
  if (sid_text == nullptr) return false;
  const int written = std::snprintf(out, size, "D:P(A;;FA;;;%s)", sid_text);
  LocalFree(sid_text);
  return written > 0 && static_cast<std::size_t>(written) < size;
}

// Opens the log file for appending. Others may read, write or delete it
// meanwhile. A reparse point is opened itself, not what it points to; the
// right to delete lets the append delete this very file when it grows too
// large, and where the file's owner does not grant it, the file is opened
// without it.
HANDLE open_log_file(const char* path, SECURITY_ATTRIBUTES* security) {
  constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  constexpr DWORD kAppend = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  HANDLE file =
      CreateFileA(path, kAppend | DELETE, kShared, security, OPEN_ALWAYS, kFlags, nullptr);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    file = CreateFileA(path, kAppend, kShared, security, OPEN_ALWAYS, kFlags, nullptr);
  }
  return file;
}

// Why the open file may not take the line, or kAppended when it may. A
// device name (CON, COM1, NUL) or a pipe opens as something other than a
// disk file.
LogAppend judge(HANDLE file) {
  if (GetFileType(file) != FILE_TYPE_DISK) return LogAppend::kNotRegularFile;
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileInformationByHandle(file, &information) == 0) return LogAppend::kFailed;
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return LogAppend::kSymbolicLink;
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return LogAppend::kFailed;
  if (information.nNumberOfLinks != 1) return LogAppend::kOtherNames;
  return LogAppend::kAppended;
}

// Deletes the open file itself, whatever its path names by now.
void delete_open_file(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

}  // namespace

LogAppend append_to_log_file(const char* path, const char* bytes, std::size_t size,
                             std::int64_t limit) {
  // A new file gets the owner-only descriptor; an existing one keeps its own.
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof security;
  char descriptor[256];
  PSECURITY_DESCRIPTOR owner_only = nullptr;
  if (owner_only_descriptor(descriptor, sizeof descriptor) &&
      ConvertStringSecurityDescriptorToSecurityDescriptorA(descriptor, SDDL_REVISION_1, &owner_only,
                                                           nullptr) != 0) {
    security.lpSecurityDescriptor = owner_only;
  }
  HANDLE file = open_log_file(path, &security);
  if (owner_only != nullptr) LocalFree(owner_only);
  if (file == INVALID_HANDLE_VALUE) return LogAppend::kFailed;
  LogAppend result = judge(file);
  DWORD written = 0;
  if (result == LogAppend::kAppended &&
      (WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) == 0 ||
       written != size)) {
    result = LogAppend::kFailed;
  }
  LARGE_INTEGER file_size{};
  if (result == LogAppend::kAppended && GetFileSizeEx(file, &file_size) != 0 &&
      file_size.QuadPart > limit) {
    delete_open_file(file);
  }
  if (CloseHandle(file) == 0 && result == LogAppend::kAppended) result = LogAppend::kFailed;
  return result;
}

}  // namespace lumagate::platform
