// The command line: switches read left to right, each taking effect where
// it stands, then the start-up checks in their fixed order.
#include "config/options.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "config/guard.h"
#include "config/password.h"
#include "config/status.h"
#include "digest/md5.h"
#include "platform/platform.h"
#include "runtime/colours.h"
#include "runtime/hours.h"
#include "runtime/lifecycle.h"
#include "runtime/log.h"
#include "runtime/settings.h"
#include "runtime/text.h"

namespace lumagate {
namespace {

constexpr const char* kSwitchLetters = "cdfhkKlmqsvweopi";

constexpr const char* kUsageSwitches =
    "Lumagate command line client v." LUMAGATE_VERSION
    "\n"
    "Copyright (c) 2026 The lumagatec authors\n"
    "Valid command line switches are:\n"
    "  -f <pswd file>: path to file containing Lumagate password in plain text;\n"
    "  -s <server address>: IP-address or hostname of the nearest Lumagate server;\n"
    "  -m <access mode>: network access mode (WORLD,LOCAL or NONE);\n"
    "  -d <pswd digest>: password MD5 digest string in plain text;\n";

constexpr const char* kUsageOutput =
    "  -l <log file>: path to logfile (will be created) to append messages to;\n"
    "  -v: turn on verbose output (print send/recv messages);\n"
    "  -c: turn on coloured output;\n"
    "  -q: be quiet, do not print messages to console (excluding password prompt);\n"
    "  -h: show this help.\n"
    "  -i <interface>: network interface to keep the connection on;\n";

constexpr const char* kUsageState =
    "  -w <hours>: daily hours to run in, e.g. 06:00-23:30;\n"
    "  -e <program>: program to run on every change of access;\n"
    "  -o <state file>: path to the file the client keeps its state in;\n"
    "  -p: print the state of the running client and exit.\n";

// A copy of a switch's value that lives until the process ends.
const char* duplicate_text(const char* text) {
  static std::deque<std::string> copies;  // a deque never moves its elements
  return copies.emplace_back(text).c_str();
}

bool is_switch(const char* argument) {
  // The terminator counts as a letter, so a lone "-" passes and does nothing.
  return argument[0] == '-' && std::strchr(kSwitchLetters, argument[1]) != nullptr;
}

// The terminator of a lone "-" must not match here as it does above.
bool takes_value(char letter) {
  return letter != '\0' && std::strchr("dflmsweoi", letter) != nullptr;
}

// A digest typed in capitals is the same digest: the proofs take it in
// lower case, as the password step makes it.
void lower_hexadecimal(char* digest) {
  for (char* c = digest; *c != '\0'; ++c) {
    if (*c >= 'A' && *c <= 'F') *c = static_cast<char>(*c - 'A' + 'a');
  }
}

void apply_value(char letter, const char* value, SwitchState& local, char* server_address,
                 std::size_t server_size, char* digest, std::size_t digest_size) {
  switch (letter) {
    case 'f':
      local.password_file = duplicate_text(value);
      break;
    case 's':
      local.server_address = value;
      copy_bounded(server_address, server_size, value);
      break;
    case 'm':
      settings.access_mode = duplicate_text(value);
      break;
    case 'd':
      local.digest = value;
      copy_bounded(digest, digest_size, value);
      lower_hexadecimal(digest);
      break;
    case 'l':
      settings.log_file_path = duplicate_text(value);
      break;
    case 'w':
      settings.hours = duplicate_text(value);
      break;
    case 'e':
      local.program = duplicate_text(value);
      break;
    case 'o':
      local.state_file = duplicate_text(value);
      break;
    case 'i':
      // Empty, as with -s: none, so that a script may pass an unset one.
      settings.network_interface = value[0] != '\0' ? duplicate_text(value) : nullptr;
      break;
    default:
      break;
  }
}

void apply_flag(char letter, SwitchState& local) {
  switch (letter) {
    case 'v':
      settings.verbose = 1;
      break;
    case 'q':
      settings.quiet = 1;
      break;
    case 'c':
      settings.coloured = 1;
      init_console_colours();
      break;
    case 'h':
      print_usage();
      exit_program(0);
    case 'k':
      local.k_given = true;
      break;
    case 'K':
      local.capital_k_given = true;
      break;
    case 'p':
      local.print_state = true;
      break;
    default:
      break;
  }
}

// True when an answer can carry the access mode: with the narrowest random
// number, its line must fit.
bool access_mode_fits() {
  const std::string proof(kMd5HexSize - 1, '0');
  return format_response(nullptr, 0, proof.c_str(), 0, settings.access_mode) <
         static_cast<int>(kLineSize);
}

bool is_digest(const char* text) {
  return std::strlen(text) == kMd5HexSize - 1 &&
         std::strspn(text, "0123456789abcdefABCDEF") == kMd5HexSize - 1;
}

// A control character in the mode would end the answer line early, or put
// a line of the client's making on the wire behind it.
bool has_control_character(const char* text) {
  for (; *text != '\0'; ++text) {
    if (is_control_character(*text)) return true;
  }
  return false;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Whether `text` is four decimal numbers from 0 to 255 without leading
// zeros, joined by dots: the one form that means the same to every reader.
bool is_plain_dotted_quad(const char* text) {
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *text++ != '.') return false;
    const char* digits = text;
    int value = 0;
    while (is_digit(*text) && text - digits < 3) value = value * 10 + (*text++ - '0');
    if (text == digits || value > 255 || (*digits == '0' && text - digits > 1)) return false;
  }
  return *text == '\0';
}

// Whether an address reader (inet_aton, inet_addr) would take `text` as an
// address: one to four numbers joined by dots, each decimal, octal with a
// leading zero, or hexadecimal with 0x, and blanks around them allowed.
// 127.000.000.010 reads as 127.0.0.8, 0x7f.1 and 2130706433 as 127.0.0.1.
bool reads_as_a_number(const char* text) {
  while (is_blank(*text)) ++text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *text++ != '.') return false;
    if (!is_digit(*text)) return false;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      for (text += 2; is_hex_digit(*text);) ++text;
    } else {
      while (is_digit(*text)) ++text;
    }
    if (*text == '\0' || is_blank(*text)) return true;
  }
  return false;
}

