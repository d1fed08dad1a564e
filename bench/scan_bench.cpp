// SPDX-License-Identifier: MIT
// The scanning core's single pass (CPNGLocator, as the tool runs it) over an
// in-memory input, one pass per iteration, in bytes per second. The inputs
// are 64 MiB copies of the "many" and "few" workloads of `make bench` (same
// generator, same seeds), so the junk holds the same mix of random data,
// zeros, text, tables and near misses; the "random" ones hold uniformly
// random junk, where the pass is also timed with each byte-search kernel.
//
// The in-cache case scans one 512 KiB slice of the junk again and again, as
// the locator scans each read while it is still in the cache: it shows the
// search's own cost, the others include fetching the input from memory.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tool/png_scan.h"
#include "bench/workload.h"
#include "testdata/png_reference.h"

namespace {

struct Input {
  std::vector<uint8_t> bytes;
  std::vector<benchgen::Range> ranges;
};

const Input& Workload(const std::string& name) {
  static std::map<std::string, Input> cache;
  auto it = cache.find(name);
  if (it != cache.end()) return it->second;
  benchgen::Params p;
  p.totalBytes = 64ull << 20;
  p.randomJunk = name.ends_with("-random");
  if (name.starts_with("many")) {
    p.seed = 8003;
    p.images = 312;
    p.imageBytes = 25ull << 20;
    p.sizeSpread = 1000;
  } else {
    p.seed = 8004;
    p.images = 20;
    p.imageBytes = 2ull << 20;
    p.sizeSpread = 100;
  }
  Input in;
  in.bytes.reserve(p.totalBytes);
  in.ranges = benchgen::Generate(
      p, [&](const uint8_t* d, size_t n) { in.bytes.insert(in.bytes.end(), d, d + n); });
  return cache[name] = std::move(in);
}

// The single pass as the tool runs it: the input in 512 KiB pieces, starts
// and markers found together; with the given byte-search kernel.
void SinglePassWith(benchmark::State& state, const std::string& name, ScanKernel kernel) {
  if (!HasScanKernel(kernel)) {
    state.SkipWithError("this build or processor lacks the kernel");
    for (auto _ : state) {
    }
    return;
  }
  const Input& in = Workload(name);
  const size_t piece = 512 * 1024;
  COffsetTable table;
  table.reserve(in.ranges.size());
  for (auto _ : state) {
    CPNGLocator locator(table, kernel);
    for (size_t at = 0; at < in.bytes.size(); at += piece)
      locator.Feed(in.bytes.data() + at, std::min(piece, in.bytes.size() - at));
    locator.Finish();
    benchmark::DoNotOptimize(table.data());
  }
  bool same = table.size() == in.ranges.size();
  for (size_t i = 0; same && i < table.size(); ++i)
    same = table[i].start == in.ranges[i].start && table[i].end == in.ranges[i].end;
  if (!same) state.SkipWithError("the table differs from the manifest");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.bytes.size()));
}

// The single pass as the tool runs it, with the kernel it chooses.
void SinglePass(benchmark::State& state, const std::string& name) {
  SinglePassWith(state, name, BestScanKernel());
}

// The single pass over one 512 KiB slice in the cache.
void InCacheSinglePass(benchmark::State& state, const std::string& name) {
  const Input& in = Workload(name);
  const size_t slice = 512 * 1024, at = in.bytes.size() / 2;
  COffsetTable table;
  for (auto _ : state) {
    CPNGLocator locator(table);
    locator.Feed(in.bytes.data() + at, slice);
    locator.Finish();
    benchmark::DoNotOptimize(table.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(slice));
}

BENCHMARK_CAPTURE(InCacheSinglePass, few, std::string("few"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SinglePass, many, std::string("many"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SinglePass, few, std::string("few"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SinglePass, many_random, std::string("many-random"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SinglePass, few_random, std::string("few-random"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SinglePassWith, few_random_avx2, std::string("few-random"), ScanKernel::kAVX2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SinglePassWith, few_random_sse2, std::string("few-random"), ScanKernel::kSSE2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SinglePassWith, few_random_portable, std::string("few-random"),
                  ScanKernel::kPortable)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::printf("byte-search kernel chosen: %s\n", png_reference::KernelName(BestScanKernel()));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
