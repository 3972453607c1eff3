// Our MD5 against OpenSSL's on short, medium and long inputs; the rows for one
// size come together so the bytes-per-second figures can be read side by side.
#include "digest/md5.h"

#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include <cstdint>
#include <string>

// The one-shot MD5() is deprecated in favour of EVP, whose per-call context
// set-up would dominate the 64-byte case; the plain call is the fairer peer.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

// A terminated text of `length` bytes without an inner NUL.
std::string make_text(std::size_t length) {
  std::string text(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    text[i] = static_cast<char>(1 + (i * 131) % 255);
  }
  return text;
}

void bm_md5_hex(benchmark::State& state) {
  const std::string text = make_text(static_cast<std::size_t>(state.range(0)));
  char out[lumagate::kMd5HexSize];
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop counter
    lumagate::md5_hex(text.c_str(), out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void bm_md5_raw(benchmark::State& state) {
  const std::string text = make_text(static_cast<std::size_t>(state.range(0)));
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  unsigned char digest[16];
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop counter
    lumagate::Md5Context context;
    lumagate::md5_init(&context);
    lumagate::md5_update(&context, bytes, static_cast<std::uint32_t>(text.size()));
    lumagate::md5_final(digest, &context);
    benchmark::DoNotOptimize(digest);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void bm_openssl_md5(benchmark::State& state) {
  const std::string text = make_text(static_cast<std::size_t>(state.range(0)));
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  unsigned char digest[MD5_DIGEST_LENGTH];
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop counter
    MD5(bytes, text.size(), digest);
    benchmark::DoNotOptimize(digest);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

int main(int argc, char** argv) {
  for (std::int64_t size : {64, 1024, 1 << 20}) {
    benchmark::RegisterBenchmark("md5_hex", bm_md5_hex)->Arg(size);
    benchmark::RegisterBenchmark("md5_raw", bm_md5_raw)->Arg(size);
    benchmark::RegisterBenchmark("openssl_md5", bm_openssl_md5)->Arg(size);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
