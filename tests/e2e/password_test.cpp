#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "transcript.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

const std::string kPrompt = "Enter Lumagate password: ";
const std::string kChallenge = "pw-challenge";
// Wine draws its console on the pseudo-terminal itself (every character in
// cursor sequences) and does not hand the keys typed there to the program.
#define kWineConsole \
  "keys typed into a pseudo-terminal never reach the program; WindowsConsole* type them"

// Whether the client's answer to a challenge proves that it holds `digest`.
::testing::AssertionResult proves(FakeServer& server, const std::string& digest) {
  if (!server.accept_client(10s))
    return ::testing::AssertionFailure() << "the client never connected";
  server.send("CHALLENGE " + kChallenge + "\r\n");
  const auto line = server.read_line(10s);
  if (!line) return ::testing::AssertionFailure() << "no answer to a challenge";
  std::smatch parts;
  if (!std::regex_match(*line, parts, std::regex(R"(RESPONSE ([0-9a-f]{32}) (\d+) WORLD)")))
    return ::testing::AssertionFailure() << "not an answer: " << *line;
  const std::string expected = md5_hex_of(kChallenge + parts[2].str() + "WORLD" + digest);
  if (parts[1] != expected)
    return ::testing::AssertionFailure() << "the proof does not come from digest " << digest;
  return ::testing::AssertionSuccess();
}

// Waits until a terminal child has taken its terminal: reading the
// harness's end before that sees a hang-up and ends the transcript.
void wait_for_terminal(const Process& process) {
  const auto link_of = [](const std::string& path) {
    std::error_code ignored;
    return fs::read_symlink(path, ignored).string();
  };
  const std::string ours = link_of("/proc/self/fd/0");
  const std::string theirs = "/proc/" + std::to_string(process.pid()) + "/fd/0";
  const auto deadline = SteadyClock::now() + 5s;
  while (SteadyClock::now() < deadline) {
    const std::string link = link_of(theirs);
    if (link.rfind("/dev/pts/", 0) == 0 && link != ours) return;
    std::this_thread::sleep_for(5ms);
  }
  ADD_FAILURE() << "the child never took its terminal";
}

// How often each text lies in the readable and writable private memory of
// a running process: its heap, its stack, its data.
std::vector<int> copies_in_memory(pid_t pid, const std::vector<std::string>& texts) {
  std::vector<int> copies(texts.size(), 0);
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream maps(proc + "/maps");
  const int memory = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (!maps || memory < 0) {
    ADD_FAILURE() << "cannot read the memory of " << pid << ": " << std::strerror(errno);
    return copies;
  }
  constexpr std::uintptr_t kChunk = 1 << 20;
  // Larger ones are reserved address space, such as a sanitizer's shadow.
  constexpr std::uintptr_t kLargest = std::uintptr_t{1} << 30;
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    char dash = 0;
    std::string access;
    fields >> std::hex >> start >> dash >> end >> access;
    if (access.size() < 4 || access[0] != 'r' || access[1] != 'w' || access[3] != 'p') continue;
    if (end - start > kLargest) continue;
    std::string mapping(end - start, '\0');
    for (std::uintptr_t at = 0; at < mapping.size(); at += kChunk) {
      const std::size_t size = std::min<std::uintptr_t>(kChunk, mapping.size() - at);
      if (pread(memory, mapping.data() + at, size, static_cast<off_t>(start + at)) < 0) break;
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
      for (auto found = mapping.find(texts[i]); found != std::string::npos;
           found = mapping.find(texts[i], found + 1))
        ++copies[i];
    }
  }
  close(memory);
  return copies;
}

