// Starts a program on this console and types keys into the console's input,
// as a user at the keyboard would, once TEXT shows on the screen; then
// writes what the console showed and its input modes into a report file.
//   console_keys REPORT TEXT KEYS PROGRAM [ARGUMENT...]
// KEYS are typed as they stand, but for \b Backspace, \r Enter, \t Tab,
// \e Escape, \c Ctrl+C, \< Left arrow, \[ Alt+Left, and \! the interrupt
// (the console's Ctrl+C event, as another program raises it).
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

struct Key {
  WORD virtual_key;
  WORD scan_code;
  wchar_t character;
  DWORD state;
};

// Events for the console go to every process on it: this one stays.
BOOL WINAPI stay(DWORD) { return TRUE; }

void type(HANDLE input, const Key& key) {
  INPUT_RECORD records[2]{};
  for (int i = 0; i < 2; ++i) {
    records[i].EventType = KEY_EVENT;
    KEY_EVENT_RECORD& event = records[i].Event.KeyEvent;
    event.bKeyDown = i == 0;
    event.wRepeatCount = 1;
    event.wVirtualKeyCode = key.virtual_key;
    event.wVirtualScanCode = key.scan_code;
    event.uChar.UnicodeChar = key.character;
    event.dwControlKeyState = key.state;
  }
  DWORD written = 0;
  WriteConsoleInputW(input, records, 2, &written);
}

struct Escape {
  char name;
  Key key;
};
const Escape kEscapes[] = {
    {'b', {VK_BACK, 0x0E, 8, 0}},
    {'r', {VK_RETURN, 0x1C, 13, 0}},
    {'t', {VK_TAB, 0x0F, 9, 0}},
    {'e', {VK_ESCAPE, 0x01, 27, 0}},
    {'c', {'C', 0x2E, 3, LEFT_CTRL_PRESSED}},
    {'<', {VK_LEFT, 0x4B, 0, ENHANCED_KEY}},
    {'[', {VK_LEFT, 0x4B, 0, ENHANCED_KEY | LEFT_ALT_PRESSED}},
};

// The key for a character of KEYS; false for a console event.
bool key_of(const char*& at, Key* key, DWORD* event) {
  const char c = *at++;
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  *key = {static_cast<WORD>(letter ? (c & ~0x20) : 0), 0, static_cast<wchar_t>(c), 0};
  if (c != '\\' || *at == '\0') return true;
  const char name = *at++;
  if (name == '!') {
    *event = CTRL_C_EVENT;
    return false;
  }
  for (const Escape& escape : kEscapes) {
    if (escape.name == name) *key = escape.key;
  }
  return true;
}

// The screen's text, row after row.
std::string screen(HANDLE output, SHORT* width) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(output, &info) == 0) return {};
  *width = info.dwSize.X;
  std::string text(static_cast<std::size_t>(info.dwSize.X) * info.dwSize.Y, ' ');
  DWORD read = 0;
  ReadConsoleOutputCharacterA(output, text.data(), static_cast<DWORD>(text.size()), {0, 0}, &read);
  return text;
}

SHORT cursor_row(HANDLE output) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  GetConsoleScreenBufferInfo(output, &info);
  return info.dwCursorPosition.Y;
}

bool ended(HANDLE process, DWORD milliseconds) {
  return WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0;
}

// Waits for `wanted` to show; where it starts on the screen.
bool find_text(HANDLE output, const char* wanted, HANDLE process, COORD* at) {
  for (int tries = 0; tries < 1000 && !ended(process, 0); ++tries) {
    SHORT width = 1;
    const std::string text = screen(output, &width);
    const std::size_t found = text.find(wanted);
    if (found != std::string::npos) {
      *at = {static_cast<SHORT>(found % width), static_cast<SHORT>(found / width)};
      return true;
    }
    Sleep(20);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: console_keys REPORT TEXT KEYS PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  std::FILE* report = std::fopen(argv[1], "wb");
  if (report == nullptr) return 2;
  std::string command;
  for (int i = 4; i < argc; ++i) command += std::string(i > 4 ? " \"" : "\"") + argv[i] + "\"";

  SetConsoleCtrlHandler(stay, TRUE);
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                             0, nullptr);
  HANDLE output = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, share, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode) == 0) {
    std::fprintf(report, "no console\n");
    return 2;
  }
  // As Windows 10 and 11 start a console.
  SetConsoleMode(input, mode | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS);
  GetConsoleMode(input, &mode);
  std::fprintf(report, "mode before: %lx\n", mode);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                     &started) == 0) {
    std::fprintf(report, "cannot start: %lu\n", GetLastError());
    return 2;
  }
  COORD at{};
  if (find_text(output, argv[2], started.hProcess, &at)) {
    GetConsoleMode(input, &mode);
    std::fprintf(report, "mode during: %lx\n", mode);
    std::fflush(report);
    // Each key in a write of its own and at once: a key may come while the
    // program is between two reads.
    for (const char* key_at = argv[3]; *key_at != '\0';) {
      Key key{};
      DWORD event = 0;
      if (key_of(key_at, &key, &event)) {
        type(input, key);
      } else {
        GenerateConsoleCtrlEvent(event, 0);
      }
    }
    for (int tries = 0; tries < 500 && cursor_row(output) == at.Y; ++tries) {
      if (ended(started.hProcess, 20)) break;
    }
    SHORT width = 1;
    std::string line = screen(output, &width)
                           .substr(static_cast<std::size_t>(at.Y) * width + at.X,
                                   static_cast<std::size_t>(width - at.X));
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
  return static_cast<int>(code);
}
