// The Service Control Manager: the client as its service, when it started
// the process. The manager hears the service's state (starting, running
// once the session begins, stopping, stopped after a stop; an end with an
// error is a failure to it, unless a stop follows), and the Event Log keeps
// its turns in the words of the program's message table.
#include <windows.h>

#include <tlhelp32.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "lumagatec_messages.h"
#include "platform/platform.h"
#include "platform/windows/service.h"

namespace lumagate::platform {
namespace {

// The Event Log source that install-service.cmd registers with this
// program's message table.
constexpr const wchar_t* kEventSource = L"lumagatec";
// How long the manager is to wait for a start or a stop to finish.
constexpr DWORD kWaitHintMs = 10000;

int (*client_entry)(int, char**) = nullptr;
int client_argc = 0;
char** client_argv = nullptr;
SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE event_source = nullptr;
// The last status line the client told, for the entry of its end.
char last_status[256] = "";

// Whether the process that started this one is services.exe, as it is
// for every service's process. Elsewhere the dispatcher would be asked in
// vain, and under Wine it takes ten seconds to say so. When the processes
// cannot be listed, the dispatcher is asked.
bool started_by_service_manager() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return true;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  DWORD parent = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more != 0 && parent == 0;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  }
  bool by_manager = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more != 0 && parent != 0;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == parent) {
      by_manager = _wcsicmp(entry.szExeFile, L"services.exe") == 0;
      break;
    }
  }
  CloseHandle(snapshot);
  return by_manager;
}

void report_state(DWORD state, int code = 0) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  if (code != 0) {
    status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = static_cast<DWORD>(code);
  }
  // A start is not stopped halfway: the checks of start-up take moments.
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwCheckPoint = pending ? 1 : 0;
  status.dwWaitHint = pending ? kWaitHintMs : 0;
  SetServiceStatus(status_handle, &status);
}

std::wstring wide_text(const char* text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (length <= 1) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
  wide.pop_back();
  return wide;
}

// One entry of the program's message table, with its texts in UTF-8.
void log_event(WORD type, DWORD message, std::initializer_list<const char*> texts) {
  if (event_source == nullptr) return;
  std::wstring wide[2];
  const wchar_t* inserts[2] = {};
  WORD count = 0;
  for (const char* text : texts) {
    if (count == 2) break;
    wide[count] = wide_text(text);
    inserts[count] = wide[count].c_str();
    ++count;
  }
  ReportEventW(event_source, type, 0, message, nullptr, count, 0, inserts, nullptr);
}

// Stop and Shutdown end the client as an interrupt would, on a thread of
// their own: the manager waits for this handler's answer, and a stop
// within it would leave its caller without one.
DWORD WINAPI stop_client(void* /*unused*/) {
  std::raise(SIGTERM);
  return 0;
}

void report_stop_pending() { report_state(SERVICE_STOP_PENDING); }

void report_end(int code) {
  if (code == 0) {
    log_event(EVENTLOG_INFORMATION_TYPE, MSG_STOPPED, {});
    report_state(SERVICE_STOPPED);
    return;
  }
  char number[16];
  std::snprintf(number, sizeof number, "%d", code);
  const char* status = last_status[0] != '\0' ? last_status : "none, it ended during start-up";
  log_event(EVENTLOG_ERROR_TYPE, MSG_ENDED, {number, status});
  // No SERVICE_STOPPED: a process that ends without it has failed to the
  // manager, which then restarts it as the recovery settings say. A stop
  // with an error code would count as a failure only where the failure
  // actions flag is set (sc failureflag), which the installer leaves off.
}

// A stop that came after the client's own end with an error: an
// administrator asked for it, so the manager hears that the service
// stopped, with the client's code, and does not restart it.
void report_stopped(int code) { report_state(SERVICE_STOPPED, code); }

windows::ServiceEnd service_end(report_stop_pending, report_end, report_stopped);

DWORD WINAPI on_control(DWORD control, DWORD /*event*/, void* /*data*/, void* /*context*/) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      if (service_end.stop()) {
        HANDLE stopper = CreateThread(nullptr, 0, stop_client, nullptr, 0, nullptr);
        if (stopper == nullptr) {
          service_end.end(0);
          TerminateProcess(GetCurrentProcess(), 0);
        }
        CloseHandle(stopper);
      }
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The service's thread: the client runs on it from start-up on.
void WINAPI service_main(DWORD /*argc*/, wchar_t** /*argv*/) {
  // The name is not looked at for a service that has its process alone.
  status_handle = RegisterServiceCtrlHandlerExW(L"", on_control, nullptr);
  if (status_handle == nullptr) std::exit(1);
  event_source = RegisterEventSourceW(nullptr, kEventSource);
  report_state(SERVICE_START_PENDING);
  exit_process(client_entry(client_argc, client_argv));
}

}  // namespace

// The status line is kept for the entry that tells of the service's end.
void notify_service_manager(const char* state) {
  constexpr const char* kStatus = "STATUS=";
  if (std::strncmp(state, kStatus, std::strlen(kStatus)) != 0) return;
  std::snprintf(last_status, sizeof last_status, "%s", state + std::strlen(kStatus));
}

void tell_service_turn(ServiceTurn turn, const char* status) {
  if (status_handle == nullptr) return;
  switch (turn) {
    case ServiceTurn::kSessionBegun:
      report_state(SERVICE_RUNNING);
      log_event(EVENTLOG_INFORMATION_TYPE, MSG_RUNNING, {status});
      break;
    case ServiceTurn::kLetIn:
      log_event(EVENTLOG_INFORMATION_TYPE, MSG_LET_IN, {status});
      break;
    case ServiceTurn::kNoLongerLetIn:
      log_event(EVENTLOG_WARNING_TYPE, MSG_NO_LONGER_LET_IN, {status});
      break;
  }
}

namespace windows {

void run_as_service(int (*client_main)(int argc, char** argv), int argc, char** argv) {
  if (!started_by_service_manager()) return;
  client_entry = client_main;
  client_argc = argc;
  client_argv = argv;
  SERVICE_TABLE_ENTRYW services[] = {{const_cast<wchar_t*>(L""), service_main}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(services) == 0) return;
  // The service has reported its end; its own thread, or the stop, ends
  // the process in a moment.
  for (;;) Sleep(INFINITE);
}

bool is_service() { return status_handle != nullptr; }

void tell_service_end(int code) {
  if (status_handle != nullptr) service_end.end(code);
}

bool service_stop_asked() { return service_end.stop_asked(); }

ServiceEnd::ServiceEnd(void (*stopping)(), void (*ended)(int code), void (*stopped)(int code))
    : stopping_(stopping), ended_(ended), stopped_(stopped) {}

bool ServiceEnd::stop() {
  AcquireSRWLockExclusive(&lock_);
  const bool first = phase_ == Phase::kRunning;
  if (first) {
    phase_ = Phase::kStopping;
    asked_ = true;
    stopping_();
  } else if (phase_ == Phase::kEnded && code_ != 0) {
    phase_ = Phase::kStopped;
    stopped_(code_);
  }
  ReleaseSRWLockExclusive(&lock_);
  return first;
}

void ServiceEnd::end(int code) {
  AcquireSRWLockExclusive(&lock_);
  if (phase_ == Phase::kRunning || phase_ == Phase::kStopping) {
    code_ = phase_ == Phase::kStopping ? 0 : code;
    phase_ = Phase::kEnded;
    ended_(code_);
  }
  ReleaseSRWLockExclusive(&lock_);
}

}  // namespace windows

}  // namespace lumagate::platform
