// Where a receiver records that a report reached the host's code: the time
// and the CPU time the thread it ran on spent to get there: since the thread
// started, or, on a thread that already delivered an arrival (the library
// reuses its callback threads), since it left that one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "Clock.h"

namespace quorin_bench {

struct Arrival {
    std::mutex lock;
    std::condition_variable changed;
    uint64_t count = 0;
    int64_t lastWallNs = 0;
    int64_t lastThreadCpuNs = 0;  // CPU of the arriving thread up to arrival
    std::string firstText;        // the first text handed over, when there is one

    // Called by the receiving code first thing.
    void arrive(const char* text = nullptr) {
        int64_t wall = wallNs();
        int64_t cpu = threadCpuNs() - cpuAtLastDeparture();
        {
            std::lock_guard<std::mutex> guard(lock);
            lastWallNs = wall;
            lastThreadCpuNs = cpu;
            if (count == 0 && text != nullptr) {
                firstText = text;
            }
            ++count;
        }
        changed.notify_all();
        cpuAtLastDeparture() = threadCpuNs();
    }

    static int64_t& cpuAtLastDeparture() {
        static thread_local int64_t departure = 0;
        return departure;
    }

    uint64_t arrivals() {
        std::lock_guard<std::mutex> guard(lock);
        return count;
    }

    // Waits until `n` arrivals were recorded; the last one's readings.
    bool waitFor(uint64_t n, int timeoutMs, int64_t* wall, int64_t* cpu) {
        std::unique_lock<std::mutex> guard(lock);
        if (!changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                              [&] { return count >= n; })) {
            return false;
        }
        *wall = lastWallNs;
        *cpu = lastThreadCpuNs;
        return true;
    }
};

}  // namespace quorin_bench
