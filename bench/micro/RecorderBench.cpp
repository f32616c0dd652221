// The recorder (QUORIN_RECORD) per event: what the thread that made a
// transfer pays to post it, and what one event costs in all, the writer
// thread's card data replacement, formatting and write included.
//
// Each iteration records one session of EVENTS events to a fresh file:
// the link's open and close (which waits for the writer to finish the file)
// are left out of the posting figure and counted in the whole one.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "BenchData.h"
#include "CardReport.h"
#include "transport/RecordedLink.h"
#include "transport/Recorder.h"

using namespace quorin_bench;
using quorin::RecordedEvent;
using quorin::Recorder;

namespace {

// Well below the queue's 16,384 events: nothing is dropped.
constexpr int EVENTS = 1000;

// The reports posted: an extended reader's notification packet of 64 bytes
// (a display text whole in one packet, searched for account numbers), or a
// clear reader's card-data report of 853 bytes whose tracks are replaced.
Bytes reportOf(int kind, long* productId) {
    if (kind == 0) {
        *productId = 0x19;
        Bytes packet = {0x02, 0x00, 0x37, 0x00, 0x00, 0x03, 0x01, 0x00, 0x37};
        Bytes text = patternBytes(55);
        packet.insert(packet.end(), text.begin(), text.end());
        return packet;
    }
    *productId = 0x01;
    quorin_sim::CardReport report(quorin_sim::findVirtualModel(0x01)->report);
    report.track(1, "%B4111111111111111^DOE/ALEX^3012101000000000000?")
        .track(2, ";4111111111111111=30121010000000000000?");
    return report.extendedReport();
}

void runRecorder(benchmark::State& state, bool whole) {
    long productId = 0;
    const Bytes report = reportOf(static_cast<int>(state.range(0)), &productId);
    const std::string file = "/tmp/quorin-bench-" + std::to_string(getpid()) + ".rec";
    setenv("QUORIN_RECORD", file.c_str(), 1);
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(file.c_str());
        std::shared_ptr<quorin::RecordedLink> link =
            Recorder::instance().open("usb path=\"/dev/hidraw0\"", RecordedEvent::USB, productId);
        if (!link) {
            state.SkipWithError("the recorder did not open the file");
            break;
        }
        state.ResumeTiming();
        for (int i = 0; i < EVENTS; ++i) {
            link->record(RecordedEvent::INPUT, report.data(), report.size());
        }
        if (!whole) {
            state.PauseTiming();
        }
        link->close();
        if (!whole) {
            state.ResumeTiming();
        }
    }
    unsetenv("QUORIN_RECORD");
    std::remove(file.c_str());
    state.SetItemsProcessed(state.iterations() * EVENTS);
    state.counters["report_bytes"] = static_cast<double>(report.size());
}

// range(0): 0 a 64-byte notification packet, 1 an 853-byte card report.
void BM_Recorder_PostPerEvent(benchmark::State& state) {
    runRecorder(state, false);
}
BENCHMARK(BM_Recorder_PostPerEvent)->Arg(0)->Arg(1)->UseRealTime();

void BM_Recorder_WholePerEvent(benchmark::State& state) {
    runRecorder(state, true);
}
BENCHMARK(BM_Recorder_WholePerEvent)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace
