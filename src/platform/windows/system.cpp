// Process, time and error texts on Windows.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/console.h"
#include "platform/windows/service.h"
#include "platform/windows/system.h"

namespace lumagate::platform {
namespace {

// The thread that runs the program; an interrupt comes on another one.
HANDLE main_thread = nullptr;
DWORD main_thread_id = 0;

bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The words of a command line as the C runtime splits them for main:
// blanks part them and quotes group them; 2n backslashes before a quote
// give n and the quote groups, 2n+1 give n and the quote itself, and ""
// inside quotes gives a quote. The program's name takes no escapes.
std::vector<std::wstring> split_command_line(const wchar_t* c) {
  std::vector<std::wstring> words(1);
  bool quoted = false;
  for (; *c != L'\0' && (quoted || !is_blank(*c)); ++c) {
    if (*c == L'"') {
      quoted = !quoted;
    } else {
      words[0] += *c;
    }
  }
  for (;;) {
    while (is_blank(*c)) ++c;
    if (*c == L'\0') return words;
    std::wstring& word = words.emplace_back();
    quoted = false;
    while (*c != L'\0' && (quoted || !is_blank(*c))) {
      std::size_t backslashes = 0;
      for (; *c == L'\\'; ++c) ++backslashes;
      if (*c != L'"') {
        word.append(backslashes, L'\\');
        if (backslashes == 0) word += *c++;
        continue;
      }
      word.append(backslashes / 2, L'\\');
      if (backslashes % 2 == 1 || (quoted && c[1] == L'"')) {
        word += L'"';
        c += backslashes % 2 == 1 ? 1 : 2;
      } else {
        quoted = !quoted;
        ++c;
      }
    }
  }
}

// The arguments of the wide command line in UTF-8, kept for the whole run:
// the C runtime's own turn letters outside the ANSI code page into '?'.
char** utf8_arguments(int* argc, char** argv) {
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  const wchar_t* line = GetCommandLineW();
  if (line == nullptr) return argv;
  const std::vector<std::wstring> words = split_command_line(line);
  texts.reserve(words.size());
  for (const std::wstring& word : words) texts.push_back(windows::utf8_text(word.c_str()));
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  *argc = static_cast<int>(texts.size());
  return pointers.data();
}

}  // namespace

void run_program(int argc, char** argv, int (*client_main)(int argc, char** argv)) {
  char** arguments = utf8_arguments(&argc, argv);
  windows::run_as_service(client_main, argc, arguments);
  exit_process(client_main(argc, arguments));
}

void exit_process(int code) {
  if (windows::is_service()) {
    windows::tell_service_end(code);
  } else if (code != 0) {
    windows::hold_window_for_reading();
  }
  std::exit(code);
}

bool secure_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    // -1 or -2: no handle behind the number.
    if (_get_osfhandle(fd) >= 0) continue;
    const int null_device = _open("NUL", _O_RDWR);
    if (null_device < 0) return false;
    if (null_device == fd) continue;
    const bool moved = _dup2(null_device, fd) == 0;
    _close(null_device);
    if (!moved) return false;
  }
  return true;
}

void prepare_standard_output() {
  // The C runtime has no line buffering: unbuffered, a finished line is out
  // before any end of the process, and a reader of a pipe sees it at once.
  // Text mode stays, so every "\n" goes out as CR LF.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void install_terminate_handler(void (*handler)(int)) {
  main_thread_id = GetCurrentThreadId();
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread,
                  THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, 0);
  std::signal(SIGINT, handler);
  std::signal(SIGTERM, handler);
}

void terminate_now(int code) {
  // A stop that the service manager asked for is the service's clean end.
  // The manager hears of it before the program's thread is held, which
  // may hold the heap that telling takes.
  if (windows::service_stop_asked()) code = 0;
  windows::tell_service_end(code);
  // The program's thread runs on meanwhile, and the key read switches the
  // console's mode with every key: it is held before the console is put
  // back, or it could undo that.
  if (main_thread != nullptr && GetCurrentThreadId() != main_thread_id) {
    SuspendThread(main_thread);
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(main_thread, &context);  // returns once the thread is held
  }
  windows::restore_console_input();
  windows::restore_console_colour();
  // The C runtime's _exit takes its exit lock first, which the held thread
  // may hold: the process ends without it.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  _exit(code);
}