class PasswordE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("lumagate-e2e-password-" + std::to_string(getpid()));
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string file_with(const std::string& name, const std::string& content) {
    const fs::path file = folder_ / name;
    std::ofstream(file, std::ios::binary) << content;
    return file.string();
  }

  static std::vector<std::string> client(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"-s", "127.0.0.2"});
    return client_command(arguments);
  }

  // A client on a terminal of its own, LUMAGATE unset, at its prompt.
  static ProcessOptions at_terminal() {
    ProcessOptions options;
    options.terminal = true;
    options.unset = {"LUMAGATE"};
    return options;
  }

  // Types `keys` at the prompt; the digest of `password` must follow, and
  // the terminal must show the prompt, `echo` and the line end, never the
  // password.
  void expect_entry(const std::string& keys, const std::string& echo, const std::string& password) {
    FakeServer server("127.0.0.2");
    Process client_process(client({}), at_terminal());
    wait_for_terminal(client_process);
    ASSERT_TRUE(client_process.wait_for_output(kPrompt, 10s)) << client_process.output();
    client_process.write_input(keys);
    EXPECT_TRUE(proves(server, md5_hex_of(password))) << client_process.output();
    const std::string shown = client_process.output();
    EXPECT_NE(shown.find(kPrompt + echo + "\n"), std::string::npos) << shown;
    if (password.size() > 2) {
      EXPECT_EQ(shown.find(password), std::string::npos) << shown;
    }
  }

  fs::path folder_;
};

TEST_F(PasswordE2e, NonEmptyDigestWinsAndAnEmptyOneCountsAsNone) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server("127.0.0.2");
  ProcessOptions with_variable;
  with_variable.environment = {"LUMAGATE=from-variable"};
  {
    // Used, although the file is missing.
    Process given(client({"-f", (folder_ / "missing").string(), "-d", kAnyDigest}), with_variable);
    EXPECT_TRUE(proves(server, kAnyDigest)) << given.output();
  }
  Process empty(client({"-d", ""}), with_variable);
  EXPECT_TRUE(proves(server, md5_hex_of("from-variable"))) << empty.output();
}

TEST_F(PasswordE2e, FileComesFirstAndFailsWithoutFallingBack) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server("127.0.0.2");
  ProcessOptions with_variable;
  with_variable.environment = {"LUMAGATE=from-variable"};
  {
    const std::string file = file_with("pw", "from-file\r\nsecond line\r\n");
    Process reader(client({"-f", file}), with_variable);
    EXPECT_TRUE(proves(server, md5_hex_of("from-file"))) << reader.output();
  }
  const std::string open_error =
      "] Error opening file: " + std::string(std::strerror(ENOENT)) + "\n";
  for (const std::string& path : {(folder_ / "missing").string(), std::string()}) {
    SCOPED_TRACE("-f '" + path + "'");
    Process failing(client({"-f", path}), with_variable);
    EXPECT_EQ(failing.wait_exit(10s), 1);
    EXPECT_EQ(failing.count_output(open_error), 1) << failing.output();
  }
  EXPECT_EQ(server.accepted(), 1);
}

// The first line, up to 63 bytes; a UTF-8 byte order mark (Notepad's
// "UTF-8 with BOM") is not part of it, and a pipe whose writer stays open
// gives it as soon as it ends. A UTF-16 file is refused: its text would
// never give the password.
TEST_F(PasswordE2e, FileGivesItsFirst63Bytes) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server("127.0.0.2");
  const std::string longest(63, 'L');
  for (const auto& [content, password] : std::vector<std::pair<std::string, std::string>>{
           {"", ""}, {longest + "\n", longest}, {"\xEF\xBB\xBFnotepad\r\n", "notepad"}}) {
    Process reader(client({"-f", file_with("pw", content)}));
    EXPECT_TRUE(proves(server, md5_hex_of(password))) << reader.output();
  }
  if (!client_runs_under_wine()) {
    Process reader(client({"-f", "/dev/stdin"}));
    reader.write_input("from-pipe\nnever read\n");
    EXPECT_TRUE(proves(server, md5_hex_of("from-pipe"))) << reader.output();
  }
  Process utf16(client({"-f", file_with("pw", std::string("\xFF\xFEp\0w\0", 6))}));
  EXPECT_EQ(utf16.wait_exit(10s), 1);
  EXPECT_EQ(utf16.count_output("] The password file is saved as UTF-16 (\"Unicode\"): save it as "
                               "UTF-8 or ANSI instead.\n"),
            1)
      << utf16.output();
}

