// Baseline variants that hand each report from the poll loop to another
// thread before the host's code sees it, as the library does with its
// callbacks: either a new thread per report, or one worker thread that
// waits on a condition variable. They tell the cost of the hand-off from the
// cost of the work around it.
//
// Threads: NEW_THREAD starts a detached thread per report; the destructor
// waits (bounded) until every one has recorded its arrival and left.
// WORKER owns one thread; the destructor stops and joins it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "Arrival.h"

namespace quorin_bench {

class ReportHandoff {
public:
    enum class Mode { NEW_THREAD, WORKER };

    ReportHandoff(Mode mode, Arrival& arrival);
    ~ReportHandoff();
    ReportHandoff(const ReportHandoff&) = delete;
    ReportHandoff& operator=(const ReportHandoff&) = delete;

    // A HidPoller handler; context is the ReportHandoff.
    static void handler(void* context, const unsigned char* data, int length);

private:
    void handOver();
    void work();

    const Mode m_mode;
    Arrival& m_arrival;
    std::mutex m_lock;  // guards m_pending, m_live and m_stop
    std::condition_variable m_changed;
    int m_pending = 0;  // reports the worker has not taken yet
    int m_live = 0;     // detached threads not yet finished
    bool m_stop = false;
    std::thread m_worker;
};

}  // namespace quorin_bench
