#include "IdleScenario.h"

#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Clock.h"
#include "HidPoller.h"
#include "HidReadProbe.h"
#include "Quorin.h"
#include "virtualhid/VirtualHid.h"

namespace quorin_bench {

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PID = 0x11;
constexpr int MAX_READERS = 16;
constexpr int SETTLE_MS = 300;

void ignoreReport(void* /*context*/, const unsigned char* /*data*/, int /*length*/) {}

struct Window {
    double cpuUsPerSecond;     // process CPU minus the main thread's, per wall second
    double pollsPerSecond;     // hid_read calls per wall second
    double switchesPerSecond;  // context switches of the process per wall second
};

long contextSwitches() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// Measures one window during which the main thread only sleeps.
Window measure(int64_t windowNs) {
    int64_t wall0 = wallNs();
    int64_t process0 = processCpuNs();
    int64_t main0 = threadCpuNs();
    uint64_t calls0 = HidReadProbe::calls();
    long switches0 = contextSwitches();
    sleepNs(windowNs);
    long switches1 = contextSwitches();
    uint64_t calls1 = HidReadProbe::calls();
    int64_t main1 = threadCpuNs();
    int64_t process1 = processCpuNs();
    int64_t wall1 = wallNs();
    double seconds = static_cast<double>(wall1 - wall0) / 1e9;
    Window w;
    w.cpuUsPerSecond = static_cast<double>((process1 - process0) - (main1 - main0)) / 1e3 / seconds;
    w.pollsPerSecond = static_cast<double>(calls1 - calls0) / seconds;
    // The main thread's own sleep is one voluntary switch per window.
    w.switchesPerSecond = static_cast<double>(switches1 - switches0 - 1) / seconds;
    return w;
}

struct Side {
    SampleSet cpuPerReader;
    SampleSet pollsPerReader;
    SampleSet switchesPerReader;
};

void record(Side& side, const Window& w, int readers) {
    side.cpuPerReader.add(w.cpuUsPerSecond / readers);
    side.pollsPerReader.add(w.pollsPerSecond / readers);
    side.switchesPerReader.add(w.switchesPerSecond / readers);
}

}  // namespace

ScenarioResult IdleScenario::run() {
    ScenarioResult result;
    result.number = 2;
    result.key = "idle";
    result.title = "Idle cost of open readers (Ex API) vs hidapi poll threads";

    auto& bus = quorin_sim::VirtualHid::instance();
    bus.reset();
    std::vector<std::shared_ptr<quorin_sim::VirtualReader>> readers;
    for (int i = 0; i < MAX_READERS; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof(serial), "BENCHIDLE%02d", i);
        readers.push_back(bus.plug(VID, PID, std::string(serial)));
    }

    // Library and baseline alternate round by round, so a slow stretch of the
    // machine weighs on both sides alike.
    const int rounds = m_options.pick(5, 2);
    const int windowsPerRound = m_options.pick(2, 1);
    const int64_t windowNs = m_options.quick ? 500000000LL : 1000000000LL;
    char text[512];
    for (int count : {1, 4, 16}) {
        progress("[2] idle: %d reader(s), %d rounds of %d window(s) of %lld ms per side", count,
                 rounds, windowsPerRound, static_cast<long long>(windowNs / 1000000));
        Side library;
        Side baseline;
        bool opened = true;
        for (int round = 0; round < rounds && opened; ++round) {
            std::vector<unsigned long> handles;
            for (int i = 0; i < count; ++i) {
                char path[32];
                std::snprintf(path, sizeof(path), "HID://BENCHIDLE%02d", i);
                unsigned long handle = OpenDeviceEx(path);
                if (handle == 0) {
                    opened = false;
                    break;
                }
                handles.push_back(handle);
            }
            if (opened) {
                sleepNs(SETTLE_MS * 1000000LL);
                for (int w = 0; w < windowsPerRound; ++w) {
                    record(library, measure(windowNs), count);
                }
            }
            for (unsigned long handle : handles) {
                CloseDeviceEx(handle);
            }
            if (!opened) {
                break;
            }

            std::vector<std::unique_ptr<HidPoller>> pollers;
            for (int i = 0; i < count; ++i) {
                pollers.push_back(
                    std::make_unique<HidPoller>(readers[i]->path(), ignoreReport, nullptr));
            }
            sleepNs(SETTLE_MS * 1000000LL);
            for (int w = 0; w < windowsPerRound; ++w) {
                record(baseline, measure(windowNs), count);
            }
            pollers.clear();
        }
        if (!opened) {
            result.error = "OpenDeviceEx failed on a virtual reader";
            break;
        }
        Metric cpu;
        cpu.name = "idle CPU per reader, " + std::to_string(count) + " reader(s) open";
        cpu.unit = "us CPU per s";
        cpu.value = library.cpuPerReader.summary();
        cpu.baselineName = "baseline (" + std::to_string(count) + " poll thr.)";
        cpu.baseline = baseline.cpuPerReader.summary();
        cpu.check = Check::RATIO_AT_MOST;
        cpu.limit = 1.2;
        result.metrics.push_back(cpu);
        Summary lp = library.pollsPerReader.summary();
        Summary bp = baseline.pollsPerReader.summary();
        Summary ls = library.switchesPerReader.summary();
        Summary bs = baseline.switchesPerReader.summary();
        std::snprintf(text, sizeof(text),
                      "%d reader(s): hid_read calls per s per reader: library %.1f, baseline %.1f; "
                      "context switches per s per reader: library %.1f, baseline %.1f (medians)",
                      count, lp.median, bp.median, ls.median, bs.median);
        result.notes.push_back(text);
    }
    result.notes.push_back(
        "CPU: process CPU clock minus the main thread's CPU clock over each window, per wall "
        "second, divided by the number of readers; the main thread only sleeps in a window, and "
        "no other harness thread runs");
    bus.reset();
    return result;
}

}  // namespace quorin_bench
