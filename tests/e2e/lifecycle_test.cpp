// How the client process ends: signals and the exit codes around them.
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

// A file name of this test's own in the temporary folder.
std::string scratch_file(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("lumagate-" + name + "-" + std::to_string(getpid())))
      .string();
}

// True once the file holds `count` lines, false after `timeout`.
bool logged_lines(const std::string& path, int count, Millis timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::string content = file_content(path);
    if (std::count(content.begin(), content.end(), '\n') >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
}

// Runs a verbose client until it shows a notice (and logs it to `log`),
// then, once it waits for the server again and `delay` later, sends it
// `signal_number`: it must end with code 1 and say nothing more.
void expect_silent_end(int signal_number, const std::string& log, Millis delay = 0ms) {
  FakeServer server("127.0.0.2");
  Process client(client_command({"-v", "-s", "127.0.0.2", "-d", kAnyDigest, "-l", log}));
  ASSERT_TRUE(server.accept_client(5s));
  server.send("INFO hello\r\n");
  ASSERT_TRUE(client.wait_for_output("recv: INFO hello", 5s)) << client.output();
  ASSERT_TRUE(logged_lines(log, 2, 3s)) << "the log line comes just after the console's";
  std::this_thread::sleep_for(1100ms + delay);  // past the second after the notice
  const std::string before = client.output();
  client.send_signal(signal_number);
  EXPECT_EQ(client.wait_exit(5s), std::optional<int>(1));
  EXPECT_EQ(client.output(), before);
  // The notice, and nothing about the signal.
  const std::string logged = file_content(log);
  EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 2) << logged;
  EXPECT_TRUE(logged.ends_with("] recv: INFO hello\r\n")) << logged;
  std::filesystem::remove(log);
}

// Windows hands the interrupt to a thread of its own, whose socket cleanup
// cuts the main thread's wait short: that failure must go untold too, at
// whatever point of the wait the interrupt comes.
TEST(Lifecycle, InterruptEndsSilentlyWithCodeOne) {
  REQUIRE_PRIVATE_NETWORK();
  for (int round = 0; round < (client_runs_under_wine() ? 8 : 1); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    expect_silent_end(SIGINT, scratch_file("interrupt"), Millis(round * 70));
  }
}

TEST(Lifecycle, TerminationEndsSilentlyWithCodeOne) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(
      "a Linux SIGTERM ends a Wine process at once (status 143), never reaching "
      "its C runtime's SIGTERM handler; Windows itself sends no SIGTERM");
  expect_silent_end(SIGTERM, scratch_file("terminate"));
}

// The client as one shell word list, for a shell command line.
std::string in_shell(const std::vector<std::string>& arguments) {
  std::string line;
  for (const auto& word : client_command(arguments)) line += " '" + word + "'";
  return line;
}

TEST(Lifecycle, UsageRedirectedToAFileIsComplete) {
  REQUIRE_PRIVATE_NETWORK();
  const std::string out = scratch_file("usage");
  Process shell({"/bin/sh", "-c", in_shell({"-q", "-h"}) + " > " + out});
  EXPECT_EQ(shell.wait_exit(5s), std::optional<int>(0));
  const std::string usage = file_content(out);
  const std::string line_end = client_runs_under_wine() ? "\r\n" : "\n";
  EXPECT_EQ(usage.rfind("Lumagate command line client v." LUMAGATE_VERSION + line_end, 0), 0u);
  EXPECT_TRUE(usage.ends_with("  -p: print the state of the running client and exit." + line_end))
      << usage;
  std::filesystem::remove(out);
}

TEST(Lifecycle, AClosedOrFullStandardOutputDoesNotEndTheClient) {
  REQUIRE_PRIVATE_NETWORK();
  const std::string log = scratch_file("closed");
  // The reader of the pipe is gone before the first line is written; a
  // full device refuses every write.
  for (const std::string output : {" | true", " > /dev/full"}) {
    SCOPED_TRACE(output);
    FakeServer server("127.0.0.2");
    Process shell(
        {"/bin/sh", "-c", in_shell({"-s", "127.0.0.2", "-d", kAnyDigest, "-l", log}) + output});
    ASSERT_TRUE(server.accept_client(5s));
    server.send("INFO first\r\n");
    ASSERT_TRUE(logged_lines(log, 1, 5s));
    std::this_thread::sleep_for(1500ms);
    server.send("INFO second\r\n");
    EXPECT_TRUE(logged_lines(log, 2, 5s)) << file_content(log);
    EXPECT_TRUE(shell.running());
    std::filesystem::remove(log);
  }
}

TEST(Lifecycle, ClosedStandardStreamsKeepConsoleTextOffTheWire) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server("127.0.0.2");
  // Verbose, so that every line received and sent is console text too.
  Process client({"/bin/sh", "-c", "exec \"$@\" <&- >&- 2>&-", "sh", LUMAGATEC_PATH, "-s",
                  "127.0.0.2", "-d", kAnyDigest, "-v"});
  ASSERT_TRUE(server.accept_client(5s));
  // Lines arrive in order: a trace of the first round would come before the
  // second answer.
  for (const std::string challenge : {"first", "second"}) {
    server.send("CHALLENGE " + challenge + "\r\n");
    const auto line = server.read_line(10s);
    ASSERT_TRUE(line.has_value()) << "no answer to " << challenge;
    EXPECT_TRUE(line->starts_with("RESPONSE ")) << *line;
  }
}

