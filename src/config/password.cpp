// The password digest: from -d, a password file, LUMAGATE, or the console.
// The plain password lives only in one buffer here, wiped before release.
#include "config/password.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "digest/md5.h"
#include "platform/platform.h"
#include "runtime/colours.h"
#include "runtime/lifecycle.h"
#include "runtime/log.h"
#include "runtime/settings.h"
#include "runtime/text.h"

namespace lumagate {
namespace {

constexpr const char* kPasswordVariable = "LUMAGATE";
constexpr LogLevel kPromptLevel = 3;
constexpr int kBackspace = 8;
constexpr int kDelete = 127;
constexpr int kEnter = 13;
constexpr int kLineFeed = 10;
constexpr int kCtrlC = 3;

// The password buffer: wiped and released on every way out of the step.
class PasswordBuffer {
 public:
  PasswordBuffer()
      : text_(static_cast<char*>(alloc_or_exit(static_cast<std::int32_t>(kPasswordSize)))) {
    std::memset(text_, 0, kPasswordSize);
  }
  ~PasswordBuffer() {
    platform::wipe_memory(text_, kPasswordSize);
    std::free(text_);
  }
  PasswordBuffer(const PasswordBuffer&) = delete;
  PasswordBuffer& operator=(const PasswordBuffer&) = delete;

  char* text() { return text_; }

 private:
  char* text_;
};

// A stream's buffer, wiped when it goes. Declared before the stream, so
// that the stream is closed first.
struct WipedBuffer {
  char bytes[kPasswordSize];
  ~WipedBuffer() { platform::wipe_memory(bytes, sizeof bytes); }
};

// Closes a file on the error roads; the normal road closes it itself to
// hear of a failure.
struct FileCloser {
  std::FILE* file;
  ~FileCloser() {
    if (file != nullptr) std::fclose(file);
  }
};

}  // namespace

// 0 with a non-empty text in `digest`; 1 when the password file could not
// be read, a password source holds more than the password buffer takes, or
// there is none and no console to ask.
int acquire_password_digest(const char* password_file, char* digest) {
  PasswordBuffer password;
  if (digest[0] != '\0') return 0;
  if (password_file != nullptr) {
    if (read_password_file(password_file, password.text(), kPasswordSize) != 0) return 1;
  } else if (const char* value = std::getenv(kPasswordVariable)) {
    // Cut, it would be another password, and could let in another account.
    const bool too_long = std::strlen(value) >= kPasswordSize;
    if (!too_long) copy_bounded(password.text(), kPasswordSize, value);
    // The password buffer holds all that is needed of it.
    platform::erase_environment_variable(kPasswordVariable);
    if (too_long) {
      report(1, "The password in %s is longer than %d bytes, the most the client takes.\n",
             kPasswordVariable, static_cast<int>(kPasswordSize - 1));
      return 1;
    }
  } else if (!prompt_password(password.text(), kPasswordSize)) {
    // Never the digest of an empty password nobody typed.
    report(1,
           "No password was given, and there is no console to ask for it: give it with -f, "
           "-d or LUMAGATE.\n");
    return 1;
  }
  Md5Context context{};
  md5_hex_in(&context, password.text(), digest);
  platform::wipe_memory(&context, sizeof context);
  // The digest's working copies and the string functions' loads are left
  // on the stack below.
  platform::wipe_stack_below_caller();
  return 0;
}

namespace {

enum class FirstLine { kRead, kUtf16, kTooLong };

// Reads the first line of `file` into `password`: CR, LF, NUL or the end of
// the file ends it, and at most size - 1 bytes are taken, so that a pipe
// that stays open after the line does not hold start-up. A UTF-8 byte
// order mark before it is not part of it. A UTF-16 byte order mark, whose
// text would never give the password, or a line longer than the buffer,
// which cut would be another password, is refused.
FirstLine read_first_line(std::FILE* file, char* password, std::size_t size) {
  std::size_t count = 0;
  bool mark_looked_at = false;
  int c = 0;
  while (count + 1 < size && (c = std::getc(file)) != EOF && c != '\r' && c != '\n' && c != 0) {
    password[count++] = static_cast<char>(c);
    if (count == 2 &&
        (std::memcmp(password, "\xFF\xFE", 2) == 0 || std::memcmp(password, "\xFE\xFF", 2) == 0)) {
      return FirstLine::kUtf16;
    }
    if (count == 3 && !mark_looked_at) {
      mark_looked_at = true;
      if (std::memcmp(password, "\xEF\xBB\xBF", 3) == 0) count = 0;
    }
  }
  password[count] = '\0';
  if (count + 1 == size) {
    c = std::getc(file);
    if (c != EOF && c != '\r' && c != '\n' && c != 0) return FirstLine::kTooLong;
  }
  return FirstLine::kRead;
}

}  // namespace

// 0 with the file's first line in `password`; 1 after reporting why not.
int read_password_file(const char* path, char* password, std::size_t size) {
  // The stream reads through a buffer of our own, wiped once it is closed,
  // so that no copy of the password stays behind in one that is freed.
  WipedBuffer buffer;
  FileCloser closer{platform::open_file(path, "r")};
  if (closer.file == nullptr) {
    report(1, "Error opening file: %s\n", std::strerror(errno));
    return 1;
  }
  std::setvbuf(closer.file, buffer.bytes, _IOFBF, sizeof buffer.bytes);
  const FirstLine read = read_first_line(closer.file, password, size);
  if (read == FirstLine::kUtf16) {
    report(1,
           "The password file is saved as UTF-16 (\"Unicode\"): save it as UTF-8 or ANSI "
           "instead.\n");
    return 1;
  }
  if (read == FirstLine::kTooLong) {
    report(1,
           "The password file's first line is longer than %d bytes, the most the client takes.\n",
           static_cast<int>(size - 1));
    return 1;
  }
  if (std::ferror(closer.file) != 0) {
    report(1, "Error reading file: %s\n", std::strerror(errno));
    return 1;
  }
  std::FILE* file = closer.file;
  closer.file = nullptr;
  if (std::fclose(file) != 0) {
    report(1, "Error closing file: %s\n", std::strerror(errno));
  }
  return 0;
}

// Reads a masked password from the console; once a key cannot be read,
// the entry ends with what was typed. Without a console it asks nothing.
bool prompt_password(char* password, std::size_t size) {
  password[0] = '\0';
  // Raw input first, so that keys typed as soon as the prompt shows are
  // never echoed by the terminal.
  const bool console = platform::begin_console_input();
  if (!console) return false;
  colour_on(kPromptLevel);
  platform::write_console("Enter Lumagate password: ");
  std::size_t stored = 0;
  for (;;) {
    const int key = platform::read_console_key();
    if (key < 0) break;
    if ((key == kBackspace || key == kDelete) && stored > 0) {
      password[--stored] = '\0';
      platform::write_console("\b \b");
    } else if (key == kEnter || key == kLineFeed || key == kCtrlC) {
      break;
    } else if (key < 32 || key == kDelete) {
      // Tab, Escape, the lead byte of a function key: not part of a password.
    } else if (stored + 1 < size) {
      platform::write_console("*");
      password[stored++] = static_cast<char>(key);
    }
  }
  platform::end_console_input();
  password[stored] = '\0';
  platform::write_console("\n");
  colour_off();
  return true;
}

}  // namespace lumagate
