// Finding a Key-server without -s: the gateways of the Ethernet links in
// link order, then the built-in addresses; the first acceptance is kept.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "transcript.h"

namespace e2e {
namespace {

const std::string kBuiltin1 = LUMAGATE_BUILTIN_SERVER_1;
const std::string kBuiltin2 = LUMAGATE_BUILTIN_SERVER_2;
const std::string kBuiltin3 = LUMAGATE_BUILTIN_SERVER_3;
const std::string kGiveUp =
    "No Key-server could be discovered. Please specify the correct address "
    "via the '-s' switch.\n";

// Wine lists no adapter in a namespace that holds only `lo`: GetAdaptersInfo
// fails with 232 (ERROR_NO_DATA), reported in the system's words before the
// built-in addresses are tried. Linux has nothing to tell there.
std::string no_adapters_report() {
  return client_runs_under_wine() ? "[T] GetAdaptersInfo failed with error 232: Pipe closed.\n"
                                  : "";
}

std::string connecting(const std::string& address) {
  return "connecting to " + address + ":12040...\n";
}

// The addresses the client tried to connect to, in order.
std::vector<std::string> attempted(const std::string& output) {
  const std::string before = "connecting to ";
  const std::string after = ":12040...\n";
  std::vector<std::string> addresses;
  for (auto at = output.find(before); at != std::string::npos; at = output.find(before, at + 1)) {
    auto start = at + before.size();
    auto end = output.find(after, start);
    if (end != std::string::npos) addresses.push_back(output.substr(start, end - start));
  }
  return addresses;
}

// Joins this namespace to `peer` by a veth pair: `link` here with `local`,
// its other end there with `gateway` (both with their prefix length).
void link_to(PeerNamespace& peer, const std::string& link, const std::string& local,
             const std::string& gateway) {
  const std::string far = link + "p";
  run_command("ip link add " + link + " type veth peer name " + far);
  run_command("ip link set " + far + " netns " + std::to_string(peer.pid()));
  run_command("ip addr add " + local + " dev " + link);
  run_command("ip link set " + link + " up");
  peer.inside([&] {
    run_command("ip addr add " + gateway + " dev " + far);
    run_command("ip link set " + far + " up");
    run_command("ip link set lo up");
  });
}

TEST(Discovery, BuiltinServersInOrderThenGiveUp) {
  REQUIRE_PRIVATE_NETWORK();
  // The first refuses connections, the second says SORRY, the third is
  // silent.
  FakeServer second(kBuiltin2);
  FakeServer third(kBuiltin3);
  Process client(client_command({"-d", kAnyDigest}));
  auto start = SteadyClock::now();
  ASSERT_TRUE(second.accept_client(10s)) << client.output();
  EXPECT_GT(seconds_since(start), 4.0) << "the first attempt was not silent";
  second.send("SORRY not here\r\n");
  ASSERT_TRUE(third.accept_client(4s)) << client.output();
  EXPECT_EQ(client.wait_exit(10s), 1) << client.output();
  EXPECT_EQ(without_times(client.output()),
            no_adapters_report() + "[T] SORRY not here\n[T] " + kGiveUp);
  EXPECT_EQ(second.accepted(), 1);
  EXPECT_EQ(third.accepted(), 1);
}

TEST(Discovery, EmptyServerMeansDiscovery) {
  REQUIRE_PRIVATE_NETWORK();
  Process client(client_command({"-v", "-s", "", "-d", kAnyDigest}));
  EXPECT_EQ(client.wait_exit(30s), 1) << client.output();
  std::string expected = no_adapters_report();
  for (const auto& address : {kBuiltin1, kBuiltin2, kBuiltin3})
    expected += "[T] " + connecting(address) + "[T] lost connection\n";
  EXPECT_EQ(without_times(client.output()), expected + "[T] " + kGiveUp);
}

TEST(Discovery, GatewaysComeFirstAndFirstAcceptanceSticks) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_OTHER_BYTE_ORDER();
  // A link of another type comes first, with a default route through a
  // gateway that must not be tried.
  run_command("ip tuntap add dev tun0 mode tun");
  run_command("ip link set tun0 up");
  run_command("ip route add default via 198.51.100.254 dev tun0 onlink metric 50");
  PeerNamespace near;
  PeerNamespace far;
  link_to(near, "gwa", "192.0.2.2/24", "192.0.2.1/24");
  link_to(far, "gwb", "198.51.100.2/24", "198.51.100.1/24");
  ASSERT_TRUE(std::filesystem::exists("/sys/class/net/gwb/type"))
      << "/sys does not show this namespace's links";
  // Link order decides, not the metric.
  run_command("ip route add default via 192.0.2.1 dev gwa metric 200");
  run_command("ip route add default via 198.51.100.1 dev gwb metric 100");
  // A default route without a gateway adds nothing.
  run_command("ip link add gwc type veth peer name gwcp");
  run_command("ip link set gwc up");
  run_command("ip route add default dev gwc metric 300");

  // Behind the first gateway a server that refuses the client; behind the
  // second nothing listens; the first built-in address accepts it.
  std::unique_ptr<FakeServer> gateway;
  near.inside([&] { gateway = std::make_unique<FakeServer>("192.0.2.1"); });
  FakeServer builtin(kBuiltin1);
  Process client(client_command({"-v", "-d", kAnyDigest}));
  Transcript transcript(client);

