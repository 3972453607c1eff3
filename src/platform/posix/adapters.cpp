// Adapters and their default gateways, from the kernel's routing table.
#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/platform.h"
#include "platform/posix/route_table.h"

namespace lumagate::platform {
namespace posix {

std::vector<RouteGateway> default_gateways_in(const std::string& route_table) {
  std::vector<RouteGateway> found;
  std::size_t start = route_table.find('\n');  // past the column titles
  while (start != std::string::npos) {
    const std::size_t end = route_table.find('\n', start + 1);
    const std::string line = route_table.substr(start + 1, end - start - 1);
    start = end;
    char name[64];
    unsigned long destination = 0, gateway = 0, flags = 0, mask = 0;
    // Columns: name, destination, gateway, flags, refcount, use, metric, mask.
    if (std::sscanf(line.c_str(), "%63s %lx %lx %lx %*s %*s %*s %lx", name, &destination, &gateway,
                    &flags, &mask) != 5) {
      continue;
    }
    // A gateway wider than an address would lose its high digits.
    if (destination != 0 || mask != 0 || gateway == 0 || gateway > 0xFFFFFFFFul) continue;
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
  int link_type = -1;
  if (std::FILE* type_file = std::fopen((base + "/type").c_str(), "r")) {
    if (std::fscanf(type_file, "%d", &link_type) != 1) link_type = -1;
    std::fclose(type_file);
  }
  const bool wireless = exists(base + "/wireless") || exists(base + "/phy80211");
  return link_type == 1 && !wireless ? kAdapterTypeEthernet : 71;
}

// The whole text of a file; false when it cannot be read.
bool read_text(const char* path, std::string* text) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text->append(chunk, got);
  const bool read = std::ferror(file) == 0;
  std::fclose(file);
  return read;
}

}  // namespace

std::int32_t adapter_gateways(std::vector<AdapterGateway>* adapters) {
  adapters->clear();
  // /proc/net is only a link to this path, and a service sandboxed with
  // ProcSubset=pid sees no /proc/net at all.
  std::string text;
  if (!read_text("/proc/self/net/route", &text)) return errno != 0 ? errno : ENOENT;
  auto gateways = posix::default_gateways_in(text);
  std::stable_sort(gateways.begin(), gateways.end(),
                   [](const posix::RouteGateway& a, const posix::RouteGateway& b) {
                     return if_nametoindex(a.interface_name.c_str()) <
                            if_nametoindex(b.interface_name.c_str());
                   });
  for (const auto& gateway : gateways) {
    adapters->push_back({adapter_type(gateway.interface_name), gateway.gateway,
                         if_nametoindex(gateway.interface_name.c_str())});
  }
  return 0;
}

}  // namespace lumagate::platform
