#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "notify_socket.h"
#include "transcript.h"

namespace e2e {
namespace {

const std::string kRefusal =
    "Another Lumagate client is running. Several clients should not run "
    "simultaneously.\n";
// EnumProcesses under Wine lists Wine's own processes: a made-up Linux
// process table is not a Windows one (tests/unit/windows scans real ones).
#define kWineProcesses "a Linux process is not a Windows process"

std::vector<std::string> client() { return client_command({"-s", "127.0.0.2", "-d", kAnyDigest}); }

// A socket bound to the guard port as any other program could hold it;
// -1 when the port is taken.
int hold_guard_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in guard{};
  guard.sin_family = AF_INET;
  guard.sin_port = htons(12040);
  guard.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&guard), sizeof guard) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether the client came through start-up: it connects and answers.
::testing::AssertionResult answers_challenge(FakeServer& server) {
  if (!server.accept_client(10s))
    return ::testing::AssertionFailure() << "the client never connected";
  server.send("CHALLENGE guard\r\n");
  const auto line = server.read_line(10s);
  if (!line || line->rfind("RESPONSE ", 0) != 0)
    return ::testing::AssertionFailure() << "no answer to a challenge";
  return ::testing::AssertionSuccess();
}

// The refusal alone, then exit code 1 after the pause.
void expect_refused(Process& refused) {
  ASSERT_TRUE(refused.wait_for_output(kRefusal, 10s)) << refused.output();
  const auto shown = SteadyClock::now();
  EXPECT_EQ(refused.wait_exit(10s), 1);
  EXPECT_GE(seconds_since(shown), 1.8) << "the refusal pauses for 2 s";
  EXPECT_TRUE(std::regex_match(refused.output(), std::regex(R"(\[\d\d:\d\d:\d\d\] )" + kRefusal)))
      << refused.output();
}

TEST(GuardE2e, SecondClientIsRefusedWhileTheFirstGoesOn) {
  REQUIRE_PRIVATE_NETWORK();
  FakeServer server("127.0.0.2");
  Process first(client());
  ASSERT_TRUE(answers_challenge(server)) << first.output();

  Process second(client());
  expect_refused(second);
  EXPECT_EQ(server.accepted(), 1) << "the refused client connected";

  EXPECT_TRUE(first.running());
  server.send("CHALLENGE still-there\r\n");
  const auto line = server.read_line(10s);
  ASSERT_TRUE(line.has_value()) << "the first client lost its session";
  EXPECT_EQ(line->rfind("RESPONSE ", 0), 0u) << *line;

  // Whichever way the first ends, the port is free for the next.
  first.send_signal(SIGINT);
  EXPECT_EQ(first.wait_exit(10s), 1);
  {
    Process third(client());
    EXPECT_TRUE(answers_challenge(server)) << third.output();
    third.send_signal(SIGKILL);
    third.wait_exit(10s);
  }
  // Under Wine the port is the wineserver's, which lets it go a moment after
  // it sees the process end.
  int fd = hold_guard_port();
  for (int tries = 0; tries < 40 && fd < 0; ++tries) {
    std::this_thread::sleep_for(50ms);
    fd = hold_guard_port();
  }
  EXPECT_GE(fd, 0) << "the guard port stayed taken after the client ended";
  if (fd >= 0) close(fd);
}

