// The password file reader, over any file content.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "config/password.h"
#include "fuzz_target.h"
#include "runtime/settings.h"

namespace {

using lumagate::fuzz::check;

// One file in memory, rewritten for every input.
int file = -1;
std::string path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  file = memfd_create("password", MFD_CLOEXEC);
  if (file < 0) std::abort();
  path = "/proc/self/fd/" + std::to_string(file);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (ftruncate(file, 0) != 0 || pwrite(file, data, size, 0) != static_cast<ssize_t>(size)) {
    std::abort();
  }
  // A UTF-8 byte order mark before the text is skipped; a UTF-16 one
  // refuses the file.
  std::string content(reinterpret_cast<const char*>(data), size);
  if (content.starts_with("\xEF\xBB\xBF")) content.erase(0, 3);
  const bool utf16 = content.starts_with("\xFF\xFE") || content.starts_with("\xFE\xFF");
  char password[lumagate::kPasswordSize];
  std::memset(password, 'x', sizeof password);
  check(lumagate::read_password_file(path.c_str(), password, sizeof password) == (utf16 ? 1 : 0),
        "a readable file refused, or a UTF-16 one taken");
  if (utf16) return 0;

  // The first line, within the first 63 bytes, up to a NUL as any text.
  std::string expected = content.substr(0, lumagate::kPasswordSize - 1);
  expected = expected.substr(0, expected.find_first_of(std::string("\r\n\0", 3)));
  check(std::memchr(password, '\0', sizeof password) != nullptr, "an unterminated password");
  check(expected == password, "the password is not the file's first line");
  return 0;
}
