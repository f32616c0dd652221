// The serial framing: SLIP frames through V5SLIP::FilterInput, run-length
// decoding, and the frame accumulator cutting a burst of frames.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "BenchData.h"
#include "filters/FrameFIFO.h"
#include "filters/RLE.h"
#include "filters/V5SLIP.h"

using namespace quorin_bench;
using quorin::FormatFilter;

namespace {

// One whole frame per call, handed over as the serial connection does (hex
// text of the received chunk); counted in wire bytes (half the text).
void runSlip(benchmark::State& state, const Bytes& frame, const std::string& expected) {
    const std::string hex = hexOf(frame);
    quorin::V5SLIP filter;
    std::string name;
    int id = 0;
    quorin::CardText out;
    for (auto _ : state) {
        const int n = filter.FilterInput(hex, name, id, out);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(out.data());
    }
    if (out != expected || id != FormatFilter::CHANNEL_CARD_DATA) {
        state.SkipWithError("the frame was not delivered as sent");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.size()));
}

// Plain card data of range(0) bytes.
void BM_V5SLIP_FilterInput_Plain(benchmark::State& state) {
    const Bytes data = patternBytes(static_cast<size_t>(state.range(0)));
    runSlip(state, slipFrame(0x00, data.size(), data), hexOf(data));
}
BENCHMARK(BM_V5SLIP_FilterInput_Plain)->Arg(64)->Arg(4096);

// Run-length encoded card data that decodes to range(0) bytes (4096 is the
// most a frame may decode to); delivered with its header in front.
void BM_V5SLIP_FilterInput_RLE(benchmark::State& state) {
    const Bytes plain = dataWithRuns(static_cast<size_t>(state.range(0)));
    const Bytes frame = slipFrame(0x01, plain.size(), rleEncode(plain));
    Bytes delivered = {0x01, static_cast<unsigned char>(plain.size() >> 8),
                       static_cast<unsigned char>(plain.size() & 0xFF)};
    delivered.insert(delivered.end(), plain.begin(), plain.end());
    state.counters["wire_bytes"] = static_cast<double>(frame.size());
    runSlip(state, frame, hexOf(delivered));
    state.counters["decoded_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations() * plain.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_V5SLIP_FilterInput_RLE)->Arg(64)->Arg(4096);

// range(0) encoded bytes; counted in encoded (input) bytes.
void BM_DecodeRLEData(benchmark::State& state) {
    const Bytes encoded = rleEncodedOfSize(static_cast<size_t>(state.range(0)));
    Bytes out(64 * 1024);
    unsigned long decoded = 0;
    int rc = quorin::RLE_OK;
    for (auto _ : state) {
        decoded = out.size();
        rc = quorin::DecodeRLEData(encoded.data(), static_cast<int>(encoded.size()), out.data(),
                                   &decoded);
        benchmark::DoNotOptimize(rc);
        benchmark::ClobberMemory();
    }
    if (rc != quorin::RLE_OK) {
        state.SkipWithError("the encoded data did not decode");
    }
    state.counters["decoded_bytes"] = static_cast<double>(decoded);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * encoded.size()));
}
BENCHMARK(BM_DecodeRLEData)->Arg(64)->Arg(4096);

// A burst of range(0) SLIP-marked frames (END, 4 bytes, END: 6 bytes each,
// so 10,000 of them stay under FrameFIFO::MAX_BYTES) added at once, then
// every frame taken. The time per burst should grow linearly with the count.
void BM_FrameFIFO_getFrame(benchmark::State& state) {
    const size_t frames = static_cast<size_t>(state.range(0));
    const std::string marker(1, static_cast<char>(SLIP_END));
    std::string burst;
    for (size_t i = 0; i < frames; ++i) {
        const char content[4] = {static_cast<char>('A' + i % 26), static_cast<char>(i & 0x7F),
                                 static_cast<char>((i >> 7) & 0x7F), '\x01'};
        burst += marker;
        burst.append(content, sizeof(content));
        burst += marker;
    }
    quorin::FrameFIFO fifo(marker, marker);
    size_t taken = 0;
    for (auto _ : state) {
        fifo.add(burst);
        taken = 0;
        for (;;) {
            quorin::CardText frame = fifo.getFrame();
            if (frame.empty()) {
                break;
            }
            benchmark::DoNotOptimize(frame.data());
            ++taken;
        }
    }
    if (taken != frames || fifo.size() != 0) {
        state.SkipWithError("the burst did not come out frame by frame");
    }
    state.SetComplexityN(static_cast<int64_t>(frames));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * burst.size()));
}
BENCHMARK(BM_FrameFIFO_getFrame)->Arg(100)->Arg(1000)->Arg(10000)->Complexity();

}  // namespace
