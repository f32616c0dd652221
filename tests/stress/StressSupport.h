// Helpers of the stress and fault tests: thread and memory figures of this
// process, and the iteration counts scaled for the build.
#pragma once

#include <chrono>
#include <cstddef>

#include "TestWait.h"

namespace quorin_test {

// Threads of this process before any test ran (counted at load).
int baselineThreads();
// Waits until at most n threads remain; the last count seen.
int waitForThreadsAtMost(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Resident memory of this process in KiB (VmRSS), or -1 when unknown.
long residentKiB();
// full, divided by the build's divisor (sanitizer builds run fewer rounds),
// at least 1. The environment variable named by overrideVar, when set to a
// positive number, wins.
int scaled(int full, const char* overrideVar = nullptr);
// True in builds with a sanitizer, whose memory figures say little.
bool sanitizedBuild();

}  // namespace quorin_test
