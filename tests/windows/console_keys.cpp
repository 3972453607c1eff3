// Starts a program on this console (Quick Edit on, as Windows 10 and 11 start
// one) and, once TEXT shows on the screen, types KEYS into the console's
// input as a keyboard would. Writes to REPORT the console's input modes
// before, during and after, and the screen line from TEXT on with its colour.
//   console_keys REPORT TEXT KEYS PROGRAM [ARGUMENT...]
// KEYS stand as typed, but for \b Backspace, \r Enter, \t Tab, \e Escape,
// \c Ctrl+C, \< Left, \[ Alt+Left, and \! the console's Ctrl+C event.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Events for the console reach every program on it: this one stays.
BOOL WINAPI stay(DWORD) { return TRUE; }

// Types one key of KEYS, or raises the event, and moves past it.
void type(HANDLE input, const char*& keys) {
  INPUT_RECORD key{KEY_EVENT, {}};
  KEY_EVENT_RECORD& event = key.Event.KeyEvent;
  event.wRepeatCount = 1;
  event.uChar.UnicodeChar = static_cast<unsigned char>(*keys);
  const char escape = *keys++ == '\\' ? *keys++ : '\0';
  const char* const names = "brtec<[";
  const WORD codes[][3] = {{VK_BACK, 8, 0},
                           {VK_RETURN, 13, 0},
                           {VK_TAB, 9, 0},
                           {VK_ESCAPE, 27, 0},
                           {'C', 3, LEFT_CTRL_PRESSED},
                           {VK_LEFT, 0, ENHANCED_KEY},
                           {VK_LEFT, 0, ENHANCED_KEY | LEFT_ALT_PRESSED}};
  if (escape == '!') {
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    return;
  }
  if (const char* at = escape != '\0' ? std::strchr(names, escape) : nullptr) {
    const WORD* code = codes[at - names];
    event.wVirtualKeyCode = code[0];
    event.wVirtualScanCode = code[0] == VK_LEFT ? 0x4B : 0;
    event.uChar.UnicodeChar = code[1];
    event.dwControlKeyState = code[2];
  }
  INPUT_RECORD down_and_up[2] = {key, key};
  down_and_up[0].Event.KeyEvent.bKeyDown = TRUE;
  DWORD written = 0;
  WriteConsoleInputW(input, down_and_up, 2, &written);
}

// The screen's text, row after row, and the cursor.
std::string screen(HANDLE output, COORD* size, COORD* cursor) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  GetConsoleScreenBufferInfo(output, &info);
  *size = info.dwSize;
  *cursor = info.dwCursorPosition;
  std::string text(static_cast<std::size_t>(size->X) * size->Y, ' ');
  DWORD read = 0;
  ReadConsoleOutputCharacterA(output, text.data(), static_cast<DWORD>(text.size()), {}, &read);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  std::FILE* report = std::fopen(argv[1], "wb");
  std::string command;
  for (int i = 4; i < argc; ++i) command += std::string(i > 4 ? " \"" : "\"") + argv[i] + "\"";
  SetConsoleCtrlHandler(stay, TRUE);
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                             0, nullptr);
  HANDLE output = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, share, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  DWORD mode = 0;
  GetConsoleMode(input, &mode);
  SetConsoleMode(input, mode | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS);
  GetConsoleMode(input, &mode);
  std::fprintf(report, "mode before: %lx\n", mode);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (report == nullptr || CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, nullptr, &startup, &started) == 0) {
    return 2;
  }
  COORD size{};
  COORD cursor{};
  std::size_t found = std::string::npos;
  for (int tries = 0; tries < 1000 && found == std::string::npos; ++tries) {
    if (WaitForSingleObject(started.hProcess, 20) == WAIT_OBJECT_0) break;
    found = screen(output, &size, &cursor).find(argv[2]);
  }
  if (found != std::string::npos) {
    const COORD at{static_cast<SHORT>(found % size.X), static_cast<SHORT>(found / size.X)};
    GetConsoleMode(input, &mode);
    std::fprintf(report, "mode during: %lx\n", mode);
    // Each key in a write of its own and at once: one may come while the
    // program is between two reads.
    for (const char* keys = argv[3]; *keys != '\0';) type(input, keys);
    for (int tries = 0; tries < 500 && cursor.Y == at.Y; ++tries) {
      if (WaitForSingleObject(started.hProcess, 20) == WAIT_OBJECT_0) break;
      screen(output, &size, &cursor);
    }
    std::string line =
        screen(output, &size, &cursor).substr(found, static_cast<std::size_t>(size.X - at.X));
    line.erase(line.find_last_not_of(' ') + 1);
    WORD colour = 0;
    DWORD read = 0;
    ReadConsoleOutputAttribute(output, &colour, 1, at, &read);
    GetConsoleMode(input, &mode);
    std::fprintf(report, "shown: %s\ncolour: %x\nmode after: %lx\n", line.c_str(), colour, mode);
  }
  std::fflush(report);
  WaitForSingleObject(started.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(started.hProcess, &code);
  GetConsoleMode(input, &mode);
  std::fprintf(report, "exit: %lu\nmode at exit: %lx\n", code, mode);
  std::fclose(report);
  return 0;
}
