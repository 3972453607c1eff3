// What every fuzz target shares: the libFuzzer entry point, and a check
// that stops the run loudly, so that the fuzzer keeps the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace lumagate::fuzz {

// Aborts with `what` when `holds` is false: a finding.
inline void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

}  // namespace lumagate::fuzz
