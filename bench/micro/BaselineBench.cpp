// Baselines: the plainest code that moves the same bytes, so the library's
// figures can be read against what the machine does for the same input at
// the time of the run.
#include <benchmark/benchmark.h>

#include <cstring>

#include "BenchData.h"

using namespace quorin_bench;

namespace {

void BM_Baseline_Memcpy(benchmark::State& state) {
    const Bytes in = patternBytes(static_cast<size_t>(state.range(0)));
    Bytes out(in.size());
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Baseline_Memcpy)->Arg(64)->Arg(1024)->Arg(4096)->Arg(32768);

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

// Hex text to bytes, two digits per byte, into a new vector.
void BM_Baseline_HexDecodeLoop(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const std::string text = hexOf(patternBytes(n));
    for (auto _ : state) {
        Bytes out(text.size() / 2);
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = static_cast<unsigned char>(16 * nibble(text[2 * i]) + nibble(text[2 * i + 1]));
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_Baseline_HexDecodeLoop)->Arg(64)->Arg(1024)->Arg(4096)->Arg(32768);

// Bytes to upper-case hex text, into a new string.
void BM_Baseline_HexEncodeLoop(benchmark::State& state) {
    static const char digits[] = "0123456789ABCDEF";
    const Bytes in = patternBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        std::string out(in.size() * 2, '\0');
        for (size_t i = 0; i < in.size(); ++i) {
            out[2 * i] = digits[in[i] >> 4];
            out[2 * i + 1] = digits[in[i] & 0x0F];
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Baseline_HexEncodeLoop)->Arg(64)->Arg(1024)->Arg(4096)->Arg(32768);

// SLIP unstuffing of one whole frame (markers included in the count) into a
// new vector.
void BM_Baseline_SlipUnstuffLoop(benchmark::State& state) {
    const Bytes data = patternBytes(static_cast<size_t>(state.range(0)));
    const Bytes frame = slipFrame(0x00, data.size(), data);
    for (auto _ : state) {
        Bytes out;
        out.reserve(frame.size());
        for (size_t i = 1; i + 1 < frame.size(); ++i) {
            unsigned char b = frame[i];
            if (b == SLIP_ESC && i + 2 < frame.size()) {
                b = frame[++i] == 0xDC ? SLIP_END : SLIP_ESC;
            }
            out.push_back(b);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_Baseline_SlipUnstuffLoop)->Arg(64)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
