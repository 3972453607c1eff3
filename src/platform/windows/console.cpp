// The console: title, text attributes, and the unechoed key read.
#include <windows.h>

#include <conio.h>

#include <cstdlib>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

// The layer above keeps handles as integers, as it keeps file descriptors.
HANDLE handle_of(ConsoleHandle handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

// What _getch gives when the console cannot be read.
constexpr int kNoKey = 0xFFFF;

}  // namespace

void set_console_title(const char* title) { SetConsoleTitleA(title); }

ConsoleHandle standard_output_handle() {
  return reinterpret_cast<ConsoleHandle>(GetStdHandle(STD_OUTPUT_HANDLE));
}

AttributeQuery console_text_attribute(ConsoleHandle handle, std::uint16_t* attribute) {
  auto* info =
      static_cast<CONSOLE_SCREEN_BUFFER_INFO*>(std::malloc(sizeof(CONSOLE_SCREEN_BUFFER_INFO)));
  if (info == nullptr) return AttributeQuery::kNoMemory;
  const bool console = GetConsoleScreenBufferInfo(handle_of(handle), info) != 0;
  if (console) *attribute = info->wAttributes;
  std::free(info);
  return console ? AttributeQuery::kFound : AttributeQuery::kNotConsole;
}

bool set_console_text_attribute(ConsoleHandle handle, std::uint16_t attribute) {
  return SetConsoleTextAttribute(handle_of(handle), attribute) != 0;
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

}  // namespace lumagate::platform
