// The log file, appended to only where nobody else can steer the writes,
// and the state file, replaced whole in a folder nobody else may change.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/files.h"
#include "platform/windows/system.h"

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

// "D:P(A;;FA;;;<the user's SID>)(A;;FA;;;SY)(A;;FA;;;BA)" in `out`: full
// access for the user who runs the program, and for the system and the
// administrators, as every file of a user's profile grants them (and so
// that they can read a service's log), nothing inherited; false when the
// SID is unknown.
bool owner_only_descriptor(char* out, std::size_t size) {
  TokenSid user{};
  char* sid_text = nullptr;
  if (PSID sid = token_sid(TokenUser, &user)) ConvertSidToStringSidA(sid, &sid_text);
  if (sid_text == nullptr) return false;
  const int written = std::snprintf(out, size, "D:P(A;;FA;;;%s)(A;;FA;;;SY)(A;;FA;;;BA)", sid_text);
  LocalFree(sid_text);
  return written > 0 && static_cast<std::size_t>(written) < size;
}

// A wide text in a block of the C library's heap. Never taken through new:
// the line that tells of an allocation failure passes here on its way to
// the log.
struct FreeBlock {
  void operator()(wchar_t* block) const { std::free(block); }
};
using WideText = std::unique_ptr<wchar_t[], FreeBlock>;

WideText allocate_wide(std::size_t length) {
  return WideText(static_cast<wchar_t*>(std::malloc(length * sizeof(wchar_t))));
}

// A text in UTF-8 as Windows' wide calls take it; null when it is empty or
// no UTF-8, or when there is no memory for it.
WideText wide_text(const char* text) {
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (length <= 1) return nullptr;
  WideText wide = allocate_wide(static_cast<std::size_t>(length));
  if (wide &&
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.get(), length) == 0) {
    wide.reset();
  }
  return wide;
}

// The full path that `path` names, as CreateFile would take it: a device
// name anywhere in it (NUL, COM1, CON, a "nul.txt" too) comes out as
// \\.\NAME. Null when it cannot be had.
WideText full_path(const wchar_t* path) {
  const DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (size == 0) return nullptr;
  WideText full = allocate_wide(size);
  if (!full) return nullptr;
  const DWORD length = GetFullPathNameW(path, size, full.get(), nullptr);
  if (length == 0 || length >= size) return nullptr;
  return full;
}

bool starts_with_folded(std::wstring_view text, std::wstring_view start) {
  return text.size() >= start.size() &&
         CompareStringOrdinal(text.data(), static_cast<int>(start.size()), start.data(),
                              static_cast<int>(start.size()), TRUE) == CSTR_EQUAL;
}

// Whether `unc` ("server\share\...") names the pipes or mailslots of a
// server rather than a share of files.
bool names_pipes_of_a_server(std::wstring_view unc) {
  const std::size_t share = unc.find(L'\\');
  if (share == std::wstring_view::npos) return true;
  const std::wstring_view rest = unc.substr(share + 1);
  for (const std::wstring_view kind :
       {std::wstring_view(L"pipe"), std::wstring_view(L"mailslot")}) {
    if (starts_with_folded(rest, kind) &&
        (rest.size() == kind.size() || rest[kind.size()] == L'\\')) {
      return true;
    }
  }
  return false;
}

// Whether a full path names a device, a pipe or a mailslot rather than a
// file: told from the path alone, since opening some devices has effects
// of its own (a serial line hangs up, a tape rewinds). In the device
// namespaces (\\.\ and \\?\) only a drive letter, a volume or a share of
// files leads to a file.
bool names_a_device(std::wstring_view full) {
  if (starts_with_folded(full, L"\\\\.\\") || starts_with_folded(full, L"\\\\?\\") ||
      starts_with_folded(full, L"\\??\\")) {
    const std::wstring_view rest = full.substr(4);
    if (rest.size() >= 3 && rest[1] == L':' && rest[2] == L'\\') return false;
    if (starts_with_folded(rest, L"UNC\\")) return names_pipes_of_a_server(rest.substr(4));
    return !(starts_with_folded(rest, L"Volume{") && rest.find(L"}\\") != std::wstring_view::npos);
  }
  return starts_with_folded(full, L"\\\\") && names_pipes_of_a_server(full.substr(2));
}

