// The threads that run host callbacks and asynchronous command workers.
//
// Starting a thread costs tens of microseconds and, on a busy machine, a wait
// for a free CPU; a swipe launches a callback or two. So a thread that
// finished its job waits a while for the next one before it ends, and a job
// goes to such an idle thread when there is one, else to a new thread.
//
// The set never holds more than its bound of threads (MAX_THREADS for the
// process-wide set): a job handed over while every thread is busy waits in a
// queue, oldest first, and the next thread that finishes its job takes it. So
// a host whose callbacks block cannot make the library start threads until
// the system refuses them. A quarter of the bound is kept from the runners
// that take over from stalled callbacks (runSpare): whatever stalls, the
// jobs of run() find threads that stalls cannot take.
//
// Idle threads end after IDLE_LINGER; at once when trimIdle() is called (a
// reader was closed); after every job while lingering is off (no reader is
// open: a host that closed its readers finds no thread of ours left once
// their callbacks returned, late ones included); and for good when retire()
// is called (the library is being unloaded). Each thread is detached and
// holds nothing of the library's objects between jobs.
//
// Stop protocol: retire() refuses further jobs and wakes every idle thread;
// a thread ends when its job returns; retire() waits, bounded, until the
// count of threads is zero. Queued jobs not started by then are dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "api/CallbackJob.h"
#include "common/MutexLock.h"

namespace quorin {

class CallbackWorkers {
public:
    // How long a thread waits for another job before it ends.
    static constexpr std::chrono::milliseconds IDLE_LINGER{10000};
    // At most this many threads wait for jobs; more end when they finish.
    static constexpr int MAX_IDLE = 8;
    // At most this many threads of the process-wide set exist at a time.
    static constexpr int MAX_THREADS = 64;
    // Threads of a set that runSpare() leaves to run(): a quarter of the set.
    static constexpr int reservedFor(int maxThreads) { return maxThreads / 4; }

    // The process-wide set (never destroyed: a thread may still be leaving
    // it while the process exits).
    static CallbackWorkers& instance();
    // For the unload: retire(timeout) on the process-wide set when it was
    // ever made (true when none was, or none of its threads is left).
    static bool retireInstance(std::chrono::milliseconds timeout);

    explicit CallbackWorkers(int maxThreads = MAX_THREADS);
    // A set is destroyed only after retire() found no thread left.
    ~CallbackWorkers() = default;
    CallbackWorkers(const CallbackWorkers&) = delete;
    CallbackWorkers& operator=(const CallbackWorkers&) = delete;

    // Runs job on an idle thread, on a new detached thread, or, when the
    // bound is reached, queues it for the next thread that finishes. job must
    // not throw. Returns false (job not run) when the set is retired, or when
    // no thread exists and none could be started.
    bool run(CallbackJob job);
    // Runs job like run(), but only on a thread that leaves the set's
    // reserve (reservedFor(bound)) free for run(): false, job not taken,
    // when that many threads are busy already. For the runners that take
    // over from a stalled callback, so stalls never hold the whole set.
    bool runSpare(CallbackJob job);
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
    // Jobs waiting for a thread because every thread was busy.
    int queuedJobs();

private:
    // One thread waiting for a job: run() hands a job straight to it.
    struct Waiter {
        std::condition_variable wake;
        CallbackJob job;
        bool leave = false;  // end the thread instead of waiting on
    };

    // Runs the oldest queued job, then further queued jobs and the jobs
    // handed to this thread while it waits. epoch is m_epoch when the thread
    // was started.
    void workerLoop(unsigned long epoch);
    // Wakes every waiting thread to end (under m_lock).
    void releaseWaiters() REQUIRES(m_lock);

    // Both run() and runSpare(): false when refused (job untouched).
    bool start(CallbackJob& job, bool spare);

    const int m_maxThreads;
    const int m_reserved;
    Mutex m_lock;                    // guards every member below
    std::condition_variable m_gone;  // a thread ended
    // Threads waiting, the most recent last.
    std::vector<Waiter*> m_waiters GUARDED_BY(m_lock);
    // Jobs waiting for a thread, oldest first.
    std::deque<CallbackJob> m_queued GUARDED_BY(m_lock);
    int m_threads GUARDED_BY(m_lock) = 0;
    // Bumped by trimIdle() and when lingering stops.
    unsigned long m_epoch GUARDED_BY(m_lock) = 0;
    bool m_retired GUARDED_BY(m_lock) = false;
    bool m_linger GUARDED_BY(m_lock) = true;
};

}  // namespace quorin
