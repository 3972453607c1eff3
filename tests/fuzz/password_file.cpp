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
  // refuses the file, and so does a first line longer than 63 bytes.
  std::string content(reinterpret_cast<const char*>(data), size);
  if (content.starts_with("\xEF\xBB\xBF")) content.erase(0, 3);
  const bool utf16 = content.starts_with("\xFF\xFE") || content.starts_with("\xFE\xFF");
  const std::string line = content.substr(0, content.find_first_of(std::string("\r\n\0", 3)));
  const bool refused = utf16 || line.size() >= lumagate::kPasswordSize;
  char password[lumagate::kPasswordSize];
  std::memset(password, 'x', sizeof password);
  check(lumagate::read_password_file(path.c_str(), password, sizeof password) == (refused ? 1 : 0),
        "a readable file refused, or a UTF-16 file or an over-long line taken");
  if (refused) return 0;

  // The first line, up to a NUL as any text.
  check(std::memchr(password, '\0', sizeof password) != nullptr, "an unterminated password");
  check(line == password, "the password is not the file's first line");
  return 0;
}