  ASSERT_TRUE(transcript.next(connecting("192.0.2.1"), 5s)) << client.output();
  ASSERT_TRUE(gateway->accept_client(5s)) << client.output();
  gateway->send("SORRY\r\n");
  ASSERT_TRUE(transcript.next("recv: SORRY\n", 4s)) << client.output();
  ASSERT_TRUE(transcript.next(connecting("198.51.100.1"), 4s)) << client.output();
  ASSERT_TRUE(transcript.next("lost connection\n", 8s)) << client.output();
  ASSERT_TRUE(transcript.next(connecting(kBuiltin1), 4s)) << client.output();
  ASSERT_TRUE(builtin.accept_client(2s));
  builtin.send("LUMAGATE=1\r\n");
  ASSERT_TRUE(transcript.next("recv: LUMAGATE=1\n", 4s)) << client.output();
  builtin.send("CHALLENGE c\r\n");
  ASSERT_TRUE(builtin.read_line(4s)) << client.output();
  builtin.send("GOOD\r\n");
  ASSERT_TRUE(transcript.next("recv: GOOD\n", 4s)) << client.output();

  // From now on every failure leads back to the same server.
  builtin.send("SORRY\r\n");
  ASSERT_TRUE(transcript.next("recv: SORRY\n", 4s)) << client.output();
  ASSERT_TRUE(transcript.next(connecting(kBuiltin1), 4s)) << client.output();
  ASSERT_TRUE(builtin.accept_client(2s));
  ASSERT_TRUE(transcript.next("lost connection\n", 8s)) << client.output();
  ASSERT_TRUE(transcript.next(connecting(kBuiltin1), 4s)) << client.output();
  EXPECT_EQ(
      attempted(client.output()),
      (std::vector<std::string>{"192.0.2.1", "198.51.100.1", kBuiltin1, kBuiltin1, kBuiltin1}));
  EXPECT_EQ(gateway->accepted(), 1);
}

// Two uplinks, the routing table preferring the wrong one for each client:
// only the binding to its interface takes a client to the server behind
// it, and discovery takes that interface's gateway alone. Clients on two
// interfaces run side by side.
TEST(Discovery, EachClientKeepsToItsInterface) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_OTHER_BYTE_ORDER();
  PeerNamespace far;
  PeerNamespace near;
  link_to(far, "upb", "198.51.100.2/24", "198.51.100.1/24");
  link_to(near, "upa", "192.0.2.2/24", "192.0.2.1/24");
  run_command("ip route add default via 198.51.100.1 dev upb metric 100");
  run_command("ip route add default via 192.0.2.1 dev upa metric 200");
  std::unique_ptr<FakeServer> server;
  near.inside([&] { server = std::make_unique<FakeServer>("192.0.2.1"); });
  Process wrong(client_command({"-v", "-i", "upb", "-s", "192.0.2.1", "-d", kAnyDigest}));
  Process right(client_command({"-v", "-i", "upa", "-d", kAnyDigest}));
  ASSERT_TRUE(Transcript(right).next(connecting("192.0.2.1"), 5s)) << right.output();
  ASSERT_TRUE(server->accept_client(5s)) << right.output();
  server->send("CHALLENGE c\r\n");
  ASSERT_TRUE(server->read_line(4s)) << right.output();
  ASSERT_TRUE(Transcript(wrong).next("lost connection\n", 8s)) << wrong.output();
  EXPECT_EQ(attempted(right.output()).front(), "192.0.2.1");
  EXPECT_FALSE(server->accept_client(1s)) << "a second connection reached it\n" << wrong.output();

  // An interface gone is a failure like any other, said once.
  run_command("ip link del upb");
  Transcript gone(wrong);
  ASSERT_TRUE(gone.next("The network interface upb is missing; the client keeps trying.\n", 10s))
      << wrong.output();
  ASSERT_TRUE(gone.next("couldn't connect to server\n", 1s) && gone.next("couldn't", 5s))
      << wrong.output();
  EXPECT_EQ(wrong.count_output("missing"), 1) << wrong.output();
}

// A service sandboxed with ProcSubset=pid has a /proc without /proc/net.
TEST(Discovery, GatewaysAreFoundWithoutProcNet) {
  REQUIRE_PRIVATE_NETWORK();
  SKIP_UNDER_WINE(
      "Windows has no /proc, and Wine's own GetAdaptersInfo reads /proc/net "
      "(it fails with 50 without it)");
  SKIP_UNDER_OTHER_BYTE_ORDER();
  PeerNamespace near;
  link_to(near, "gwa", "192.0.2.2/24", "192.0.2.1/24");
  run_command("ip route add default via 192.0.2.1 dev gwa");
  // Our own /sys shows that this test has a mount namespace of its own too.
  ASSERT_TRUE(std::filesystem::exists("/sys/class/net/gwa/type"));
  ASSERT_EQ(mount("proc", "/proc", "proc", 0, "subset=pid"), 0) << std::strerror(errno);
  ASSERT_FALSE(std::filesystem::exists("/proc/net"));
  Process client(client_command({"-v", "-d", kAnyDigest}));
  Transcript transcript(client);
  EXPECT_TRUE(transcript.next(connecting("192.0.2.1"), 5s)) << client.output();
}

}  // namespace
}  // namespace e2e