bool only_digits_and_dots(const char* text) {
  return text[0] != '\0' && std::strspn(text, "0123456789.") == std::strlen(text);
}

// A server address that a reader takes as a number must be a plain dotted
// quad: a zero-padded one, as people copy it from a table, would otherwise
// send the answers, and what they give away of the password, to another
// host.
bool names_another_address(const char* address) {
  return (reads_as_a_number(address) || only_digits_and_dots(address)) &&
         !is_plain_dotted_quad(address);
}

// Refuses, with its message, a value given on the command line that can
// never be right; true when it has. A value cut to fit its buffer would be
// another value, never used.
bool refuse_impossible_value(const SwitchState& local, std::size_t server_size) {
  if (local.server_address != nullptr && std::strlen(local.server_address) >= server_size) {
    report(1, "The server address is too long: a host name has at most %d characters.\n",
           static_cast<int>(server_size - 1));
    return true;
  }
  const char* refusal = nullptr;
  if (local.server_address != nullptr && names_another_address(local.server_address)) {
    refusal =
        "The server address must be a host name or a plain dotted quad: four numbers from 0 to "
        "255 without leading zeros.\n";
  } else if (local.server_address != nullptr && std::strchr(local.server_address, ':') != nullptr) {
    // The resolver would take IPv6 text such as ::ffff:a01:203 for 10.1.2.3.
    refusal =
        "The server address must be a host name or a plain dotted quad, without a colon: the "
        "client speaks IPv4 only, always to port 12040.\n";
  } else if (local.digest != nullptr && local.digest[0] != '\0' && !is_digest(local.digest)) {
    refusal = "The password digest must be 32 hexadecimal digits.\n";
  } else if (settings.network_interface != nullptr &&
             has_control_character(settings.network_interface)) {
    refusal = "The network interface's name must not hold control characters.\n";
  } else if (has_control_character(settings.access_mode)) {
    refusal = "The access mode must not hold control characters.\n";
  } else if (!access_mode_fits()) {
    refusal = "The access mode is too long: no answer to the Key-server could carry it.\n";
  }
  if (refusal != nullptr) report(1, "%s", refusal);
  return refusal != nullptr;
}

// The words of a refused program of -e, after its path.
const char* program_refusal(platform::ProgramCheck check) {
  switch (check) {
    case platform::ProgramCheck::kUsable:
      break;
    case platform::ProgramCheck::kMissing:
      return "cannot be found";
    case platform::ProgramCheck::kNotExecutable:
      return "is not a file this user may run";
    case platform::ProgramCheck::kAnotherOwner:
    case platform::ProgramCheck::kFolderOfAnotherOwner:
      return "belongs to neither root (the administrators) nor this user";
    case platform::ProgramCheck::kOthersMayWrite:
    case platform::ProgramCheck::kFolderOthersMayWrite:
      return "may be changed by others than its owner";
  }
  return "";
}

