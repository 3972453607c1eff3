// Argument vectors through the whole of start-up's command-line step.
//
// Input: the arguments, separated by NUL bytes. Every "/" becomes "_", so
// that a log or password file named by the input stays in the private
// folder this target works in; the platform it links has no sockets and no
// process list, so the guard never takes the real port.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "config/options.h"
#include "fuzz_target.h"
#include "runtime/lifecycle.h"
#include "runtime/settings.h"
#include "runtime/text.h"

namespace {

using lumagate::fuzz::check;

struct ExitCalled {
  int code;
};

[[noreturn]] void throw_exit(int code) { throw ExitCalled{code}; }

std::vector<std::string> arguments_of(const char* data, std::size_t size) {
  std::vector<std::string> arguments{"lumagatec"};
  std::string argument;
  for (std::size_t at = 0; at < size; ++at) {
    if (data[at] == '\0') {
      arguments.push_back(argument);
      argument.clear();
    } else {
      argument += data[at] == '/' ? '_' : data[at];
    }
  }
  if (size > 0) arguments.push_back(argument);
  return arguments;
}

// The outcome of one start-up: what parse_command_line returned, or the
// code it ended the process with.
struct Outcome {
  int returned = -1;
  int exit_code = -1;
};

Outcome start_up(std::vector<std::string>& arguments, char* server, char* digest) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  Outcome outcome;
  try {
    outcome.returned =
        lumagate::parse_command_line(static_cast<int>(arguments.size()), argv.data(), server,
                                     lumagate::kServerAddressSize, digest, lumagate::kDigestSize);
  } catch (const ExitCalled& exit) {
    outcome.exit_code = exit.code;
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/lumagate-fuzz-command-line-XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) std::abort();
  static const std::string made = folder;
  std::atexit([] { std::filesystem::remove_all(made); });
  lumagate::set_exit_function(throw_exit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments = arguments_of(reinterpret_cast<const char*>(data), size);
  lumagate::settings = lumagate::ClientSettings{};
  lumagate::settings.access_mode = "WORLD";
  // A password source that never waits for a terminal; it goes once read.
  setenv("LUMAGATE", "fuzz-password", 1);
  char server[lumagate::kServerAddressSize] = {};
  char digest[lumagate::kDigestSize] = {};

  const Outcome outcome = start_up(arguments, server, digest);
  // -p ends with 3 or 4 when no client runs or its file cannot be read.
  check(outcome.returned == 0 || outcome.returned == 1 ||
            (outcome.exit_code >= 0 && outcome.exit_code <= 4 && outcome.exit_code != 2),
        "an outcome other than going on, 1, or an exit with 0, 1, 3 or 4");
  if (outcome.returned == 0) {
    check(std::strlen(digest) == 32 && std::strspn(digest, "0123456789abcdef") == 32,
          "start-up went on without a digest of 32 lower-case hexadecimal digits");
    check(std::strlen(server) < lumagate::kServerAddressSize, "an address past its buffer");
    // What an address reader takes as a number must read back as it stands.
    in_addr address{};
    char plain[INET_ADDRSTRLEN] = {};
    check(inet_aton(server, &address) == 0 ||
              (inet_ntop(AF_INET, &address, plain, sizeof plain) != nullptr &&
               std::strcmp(plain, server) == 0),
          "a server address that names another address");
    const char* mode = lumagate::settings.access_mode;
    check(std::strlen(mode) <= 721, "an access mode no answer carries");
    for (const char* c = mode; *c != '\0'; ++c) {
      check(!lumagate::is_control_character(*c), "a control character in the mode");
    }
  }
  if (lumagate::settings.log_file_path != nullptr) unlink(lumagate::settings.log_file_path);
  lumagate::settings = lumagate::ClientSettings{};
  return 0;
}
