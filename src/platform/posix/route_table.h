// Reading default gateways out of the kernel's routing table text.
#pragma once

#include <string>
#include <vector>

namespace lumagate::platform::posix {

struct RouteGateway {
  std::string interface_name;
  std::string gateway;  // dotted quad
};

// The default routes with a gateway in the text of /proc/net/route, first
// gateway of each interface, in the table's order.
std::vector<RouteGateway> default_gateways_in(const std::string& route_table);

}  // namespace lumagate::platform::posix
