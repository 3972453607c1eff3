// Drives a service through the Service Control Manager's functions, as
// `sc` and the Services console do (Wine's `sc query` prints nothing), and
// prints what the manager says of it afterwards:
//   service_control start NAME COMMAND-LINE   creates and starts it, waits out the start
//   service_control stop NAME                 stops it, waits until it has
//   service_control query NAME
//   service_control config NAME               how it is set up
//   service_control delete NAME
// Copied under a system tool's name (sc.exe, icacls.exe...) into the
// System32 folder of a stand-in %SystemRoot%, it notes its command line in
// the file $LUMAGATE_TOOL_LOG and hands it to the system's own tool, but
// for what Wine's sc lacks, `sc queryex NAME` and `sc config NAME OPTION=
// VALUE...`, which it does itself in the words of Windows' own.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <string>
#include <string_view>

namespace {

// The states from SERVICE_STOPPED (1) to SERVICE_RUNNING (4).
const char* const kStates[] = {"other", "stopped", "starting", "stopping", "running"};

// Waits up to `seconds` while the service is in `state`; then prints it.
int report(SC_HANDLE service, DWORD state, int seconds) {
  SERVICE_STATUS_PROCESS status{};
  DWORD size = 0;
  for (int tries = 0; tries <= seconds * 10; ++tries, Sleep(100)) {
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof status, &size) == 0) {
      std::printf("query failed: %lu\n", GetLastError());
      return 1;
    }
    if (status.dwCurrentState != state) break;
  }
  std::printf("state: %s\nexit code: %lu\nservice exit code: %lu\n",
              kStates[status.dwCurrentState <= 4 ? status.dwCurrentState : 0],
              status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
  return 0;
}

int config(SC_HANDLE service) {
  alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
  DWORD size = 0;
  auto* setup = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
  if (QueryServiceConfigW(service, setup, sizeof buffer, &size) == 0) return 1;
  std::printf("command: %ls\naccount: %ls\nstart: %lu\n", setup->lpBinaryPathName,
              setup->lpServiceStartName, setup->dwStartType);
  if (QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer, sizeof buffer, &size) !=
      0) {
    std::printf("description: %ls\n",
                reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer)->lpDescription);
  }
  return 0;
}

int sc_queryex(SC_HANDLE service, const wchar_t* name) {
  SERVICE_STATUS_PROCESS status{};
  DWORD size = 0;
  if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                           sizeof status, &size) == 0) {
    return static_cast<int>(GetLastError());
  }
  std::printf(
      "\nSERVICE_NAME: %ls\n        STATE              : %lu\n"
      "        PID                : %lu\n",
      name, status.dwCurrentState, status.dwProcessId);
  return 0;
}

int sc_config(SC_HANDLE service, int argc, wchar_t** argv) {
  DWORD start = SERVICE_NO_CHANGE;
  const wchar_t* command = nullptr;
  bool delayed = false;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::wstring_view option = argv[i];
    const std::wstring_view value = argv[i + 1];
    if (option == L"start=") {
      delayed = value == L"delayed-auto";
      start = delayed || value == L"auto" ? SERVICE_AUTO_START
              : value == L"disabled"      ? SERVICE_DISABLED
                                          : SERVICE_DEMAND_START;
    }
    if (option == L"binPath=") command = argv[i + 1];
  }
  // The account and the name an install gives stay as they are.
  if (ChangeServiceConfigW(service, SERVICE_NO_CHANGE, start, SERVICE_NO_CHANGE, command, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr) == 0) {
    return static_cast<int>(GetLastError());
  }
  SERVICE_DELAYED_AUTO_START_INFO info{TRUE};
  if (delayed &&
      ChangeServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info) == 0) {
    return static_cast<int>(GetLastError());
  }
  return 0;
}

// The command line after the program's name.
const wchar_t* arguments() {
  const wchar_t* line = GetCommandLineW();
  bool quoted = false;
  for (; *line != L'\0' && (quoted || *line != L' '); ++line) quoted ^= *line == L'"';
  return line;
}

void note(const std::wstring& call) {
  const char* log = std::getenv("LUMAGATE_TOOL_LOG");
  if (log == nullptr) return;
  const std::wstring line = call + L"\n";
  char text[4096];
  const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                       text, sizeof text, nullptr, nullptr);
  HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(size), &written, nullptr);
  CloseHandle(file);
}

// The system's own tool at the place of this one below System32, with the
// arguments as they came.
int system_tool(const std::wstring& self, const std::wstring& name) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  std::wstring folded = self;
  for (wchar_t& c : folded) c = towlower(c);
  const std::size_t below = folded.rfind(L"\\system32\\");
  if (below == std::wstring::npos) return 1;
  const std::wstring program = std::wstring(system) + self.substr(below + 9);
  std::wstring command = name + arguments();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                     &startup, &process) == 0) {
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

int stand_in(int argc, wchar_t** argv, const std::wstring& self) {
  const std::wstring name = self.substr(self.rfind(L'\\') + 1);
  note(name + arguments());
  const std::wstring_view command = argc > 1 ? argv[1] : L"";
  if (_wcsicmp(name.c_str(), L"sc.exe") != 0 || argc < 3 ||
      (command != L"queryex" && command != L"config")) {
    return system_tool(self, name);
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service =
      manager != nullptr ? OpenServiceW(manager, argv[2], SERVICE_ALL_ACCESS) : nullptr;
  if (service == nullptr) return ERROR_SERVICE_DOES_NOT_EXIST;
  return command == L"queryex" ? sc_queryex(service, argv[2]) : sc_config(service, argc, argv);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  constexpr std::wstring_view kOwnName = L"\\service_control.exe";
  if (length < kOwnName.size() || _wcsicmp(self + length - kOwnName.size(), kOwnName.data()) != 0) {
    return stand_in(argc, argv, self);
  }
  if (argc < 3) return 2;
  const std::wstring_view command = argv[1];
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return 1;
  SC_HANDLE service = nullptr;
  if (command == L"start" && argc == 4) {
    service = CreateServiceW(manager, argv[2], argv[2], SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             argv[3], nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr || StartServiceW(service, 0, nullptr) == 0) {
      std::printf("start failed: %lu\n", GetLastError());
      return 1;
    }
    return report(service, SERVICE_START_PENDING, 20);
  }
  service = OpenServiceW(manager, argv[2], SERVICE_ALL_ACCESS);
  if (service == nullptr) return 1;
  if (command == L"stop") {
    SERVICE_STATUS status{};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status) == 0) {
      std::printf("stop failed: %lu\n", GetLastError());
    }
    return report(service, SERVICE_STOP_PENDING, 20);
  }
  if (command == L"query") return report(service, 0, 0);
  if (command == L"config") return config(service);
  if (command == L"delete") return DeleteService(service) != 0 ? 0 : 1;
  return 2;
}
