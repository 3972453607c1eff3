// Candidate servers: the gateways of the Ethernet adapters, then the
// built-in addresses.
#include "session/discovery.h"

#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "runtime/lifecycle.h"
#include "runtime/log.h"
#include "runtime/text.h"

namespace lumagate {
namespace {

constexpr std::array<const char*, kBuiltinServerCount> kBuiltinServers = {
    LUMAGATE_BUILTIN_SERVER_1, LUMAGATE_BUILTIN_SERVER_2, LUMAGATE_BUILTIN_SERVER_3};

}  // namespace

int gateways_into(CandidateList& list, int reserved,
                  const std::vector<platform::AdapterGateway>& adapters) {
  int count = 0;
  for (const auto& adapter : adapters) {
    // "0.0.0.0" and the empty text mean no gateway.
    const bool counts = adapter.type == platform::kAdapterTypeEthernet &&
                        std::strncmp(adapter.gateway.c_str(), "0.0.0.0", 7) > 0;
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
  return gateways_into(list, reserved, adapters);
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
