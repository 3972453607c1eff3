// The servers to try when none is given.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "platform/platform.h"
#include "runtime/settings.h"

namespace lumagate {

inline constexpr int kMaxCandidates = 10;
inline constexpr int kBuiltinServerCount = 3;

using CandidateList = std::array<std::array<char, kCandidateSize>, kMaxCandidates>;

// Writes gateway addresses from entry 0 on; their number, at most
// kMaxCandidates - reserved.
int collect_gateways(CandidateList& list, int reserved);

// The gateways of Ethernet adapters among `adapters`, as collect_gateways
// writes them; with `only` not 0, the gateway of that interface alone.
int gateways_into(CandidateList& list, int reserved,
                  const std::vector<platform::AdapterGateway>& adapters, std::uint32_t only = 0);

// The gateways, then the built-in servers; the number of entries.
int build_candidate_list(CandidateList& list);

}  // namespace lumagate