TEST_F(PasswordE2e, VariableMayBeEmptyOrHold63Bytes) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server("127.0.0.2");
  for (const auto& [value, password] : std::vector<std::pair<std::string, std::string>>{
           {"", ""}, {std::string(63, 'V'), std::string(63, 'V')}}) {
    // On a terminal, so that a prompt would show (and wait).
    ProcessOptions options;
    options.terminal = true;
    options.environment = {"LUMAGATE=" + value};
    Process client_process(client({}), options);
    wait_for_terminal(client_process);
    EXPECT_TRUE(proves(server, md5_hex_of(password))) << client_process.output();
    EXPECT_EQ(client_process.count_output(kPrompt), 0);
  }
}

TEST_F(PasswordE2e, PromptMasksEveryCharacter) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(kWineConsole);
  expect_entry("s3cret pw\r", "*********", "s3cret pw");
}

TEST_F(PasswordE2e, PromptEditingKeys) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(kWineConsole);
  // Backspace with nothing stored writes nothing; Tab and Escape are
  // ignored; blanks at the end stay.
  expect_entry(
      "\x08"
      "abc\x7f\x08xy\t\x1b  \r",
      "***\b \b\b \b****", "axy  ");
}

TEST_F(PasswordE2e, PromptStopsAt63Characters) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(kWineConsole);
  expect_entry(std::string(70, 'k') +
                   "\x7f"
                   "Z\r",
               std::string(63, '*') + "\b \b*", std::string(62, 'k') + "Z");
}

TEST_F(PasswordE2e, PromptEndsOnCtrlCOrLineFeedKeepingWhatWasTyped) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(kWineConsole);
  // Bytes above 127 are stored as they come, as an arrow key's lead byte.
  expect_entry("p\xe9\xe0H\x03", "****", "p\xe9\xe0H");
  expect_entry("\n", "", "");
}

TEST_F(PasswordE2e, PromptUsesTheTerminalEvenWhenQuietAndRedirected) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(kWineConsole);
  FakeServer server("127.0.0.2");
  const std::string log = (folder_ / "client.log").string();
  std::vector<std::string> command{"sh", "-c", "exec \"$@\" >/dev/null", "sh"};
  for (const auto& argument : client({"-q", "-l", log, "-c"})) command.push_back(argument);
  Process client_process(command, at_terminal());
  wait_for_terminal(client_process);
  ASSERT_TRUE(client_process.wait_for_output(kPrompt, 10s)) << client_process.output();
  client_process.write_input("quiet\r");
  EXPECT_TRUE(proves(server, md5_hex_of("quiet"))) << client_process.output();
  EXPECT_NE(client_process.output().find(kPrompt + "*****\n"), std::string::npos)
      << client_process.output();
  std::ifstream in(log, std::ios::binary);
  const std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(logged.find("password"), std::string::npos) << logged;
  EXPECT_EQ(logged.find('*'), std::string::npos) << logged;
}

TEST_F(PasswordE2e, PromptShowsInTheTracingColour) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(kWineConsole);
  FakeServer server("127.0.0.2");
  Process client_process(client({"-c"}), at_terminal());
  wait_for_terminal(client_process);
  ASSERT_TRUE(client_process.wait_for_output(kPrompt, 10s));
  client_process.write_input("ab\r");
  EXPECT_TRUE(proves(server, md5_hex_of("ab")));
  const std::string shown = client_process.output();
  EXPECT_TRUE(
      std::regex_search(shown, std::regex("\x1b\\[[0-9;]+m" + kPrompt + "\\*\\*\n\x1b\\[0m")))
      << shown;
}

