// The callbacks of one delegate (one reader), run in the order their events
// arrived, one after the other, on threads of CallbackWorkers.
//
// A queue has at most one runner: a job on a worker thread that takes the
// queued callbacks oldest first and runs each after the previous one
// returned. Nothing runs on the thread that posts (the receiving thread
// never calls the host).
//
// A host callback that blocks must not hold its reader's other callbacks back
// for ever (a host that waits inside a callback for the next event would
// deadlock): a callback still running STALL_BOUND after it started stops
// holding back the ones queued behind it, which go on, in order, with a new
// runner on another thread. CallbackWatch notices the stall when nothing else
// does. The stalled callback keeps its thread until it returns. A stalled
// sequence never takes the shared worker set: a queue hands on only while
// at most MAX_STALLED of its callbacks run (so it holds at most
// MAX_STALLED + 1 threads), and the new runner only gets a thread that
// leaves the set's reserve free (CallbackWorkers::runSpare). When neither
// allows it, the callbacks behind wait until a stalled one returns, and the
// watch looks again every stall bound. A queue with nothing running starts
// its runner with CallbackWorkers::run, which may use the reserve.
//
// Bounds: at most MAX_QUEUED callbacks wait in one queue. A post beyond that,
// or one for which no thread can be had at all, is refused and counted
// (dropped()); the caller reports it to the host. Nothing is dropped
// silently.
//
// Closing: close() refuses further posts; drain() waits until every callback
// posted before it has returned, except the one the calling thread is running
// (a close from inside a callback of this queue hands the rest to another
// runner and waits for them); abandon() drops what has not started and waits,
// bounded, for what runs (for unloading).
//
// Lock: m_lock guards the state below; no host code runs under it. Lock
// order: a queue's m_lock, then CallbackWatch's, then CallbackWorkers'; the
// watch and the workers never call into a queue while holding their own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "api/CallbackJob.h"
#include "api/CallbackWorkers.h"
#include "common/MutexLock.h"

namespace quorin {

class CallbackQueue : public std::enable_shared_from_this<CallbackQueue> {
public:
    static constexpr std::chrono::milliseconds STALL_BOUND{1000};
    static constexpr size_t MAX_QUEUED = 4096;
    // Callbacks of one queue that may run at a time after stalls.
    static constexpr int MAX_STALLED = 8;

    enum class Posted {
        QUEUED,   // the job will run
        CLOSED,   // the queue is closed: the job was not taken (not an error)
        DROPPED,  // refused (queue full, or no thread at all): counted
    };

    // stallBound: how long a running job may hold back the ones behind it;
    // zero means for ever (for jobs that are not host callbacks).
    static std::shared_ptr<CallbackQueue> create(
        std::chrono::milliseconds stallBound = STALL_BOUND,
        CallbackWorkers& workers = CallbackWorkers::instance(), size_t maxQueued = MAX_QUEUED,
        int maxStalled = MAX_STALLED);

    CallbackQueue(const CallbackQueue&) = delete;
    CallbackQueue& operator=(const CallbackQueue&) = delete;

    // Queues job behind the ones posted before. job must not throw; what the
    // host code inside it throws is dropped (a forced unwind goes on).
    Posted post(CallbackJob job);
    // Refuses further posts.
    void close();
    // Waits until every job posted before has returned, except the one the
    // calling thread is running. No time limit.
    void drain();
    // Refuses further posts, drops the jobs not started, and waits until the
    // running ones (but the caller's own) returned, at most timeout. True
    // when none runs.
    bool abandon(std::chrono::milliseconds timeout);
    // Waits, at most timeout, until nothing is queued or running. True then.
    bool waitEmpty(std::chrono::milliseconds timeout);
    // Posts refused because the queue was full or no thread could be had.
    unsigned long dropped();
    // Jobs running or queued.
    size_t pending();

    // The queue whose job the calling thread is running, or null.
    static CallbackQueue* current();

