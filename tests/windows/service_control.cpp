// Drives a service through the Service Control Manager's functions, as
// `sc` and the Services console do (Wine's `sc query` prints nothing), and
// prints what the manager says of it afterwards:
//   service_control start NAME COMMAND-LINE   creates and starts it, waits out the start
//   service_control stop NAME                 stops it, waits until it has
//   service_control wait NAME                 waits until it has stopped by itself
//   service_control query NAME
//   service_control config NAME               how it is set up
//   service_control delete NAME
#include <windows.h>

#include <cstdio>
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
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
  if (command == L"wait") return report(service, SERVICE_RUNNING, 60);
  if (command == L"query") return report(service, 0, 0);
  if (command == L"config") return config(service);
  if (command == L"delete") return DeleteService(service) != 0 ? 0 : 1;
  return 2;
}
