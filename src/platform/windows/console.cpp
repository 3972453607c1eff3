// The console: title, text attributes, and the unechoed key read.
#include <windows.h>

#include <conio.h>

#include <cstdlib>

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

}  // namespace

void set_console_title(const char* title) { SetConsoleTitleA(title); }

// Bytes from 0x80 up are characters of the console's code page, and in a
// multi-byte code page parts of characters.
bool console_honours_c1_controls() { return false; }

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

bool begin_console_input() {
  // The console's own input, whatever standard input is.
  HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  const bool console = GetConsoleMode(input, &mode) != 0;
  CloseHandle(input);
  return console;
}

// _getch reads the console raw and unechoed: Enter is 13, Ctrl-C is 3, an
// arrow key is 224 and then its code, a function key 0 and then its code.
int read_console_key() {
  const int key = _getch();
  return key < 0 || key == kNoKey || key > 255 ? -1 : key;
}

void end_console_input() {}

namespace windows {

void restore_console_colour() {
  const ConsoleHandle handle = coloured_console;
  if (handle == 0) return;
  SetConsoleTextAttribute(handle_of(handle), own_attribute);
  coloured_console = 0;
}

}  // namespace windows

}  // namespace lumagate::platform
