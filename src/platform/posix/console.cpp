// The terminal: title, colours by ANSI sequences, and raw key input.
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/terminal.h"

namespace lumagate::platform {
namespace {

// A terminal has no attribute to read back; its default stands for it.
constexpr std::uint16_t kTerminalDefault = 0x07;

int tty_fd = -1;
termios saved_settings{};
volatile std::sig_atomic_t settings_changed = 0;
// The terminal that shows a colour other than its default, or -1.
volatile std::sig_atomic_t coloured_terminal = -1;
constexpr char kDefaultColours[] = "\033[0m";

bool is_terminal(ConsoleHandle handle) {
  return handle > 0 && isatty(static_cast<int>(handle)) == 1;
}

// The ANSI sequence for a console attribute word.
void attribute_sequence(std::uint16_t attribute, char* out, std::size_t size) {
  if (attribute == kTerminalDefault) {
    std::snprintf(out, size, "%s", kDefaultColours);
    return;
  }
  // Console bits are blue 1, green 2, red 4; ANSI colours are red 1, green 2, blue 4.
  auto ansi = [](unsigned bits) { return ((bits & 4u) >> 2) | (bits & 2u) | ((bits & 1u) << 2); };
  const unsigned foreground = attribute & 0x0Fu;
  const unsigned background = (attribute >> 4) & 0x0Fu;
  std::snprintf(out, size, "\033[0;%u;%um", ((foreground & 8u) ? 90u : 30u) + ansi(foreground),
                ((background & 8u) ? 100u : 40u) + ansi(background));
}

}  // namespace

void set_console_title(const char* title) {
  if (!is_terminal(STDOUT_FILENO)) return;
  std::fprintf(stdout, "\033]0;%s\007", title);
  std::fflush(stdout);
}

// A terminal selection never holds the writer.
void prepare_console() {}

// A terminal is taken to use the character set of the locale the client
// runs in (LC_ALL, LC_CTYPE, LANG, as the C library reads them): one that is
// not UTF-8 takes a byte from 0x80 to 0x9F as a control inside what would
// be a UTF-8 character too. Asked once: the environment does not change.
C1Controls console_c1_controls() {
  static const C1Controls found = [] {
    const locale_t chosen = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (chosen == static_cast<locale_t>(nullptr)) return C1Controls::kEveryByte;
    const bool utf8 = std::strcmp(nl_langinfo_l(CODESET, chosen), "UTF-8") == 0;
    freelocale(chosen);
    return utf8 ? C1Controls::kInUtf8 : C1Controls::kEveryByte;
  }();
  return found;
}

ConsoleHandle standard_output_handle() {
  return fcntl(STDOUT_FILENO, F_GETFD) == -1 ? kInvalidConsole : STDOUT_FILENO;
}

AttributeQuery console_text_attribute(ConsoleHandle handle, std::uint16_t* attribute) {
  if (!is_terminal(handle)) return AttributeQuery::kNotConsole;
  *attribute = kTerminalDefault;
  return AttributeQuery::kFound;
}

bool set_console_text_attribute(ConsoleHandle handle, std::uint16_t attribute) {
  if (!is_terminal(handle)) return false;
  char sequence[32];
  attribute_sequence(attribute, sequence, sizeof sequence);
  std::fflush(stdout);
  // Noted before the colour shows and forgotten after the default is back,
  // so that a signal in between always finds it.
  if (attribute != kTerminalDefault) coloured_terminal = static_cast<int>(handle);
  std::fputs(sequence, stdout);
  std::fflush(stdout);
  if (attribute == kTerminalDefault) coloured_terminal = -1;
  return true;
}

bool standard_output_is_terminal() { return is_terminal(STDOUT_FILENO); }

void write_standard_output(const char* text) { std::fputs(text, stdout); }

void write_console(const char* text) {
  int fd = tty_fd;
  if (fd < 0) fd = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  std::size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t written = write(fd, text, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    text += written;
    left -= static_cast<std::size_t>(written);
  }
  if (fd != tty_fd) close(fd);
}

bool begin_console_input() {
  tty_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty_fd < 0) return false;
  termios raw{};
  if (tcgetattr(tty_fd, &saved_settings) != 0) {
    close(tty_fd);
    tty_fd = -1;
    return false;
  }
  raw = saved_settings;
  // Enter must arrive as 13 and Ctrl-C as 3, with nothing echoed.
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  settings_changed = 1;
  tcsetattr(tty_fd, TCSANOW, &raw);
  return true;
}

int read_console_key() {
  if (tty_fd < 0) return -1;
  unsigned char key = 0;
  for (;;) {
    const ssize_t got = read(tty_fd, &key, 1);
    if (got == 1) return key;
    if (got < 0 && errno == EINTR) continue;
    return -1;
  }
}

void end_console_input() {
  if (tty_fd < 0) return;
  posix::restore_terminal_settings();
  close(tty_fd);
  tty_fd = -1;
}

namespace posix {

void restore_terminal_settings() {
  if (settings_changed == 0) return;
  tcsetattr(tty_fd, TCSANOW, &saved_settings);
  settings_changed = 0;
}

void restore_terminal_colour() {
  const int fd = coloured_terminal;
  if (fd < 0) return;
  ssize_t ignored = write(fd, kDefaultColours, sizeof kDefaultColours - 1);
  (void)ignored;
  coloured_terminal = -1;
}

}  // namespace posix
}  // namespace lumagate::platform
