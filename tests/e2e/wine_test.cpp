// What only the Windows program under Wine needs proved: its sockets live
// where its wineserver was started, so that wineserver must be the test's.
#include <memory>
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

}  // namespace
}  // namespace e2e
