#include <string>

#include <gtest/gtest.h>

#include "platform/posix/route_table.h"

namespace lumagate {
namespace {

TEST(RouteTable, ReadsTheFirstDefaultGatewayOfEachInterface) {
  const std::string table =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
      "eth1\t00000000\t010264C6\t0003\t0\t0\t200\t00000000\t0\t0\t0\n"
      "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
      "eth0\t00000000\t020200C0\t0003\t0\t0\t300\t00000000\t0\t0\t0\n"
      "eth0\t000200C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
      "eth2\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"
      "eth3\t00000000\t010300C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n";
  const auto found = platform::posix::default_gateways_in(table);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].interface_name, "eth1");
  EXPECT_EQ(found[0].gateway, "198.100.2.1");
  EXPECT_EQ(found[1].interface_name, "eth0");
  EXPECT_EQ(found[1].gateway, "192.0.2.1");
}

}  // namespace
}  // namespace lumagate
