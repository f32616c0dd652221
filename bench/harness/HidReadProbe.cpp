#include "HidReadProbe.h"

#include <dlfcn.h>
#include <hidapi/hidapi.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "Clock.h"

namespace quorin_bench {

namespace {

using ReadFunction = int (*)(hid_device*, unsigned char*, size_t);

constexpr size_t RING = 64;

std::atomic<uint64_t> g_calls{0};

std::mutex g_lock;  // guards g_reports and g_ring
std::condition_variable g_changed;
uint64_t g_reports = 0;
std::array<HidReadProbe::Delivery, RING> g_ring;

// Per polling thread: the report whose work is being timed.
thread_local uint64_t t_pendingSequence = 0;
thread_local int64_t t_cpuAtReturn = 0;

ReadFunction realRead() {
    static const ReadFunction real = [] {
        auto fn = reinterpret_cast<ReadFunction>(dlsym(RTLD_NEXT, "hid_read"));
        if (fn == nullptr) {
            std::fprintf(stderr, "quorin_timing: no hid_read after the harness's own\n");
            std::abort();
        }
        return fn;
    }();
    return real;
}

int probedRead(hid_device* dev, unsigned char* data, size_t length) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    if (t_pendingSequence != 0) {
        int64_t work = threadCpuNs() - t_cpuAtReturn;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            HidReadProbe::Delivery& d = g_ring[t_pendingSequence % RING];
            if (d.sequence == t_pendingSequence) {
                d.workCpuNs = work;
            }
        }
        g_changed.notify_all();
        t_pendingSequence = 0;
    }
    int n = realRead()(dev, data, length);
    if (n > 0) {
        int64_t wall = wallNs();
        t_cpuAtReturn = threadCpuNs();
        std::lock_guard<std::mutex> guard(g_lock);
        uint64_t sequence = ++g_reports;
        HidReadProbe::Delivery& d = g_ring[sequence % RING];
        d.sequence = sequence;
        d.returnWallNs = wall;
        d.workCpuNs = -1;
        t_pendingSequence = sequence;
    }
    return n;
}

}  // namespace

uint64_t HidReadProbe::calls() {
    return g_calls.load(std::memory_order_relaxed);
}

uint64_t HidReadProbe::reports() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_reports;
}

bool HidReadProbe::waitForDelivery(uint64_t sequence, int timeoutMs, Delivery* out) {
    std::unique_lock<std::mutex> lock(g_lock);
    bool ready = g_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        const Delivery& d = g_ring[sequence % RING];
        return d.sequence != sequence ? g_reports >= sequence + RING : d.workCpuNs >= 0;
    });
    const Delivery& d = g_ring[sequence % RING];
    if (!ready || d.sequence != sequence) {
        return false;
    }
    *out = d;
    return true;
}

}  // namespace quorin_bench

// The definition the library objects and the baseline pollers bind to.
extern "C" int hid_read(hid_device* dev, unsigned char* data, size_t length) {
    return quorin_bench::probedRead(dev, data, length);
}