std::uint32_t tick_count() { return GetTickCount(); }

std::int64_t calendar_time() { return static_cast<std::int64_t>(_time64(nullptr)); }

// The milliseconds since the system started, in 64 bits: nobody sets them,
// and they do not wrap after 49 days as GetTickCount does.
std::int64_t monotonic_seconds() { return static_cast<std::int64_t>(GetTickCount64() / 1000u); }

bool local_time_of_day(std::int64_t seconds, TimeOfDay* out) {
  const __time64_t when = seconds;
  const std::tm* local = _localtime64(&when);
  if (local == nullptr) return false;
  *out = {local->tm_hour, local->tm_min, local->tm_sec};
  return true;
}

void sleep_ms(std::uint32_t milliseconds) { Sleep(milliseconds); }

// In UTF-8, as every other text of the program: the log file holds one
// encoding, and the console shows the system's text beside a path. The
// system sizes the text: given a fixed buffer, it gives nothing at all for
// a text longer than that.
void error_text(std::int32_t code, char* out, std::size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  wchar_t* wide = nullptr;
  if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                     reinterpret_cast<wchar_t*>(&wide), 0, nullptr) == 0) {
    return;
  }
  windows::one_line(wide, out, size);
  LocalFree(wide);
}

std::string windows::utf8_text(const wchar_t* wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), size, nullptr, nullptr);
  text.pop_back();
  return text;
}

std::wstring windows::wide_of(const char* utf8) {
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (length <= 1) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide.data(), length);
  wide.pop_back();
  return wide;
}

// A message line is one line: a system text of several, which some are,
// would start lines of the log that carry no time.
void windows::one_line(const wchar_t* text, char* out, std::size_t size) {
  if (size == 0) return;
  std::size_t length = 0;
  bool line_end = false;
  for (const wchar_t* c = text; *c != L'\0';) {
    if (*c == L'\r' || *c == L'\n') {
      line_end = true;
      ++c;
      continue;
    }
    const int units = IS_HIGH_SURROGATE(c[0]) && IS_LOW_SURROGATE(c[1]) ? 2 : 1;
    char bytes[8];
    int count = line_end && length > 0 ? 1 : 0;
    bytes[0] = ' ';
    count += WideCharToMultiByte(CP_UTF8, 0, c, units, bytes + count,
                                 static_cast<int>(sizeof bytes) - count, nullptr, nullptr);
    // Room is left for the line end and the terminator.
    if (length + static_cast<std::size_t>(count) + 2 > size) break;
    std::memcpy(out + length, bytes, static_cast<std::size_t>(count));
    length += static_cast<std::size_t>(count);
    line_end = false;
    c += units;
  }
  if (length > 0) out[length++] = '\n';
  out[length] = '\0';
}

std::int32_t last_error() { return static_cast<std::int32_t>(GetLastError()); }

void wipe_memory(void* block, std::size_t size) { SecureZeroMemory(block, size); }

// Never inlined: the stretch must lie below the caller's own frame.
[[gnu::noinline]] void wipe_stack_below_caller() {
  char stretch[32768];
  wipe_memory(stretch, sizeof stretch);
}

// The variable lives twice: in the C runtime's copy, which getenv reads, and
// in the process's environment block. Each is overwritten before it goes.
void erase_environment_variable(const char* name) {
  if (char* value = std::getenv(name)) {
    const std::size_t length = std::strlen(value);
    const std::string blanks(length, ' ');
    SetEnvironmentVariableA(name, blanks.c_str());
    wipe_memory(value, length);
  }
  SetEnvironmentVariableA(name, nullptr);
  _putenv_s(name, "");
}

}  // namespace lumagate::platform