    // Called by CallbackWatch at a deadline this queue asked for: hands the
    // queue on when its running job stalled, else asks again for the stall
    // deadline of the job running now.
    void checkStall();

private:
    CallbackQueue(std::chrono::milliseconds stallBound, CallbackWorkers& workers, size_t maxQueued,
                  int maxStalled);

    using Clock = std::chrono::steady_clock;

    // A first-in first-out ring of jobs that keeps its storage when it runs
    // empty: posting a callback allocates nothing once the ring has grown to
    // the reader's usual backlog (a deque would take and free a block every
    // few callbacks).
    class JobRing {
    public:
        bool empty() const { return m_count == 0; }
        size_t size() const { return m_count; }
        void push_back(CallbackJob job) {
            if (m_count == m_slots.size()) {
                grow();
            }
            m_slots[(m_head + m_count) % m_slots.size()] = std::move(job);
            ++m_count;
        }
        void pop_back() {
            --m_count;
            m_slots[(m_head + m_count) % m_slots.size()] = nullptr;
        }
        // Removes and returns the oldest job. Precondition: not empty.
        CallbackJob take_front() {
            CallbackJob job = std::move(m_slots[m_head]);
            m_head = (m_head + 1) % m_slots.size();
            --m_count;
            return job;
        }
        void swap(JobRing& other) noexcept {
            m_slots.swap(other.m_slots);
            std::swap(m_head, other.m_head);
            std::swap(m_count, other.m_count);
        }

    private:
        void grow() {
            std::vector<CallbackJob> bigger(m_slots.empty() ? 8 : 2 * m_slots.size());
            for (size_t i = 0; i < m_count; ++i) {
                bigger[i] = std::move(m_slots[(m_head + i) % m_slots.size()]);
            }
            m_slots.swap(bigger);
            m_head = 0;
        }

        std::vector<CallbackJob> m_slots;
        size_t m_head = 0;
        size_t m_count = 0;
    };

    // Takes jobs until the queue is empty or another runner took over.
    void runFrom(uint64_t runner);
    // Starts a runner (under m_lock). False when no thread could be had;
    // spare: only on a thread beyond the worker set's reserve.
    bool startRunner(bool spare = false) REQUIRES(m_lock);
    // A new runner takes over from the running one, which ends when its job
    // returns (under m_lock).
    void handOff() REQUIRES(m_lock);
    // Hands on from a running job that stalled, within the bounds above;
    // else asks the watch to look again a stall bound later (under m_lock).
    void stallHandOff() REQUIRES(m_lock);
    // Asks CallbackWatch for a look at the stall deadline of the running job
    // (or at due, when given) when jobs wait behind it (under m_lock).
    void watchStall(Clock::time_point due = Clock::time_point()) REQUIRES(m_lock);
    // Runs host code through call(target): drops what it throws, lets a
    // forced unwind through.
    static void runHostCode(void (*call)(void*), void* target);

    const std::chrono::milliseconds m_stallBound;
    CallbackWorkers& m_workers;
    const size_t m_maxQueued;
    const int m_maxStalled;

    Mutex m_lock;                    // guards every member below
    std::condition_variable m_idle;  // a job returned, or a runner ended
    JobRing m_jobs GUARDED_BY(m_lock);
    // Id of the runner in charge; 0 when none.
    uint64_t m_runner GUARDED_BY(m_lock) = 0;
    uint64_t m_nextRunner GUARDED_BY(m_lock) = 1;
    // The runner in charge is running a job, started at m_jobStart.
    bool m_inJob GUARDED_BY(m_lock) = false;
    Clock::time_point m_jobStart GUARDED_BY(m_lock);
    // Jobs running, stalled ones included.
    int m_running GUARDED_BY(m_lock) = 0;
    bool m_closed GUARDED_BY(m_lock) = false;
    // A look by CallbackWatch is pending.
    bool m_watched GUARDED_BY(m_lock) = false;
    unsigned long m_dropped GUARDED_BY(m_lock) = 0;
};

}  // namespace quorin
