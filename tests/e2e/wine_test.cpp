// What only the Windows program under Wine needs proved: its sockets live
// where its wineserver was started, so that wineserver must be the test's.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "transcript.h"

namespace e2e {
namespace {

// A server in another network namespace at the address the client is told
// to use: were the client's wineserver outside, the client could reach it.
TEST(WineSandbox, AListenerOutsideTheTestsNetworkIsUnreachable) {
  REQUIRE_PRIVATE_NETWORK();
  REQUIRE_WINE();
  PeerNamespace outside;
  std::unique_ptr<FakeServer> elsewhere;
  outside.inside([&] {
    run_command("ip link set lo up");
    elsewhere = std::make_unique<FakeServer>("127.0.0.2");
  });
  Process client(client_command({"-v", "-s", "127.0.0.2", "-d", kAnyDigest}));
  Transcript transcript(client);
  ASSERT_TRUE(transcript.next("connecting to 127.0.0.2:12040...\n", 15s)) << client.output();
  EXPECT_FALSE(elsewhere->accept_client(6s)) << "the client reached another network";
  ASSERT_TRUE(transcript.next("lost connection\n", 5s)) << client.output();

  // The same address in the test's own network is reached.
  FakeServer here("127.0.0.2");
  EXPECT_TRUE(here.accept_client(10s)) << client.output();
  EXPECT_EQ(elsewhere->accepted(), 0);
}

TEST(WineSandbox, AWineserverInAnotherNetworkIsRefused) {
  REQUIRE_PRIVATE_NETWORK();
  REQUIRE_WINE();
  std::string why;
  EXPECT_FALSE(wineserver_is_ours(wine_prefix_copy(), &why));
  EXPECT_NE(why.find("no wineserver runs"), std::string::npos) << why;

  PeerNamespace outside;
  const std::string prefix = wine_prefix_copy();
  ASSERT_FALSE(prefix.empty());
  std::unique_ptr<Process> server;
  ProcessOptions options;
  options.environment = {"WINEPREFIX=" + prefix, "WINEDEBUG=-all"};
  outside.inside([&] {
    server = std::make_unique<Process>(std::vector<std::string>{wineserver_program(), "-f", "-p"},
                                       options);
  });
  bool seen = false;
  for (int tries = 0; tries < 100 && !seen; ++tries) {
    std::this_thread::sleep_for(50ms);
    seen = !wineserver_is_ours(prefix, &why) && why.find("another network") != std::string::npos;
  }
  EXPECT_TRUE(seen) << why;
  // The test's own wineserver, started here, passes the same check.
  EXPECT_NE(client_command({"-h"}).front(), "/bin/false");
}

// What tests/windows/service_control prints, run by the test's wineserver.
std::string service_control(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = client_command(arguments);
  const char* tool = std::getenv("LUMAGATE_E2E_SERVICE_CONTROL");
  command[1] = tool != nullptr ? tool : "";  // the loader runs the tool in the client's place
  Process control(command);
  EXPECT_EQ(control.wait_exit(90s), 0) << control.output();
  std::string output = control.output();
  std::erase(output, '\r');
  return output;
}

// The Event Log entries as Wine notes them: "TYPE/ID" and each text, in
// the order they came (type 4 information, 2 warning, 1 error).
std::string event_log() {
  std::string entries;
  std::istringstream lines(wine_services_output());
  const std::regex entry(R"(:ReportEventW \([^,]*,0x([0-9a-f]+),0x[0-9a-f]+,0x0*([0-9a-f]+),)");
  const std::regex text(R"-(:eventlog:ReportEventW L"(.*)"$)-");
  std::smatch parts;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_search(line, parts, entry)) {
      entries += "\n" + std::to_string(std::stoi(parts[1])) + "/" + parts[2].str();
    } else if (std::regex_search(line, parts, text)) {
      entries += " " + parts[1].str();
    }
  }
  return entries;
}

// The client as a service of Wine's Service Control Manager: running once
// started, let in by the simulator, stopped cleanly when asked; when
// discovery finds no server, its process ends with the client's code and
// without telling the manager it stopped: a failure, which a real Windows
// answers with the service's recovery settings (Wine's manager does not
// see the end). Each turn is an Event Log entry.
TEST(WineService, RunsIsLetInStopsCleanlyAndEndsWithItsCodeWhenNoServerIsFound) {
  REQUIRE_PRIVATE_NETWORK();
  REQUIRE_WINE();
  TempDir dir;
  std::ofstream(dir.file("password.txt")) << "service-password\r\n";
  const std::string program = client_path(client_command({}).back());
  const std::string files = " -f " + client_path(dir.file("password.txt")) + " -l ";
  const std::string log = dir.file("service.log");
  auto server = std::make_unique<Process>(
      std::vector<std::string>{KEYSERVER_PATH, "--address", "127.0.0.2", "--password",
                               "service-password", "--interval", "1"});
  ASSERT_TRUE(server->wait_for_output("listening", 5s)) << server->output();
  // Told by the simulator: the service's log counts a repeated GOOD.
  const auto good_twice = [&] {
    const std::string said = server->output();
    return said.find("send GOOD") != said.rfind("send GOOD");
  };

  const std::string running = "state: running\nexit code: 0\nservice exit code: 0\n";
  EXPECT_EQ(
      service_control({"start", "lumagatec", program + " -s 127.0.0.2" + files + client_path(log)}),
      running);
  // A second GOOD is no change: the Event Log has one entry for both.
  for (int tries = 0; tries < 200 && !good_twice(); ++tries) std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(good_twice()) << file_content(log) << server->output();
  EXPECT_EQ(service_control({"query", "lumagatec"}), running);
  server.reset();
  const std::string lost = "not let in, interval 1 s; last failure";
  for (int tries = 0; tries < 200 && event_log().find(lost) == std::string::npos; ++tries)
    std::this_thread::sleep_for(100ms);
  EXPECT_EQ(service_control({"stop", "lumagatec"}),
            "state: stopped\nexit code: 0\nservice exit code: 0\n");

  const std::string found_none = dir.file("discovery.log");
  EXPECT_EQ(service_control({"start", "discovering", program + files + client_path(found_none)}),
            running);
  for (int tries = 0; tries < 600 && event_log().find("\n1/5 ") == std::string::npos; ++tries)
    std::this_thread::sleep_for(100ms);
  EXPECT_NE(file_content(found_none).find("No Key-server could be discovered"), std::string::npos);

  EXPECT_TRUE(std::regex_match(
      event_log(), std::regex("\n4/1 127.0.0.2\n4/2 127.0.0.2: let in, interval 1 s"
                              "\n2/3 127.0.0.2: " +
                              lost +
                              " \\d\\d:\\d\\d:\\d\\d at 127.0.0.2: [a-z ()]+"
                              "\n4/4\n4/1 the first that discovery finds"
                              "\n1/5 1 127.0.0.4: not let in, interval 60 s; last failure [^\n]*")))
      << event_log();
}

}  // namespace
}  // namespace e2e
