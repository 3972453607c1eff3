// How the client process ends: signals and the exit codes around them.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "harness.h"

namespace e2e {
namespace {

TEST(Lifecycle, InterruptAndTerminationEndSilentlyWithCodeOne) {
  REQUIRE_PRIVATE_NETWORK();
  const std::string log =
      (std::filesystem::temp_directory_path() / ("lumagate-signal-" + std::to_string(getpid())))
          .string();
  for (int signal_number : {SIGINT, SIGTERM}) {
    FakeServer server("127.0.0.2");
    Process client(client_command({"-s", "127.0.0.2", "-d", "digest", "-l", log}));
    ASSERT_TRUE(server.accept_client(5s));
    server.send("INFO hello\r\n");
    ASSERT_TRUE(client.wait_for_output("INFO hello", 5s)) << client.output();
    const std::string before = client.output();
    client.send_signal(signal_number);  // the client is waiting for the server
    EXPECT_EQ(client.wait_exit(5s), std::optional<int>(1));
    EXPECT_EQ(client.output(), before);
  }
  std::ifstream file(log, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  // One notice per run, and nothing about the signals.
  const std::string logged = content.str();
  ASSERT_EQ(logged.size(), 2 * std::string("[00:00:00] INFO hello\r\n").size()) << logged;
  EXPECT_EQ(logged.substr(10, 13), " INFO hello\r\n");
  EXPECT_EQ(logged.substr(33), " INFO hello\r\n");
  std::filesystem::remove(log);
}

TEST(Lifecycle, UsageRedirectedToAFileIsComplete) {
  REQUIRE_PRIVATE_NETWORK();
  const std::string out =
      (std::filesystem::temp_directory_path() / ("lumagate-usage-" + std::to_string(getpid())))
          .string();
  Process shell({"/bin/sh", "-c", std::string(LUMAGATEC_PATH) + " -q -h > " + out});
  EXPECT_EQ(shell.wait_exit(5s), std::optional<int>(0));
  std::ifstream file(out, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  EXPECT_EQ(content.str().rfind("Lumagate command line client v.1.0\n", 0), 0u);
  EXPECT_TRUE(content.str().ends_with("  -h: show this help.\n")) << content.str();
  std::filesystem::remove(out);
}

}  // namespace
}  // namespace e2e
