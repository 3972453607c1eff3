// The program the client runs on changes: checked as OpenSSH checks its
// keys, started without a shell of the client's choosing, and watched
// without waiting. A batch file runs in cmd, as Windows runs every one.
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/files.h"
#include "platform/windows/system.h"

namespace lumagate::platform {
namespace {

HANDLE handle_of(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

// What Windows runs itself, and what it runs in cmd.
bool has_extension(const std::wstring& path, std::initializer_list<const wchar_t*> extensions) {
  const std::size_t dot = path.find_last_of(L'.');
  if (dot == std::wstring::npos || path.find(L'\\', dot) != std::wstring::npos) return false;
  return std::any_of(extensions.begin(), extensions.end(), [&](const wchar_t* extension) {
    return _wcsicmp(path.c_str() + dot, extension) == 0;
  });
}

bool is_batch_file(const std::wstring& path) { return has_extension(path, {L".bat", L".cmd"}); }

// The path that `path` names in the end, links and junctions followed;
// empty when nothing is there.
std::wstring final_path(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  wchar_t final[MAX_PATH + 8];
  const DWORD length = GetFinalPathNameByHandleW(file, final, MAX_PATH + 8, VOLUME_NAME_DOS);
  CloseHandle(file);
  if (length == 0 || length >= MAX_PATH + 8) return {};
  std::wstring found = final;
  if (found.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + found.substr(8);
  if (found.rfind(L"\\\\?\\", 0) == 0) return found.substr(4);
  return found;
}

ProgramCheck check_of(windows::Guarded guarded, bool folder) {
  switch (guarded) {
    case windows::Guarded::kGuarded:
      return ProgramCheck::kUsable;
    case windows::Guarded::kAnotherOwner:
    case windows::Guarded::kUnknown:
      return folder ? ProgramCheck::kFolderOfAnotherOwner : ProgramCheck::kAnotherOwner;
    case windows::Guarded::kOthersMayChange:
      break;
  }
  return folder ? ProgramCheck::kFolderOthersMayWrite : ProgramCheck::kOthersMayWrite;
}

// The client's environment with `added` in place of any variable of the
// same name, as CreateProcessW takes it.
std::wstring environment_block(const std::vector<std::string>& added) {
  std::vector<std::wstring> extra;
  extra.reserve(added.size());
  for (const std::string& text : added) extra.push_back(windows::wide_of(text.c_str()));
  std::wstring block;
  wchar_t* own = GetEnvironmentStringsW();
  for (const wchar_t* entry = own; entry != nullptr && *entry != L'\0';
       entry += std::wcslen(entry) + 1) {
    const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::wstring& text) {
      const std::size_t name = text.find(L'=') + 1;
      return _wcsnicmp(entry, text.c_str(), name) == 0;
    });
    if (!replaced) block.append(entry).push_back(L'\0');
  }
  if (own != nullptr) FreeEnvironmentStringsW(own);
  for (const std::wstring& text : extra) block.append(text).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

// The command line: the program and the event, or cmd with a batch file,
// by the full path of the system's own cmd (/d: no AutoRun of the user's).
std::wstring command_line(const std::wstring& program, const std::wstring& argument,
                          std::wstring* application) {
  if (!is_batch_file(program)) {
    *application = program;
    return L"\"" + program + L"\" " + argument;
  }
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  *application = std::wstring(system, length < MAX_PATH ? length : 0) + L"\\cmd.exe";
  return L"\"" + *application + L"\" /d /c \"\"" + program + L"\" " + argument + L"\"";
}

// Only these handles go to the child: an inherited socket would keep the
// client's connection or its guard port open after the client.
struct InheritedHandles {
  std::vector<unsigned char> storage;
  LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;
  HANDLE handles[2];

  InheritedHandles(HANDLE output, HANDLE input) : handles{output, input} {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage.resize(size);
    list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (InitializeProcThreadAttributeList(list, 1, 0, &size) == 0 ||
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                  sizeof handles, nullptr, nullptr) == 0) {
      list = nullptr;
    }
  }
  ~InheritedHandles() {
    if (list != nullptr) DeleteProcThreadAttributeList(list);
  }
  InheritedHandles(const InheritedHandles&) = delete;
  InheritedHandles& operator=(const InheritedHandles&) = delete;
};

// A job to end the child with whatever it starts; none where the client's
// own job takes no other (Windows 7).
HANDLE job_for(HANDLE process) {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr && AssignProcessToJobObject(job, process) == 0) {
    CloseHandle(job);
    job = nullptr;
  }
  return job;
}

}  // namespace

