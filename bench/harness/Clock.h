// Clocks of the timing harness, in nanoseconds.
#pragma once

#include <time.h>

#include <cstdint>

namespace quorin_bench {

inline int64_t clockNs(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Monotonic wall time (the clock std::chrono::steady_clock reads).
inline int64_t wallNs() {
    return clockNs(CLOCK_MONOTONIC);
}

// CPU time of the calling thread.
inline int64_t threadCpuNs() {
    return clockNs(CLOCK_THREAD_CPUTIME_ID);
}

// CPU time of the whole process (all threads, live and ended).
inline int64_t processCpuNs() {
    return clockNs(CLOCK_PROCESS_CPUTIME_ID);
}

// Sleeps for the given time; a signal does not cut it short.
inline void sleepNs(int64_t ns) {
    if (ns <= 0) {
        return;
    }
    struct timespec left;
    left.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    left.tv_nsec = static_cast<long>(ns % 1000000000LL);
    while (nanosleep(&left, &left) != 0) {
    }
}

}  // namespace quorin_bench
