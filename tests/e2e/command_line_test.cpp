// What the client makes of its command line: usage, refusals, exit codes,
// and switches that take effect where they stand.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "transcript.h"

namespace e2e {
namespace {

constexpr const char* kUsageText =
    "Lumagate command line client v." LUMAGATE_VERSION
    "\n"
    "Copyright (c) 2026 The lumagatec authors\n"
    "Valid command line switches are:\n"
    "  -f <pswd file>: path to file containing Lumagate password in plain "
    "text;\n"
    "  -s <server address>: IP-address or hostname of the nearest Lumagate "
    "server;\n"
    "  -m <access mode>: network access mode (WORLD,LOCAL or NONE);\n"
    "  -d <pswd digest>: password MD5 digest string in plain text;\n"
    "  -l <log file>: path to logfile (will be created) to append messages "
    "to;\n"
    "  -v: turn on verbose output (print send/recv messages);\n"
    "  -c: turn on coloured output;\n"
    "  -q: be quiet, do not print messages to console (excluding password "
    "prompt);\n"
    "  -h: show this help.\n"
    "  -i <interface>: network interface to keep the connection on;\n"
    "  -w <hours>: daily hours to run in, e.g. 06:00-23:30;\n"
    "  -e <program>: program to run on every change of access;\n"
    "  -o <state file>: path to the file the client keeps its state in;\n"
    "  -p: print the state of the running client and exit.\n";
const std::string kUsage = kUsageText;

// The log file's content, its time prefixes written as "[T] ", once it is
// `expected` or as it is after 3 s: the client appends to its log right
// after it has shown the line.
std::string logged(const std::string& path, const std::string& expected) {
  std::string content;
  auto deadline = SteadyClock::now() + 3s;
  while ((content = without_times(file_content(path))) != expected && SteadyClock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  return content;
}

struct Outcome {
  std::optional<int> exit_code;
  std::string output;
};

// Runs the client to its end with `arguments`.
Outcome run_client(const std::vector<std::string>& arguments, const ProcessOptions& options = {}) {
  Process client(client_command(arguments), options);
  auto code = client.wait_exit(10s);
  return {code, client.output()};
}

ProcessOptions in_directory(const std::string& path) {
  ProcessOptions options;
  options.working_directory = path;
  return options;
}

std::string describe(const std::vector<std::string>& arguments) {
  std::string text = "arguments:";
  for (const auto& argument : arguments) text += " '" + argument + "'";
  return text;
}

TEST(CommandLine, HelpShowsUsageAndEndsWithZero) {
  REQUIRE_PRIVATE_NETWORK();
  const std::vector<std::vector<std::string>> cases = {
      {"-h"}, {"-q", "-h"}, {"-help"}, {"-h", "-x"}, {"-k", "-K", "-h"}, {"-v", "-c", "-h"},
  };
  for (const auto& arguments : cases) {
    Outcome run = run_client(arguments);
    EXPECT_EQ(run.exit_code, 0) << describe(arguments);
    EXPECT_EQ(run.output, kUsage) << describe(arguments);
  }
}

TEST(CommandLine, InvalidSwitchIsRefusedWithUsage) {
  REQUIRE_PRIVATE_NETWORK();
  struct Case {
    std::vector<std::string> arguments;
    std::string refused;
  };
  const Case cases[] = {
      {{"-x"}, "-x"},
      {{"--"}, "--"},
      {{"-V"}, "-V"},
      {{"/?"}, "/?"},
      {{"word"}, "word"},
      {{""}, ""},
      {{"-x", "-h"}, "-x"},
      {{"-k", "-K", "-x"}, "-x"},
      {{"-v", "-s", "-x", "-y"}, "-y"},
      // Lone dashes are skipped.
      {{"-", "-x"}, "-x"},
      {{"-", "-", "-", "-z"}, "-z"},
  };
  for (const auto& test : cases) {
    Outcome run = run_client(test.arguments);
    EXPECT_EQ(run.exit_code, 1) << describe(test.arguments);
    EXPECT_EQ(without_times(run.output), "[T] Invalid option: " + test.refused + "\n" + kUsage)
        << describe(test.arguments);
  }
  // Quiet mode holds back the refusal but not the usage.
  Outcome quiet = run_client({"-q", "-x"});
  EXPECT_EQ(quiet.exit_code, 1);
  EXPECT_EQ(quiet.output, kUsage);
}

TEST(CommandLine, MissingValueIsRefusedWithoutUsage) {
  REQUIRE_PRIVATE_NETWORK();
  struct Case {
    std::vector<std::string> arguments;
    char letter;
  };
  const Case cases[] = {
      {{"-f"}, 'f'},     {{"-v", "-l"}, 'l'},       {{"-s"}, 's'}, {{"-d"}, 'd'}, {{"-m"}, 'm'},
      {{"-shost"}, 's'}, {{"-k", "-K", "-d"}, 'd'},
  };
  for (const auto& test : cases) {
    Outcome run = run_client(test.arguments);
    EXPECT_EQ(run.exit_code, 1) << describe(test.arguments);
    EXPECT_EQ(without_times(run.output),
              std::string("[T] Value must be supplied for option -") + test.letter + ".\n")
        << describe(test.arguments);
  }
}

TEST(CommandLine, KSwitchesMustNotComeTogether) {
  REQUIRE_PRIVATE_NETWORK();
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"-k", "-K"}, {"-K", "-v", "-k", "-d", kAnyDigest}, {"-kK", "-Kk"}}) {
    Outcome run = run_client(arguments);
    EXPECT_EQ(run.exit_code, 1) << describe(arguments);
    EXPECT_EQ(without_times(run.output), "[T] -k and -K switches should not come together.\n")
        << describe(arguments);
  }
}

