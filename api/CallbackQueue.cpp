#include "api/CallbackQueue.h"

#include <cxxabi.h>

#include <exception>
#include <utility>

#include "api/CallbackWatch.h"
#include "common/MutexLock.h"

namespace quorin {

namespace {
// The queue and runner whose job this thread runs.
thread_local CallbackQueue* t_queue = nullptr;
thread_local uint64_t t_runner = 0;
}  // namespace

std::shared_ptr<CallbackQueue> CallbackQueue::create(std::chrono::milliseconds stallBound,
                                                     CallbackWorkers& workers, size_t maxQueued,
                                                     int maxStalled) {
    return std::shared_ptr<CallbackQueue>(
        new CallbackQueue(stallBound, workers, maxQueued, maxStalled));
}

CallbackQueue::CallbackQueue(std::chrono::milliseconds stallBound, CallbackWorkers& workers,
                             size_t maxQueued, int maxStalled)
    : m_stallBound(stallBound),
      m_workers(workers),
      m_maxQueued(maxQueued),
      m_maxStalled(maxStalled > 0 ? maxStalled : 1) {}

CallbackQueue* CallbackQueue::current() {
    return t_queue;
}

// An exception out of a host callback is dropped; a forced unwind (thread
// cancellation or exit) must go on, since swallowing it aborts the process.
// The unwind carries no exception object, which the undefined-behaviour
// checker would take for a null reference, hence its exemption here.
__attribute__((no_sanitize("undefined"))) void CallbackQueue::runHostCode(void (*call)(void*),
                                                                          void* target) {
    try {
        call(target);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}

CallbackQueue::Posted CallbackQueue::post(CallbackJob job) {
    MutexLock guard(m_lock);
    if (m_closed) {
        return Posted::CLOSED;
    }
    if (m_jobs.size() >= m_maxQueued) {
        ++m_dropped;
        return Posted::DROPPED;
    }
    m_jobs.push_back(std::move(job));
    if (m_runner == 0) {
        if (!startRunner()) {
            m_jobs.pop_back();
            ++m_dropped;
            return Posted::DROPPED;
        }
        return Posted::QUEUED;
    }
    if (m_inJob && m_stallBound.count() > 0) {
        if (Clock::now() - m_jobStart >= m_stallBound) {
            stallHandOff();
        } else {
            watchStall();
        }
    }
    return Posted::QUEUED;
}

bool CallbackQueue::startRunner(bool spare) {
    uint64_t id = m_nextRunner++;
    std::shared_ptr<CallbackQueue> self = shared_from_this();
    CallbackJob runner([self, id] { self->runFrom(id); });
    if (!(spare ? m_workers.runSpare(std::move(runner)) : m_workers.run(std::move(runner)))) {
        return false;
    }
    m_runner = id;
    m_inJob = false;
    return true;
}

void CallbackQueue::handOff() {
    // The running job keeps its thread; from now on it holds nothing back.
    m_runner = 0;
    m_inJob = false;
    if (!m_jobs.empty() && !startRunner()) {
        // No thread now: the jobs wait for the stalled one's runner, which
        // takes them again when its job returns.
        m_runner = 0;
    }
}

void CallbackQueue::stallHandOff() {
    // The running job counts among the stalled ones once it is handed off.
    if (m_running <= m_maxStalled && startRunner(true)) {
        // The stalled job keeps its thread; from now on it holds nothing
        // back.
        return;
    }
    // Over this queue's share, or the set's threads beyond its reserve are
    // busy: the stalled runner stays in charge, and the watch looks again.
    watchStall(Clock::now() + m_stallBound);
}

void CallbackQueue::watchStall(Clock::time_point due) {
    if (m_watched || m_jobs.empty() || !m_inJob) {
        return;
    }
    m_watched = true;
    if (due == Clock::time_point()) {
        due = m_jobStart + m_stallBound;
    }
    CallbackWatch::instance().watch(shared_from_this(), due);
}

void CallbackQueue::checkStall() {
    MutexLock guard(m_lock);
    m_watched = false;
    if (!m_inJob || m_jobs.empty()) {
        return;
    }
    if (Clock::now() - m_jobStart >= m_stallBound) {
        stallHandOff();
    } else {
        watchStall();
    }
}

void CallbackQueue::runFrom(uint64_t runner) {
    UniqueLock lock(m_lock);
    if (m_runner == 0 && !m_jobs.empty()) {
        // Handed off while no thread could be had: this runner takes charge
        // again.
        m_runner = runner;
    }
    while (m_runner == runner && !m_jobs.empty()) {
        CallbackJob job = m_jobs.take_front();
        m_inJob = true;
        m_jobStart = Clock::now();
        ++m_running;
        if (m_stallBound.count() > 0) {
            watchStall();
        }
        lock.unlock();
        {
            // Marks the thread for drain() and CloseDeviceEx, and undoes it
            // however the job ends.
            struct Mark {
                CallbackQueue* queue;
                uint64_t runner;
                Mark(CallbackQueue* q, uint64_t r) : queue(t_queue), runner(t_runner) {
                    t_queue = q;
                    t_runner = r;
                }
                ~Mark() {
                    t_queue = queue;
                    t_runner = runner;
                }
            } mark(this, runner);
            struct Count {
                CallbackQueue& queue;
                uint64_t runner;
                ~Count() {
                    MutexLock guard(queue.m_lock);
                    --queue.m_running;
                    if (std::uncaught_exceptions() > 0 && queue.m_runner == runner) {
                        // The host ended this thread inside its callback
                        // (thread exit or cancellation): the rest of the
                        // queue goes on elsewhere.
                        queue.handOff();
                    }
                    queue.m_idle.notify_all();
                }
            } count{*this, runner};
            runHostCode([](void* target) { (*static_cast<CallbackJob*>(target))(); }, &job);
            // What the job captured goes before it counts as returned.
            job = nullptr;
        }
        lock.lock();
        if (m_runner != runner) {
            break;  // handed off while the job ran: the new runner goes on
        }
        m_inJob = false;
    }
    if (m_runner == runner) {
        m_runner = 0;
        m_inJob = false;
        if (m_watched) {
            // Nothing waits any more: the watch need not stay up for this
            // queue's deadline (it ends when no look is left).
            m_watched = false;
            CallbackWatch::instance().unwatch(this);
        }
    } else if (m_runner == 0 && !m_jobs.empty()) {
        // Handed off, but no thread could be had then: go on here.
        lock.unlock();
        runFrom(runner);
        return;
    }
    m_idle.notify_all();
}

void CallbackQueue::close() {
    MutexLock guard(m_lock);
    m_closed = true;
}

void CallbackQueue::drain() {
    UniqueLock lock(m_lock);
    int own = 0;
    if (t_queue == this) {
        own = 1;
        if (m_runner == t_runner) {
            // Closing from inside one of this queue's callbacks: the rest
            // goes on on another thread, this one waits for it.
            handOff();
        }
    }
    m_idle.wait(lock.native(), [&]() REQUIRES(m_lock) {
        return m_jobs.empty() && m_runner == 0 && m_running <= own;
    });
}

bool CallbackQueue::abandon(std::chrono::milliseconds timeout) {
    JobRing unrun;
    UniqueLock lock(m_lock);
    m_closed = true;
    unrun.swap(m_jobs);
    const int own = t_queue == this ? 1 : 0;
    lock.unlock();
    // Dropped outside the lock: what they captured may take locks of its own.
    JobRing().swap(unrun);
    lock.lock();
    return m_idle.wait_for(lock.native(), timeout,
                           [&]() REQUIRES(m_lock) { return m_running <= own; });
}

bool CallbackQueue::waitEmpty(std::chrono::milliseconds timeout) {
    UniqueLock lock(m_lock);
    return m_idle.wait_for(lock.native(), timeout, [&]() REQUIRES(m_lock) {
        return m_jobs.empty() && m_runner == 0 && m_running == 0;
    });
}

unsigned long CallbackQueue::dropped() {
    MutexLock guard(m_lock);
    return m_dropped;
}

size_t CallbackQueue::pending() {
    MutexLock guard(m_lock);
    return m_jobs.size() + static_cast<size_t>(m_running);
}

}  // namespace quorin
