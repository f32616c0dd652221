// The threads that run host callbacks and asynchronous command workers.
//
// Starting a thread costs tens of microseconds and, on a busy machine, a wait
// for a free CPU; a swipe launches two or three callbacks. So a thread that
// finished its job waits a while for the next one before it ends, and a job
// goes to such an idle thread when there is one, else to a new thread. Jobs
// still never wait for each other: a job that blocks keeps its thread, and
// the next job gets another.
//
// Idle threads end after IDLE_LINGER; at once when trimIdle() is called (a
// reader was closed); after every job while lingering is off (no reader is
// open: a host that closed its readers finds no thread of ours left once
// their callbacks returned, late ones included); and for good when retire()
// is called (the library is being unloaded). Each thread is detached and
// holds nothing of the library's objects between jobs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "api/CallbackJob.h"

namespace quorin {

class CallbackWorkers {
public:
    // How long a thread waits for another job before it ends.
    static constexpr std::chrono::milliseconds IDLE_LINGER{10000};
    // At most this many threads wait for jobs; more end when they finish.
    static constexpr int MAX_IDLE = 8;

    // The process-wide set (never destroyed: a thread may still be leaving
    // it while the process exits).
    static CallbackWorkers& instance();

    CallbackWorkers() = default;
    // A set is destroyed only after retire() found no thread left.
    ~CallbackWorkers() = default;
    CallbackWorkers(const CallbackWorkers&) = delete;
    CallbackWorkers& operator=(const CallbackWorkers&) = delete;

    // Runs job on an idle thread, or on a new detached thread. job must not
    // throw. Returns false (job not run) when no thread could be started or
    // the set is retired.
    bool run(CallbackJob job);
    // Ends the idle threads now, and each thread running a job when that job
    // returns. Later jobs get threads as before.
    void trimIdle();
    // Whether a thread that finished its job waits for another (on by
    // default). Turning it off also ends the threads waiting now.
    void setLinger(bool linger);
    // Ends the idle threads and refuses further jobs; waits, at most timeout,
    // until no thread of the set is left. True when none is.
    bool retire(std::chrono::milliseconds timeout);
    // Threads alive (idle or running a job).
    int threads();
    // Threads waiting for a job.
    int idleThreads();

private:
    // Runs job, then the jobs handed to this thread while it waits. epoch is
    // m_epoch when the job was handed over.
    void workerLoop(CallbackJob job, unsigned long epoch);

    std::mutex m_lock;               // guards every member below
    std::condition_variable m_wake;  // a job was queued, or retire() was called
    std::condition_variable m_gone;  // a thread ended
    // Jobs handed to waiting threads, each with m_epoch when it was queued,
    // from m_nextJob on. The storage is kept when the queue runs empty.
    std::vector<std::pair<CallbackJob, unsigned long>> m_jobs;
    size_t m_nextJob = 0;
    int m_idle = 0;  // threads waiting, less the jobs queued for them
    int m_threads = 0;
    int m_waiting = 0;          // threads inside the wait for a job
    unsigned long m_epoch = 0;  // bumped by trimIdle()
    bool m_retired = false;
    bool m_linger = true;
};

}  // namespace quorin