// Clients on interfaces: one on another interface runs beside the first;
// one on the same interface, or on none, is refused, and so is one on an
// interface while a client on none runs.
TEST(GuardE2e, ClientsOnDifferentInterfacesRunSideBySide) {
  REQUIRE_PRIVATE_NETWORK();
  for (const char* link : {"d1", "d2"}) {
    run_command(std::string("ip link add ") + link + " type veth peer name " + link + "p");
    run_command(std::string("ip addr add 192.0.2.1") + link[1] + "/32 dev " + link);
  }
  struct Case {
    std::vector<std::string> first, second;
    bool refused;
  };
  TempDir runtime(guarded_parent());
  ProcessOptions in_runtime;
  in_runtime.environment = {"RUNTIME_DIRECTORY=" + runtime.path()};
  const Case cases[] = {{{}, {"-i", "d1"}, true},
                        {{"-i", "d1"}, {}, true},
                        {{"-i", "d1"}, {"-i", "d1"}, true},
                        {{"-i", "d1"}, {"-i", "d2"}, false}};
  for (const Case& test : cases) {
    auto command = [](std::vector<std::string> arguments) {
      for (const char* argument : {"-v", "-s", "127.0.0.2", "-d", kAnyDigest.c_str()})
        arguments.emplace_back(argument);
      return client_command(arguments);
    };
    Process first(command(test.first), in_runtime);
    ASSERT_TRUE(first.wait_for_output("connecting to", 10s)) << first.output();
    Process second(command(test.second), in_runtime);
    if (test.refused) {
      expect_refused(second);
    } else {
      EXPECT_TRUE(second.wait_for_output("connecting to", 10s)) << second.output();
    }
  }
  // Each keeps a state file of its own; Windows has no runtime folder.
  if (!client_runs_under_wine()) {
    EXPECT_TRUE(std::filesystem::exists(runtime.file("lumagatec-d1.state")));
    EXPECT_TRUE(std::filesystem::exists(runtime.file("lumagatec-d2.state")));
  }
}

// Any program may hold the port; a service manager's status says so.
TEST(GuardE2e, PortHeldByAnotherProgramRefuses) {
  REQUIRE_PRIVATE_NETWORK();
  const int fd = hold_guard_port();
  ASSERT_GE(fd, 0);
  FakeServer server("127.0.0.2");
  TempDir dir;
  NotifySocket manager(dir.file("notify"));
  ProcessOptions options;
  options.environment = {"NOTIFY_SOCKET=" + dir.file("notify")};
  Process refused(client(), options);
  expect_refused(refused);
  EXPECT_EQ(server.accepted(), 0);
  if (!client_runs_under_wine()) {
    EXPECT_EQ(manager.receive(),
              "STATUS=Refused to start: another Lumagate client is running "
              "(127.0.0.1:12040 is held, or a process named lmgsvc32.exe runs)");
  }
  close(fd);
}

// Only another socket on the port means another client. A bind refused for
// another reason (Windows refuses the ranges that Hyper-V, WSL 2 and Docker
// reserve; here the loopback address is gone) is said once, and the client
// goes on.
TEST(GuardE2e, APortRefusedForAnotherReasonIsNoOtherClient) {
  REQUIRE_PRIVATE_NETWORK();
  run_command("ip addr del 127.0.0.1/8 dev lo");
  Process client(client_command({"-v", "-s", "127.0.0.2", "-d", kAnyDigest}));
  ASSERT_TRUE(client.wait_for_output("] connecting to 127.0.0.2:12040...\n", 15s))
      << client.output();
  // The system's text follows, where it has one for the code.
  EXPECT_TRUE(std::regex_search(
      client.output(),
      std::regex(
          R"(^\[\d\d:\d\d:\d\d\] Holding the guard port 127\.0\.0\.1:12040 failed with error \d+: )")))
      << client.output();
  EXPECT_EQ(client.count_output("Holding the guard port"), 1);
  EXPECT_EQ(client.count_output("Another Lumagate client"), 0);
  EXPECT_TRUE(client.running());
}

