// Looks at callback queues whose running callback may hold others back, at
// the moment it would have run too long (CallbackQueue::STALL_BOUND).
//
// A queue asks for a look only when callbacks wait behind a running one, so
// a host whose callbacks return quickly costs the watch nothing. The watch
// runs as a job on CallbackWorkers while looks are pending and sleeps until
// the earliest one is due; with none pending it ends, so no thread of it is
// left behind.
//
// Lock: m_lock guards the list and m_running. A queue may ask while holding
// its own lock (lock order: queue, then watch); the watch never holds its
// lock while looking at a queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "common/MutexLock.h"

namespace quorin {

class CallbackQueue;

class CallbackWatch {
public:
    using Clock = std::chrono::steady_clock;

    // The process-wide watch (never destroyed).
    static CallbackWatch& instance();

    // Calls queue->checkStall() at deadline, unless the queue is gone by then.
    void watch(const std::shared_ptr<CallbackQueue>& queue, Clock::time_point deadline);
    // Drops the pending looks at queue (it has nothing waiting any more);
    // the watch job ends at once when no look is left.
    void unwatch(const CallbackQueue* queue);
    // For unloading: drops every pending look, which ends the watch job.
    // Makes nothing when no look was ever asked for.
    static void retireInstance();

private:
    struct Look {
        Clock::time_point deadline;
        std::weak_ptr<CallbackQueue> queue;
        const CallbackQueue* raw;  // for unwatch; never dereferenced
    };

    void run();

    Mutex m_lock;
    std::condition_variable m_wake;  // an earlier look was asked for
    std::vector<Look> m_looks GUARDED_BY(m_lock);
    bool m_running GUARDED_BY(m_lock) = false;  // the watch job runs
};

}  // namespace quorin