// Opens the log file for appending. Others may read, write or delete it
// meanwhile. A reparse point is opened itself, not what it points to, and a
// pipe's server may not act in the client's name; the right to delete lets
// the append delete this very file when it grows too large. Where the
// file's owner does not grant that right, or another program that has the
// file open does not share it (PowerShell's Get-Content -Wait), the file
// is opened without it.
HANDLE open_log_file(const wchar_t* path, SECURITY_ATTRIBUTES* security) {
  constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                           SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  constexpr DWORD kAppend = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
  HANDLE file =
      CreateFileW(path, kAppend | DELETE, kShared, security, OPEN_ALWAYS, kFlags, nullptr);
  const DWORD error = GetLastError();
  if (file == INVALID_HANDLE_VALUE &&
      (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)) {
    file = CreateFileW(path, kAppend, kShared, security, OPEN_ALWAYS, kFlags, nullptr);
  }
  return file;
}

}  // namespace

namespace windows {

// The user who runs the program, the owner that user's new files get (the
// Administrators group for an elevated administrator), the administrators
// and the system: a file one of them owns is no other user's doing.
bool owner_may_write(PSID owner) {
  if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) != 0 ||
      IsWellKnownSid(owner, WinLocalSystemSid) != 0) {
    return true;
  }
  TokenSid user{};
  TokenSid own_files{};
  const PSID user_sid = token_sid(TokenUser, &user);
  const PSID own_files_sid = token_sid(TokenOwner, &own_files);
  return (user_sid != nullptr && EqualSid(owner, user_sid) != 0) ||
         (own_files_sid != nullptr && EqualSid(owner, own_files_sid) != 0);
}

namespace {

// TrustedInstaller owns Windows' own files and folders, Program Files too.
bool is_trusted_installer(PSID sid) {
  PSID installer = nullptr;
  if (ConvertStringSidToSidA("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                             &installer) == 0) {
    return false;
  }
  const bool same = EqualSid(sid, installer) != 0;
  LocalFree(installer);
  return same;
}

bool trusted(PSID sid) { return owner_may_write(sid) || is_trusted_installer(sid); }

// Whether an access rule lets someone but the trusted change the object.
// Rules for what a folder's children inherit alone do not apply to it.
bool grants_others(const ACE_HEADER* header, ACCESS_MASK changes) {
  if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
    return false;
  }
  const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  PSID sid = const_cast<DWORD*>(&ace->SidStart);
  return (ace->Mask & changes) != 0 && !trusted(sid);
}

}  // namespace

Guarded guarded(const wchar_t* path, ACCESS_MASK changes) {
  PSID owner = nullptr;
  PACL rules = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                            &rules, nullptr, &descriptor) != ERROR_SUCCESS) {
    return Guarded::kUnknown;
  }
  Guarded result = Guarded::kGuarded;
  if (owner == nullptr || !trusted(owner)) result = Guarded::kAnotherOwner;
  // No rules at all let everyone do anything.
  if (result == Guarded::kGuarded && rules == nullptr) result = Guarded::kOthersMayChange;
  for (DWORD index = 0; result == Guarded::kGuarded && rules != nullptr && index < rules->AceCount;
       ++index) {
    void* ace = nullptr;
    if (GetAce(rules, index, &ace) != 0 && grants_others(static_cast<ACE_HEADER*>(ace), changes)) {
      result = Guarded::kOthersMayChange;
    }
  }
  LocalFree(descriptor);
  return result;
}

}  // namespace windows