TEST_F(PasswordE2e, TerminationDuringThePromptPutsTheTerminalBack) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(kWineConsole);
  Process client_process(client({}), at_terminal());
  wait_for_terminal(client_process);
  ASSERT_TRUE(client_process.wait_for_output(kPrompt, 10s));
  // Keep the terminal open past the client's end to read it afterwards.
  const std::string device = "/proc/" + std::to_string(client_process.pid()) + "/fd/0";
  const int terminal = open(device.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0) << std::strerror(errno);

  termios during{};
  ASSERT_EQ(tcgetattr(terminal, &during), 0) << std::strerror(errno);
  EXPECT_EQ(during.c_lflag & (ECHO | ICANON | ISIG), 0u) << "the prompt reads keys raw";

  client_process.write_input("typed");
  std::this_thread::sleep_for(200ms);
  client_process.send_signal(SIGTERM);
  EXPECT_EQ(client_process.wait_exit(10s), 1);

  termios after{};
  ASSERT_EQ(tcgetattr(terminal, &after), 0) << std::strerror(errno);
  close(terminal);
  EXPECT_EQ(after.c_lflag & (ECHO | ICANON | ISIG), tcflag_t{ECHO | ICANON | ISIG});
  EXPECT_EQ(after.c_iflag & ICRNL, tcflag_t{ICRNL});
  EXPECT_EQ(client_process.output().find("typed"), std::string::npos);
}

TEST_F(PasswordE2e, TerminationDuringTheColouredPromptPutsTheColourBack) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(kWineConsole);
  for (int signal_number : {SIGTERM, SIGINT}) {
    Process client_process(client({"-c"}), at_terminal());
    wait_for_terminal(client_process);
    ASSERT_TRUE(client_process.wait_for_output(kPrompt, 10s));
    // Holds the terminal open, so that nothing written to it is lost at the end.
    const std::string device = "/proc/" + std::to_string(client_process.pid()) + "/fd/0";
    const int terminal = open(device.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0) << std::strerror(errno);
    client_process.send_signal(signal_number);
    EXPECT_EQ(client_process.wait_exit(10s), 1);
    const std::string shown = client_process.output();
    close(terminal);
    EXPECT_TRUE(shown.ends_with(kPrompt + "\x1b[0m"))
        << "signal " << signal_number << ": " << shown;
  }
}

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime reads the start-up environment into a buffer of its
// own, out of the client's reach.
constexpr bool kRuntimeCopiesTheEnvironment = true;
#else
constexpr bool kRuntimeCopiesTheEnvironment = false;
#endif

// The start-up environment of a Wine program stays in its Linux process
// (the first stack and Wine's own copies), out of the Windows program's reach;
// so does an emulated program's, in the emulator's own first stack.
bool start_up_environment_stays() {
  return kRuntimeCopiesTheEnvironment || client_runs_under_wine() || client_runs_under_emulator();
}

struct PasswordSource {
  std::string name;
  std::vector<std::string> arguments;
  ProcessOptions options;
};

// Lets a client in with the password from `source`, then scans its memory:
// the digest is there, the password nowhere.
void expect_no_password_in_memory(const PasswordSource& source, const std::string& password,
                                  const std::vector<std::string>& arguments) {
  SCOPED_TRACE(source.name);
  const std::string digest = md5_hex_of(password);
  FakeServer server("127.0.0.2");
  Process client_process(client_command(arguments), source.options);
  if (source.options.terminal) {
    wait_for_terminal(client_process);
    ASSERT_TRUE(client_process.wait_for_output(kPrompt, 10s)) << client_process.output();
    client_process.write_input(password + "\r");
  }
  ASSERT_TRUE(proves(server, digest)) << client_process.output();
  server.send("GOOD let in\r\n");
  ASSERT_TRUE(client_process.wait_for_output("GOOD let in\n", 10s)) << client_process.output();
  const auto copies = copies_in_memory(client_process.pid(), {digest, password});
  // The digest stays for the session: finding it shows that the scan sees.
  EXPECT_GT(copies[0], 0);
  if (source.name == "LUMAGATE" && start_up_environment_stays()) return;
  EXPECT_EQ(copies[1], 0);
  EXPECT_EQ(
      file_content("/proc/" + std::to_string(client_process.pid()) + "/environ").find(password),
      std::string::npos);
}

