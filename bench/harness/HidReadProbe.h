// Clock readings around every hid_read of this process.
//
// The harness defines hid_read itself (HidReadProbe.cpp). The library objects
// linked into the executable, and the baseline pollers, therefore call the
// harness's hid_read, which forwards to the virtual bus's (the next definition
// in lookup order, libquorin-virtualhid) and, on the calling polling thread:
//  - counts every call (the idle polls);
//  - when the call returns a report, reads the wall clock and the thread's
//    CPU clock at the return;
//  - at that thread's next call, records the thread CPU time spent since the
//    return: all the work the polling thread did for that report (copying,
//    decoding, building the card-data text, handing it to the callback
//    thread) before it went back to polling.
// The cost of the readings (two clock reads per report, one counter per
// call) falls on the library and the baseline alike.
#pragma once

#include <cstdint>

namespace quorin_bench {

class HidReadProbe {
public:
    struct Delivery {
        uint64_t sequence = 0;
        int64_t returnWallNs = 0;  // when hid_read returned the report
        int64_t workCpuNs = -1;    // polling thread CPU from that return to its next hid_read
    };

    // hid_read calls made so far (any thread).
    static uint64_t calls();
    // Reports returned so far; the n-th report has sequence n.
    static uint64_t reports();
    // Waits up to timeoutMs for report `sequence` and its work figure.
    static bool waitForDelivery(uint64_t sequence, int timeoutMs, Delivery* out);
};

}  // namespace quorin_bench
