// Speed and memory of the signature scan over a large cached source.
//
// Target: at least 1 GB/s on a cached 200 MB file, and memory that does not grow with the size of
// the source apart from the offset lists. Run: build-bench/bench/scan_bench
#include <sys/resource.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "salvage/signature_index.h"

namespace {

// A source of `size` bytes that looks like compressed members: random bytes with a local header
// every 64 KiB or so and a descriptor after each.
std::string MakeSource(const std::string& path, size_t size) {
  std::mt19937_64 generator(1);
  std::vector<char> block(1 << 20);
  std::FILE* out = std::fopen(path.c_str(), "wb");
  for (size_t written = 0; written < size; written += block.size()) {
    for (size_t i = 0; i < block.size(); i += 8) {
      const uint64_t value = generator();
      for (int b = 0; b < 8; ++b) block[i + b] = static_cast<char>(value >> (8 * b));
    }
    for (size_t i = 0; i + 4 < block.size(); i += 65521) {
      block[i] = 'P', block[i + 1] = 'K', block[i + 2] = 3, block[i + 3] = 4;
    }
    std::fwrite(block.data(), 1, block.size(), out);
  }
  std::fclose(out);
  return path;
}

long PeakRssKiB() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_ScanCachedSource(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0)) << 20;
  const std::string path = "/tmp/vellomir-scan-bench-" + std::to_string(state.range(0)) + ".bin";
  MakeSource(path, size);
  auto file = vellomir::platform::Fs().OpenSharedRead(vellomir::platform::FromNative(path));
  // Once to bring the file into the page cache.
  benchmark::DoNotOptimize(vellomir::salvage_internal::ScanSignatures(*file));
  const long rss_before = PeakRssKiB();
  size_t headers = 0;
  for (auto _ : state) {
    const auto index = vellomir::salvage_internal::ScanSignatures(*file);
    headers = index.local_headers.size();
    benchmark::DoNotOptimize(headers);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.counters["headers"] = static_cast<double>(headers);
  state.counters["peak_rss_growth_KiB"] = static_cast<double>(PeakRssKiB() - rss_before);
  file.reset();
  std::remove(path.c_str());
}
BENCHMARK(BM_ScanCachedSource)->Arg(50)->Arg(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