namespace {

// Whether the open file belongs to another user. A file system that keeps
// no owners (FAT) cannot tell, and lets everyone write.
bool owned_by_another_user(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool another = owner != nullptr && !windows::owner_may_write(owner);
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

std::FILE* open_file(const char* path, const char* mode) {
  const WideText wide = wide_text(path);
  const WideText wide_mode = wide_text(mode);
  if (!wide || !wide_mode) {
    errno = ENOENT;
    return nullptr;
  }
  return _wfopen(wide.get(), wide_mode.get());
}

namespace {

// A new file's rules: the user who runs the program, the system and the
// administrators; null (the folder's rules) when they cannot be made. Freed
// with LocalFree.
PSECURITY_DESCRIPTOR owner_only_rules() {
  char descriptor[256];
  PSECURITY_DESCRIPTOR rules = nullptr;
  if (owner_only_descriptor(descriptor, sizeof descriptor)) {
    ConvertStringSecurityDescriptorToSecurityDescriptorA(descriptor, SDDL_REVISION_1, &rules,
                                                         nullptr);
  }
  return rules;
}

}  // namespace

LogAppend append_to_log_file(const char* path, const char* bytes, std::size_t size,
                             std::int64_t limit) {
  // Looked at before anything is opened: a device or a pipe never is.
  const WideText wide = wide_text(path);
  const WideText full = wide ? full_path(wide.get()) : nullptr;
  if (!full) return LogAppend::kFailed;
  if (names_a_device(full.get())) return LogAppend::kNotRegularFile;
  // A new file gets the owner-only descriptor; an existing one keeps its own.
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof security;
  PSECURITY_DESCRIPTOR owner_only = owner_only_rules();
  security.lpSecurityDescriptor = owner_only;
  HANDLE file = open_log_file(full.get(), &security);
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

// install-service.cmd's log folder, in the 64-bit Program Files wherever
// there is one, also for the 32-bit program.
std::vector<std::string> state_file_places(const std::string& file_name, const char*) {
  const wchar_t* names[] = {L"ProgramW6432", L"ProgramFiles"};
  for (const wchar_t* name : names) {
    wchar_t folder[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(name, folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) continue;
    return {windows::utf8_text(folder) + "\\lumagatec\\log\\" + file_name};
  }
  return {};
}

StatePlace check_state_place(const char* path, std::string* folder, LogAppend* file) {
  const std::wstring wide = windows::wide_of(path);
  const WideText full = wide.empty() ? nullptr : full_path(wide.c_str());
  if (!full) return StatePlace::kNoFolder;
  std::wstring where = full.get();
  where.resize(where.find_last_of(L'\\'));
  if (where.size() == 2) where += L'\\';  // a drive's root
  *folder = windows::utf8_text(where.c_str());
  // Whether this user may write there is asked the one sure way.
  const std::wstring probe = std::wstring(full.get()) + L".new";
  HANDLE trial = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (trial == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
    return StatePlace::kNoFolder;
  }
  if (trial != INVALID_HANDLE_VALUE) CloseHandle(trial);
  if (windows::guarded(where.c_str(), windows::kChangesFolder) != windows::Guarded::kGuarded) {
    return StatePlace::kOthersMayWrite;
  }
  HANDLE existing =
      CreateFileW(full.get(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (existing == INVALID_HANDLE_VALUE) return StatePlace::kUsable;
  BY_HANDLE_FILE_INFORMATION information{};
  const bool folder_there = GetFileInformationByHandle(existing, &information) != 0 &&
                            (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  *file = folder_there ? LogAppend::kNotRegularFile : judge(existing);
  CloseHandle(existing);
  return *file == LogAppend::kAppended ? StatePlace::kUsable : StatePlace::kFileRefused;
}

// The new file is flushed before it takes the name: the folder lies on a
// disk, and a power cut must not leave the name to an empty file.
bool replace_file(const char* path, const char* bytes, std::size_t size) {
  const std::wstring wide = windows::wide_of(path);
  if (wide.empty()) return false;
  const std::wstring fresh = wide + L".new";
  DeleteFileW(fresh.c_str());
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof security;
  PSECURITY_DESCRIPTOR owner_only = owner_only_rules();
  security.lpSecurityDescriptor = owner_only;
  HANDLE file = CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (owner_only != nullptr) LocalFree(owner_only);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool whole = WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) != 0 &&
                     written == size && FlushFileBuffers(file) != 0;
  if (CloseHandle(file) == 0 || !whole ||
      MoveFileExW(fresh.c_str(), wide.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    DeleteFileW(fresh.c_str());
    return false;
  }
  return true;
}

// Shared for deleting too, so that the client's rename over the file is
// not refused while it is read.
FileRead read_small_file(const char* path, std::string* content, std::size_t limit) {
  content->clear();
  const std::wstring wide = windows::wide_of(path);
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileRead::kMissing
                                                                          : FileRead::kFailed;
  }
  char buffer[4096];
  DWORD got = 0;
  bool read = true;
  while (content->size() < limit &&
         (read = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0) {
    content->append(buffer, std::min<std::size_t>(got, limit - content->size()));
  }
  const DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(error);
  return read ? FileRead::kRead : FileRead::kFailed;
}

}  // namespace lumagate::platform
