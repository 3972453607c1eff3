// Adapters and their default gateways, from the kernel's routing table.
#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "platform/posix/route_table.h"

namespace lumagate::platform {
namespace posix {

std::vector<RouteGateway> default_gateways_in(const std::string& route_table) {
  std::vector<RouteGateway> found;
  std::istringstream lines(route_table);
  std::string line;
  std::getline(lines, line);  // the column titles
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string name;
    unsigned long destination = 0, gateway = 0, flags = 0, mask = 0;
    std::string refcount, use, metric;
    fields >> name >> std::hex >> destination >> gateway >> flags >> std::dec >> refcount >> use >>
        metric >> std::hex >> mask;
    if (!fields || destination != 0 || mask != 0 || gateway == 0) continue;
    if ((flags & RTF_UP) == 0 || (flags & RTF_GATEWAY) == 0) continue;
    const bool known = std::any_of(found.begin(), found.end(),
                                   [&](const RouteGateway& g) { return g.interface_name == name; });
    if (known) continue;
    // The table prints the address as this host holds it in memory.
    in_addr address{};
    address.s_addr = static_cast<in_addr_t>(gateway);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    found.push_back({name, text});
  }
  return found;
}

}  // namespace posix
namespace {

bool exists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

// Ethernet-type links count; wireless ones share the type but not the role.
int adapter_type(const std::string& name) {
  const std::string base = "/sys/class/net/" + name;
  std::ifstream type_file(base + "/type");
  int link_type = -1;
  type_file >> link_type;
  const bool wireless = exists(base + "/wireless") || exists(base + "/phy80211");
  return link_type == 1 && !wireless ? kAdapterTypeEthernet : 71;
}

}  // namespace

std::int32_t adapter_gateways(std::vector<AdapterGateway>* adapters) {
  adapters->clear();
  // /proc/net is only a link to this path, and a service sandboxed with
  // ProcSubset=pid sees no /proc/net at all.
  std::ifstream file("/proc/self/net/route");
  if (!file) return errno != 0 ? errno : ENOENT;
  std::ostringstream text;
  text << file.rdbuf();
  auto gateways = posix::default_gateways_in(text.str());
  std::stable_sort(gateways.begin(), gateways.end(),
                   [](const posix::RouteGateway& a, const posix::RouteGateway& b) {
                     return if_nametoindex(a.interface_name.c_str()) <
                            if_nametoindex(b.interface_name.c_str());
                   });
  for (const auto& gateway : gateways) {
    adapters->push_back({adapter_type(gateway.interface_name), gateway.gateway});
  }
  return 0;
}

}  // namespace lumagate::platform
