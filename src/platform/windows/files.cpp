// The log file: appended to only where nobody else can steer the writes.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

// Room for a TOKEN_USER or TOKEN_OWNER record and the SID it points to.
struct TokenSid {
  alignas(TOKEN_USER) unsigned char record[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
};

// The user who runs the program (TokenUser), or the owner its new objects
// get (TokenOwner: the Administrators group for an elevated administrator);
// null when unknown. Asked without new, which may be what has run out when
// the line that tells so is logged.
PSID token_sid(TOKEN_INFORMATION_CLASS which, TokenSid* sid) {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) return nullptr;
  DWORD length = 0;
  const bool known =
      GetTokenInformation(token, which, sid->record, sizeof sid->record, &length) != 0;
  CloseHandle(token);
  if (!known) return nullptr;
  return which == TokenUser ? reinterpret_cast<TOKEN_USER*>(sid->record)->User.Sid
                            : reinterpret_cast<TOKEN_OWNER*>(sid->record)->Owner;
}

// "D:P(A;;FA;;;<the user's SID>)" in `out`: full access for the user who
// runs the program and nobody else, nothing inherited; false when the SID
// is unknown.
bool owner_only_descriptor(char* out, std::size_t size) {
  TokenSid user{};
  char* sid_text = nullptr;
  if (PSID sid = token_sid(TokenUser, &user)) ConvertSidToStringSidA(sid, &sid_text);
  if (sid_text == nullptr) return false;
  const int written = std::snprintf(out, size, "D:P(A;;FA;;;%s)", sid_text);
  LocalFree(sid_text);
  return written > 0 && static_cast<std::size_t>(written) < size;
}

// Opens the log file for appending. Others may read, write or delete it
// meanwhile. A reparse point is opened itself, not what it points to, and a
// pipe's server may not act in the client's name; the right to delete lets
// the append delete this very file when it grows too large, and where the
// file's owner does not grant it, the file is opened without it.
HANDLE open_log_file(const char* path, SECURITY_ATTRIBUTES* security) {
  constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                           SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  constexpr DWORD kAppend = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
  HANDLE file =
      CreateFileA(path, kAppend | DELETE, kShared, security, OPEN_ALWAYS, kFlags, nullptr);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    file = CreateFileA(path, kAppend, kShared, security, OPEN_ALWAYS, kFlags, nullptr);
  }
  return file;
}

// Whether the open file belongs to another user: its owner is neither the
// user who runs the program nor the owner that user's new files get. A file
// system that keeps no owners (FAT) cannot tell, and lets everyone write.
bool owned_by_another_user(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  TokenSid user{};
  TokenSid own_files{};
  const PSID user_sid = token_sid(TokenUser, &user);
  const PSID own_files_sid = token_sid(TokenOwner, &own_files);
  const bool another = owner != nullptr && !(user_sid != nullptr && EqualSid(owner, user_sid)) &&
                       !(own_files_sid != nullptr && EqualSid(owner, own_files_sid));
  LocalFree(descriptor);
  return another;
}

// Why the open file may not take the line, or kAppended when it may. A
// device name (CON, COM1, NUL) or a pipe opens as something other than a
// disk file; of the reparse points, those that name another file (links,
// junctions) are refused, while cloud and deduplicated files are files.
LogAppend judge(HANDLE file) {
  if (GetFileType(file) != FILE_TYPE_DISK) return LogAppend::kNotRegularFile;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) != 0 &&
      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      IsReparseTagNameSurrogate(tag.ReparseTag)) {
    return LogAppend::kSymbolicLink;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileInformationByHandle(file, &information) == 0) return LogAppend::kFailed;
  if (information.nNumberOfLinks != 1) return LogAppend::kOtherNames;
  if (owned_by_another_user(file)) return LogAppend::kAnotherUsersFile;
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
