// Candidate servers: the gateways of the Ethernet adapters, then the
// built-in addresses.
#include "session/discovery.h"

#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "runtime/lifecycle.h"
#include "runtime/log.h"
#include "runtime/settings.h"
#include "runtime/text.h"

namespace lumagate {
namespace {

constexpr std::array<const char*, kBuiltinServerCount> kBuiltinServers = {
    LUMAGATE_BUILTIN_SERVER_1, LUMAGATE_BUILTIN_SERVER_2, LUMAGATE_BUILTIN_SERVER_3};

}  // namespace

int gateways_into(CandidateList& list, int reserved,
                  const std::vector<platform::AdapterGateway>& adapters, std::uint32_t only) {
  int count = 0;
  for (const auto& adapter : adapters) {
    // An interface the user named counts whatever its type: a PPP or a
    // wireless uplink is theirs to choose. "0.0.0.0" and the empty text
    // mean no gateway.
    const bool chosen =
        only == 0 ? adapter.type == platform::kAdapterTypeEthernet : adapter.index == only;
    const bool counts = chosen && std::strncmp(adapter.gateway.c_str(), "0.0.0.0", 7) > 0;
    if (!counts) continue;
    if (count == kMaxCandidates - reserved) break;
    copy_bounded(list[static_cast<std::size_t>(count)].data(), kCandidateSize,
                 adapter.gateway.c_str());
    ++count;
  }
  return count;
}

int collect_gateways(CandidateList& list, int reserved) {
  std::vector<platform::AdapterGateway> adapters;
  const std::int32_t result = platform::adapter_gateways(&adapters);
  if (result == platform::kAdapterNoMemory) {
    report(1, "Error allocating memory for pAdapterInfo.\n");
    exit_program(1);
  }
  if (result != 0) {
    report_system_error("GetAdaptersInfo", result);
    return 0;
  }
  const char* name = settings.network_interface;
  // An interface gone since the start has no gateway: 0 would mean any.
  const std::uint32_t only = name == nullptr ? 0 : platform::interface_index(name);
  if (name != nullptr && only == 0) return 0;
  return gateways_into(list, reserved, adapters, only);
}

int build_candidate_list(CandidateList& list) {
  int count = collect_gateways(list, kBuiltinServerCount);
  for (const char* server : kBuiltinServers) {
    copy_bounded(list[static_cast<std::size_t>(count)].data(), kCandidateSize, server);
    ++count;
  }
  return count;
}

}  // namespace lumagate