TEST_F(PasswordE2e, NoSourceLeavesThePasswordInMemory) {
  REQUIRE_PRIVATE_NETWORK();
  const std::string password = "mem0ry-Scan-pw";
  const std::string file = file_with("pw", password + "\n");
  ProcessOptions plain;
  plain.unset = {"LUMAGATE"};
  ProcessOptions variable;
  variable.environment = {"LUMAGATE=" + password};
  const std::vector<PasswordSource> sources = {{"-d", {"-d", md5_hex_of(password)}, plain},
                                               {"-f", {"-f", file}, plain},
                                               {"LUMAGATE", {}, variable}};
  for (const PasswordSource& source : sources) {
    std::vector<std::string> arguments = {"-s", "127.0.0.2"};
    arguments.insert(arguments.end(), source.arguments.begin(), source.arguments.end());
    expect_no_password_in_memory(source, password, arguments);
  }
}

TEST_F(PasswordE2e, ThePromptLeavesNoPasswordInMemory) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(kWineConsole);
  expect_no_password_in_memory({"prompt", {}, at_terminal()}, "mem0ry-Scan-pw",
                               {"-s", "127.0.0.2"});
}

// tests/windows/console_keys starts the Windows client on a console and,
// once `text` shows there, types `keys`; its report gives the console's
// input modes (Quick Edit 0x40; processed, line and echo input 0x7) and
// what the console showed.
std::vector<std::string> at_console(std::vector<std::string> command, const std::string& report,
                                    const std::string& text, const std::string& keys) {
  const char* driver = std::getenv("LUMAGATE_E2E_CONSOLE_KEYS");
  command.insert(command.begin() + 1, {driver != nullptr ? driver : "", report, text, keys});
  return command;
}

// The report's "name: value" lines once it holds `last`.
std::map<std::string, std::string> console_report(const std::string& report,
                                                  const std::string& last) {
  std::map<std::string, std::string> seen;
  for (int tries = 0; tries < 300 && !seen.contains(last); ++tries) {
    std::this_thread::sleep_for(50ms);
    std::istringstream lines(file_content(report));
    for (std::string line; std::getline(lines, line);)
      seen[line.substr(0, line.find(": "))] = line.substr(line.find(": ") + 2);
  }
  EXPECT_TRUE(seen.contains(last)) << file_content(report);
  return seen;
}

unsigned mode(std::map<std::string, std::string>& seen, const std::string& when) {
  return std::stoul("0" + seen["mode " + when], nullptr, 16);
}

// The prompt takes the keys typed at a console, raw for the whole entry.
// While the client runs, a click starts no selection that would hold its
// writes (Quick Edit, 0x40, is off); however it ends, the console gets its
// input mode back as the client found it.
TEST_F(PasswordE2e, WindowsConsoleTakesTheKeysAndComesBackAsFound) {
  REQUIRE_PRIVATE_NETWORK();
  REQUIRE_WINE();
  struct Entry {
    std::string text, keys;
    std::vector<std::string> arguments;
    std::string password, shown, colour;  // no password: the client ends
  };
  // Backspace edits; Tab and Escape are ignored; Alt+Left comes as 0 and
  // 155, Left as 224 and 'K'; Ctrl+C ends the entry like Enter. Redirected
  // output (-q) leaves the prompt in the console's own colour. Then the
  // interrupt at the prompt, and a start-up error.
  const std::string missing = (folder_ / "missing").string();
  for (const Entry& entry :
       std::vector<Entry>{{kPrompt, "\\bab\\bc\\t\\e\\[\\<\\c", {}, "ac\x9b\xe0K", "*****", "7"},
                          {kPrompt, "pw\\r", {"-c"}, "pw", "**", "e"},
                          {kPrompt, "quiet\\r", {"-q", "-c"}, "quiet", "*****", "7"},
                          {kPrompt, "ab\\!", {}, "", "", ""},
                          {"Error opening file", "", {"-f", missing}, "", "", ""}}) {
    SCOPED_TRACE(entry.keys);
    FakeServer server("127.0.0.2");
    const std::string report = file_with("report", "");
    auto command = at_console(client(entry.arguments), report, entry.text, entry.keys);
    if (entry.arguments.size() == 2 && entry.arguments[0] == "-q")
      command.insert(command.begin(), {"sh", "-c", "exec \"$@\" >/dev/null", "sh"});
    Process driver(command, at_terminal());
    const bool ends = entry.password.empty();
    if (!ends) {
      EXPECT_TRUE(proves(server, md5_hex_of(entry.password))) << file_content(report);
    }
    auto seen = console_report(report, ends ? "mode at exit" : "mode after");
    if (!entry.keys.empty()) {
      EXPECT_EQ(mode(seen, "during") & 0x40, 0u);  // sampled while the client runs
    }
    if (ends) {
      EXPECT_EQ(seen["exit"], "1");
      EXPECT_EQ(mode(seen, "at exit"), mode(seen, "before")) << file_content(report);
      continue;
    }
    EXPECT_EQ(seen["shown"], kPrompt + entry.shown);
    EXPECT_EQ(seen["colour"], entry.colour);
    EXPECT_EQ(mode(seen, "during") & 0x7, 0u);
    EXPECT_EQ(mode(seen, "after"), mode(seen, "before") & ~0x40u);
  }
}

