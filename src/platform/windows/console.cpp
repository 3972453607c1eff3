// The console: title, text attributes, and the unechoed key read.
#include <windows.h>

#include <conio.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/windows/console.h"

namespace lumagate::platform {
namespace {

// The layer above keeps handles as integers, as it keeps file descriptors.
HANDLE handle_of(ConsoleHandle handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

// What _getch gives when the console cannot be read.
constexpr int kNoKey = 0xFFFF;

// The console's own attribute, saved when coloured output began, and the
// handle that shows another one meanwhile (0 when none does).
std::uint16_t own_attribute = 0x07;
volatile ConsoleHandle coloured_console = 0;

// The console's input buffer, whatever standard input is; its mode as the
// program found it, and whether that has to be put back at the end.
HANDLE console_input = INVALID_HANDLE_VALUE;
DWORD input_mode_at_start = 0;
volatile LONG input_mode_changed = 0;
DWORD input_mode_before_prompt = 0;

bool open_console_input() {
  if (console_input != INVALID_HANDLE_VALUE) return true;
  HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) return false;
  if (GetConsoleMode(input, &input_mode_at_start) == 0) {
    CloseHandle(input);
    return false;
  }
  console_input = input;
  return true;
}

void change_input_mode(DWORD mode) {
  // Noted first, so that an interrupt right after the change finds it.
  input_mode_changed = 1;
  SetConsoleMode(console_input, mode);
}

void restore_at_exit() {
  windows::restore_console_input();
  windows::restore_console_colour();
}

// Ctrl+Break, which the client leaves to the system, ends it here: the
// console gets its own settings back first. Every other event goes on to
// the next handler.
BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_BREAK_EVENT) restore_at_exit();
  return FALSE;
}

// Whether the console window can be seen at all: a task that runs while
// nobody is logged on has its console on a desktop nobody sees, and one
// may be started hidden. Nobody would press a key there.
bool shown_to_a_user() {
  USEROBJECTFLAGS station{};
  if (GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &station, sizeof station,
                                nullptr) != 0 &&
      (station.dwFlags & WSF_VISIBLE) == 0) {
    return false;
  }
  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  return (startup.dwFlags & STARTF_USESHOWWINDOW) == 0 || startup.wShowWindow != SW_HIDE;
}

}  // namespace

void set_console_title(const char* title) { SetConsoleTitleA(title); }

// Standard output reaches a console as UTF-8 read into characters, and its
// sequences take no C1 controls: U+0080 to U+009F are characters there.
C1Controls console_c1_controls() { return C1Controls::kText; }

ConsoleHandle standard_output_handle() {
  return reinterpret_cast<ConsoleHandle>(GetStdHandle(STD_OUTPUT_HANDLE));
}

AttributeQuery console_text_attribute(ConsoleHandle handle, std::uint16_t* attribute) {
  auto* info =
      static_cast<CONSOLE_SCREEN_BUFFER_INFO*>(std::malloc(sizeof(CONSOLE_SCREEN_BUFFER_INFO)));
  if (info == nullptr) return AttributeQuery::kNoMemory;
  const bool console = GetConsoleScreenBufferInfo(handle_of(handle), info) != 0;
  if (console) *attribute = own_attribute = info->wAttributes;
  std::free(info);
  return console ? AttributeQuery::kFound : AttributeQuery::kNotConsole;
}

bool set_console_text_attribute(ConsoleHandle handle, std::uint16_t attribute) {
  // Noted before the colour shows and forgotten once the console's own is
  // back, so that an interrupt in between always finds it.
  if (attribute != own_attribute) coloured_console = handle;
  const bool set = SetConsoleTextAttribute(handle_of(handle), attribute) != 0;
  if (attribute == own_attribute) coloured_console = 0;
  return set;
}

void write_console(const char* text) { _cputs(text); }

bool standard_output_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(handle_of(_get_osfhandle(_fileno(stdout))), &mode) != 0;
}

// A console takes bytes in its own code page, whatever they are meant in:
// the UTF-8 of a path and of a system's text goes to it as characters.
// A file or a pipe gets the bytes as they are.
void write_standard_output(const char* text) {
  HANDLE output = handle_of(_get_osfhandle(_fileno(stdout)));
  DWORD mode = 0;
  const int length = static_cast<int>(std::strlen(text));
  // The characters, then behind them each line feed after a CR, as text
  // mode would write it.
  auto* wide = static_cast<wchar_t*>(
      std::malloc((3 * static_cast<std::size_t>(length) + 1) * sizeof(wchar_t)));
  if (GetConsoleMode(output, &mode) == 0 || wide == nullptr) {
    std::free(wide);
    std::fputs(text, stdout);
    return;
  }
  const int count = MultiByteToWideChar(CP_UTF8, 0, text, length, wide, length);
  wchar_t* shown = wide + length;
  DWORD shown_length = 0;
  for (int i = 0; i < count; ++i) {
    if (wide[i] == L'\n') shown[shown_length++] = L'\r';
    shown[shown_length++] = wide[i];
  }
  DWORD written = 0;
  WriteConsoleW(output, shown, shown_length, &written, nullptr);
  std::free(wide);
}

void prepare_console() {
  if (!open_console_input()) return;
  // A mouse click in Quick Edit mode starts a selection, and until it ends
  // every console write waits: the next answer to the server with it.
  if ((input_mode_at_start & ENABLE_QUICK_EDIT_MODE) != 0) {
    change_input_mode((input_mode_at_start | ENABLE_EXTENDED_FLAGS) & ~ENABLE_QUICK_EDIT_MODE);
  }
  std::atexit(restore_at_exit);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool begin_console_input() {
  if (!open_console_input()) return false;
  if (GetConsoleMode(console_input, &input_mode_before_prompt) == 0) return false;
  // Raw for the whole entry, not only inside each key read: a Ctrl+C typed
  // while a star is echoed must come as a key, not as the interrupt.
  change_input_mode(
      input_mode_before_prompt &
      ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
  return true;
}

// _getch reads the console unechoed: Enter is 13, Ctrl-C is 3, an arrow
// key is 224 and then its code, a function key 0 and then its code.
int read_console_key() {
  const int key = _getch();
  return key < 0 || key == kNoKey || key > 255 ? -1 : key;
}

void end_console_input() { SetConsoleMode(console_input, input_mode_before_prompt); }

namespace windows {

void restore_console_colour() {
  const ConsoleHandle handle = coloured_console;
  if (handle == 0) return;
  SetConsoleTextAttribute(handle_of(handle), own_attribute);
  coloured_console = 0;
}

void restore_console_input() {
  if (input_mode_changed == 0) return;
  // Without the extended flags, the Quick Edit bit would be passed over.
  SetConsoleMode(console_input, input_mode_at_start | ENABLE_EXTENDED_FLAGS);
  input_mode_changed = 0;
}

void hold_window_for_reading() {
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) != 1 || !shown_to_a_user() || !open_console_input()) {
    return;
  }
  write_console("Press a key to close this window.");
  FlushConsoleInputBuffer(console_input);
  read_console_key();
  write_console("\n");
}

}  // namespace windows

}  // namespace lumagate::platform
