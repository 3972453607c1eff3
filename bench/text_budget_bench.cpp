// The most the client writes in an hour of service use, after its first
// minute, while a hostile server does its worst (simulated time: a run
// takes milliseconds). Read the counter, not the time.
#include <benchmark/benchmark.h>

#include "hostile_servers.h"

namespace {

void bm_worst_hour(benchmark::State& state, lumagate::hostile::Server server) {
  std::int64_t bytes = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop counter
    bytes = lumagate::hostile::worst_hour(server);
  }
  state.counters["bytes_per_hour"] = benchmark::Counter(
      static_cast<double>(bytes), benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
}

BENCHMARK_CAPTURE(bm_worst_hour, distinct_reconnecting, lumagate::hostile::distinct_reconnecting)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bm_worst_hour, alternating_verdicts, lumagate::hostile::alternating_verdicts)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bm_worst_hour, same_good, lumagate::hostile::same_good)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