// A password file and a log file named outside the ANSI code page, as in a
// profile folder such as C:\Users\Дмитрий: the names reach their files
// whole, from the wide command line (Wine makes it from the locale's).
TEST_F(PasswordE2e, FileNamesOutsideTheAnsiCodePageReachTheirFiles) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server("127.0.0.2");
  const std::string log = (folder_ / "журнал.log").string();
  ProcessOptions utf8;
  utf8.environment = {"LC_ALL=C.UTF-8"};
  Process client_process(client({"-v", "-f", file_with("пароль.txt", "wide\n"), "-l", log}), utf8);
  EXPECT_TRUE(proves(server, md5_hex_of("wide"))) << client_process.output();
  EXPECT_NE(file_content(log).find("] connecting to 127.0.0.2:12040...\r\n"), std::string::npos)
      << client_process.output();
}

// With no password source and no console to ask on (a service), the client
// ends with its error instead of logging on with an empty password.
TEST_F(PasswordE2e, WithoutASourceOrAConsoleTheClientEndsWithItsError) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server("127.0.0.2");
  auto command = client({});
  command.insert(command.begin(), {"setsid", "--wait"});  // no controlling terminal
  ProcessOptions none;
  none.unset = {"LUMAGATE"};
  Process client_process(command, none);
  EXPECT_EQ(client_process.wait_exit(10s), 1);
  EXPECT_EQ(client_process.count_output("] No password was given, and there is no console to ask "
                                        "for it: give it with -f, -d or LUMAGATE.\n"),
            1)
      << client_process.output();
  EXPECT_FALSE(server.accept_client(1s));
}

// Alone on its console, as a double-click in Explorer starts it (as Wine
// starts it on a terminal), the client that ends on an error keeps its
// window open until a key comes, so that the message can be read.
TEST_F(PasswordE2e, AWindowOfItsOwnWaitsForAKeyAfterAnError) {
  REQUIRE_PRIVATE_NETWORK();
  REQUIRE_WINE();
  Process client_process(client({"-f", (folder_ / "missing").string()}), at_terminal());
  const auto screen = [&] {
    // Wine draws each character with cursor moves; a blank is a move.
    std::string text =
        std::regex_replace(client_process.output(), std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
    std::erase(text, ' ');
    return text;
  };
  for (int tries = 0; tries < 100 && screen().find("window.") == std::string::npos; ++tries)
    std::this_thread::sleep_for(100ms);
  EXPECT_NE(screen().find("Erroropeningfile"), std::string::npos) << screen();
  EXPECT_NE(screen().find("Pressakeytoclosethiswindow."), std::string::npos) << screen();
  EXPECT_FALSE(client_process.wait_exit(2s).has_value()) << "the window closed";
  client_process.write_input("x");
  EXPECT_EQ(client_process.wait_exit(10s), 1) << screen();
}

}  // namespace
}  // namespace e2e