// Whoever may change the program of -e, or a folder on its way, could
// have the client run what they like, as the client's user: it must be
// root's (the administrators') or this user's, as OpenSSH asks of its keys.
bool refuse_program(const char* path) {
  static std::string program;
  std::string where;
  const platform::ProgramCheck check = platform::check_program(path, &program, &where);
  if (check == platform::ProgramCheck::kUsable) {
    settings.hook_program = program.c_str();
    return false;
  }
  if (where == path) {
    report(1, "The program to run on changes, %s, %s.\n", path, program_refusal(check));
  } else {
    report(1, "The program to run on changes, %s, is refused: %s %s.\n", path, where.c_str(),
           program_refusal(check));
  }
  return true;
}

// Refuses, with its message, hours that are no windows, a program of -e
// that others could change, or a state file place that others could.
bool refuse_unusable_setting(const SwitchState& local) {
  Hours hours;
  const char* refusal = settings.hours != nullptr ? parse_hours(settings.hours, &hours) : nullptr;
  if (refusal != nullptr) {
    report(1, "%s", refusal);
    return true;
  }
  if (local.program != nullptr && refuse_program(local.program)) return true;
  return choose_state_file(local.state_file) != 0;
}

// Refuses, with its message, an interface of -i that is not there, or one
// that the system does not let this user bind a socket to: that would
// fail every connection for ever. True when it has.
bool refuse_interface() {
  const char* name = settings.network_interface;
  if (name == nullptr) return false;
  if (platform::interface_index(name) == 0) {
    report(1, "The network interface %s does not exist.\n", name);
    return true;
  }
  const platform::Socket probe = platform::open_ipv4_tcp_socket();
  if (probe == platform::kNoSocket) return false;  // each connection will tell
  const bool bound = platform::bind_to_interface(probe, name) == 0;
  const std::int32_t code = platform::last_error();
  platform::close_socket(probe);
  if (bound || !platform::interface_binding_refused(code)) return false;
  report(1,
         "Keeping the connection on the network interface %s needs Linux 5.7 or later, or the "
         "capability CAP_NET_RAW.\n",
         name);
  return true;
}

}  // namespace

int read_switches(int argc, char** argv, SwitchState& local, char* server_address,
                  std::size_t server_size, char* digest, std::size_t digest_size) {
  for (int index = 1; index < argc; ++index) {
    const char* argument = argv[index];
    if (!is_switch(argument)) {
      report(1, "Invalid option: %s\n", argument);
      print_usage();
      return 1;
    }
    const char letter = argument[1];
    if (!takes_value(letter)) {
      apply_flag(letter, local);
      continue;
    }
    if (index + 1 >= argc) {
      report(1, "Value must be supplied for option -%c.\n", letter);
      return 1;
    }
    apply_value(letter, argv[++index], local, server_address, server_size, digest, digest_size);
  }
  return 0;
}

int parse_command_line(int argc, char** argv, char* server_address, std::size_t server_size,
                       char* digest, std::size_t digest_size) {
  SwitchState local;
  if (read_switches(argc, argv, local, server_address, server_size, digest, digest_size) != 0) {
    return 1;
  }
  // -p only reads: no guard, no password.
  if (local.print_state) exit_program(print_state(local.state_file));
  if (refuse_impossible_value(local, server_size) || refuse_unusable_setting(local)) return 1;

  if (local.k_given && local.capital_k_given) {
    report(1, "-k and -K switches should not come together.\n");
    exit_program(1);
  }
  if (start_winsock() != 0) {
    report_system_error("Windows Sockets init.", platform::last_error());
    exit_program(1);
  }
  if (refuse_interface()) exit_program(1);
  if (instance_port_busy() != 0 || sibling_service_running() != 0) {
    // A service manager counts this end as a clean one, as it counts the
    // end by SIGTERM: its status says why the client keeps ending.
    platform::notify_service_manager(
        "STATUS=Refused to start: another Lumagate client is running (127.0.0.1:12040 is "
        "held, or a process named lmgsvc32.exe runs)");
    report(1,
           "Another Lumagate client is running. Several clients should not run "
           "simultaneously.\n");
    platform::sleep_ms(2000);
    exit_program(1);
  }
  return acquire_password_digest(local.password_file, digest);
}

void print_usage() {
  colour_on(3);
  std::fputs(kUsageSwitches, stdout);
  std::fputs(kUsageOutput, stdout);
  std::fputs(kUsageState, stdout);
  colour_off();
}

}  // namespace lumagate