TEST(CommandLine, RefusalIsLoggedOnceLogFileIsSet) {
  REQUIRE_PRIVATE_NETWORK();
  TempDir dir;
  const std::string log = dir.file("out.log");
  Outcome run = run_client({"-l", log, "-x"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(without_times(run.output), "[T] Invalid option: -x\n" + kUsage);
  // The usage text never reaches the file.
  EXPECT_EQ(logged(log, "[T] Invalid option: -x\r\n"), "[T] Invalid option: -x\r\n");

  // `-l -v` names a file called "-v"; the quiet console still shows usage.
  Outcome quiet = run_client({"-q", "-l", "-v", "-y"}, in_directory(dir.path()));
  EXPECT_EQ(quiet.exit_code, 1);
  EXPECT_EQ(quiet.output, kUsage);
  EXPECT_EQ(logged(dir.file("-v"), "[T] Invalid option: -y\r\n"), "[T] Invalid option: -y\r\n");
}

TEST(CommandLine, SwitchesTakeEffectInOrder) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server("127.0.0.2");
  {
    // Only the second character of a switch counts, and the later -s wins.
    Process client(
        client_command({"-verbose", "-s", "127.0.0.9", "-server", "127.0.0.2", "-d", kAnyDigest}));
    EXPECT_TRUE(server.accept_client(5s)) << client.output();
    EXPECT_TRUE(client.wait_for_output("] connecting to 127.0.0.2:12040...\n", 2s))
        << client.output();
    EXPECT_EQ(client.count_output("connecting to"), 1) << client.output();
  }
  {
    // After `-l -v` verbose output stays off.
    TempDir dir;
    Process client(client_command({"-l", "-v", "-s", "127.0.0.2", "-d", kAnyDigest}),
                   in_directory(dir.path()));
    ASSERT_TRUE(server.accept_client(5s)) << client.output();
    server.send("INFO hi\r\n");
    ASSERT_TRUE(client.wait_for_output("INFO hi\n", 4s)) << client.output();
    EXPECT_EQ(without_times(client.output()), "[T] INFO hi\n");
    EXPECT_EQ(logged(dir.file("-v"), "[T] INFO hi\r\n"), "[T] INFO hi\r\n");
  }
}

// Another user's file at the log path gets no line; the console says why,
// once.
TEST(CommandLine, AnotherUsersLogFileIsLeftAloneAndToldOnce) {
  REQUIRE_PRIVATE_NETWORK();
  TempDir dir;
  const std::string log = dir.file("log");
  std::ofstream(log) << "theirs\n";
  ASSERT_EQ(chown(log.c_str(), 1, 1), 0);
  Process client(client_command({"-v", "-l", log, "-s", "no-such-host.invalid", "-d", kAnyDigest}));
  ASSERT_TRUE(client.wait_for_output("couldn't connect to server\n", 10s)) << client.output();
  EXPECT_EQ(without_times(client.output()),
            "[T] unable to resolve host no-such-host.invalid\n[T] Log file " + log +
                " not written: it belongs to another user.\n[T] couldn't connect to server\n");
  EXPECT_EQ(file_content(log), "theirs\n");
}

// A file someone else put at the log path is never deleted nor taken for
// one the client made: put there after a write that took the log past
// 1 MiB, or between the client's look at the path and its open.
TEST(CommandLine, AFilePutAtTheLogPathIsNeitherDeletedNorTakenForTheClients) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE("the shim that plants a file works in a Linux program");
  SKIP_UNDER_EMULATOR(kShimNeedsLinuxClient);
  using std::filesystem::perms;
  const perms mode =
      perms::owner_read | perms::owner_write | perms::group_read | perms::others_read;
  for (const bool on_look : {false, true}) {
    SCOPED_TRACE(on_look ? "put there after the look" : "put there after a write");
    TempDir dir;
    const std::string log = dir.file("log");
    if (!on_look) std::ofstream(log) << std::string(1 << 20, 'a');
    std::ofstream(dir.file("planted")) << "theirs\n";
    std::filesystem::permissions(dir.file("planted"), mode);
    std::vector<std::string> shim = {"TEST_SHIM_PLANT=" + dir.file("planted"),
                                     "TEST_SHIM_PLANT_AT=" + log};
    if (on_look) shim.push_back("TEST_SHIM_PLANT_ON_LOOK=1");
    // Verbose, so that a lost first line shows: the next is another.
    Process client(
        client_command({"-v", "-l", log, "-s", "no-such-host.invalid", "-d", kAnyDigest}),
        with_shim(shim));
    // Once the second line is shown, the first has surely gone to the log.
    Transcript transcript(client);
    for (int line = 0; line < 2; ++line) {
      ASSERT_TRUE(transcript.next("] unable to resolve host", 10s)) << client.output();
    }
    // Looked at again, the file put there before the open gets the line.
    const std::string first = on_look ? "[T] unable to resolve host no-such-host.invalid\r\n" : "";
    EXPECT_TRUE(without_times(file_content(log)).starts_with("theirs\n" + first))
        << file_content(log);
    EXPECT_EQ(std::filesystem::status(log).permissions(), mode);
  }
}

// A name is used whole, never cut into another one; a value that can never
// be right ends start-up with code 1.
TEST(CommandLine, ValuesThatCanNeverBeRightAreRefused) {
  REQUIRE_PRIVATE_NETWORK();
  const std::string name(253, 'a');
  Process client(client_command({"-s", name, "-d", kAnyDigest}));
  ASSERT_TRUE(client.wait_for_output("\n", 10s)) << client.output();
  EXPECT_EQ(without_times(client.output()), "[T] unable to resolve host " + name + "\n");

  Outcome run = run_client({"-d", "zz"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(without_times(run.output), "[T] The password digest must be 32 hexadecimal digits.\n");

  run = run_client({"-i", "nosuch0", "-s", "127.0.0.2", "-d", kAnyDigest});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(without_times(run.output), "[T] The network interface nosuch0 does not exist.\n");
}

}  // namespace
}  // namespace e2e