// Accepts the client's next connection, giving up early once it has ended.
bool accept_while_running(FakeServer& server, Process& client) {
  for (int tries = 0; tries < 50; ++tries) {
    if (server.accept_client(100ms)) return true;
    if (!client.running()) return false;
  }
  return false;
}

// One of everything the client does that allocates: start-up with a log
// file and LUMAGATE, traces, an answer, a notice and a verdict in one read,
// a reset, a challenge too long to answer, a refusal. Ends early once the
// client has ended.
void play_allocating_session(FakeServer& server, Process& client) {
  if (!accept_while_running(server, client)) return;
  server.send("LUMAGATE=1\r\nCHALLENGE abc\r\n");
  if (!server.read_line(5s)) return;
  server.send("INFO hi\r\nGOOD ok\r\n");
  if (!client.wait_for_output("] waiting 1 sec...\n", 5s)) return;
  server.reset_client();
  if (!accept_while_running(server, client)) return;
  server.send("CHALLENGE " + std::string(740, 'c') + "\r\n");
  if (!accept_while_running(server, client)) return;
  server.send("SORRY no\r\n");
  accept_while_running(server, client);
}

// The lines of `output` that the client wrote, without the torture notes.
std::vector<std::string> client_lines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);)
    if (!line.starts_with("torture: ")) lines.push_back(line);
  return lines;
}

// Allocation N fails, then (with "+") every one after it: whichever it is,
// even report's own line buffer or the standard library's copy of the
// access mode, the client tells the failure and ends with code 1, without
// crashing or calling itself without end.
TEST(Lifecycle, EveryFailedAllocationEndsTheClientWithItsMessage) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE("the copy of the client that fails its allocations is a Linux program");
  SKIP_UNDER_EMULATOR("the copy of the client that fails its allocations is a Linux program");
  TempDir dir;
  const std::string mode(300, 'm');
  int failures = 0;
  bool copy_of_mode_failed = false;
  for (const std::string then_on : {"", "+"}) {
    for (int n = 1; n < 100; ++n) {
      SCOPED_TRACE("LUMAGATE_TORTURE=" + std::to_string(n) + then_on);
      FakeServer server("127.0.0.2");
      ProcessOptions options = with_shim({"TEST_SHIM_SLEEP_DIVISOR=100", "LUMAGATE=pw",
                                          "LUMAGATE_TORTURE=" + std::to_string(n) + then_on});
      Process client(
          {TORTURE_CLIENT_PATH, "-v", "-l", dir.file("log"), "-m", mode, "-s", "127.0.0.2"},
          options);
      play_allocating_session(server, client);
      const std::string output = client.output();
      const std::string note = "torture: allocation " + std::to_string(n) + " of ";
      const auto noted = output.find(note);
      if (noted == std::string::npos) {
        // The session needs fewer allocations: every one has had its turn.
        EXPECT_TRUE(client.running()) << output;
        EXPECT_GT(n, 20) << "fewer allocations than a session makes";
        break;
      }
      ++failures;
      EXPECT_EQ(client.wait_exit(10s), 1) << output;
      const std::string size = output.substr(
          noted + note.size(), output.find(' ', noted + note.size()) - noted - note.size());
      copy_of_mode_failed = copy_of_mode_failed || size == std::to_string(mode.size() + 1);
      EXPECT_NE(output.find("] Error allocating " + size + " bytes of memory.\n"),
                std::string::npos)
          << output;
      const auto lines = client_lines(client.output());
      ASSERT_FALSE(lines.empty());
      EXPECT_NE(lines.back().find("] Error allocating "), std::string::npos) << output;
      EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
    }
  }
  EXPECT_GT(failures, 40);
  EXPECT_TRUE(copy_of_mode_failed) << "the copy of the access mode was never reached";
}

// A descriptor that turns readable when the first child of `parent` ends;
// -1 when it has none.
int end_of_first_child(pid_t parent) {
  const std::string id = std::to_string(parent);
  std::ifstream children("/proc/" + id + "/task/" + id + "/children");
  pid_t child = -1;
  if (!(children >> child)) return -1;
  return static_cast<int>(syscall(SYS_pidfd_open, child, 0));
}

TEST(Lifecycle, EndingATestsShellEndsTheClientUnderIt) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server("127.0.0.2");
  int client_end = -1;
  {
    // No `exec`: the client runs as the shell's child.
    Process shell({"/bin/sh", "-c",
                   std::string(LUMAGATEC_PATH) + " -s 127.0.0.2 -d " + kAnyDigest + "; true"});
    ASSERT_TRUE(server.accept_client(5s));
    client_end = end_of_first_child(shell.pid());
    ASSERT_GE(client_end, 0) << std::strerror(errno);
  }
  pollfd ended{client_end, POLLIN, 0};
  EXPECT_EQ(poll(&ended, 1, 5000), 1) << "the client outlived its test";
  close(client_end);
}

}  // namespace
}  // namespace e2e