// A made-up process table: the client runs in a mount namespace of its own
// whose /proc lists one process per image name (pids 1, 2, ...; each image
// at /images/NAME), then `unreadable` processes without an image, like
// kernel threads. A real process named like the sibling service would stop
// every client on the machine that starts meanwhile, and tests run side by
// side.
//
// The shell reports where pid 1 stands in the listing order ("pid 1 listed
// as N") and, with `tell_listing`, once the client has ended, whether /proc
// was listed ("process table listed: yes/no", from the folder's access
// time). The client dies with the shell in any case.
std::vector<std::string> client_over_process_table(const std::vector<std::string>& images,
                                                   int unreadable, bool tell_listing = false) {
  std::string script =
      "set -e\n"
      "mount -t tmpfs -o strictatime lumagate-test-proc /proc\n"
      "cd /proc\n"
      "mkdir sys\n";
  for (std::size_t i = 0; i < images.size(); ++i) {
    const std::string pid = std::to_string(i + 1);
    script += "mkdir " + pid + " && ln -s '/images/";
    script += images[i] + "' " + pid + "/exe\n";
  }
  if (unreadable > 0)
    script += "seq 1001 " + std::to_string(1000 + unreadable) + " | xargs mkdir\n";
  script +=
      "echo \"pid 1 listed as $(ls -f | grep -E '^[0-9]+$' | grep -n -x 1 | "
      "cut -d: -f1)\"\n"
      "touch -a -d @1000000000 /proc\n";
  if (tell_listing) {
    script +=
        "set +e\n"
        "setpriv --pdeathsig KILL \"$@\"\n"
        "code=$?\n"
        "if [ \"$(stat -c %X /proc)\" = 1000000000 ]; then listed=no; else "
        "listed=yes; fi\n"
        "echo \"process table listed: $listed\"\n"
        "exit $code\n";
  } else {
    script += "exec \"$@\"\n";
  }
  std::vector<std::string> command{"unshare", "--mount", "--propagation", "private",
                                   "sh",      "-c",      script,          "sh"};
  for (const auto& argument : client()) command.push_back(argument);
  return command;
}

// Where pid 1 stands among the listed processes, or 0.
int listed_position(Process& process) {
  std::smatch match;
  const std::string output = process.output();
  if (!std::regex_search(output, match, std::regex(R"(pid 1 listed as (\d+))"))) return 0;
  return std::stoi(match[1]);
}

TEST(GuardE2e, SiblingServiceIsKnownByItsImageNameInAnyCase) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(kWineProcesses);
  FakeServer server("127.0.0.2");
  for (const char* image : {"LmgSvc32.EXE", "lmgsvc32.exe.1"}) {
    SCOPED_TRACE(image);
    Process refused(client_over_process_table({"bash", image}, 0));
    ASSERT_TRUE(refused.wait_for_output(kRefusal, 10s)) << refused.output();
    EXPECT_EQ(refused.wait_exit(10s), 1);
  }
  EXPECT_EQ(server.accepted(), 0);

  // Near misses do not count.
  Process started(client_over_process_table({"lmgsvc32", "lmgsvc32.ex", "xlmgsvc32.exe"}, 0));
  EXPECT_TRUE(answers_challenge(server)) << started.output();
  EXPECT_EQ(started.count_output(kRefusal), 0);
}

TEST(GuardE2e, OnlyTheFirst1024ProcessesAreExamined) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(kWineProcesses);
  FakeServer server("127.0.0.2");
  for (int unreadable : {1023, 1024}) {
    SCOPED_TRACE(unreadable);
    Process process(client_over_process_table({"lmgsvc32.exe"}, unreadable));
    ASSERT_TRUE(process.wait_for_output("pid 1 listed as", 10s)) << process.output();
    const int position = listed_position(process);
    ASSERT_GT(position, 0) << process.output();
    if (position <= 1024) {
      EXPECT_TRUE(process.wait_for_output(kRefusal, 10s)) << process.output();
      EXPECT_EQ(process.wait_exit(10s), 1);
    } else {
      EXPECT_TRUE(answers_challenge(server)) << process.output();
      EXPECT_EQ(process.count_output(kRefusal), 0);
    }
  }
}

TEST(GuardE2e, NoProcessIsExaminedWhenThePortIsTaken) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(kWineProcesses);
  {
    // The same refusal with the port free shows that a scan is seen.
    Process scanned(client_over_process_table({"LmgSvc32.EXE"}, 0, true));
    EXPECT_EQ(scanned.wait_exit(15s), 1);
    EXPECT_EQ(scanned.count_output(kRefusal), 1) << scanned.output();
    EXPECT_EQ(scanned.count_output("process table listed: yes"), 1) << scanned.output();
  }
  const int fd = hold_guard_port();
  ASSERT_GE(fd, 0);
  Process refused(client_over_process_table({"LmgSvc32.EXE"}, 0, true));
  EXPECT_EQ(refused.wait_exit(15s), 1);
  EXPECT_EQ(refused.count_output(kRefusal), 1) << refused.output();
  EXPECT_EQ(refused.count_output("process table listed: no"), 1) << refused.output();
  close(fd);
}

}  // namespace
}  // namespace e2e