ProgramCheck check_program(const char* path, std::string* program, std::string* where) {
  *where = path;
  const std::wstring found = final_path(windows::wide_of(path));
  if (found.empty()) return ProgramCheck::kMissing;
  *program = windows::utf8_text(found.c_str());
  *where = *program;
  const DWORD attributes = GetFileAttributesW(found.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      !has_extension(found, {L".exe", L".com", L".bat", L".cmd"})) {
    return ProgramCheck::kNotExecutable;
  }
  ProgramCheck check = check_of(windows::guarded(found.c_str(), windows::kChangesFile), false);
  std::wstring folder = found;
  for (std::size_t slash = folder.find_last_of(L'\\');
       check == ProgramCheck::kUsable && slash != std::wstring::npos && slash > 1;
       slash = folder.find_last_of(L'\\')) {
    // A drive's root keeps its backslash.
    folder.resize(folder[slash - 1] == L':' ? slash + 1 : slash);
    *where = windows::utf8_text(folder.c_str());
    check = check_of(windows::guarded(folder.c_str(), windows::kChangesFolder), true);
    if (folder.back() == L'\\') break;
  }
  if (check == ProgramCheck::kUsable) *where = *program;
  return check;
}

bool start_program(const char* program, const char* argument,
                   const std::vector<std::string>& environment, Child* child) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (CreatePipe(&read_end, &write_end, &inheritable, 0) == 0) return false;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr);
  std::wstring application;
  std::wstring line =
      command_line(windows::wide_of(program), windows::wide_of(argument), &application);
  std::wstring block = environment_block(environment);
  InheritedHandles handles(write_end, nothing);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nothing;
  startup.StartupInfo.hStdOutput = write_end;
  startup.StartupInfo.hStdError = write_end;
  startup.lpAttributeList = handles.list;
  PROCESS_INFORMATION process{};
  const DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | CREATE_SUSPENDED |
                      CREATE_NEW_PROCESS_GROUP |
                      (handles.list != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
  const BOOL started = CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                                      flags, block.data(), nullptr, &startup.StartupInfo, &process);
  const DWORD error = GetLastError();
  CloseHandle(write_end);
  if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
  if (started == 0) {
    CloseHandle(read_end);
    SetLastError(error);
    return false;
  }
  child->group = reinterpret_cast<std::intptr_t>(job_for(process.hProcess));
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  child->process = reinterpret_cast<std::intptr_t>(process.hProcess);
  child->output = reinterpret_cast<std::intptr_t>(read_end);
  return true;
}

void read_child_output(Child& child, std::string* output, std::size_t limit) {
  auto* pipe = handle_of(child.output);
  char buffer[1024];
  // A pipe's worth at most: a child that writes without end must not hold
  // the client here.
  for (int reads = 0; reads < 64; ++reads) {
    DWORD waiting = 0;
    DWORD got = 0;
    if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) == 0 || waiting == 0 ||
        ReadFile(pipe, buffer, std::min<DWORD>(waiting, sizeof buffer), &got, nullptr) == 0) {
      return;
    }
    output->append(buffer, got);
    if (output->size() > limit) output->resize(limit);
  }
}

bool child_ended(Child& child, int* code) {
  auto* process = handle_of(child.process);
  if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return false;
  DWORD exit_code = 0;
  GetExitCodeProcess(process, &exit_code);
  *code = static_cast<int>(exit_code);
  return true;
}

void end_child(Child& child) {
  auto* process = handle_of(child.process);
  if (child.group != 0) {
    TerminateJobObject(handle_of(child.group), 1);
  } else {
    TerminateProcess(process, 1);
  }
  WaitForSingleObject(process, 5000);
}

void release_child(Child& child) {
  for (const std::intptr_t handle : {child.output, child.process, child.group}) {
    if (handle != 0 && handle != -1) CloseHandle(handle_of(handle));
  }
  child = Child{};
}

}  // namespace lumagate::platform
