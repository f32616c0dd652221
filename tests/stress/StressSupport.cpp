#include "StressSupport.h"

#include <cstdlib>
#include <fstream>
#include <string>

#include "TestWait.h"

#ifndef QUORIN_STRESS_DIVISOR
#define QUORIN_STRESS_DIVISOR 1
#endif
#ifndef QUORIN_STRESS_SANITIZED
#define QUORIN_STRESS_SANITIZED 0
#endif

namespace quorin_test {

namespace {
const int g_baseline = threadCount();
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer's runtime starts a thread of its own with the first thread
// the process creates, and keeps it.
constexpr int RUNTIME_THREADS = 1;
#else
constexpr int RUNTIME_THREADS = 0;
#endif
}  // namespace

int baselineThreads() {
    return g_baseline + RUNTIME_THREADS;
}

int waitForThreadsAtMost(int n, std::chrono::milliseconds timeout) {
    int last = threadCount();
    waitUntil(
        [&] {
            last = threadCount();
            return last <= n;
        },
        timeout);
    return last;
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

int scaled(int full, const char* overrideVar) {
    if (overrideVar != nullptr) {
        const char* text = std::getenv(overrideVar);
        if (text != nullptr && std::atoi(text) > 0) {
            return std::atoi(text);
        }
    }
    const int n = full / QUORIN_STRESS_DIVISOR;
    return n > 0 ? n : 1;
}

bool sanitizedBuild() {
    return QUORIN_STRESS_SANITIZED != 0;
}

}  // namespace quorin_test
