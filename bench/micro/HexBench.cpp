// The hex helpers every subsystem passes bytes through.
#include <benchmark/benchmark.h>

#include "BenchData.h"
#include "common/stdafx.h"

using namespace quorin_bench;

namespace {

// Hex text of n bytes to bytes; counted in decoded bytes (half the text).
void BM_H2BV(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const std::string text = hexOf(patternBytes(n));
    for (auto _ : state) {
        std::vector<unsigned char> out = quorin::H2BV(text);
        benchmark::DoNotOptimize(out.data());
    }
    if (quorin::H2BV(text) != patternBytes(n)) {
        state.SkipWithError("H2BV decoded something else");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_H2BV)->Arg(64)->Arg(4096);

void BM_BV2H(benchmark::State& state) {
    const Bytes in = patternBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        std::string out = quorin::BV2H(in);
        benchmark::DoNotOptimize(out.data());
    }
    if (quorin::BV2H(in) != hexOf(in)) {
        state.SkipWithError("BV2H encoded something else");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_BV2H)->Arg(64)->Arg(4096);

}  // namespace
