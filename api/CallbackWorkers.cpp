#include "api/CallbackWorkers.h"

#include <atomic>
#include <thread>
#include <utility>

#include "common/MutexLock.h"

namespace quorin {

namespace {
std::atomic<CallbackWorkers*> g_workers{nullptr};
}

CallbackWorkers& CallbackWorkers::instance() {
    static auto* workers = [] {
        auto* made = new CallbackWorkers();
        // No reader is open yet.
        made->setLinger(false);
        g_workers.store(made);
        return made;
    }();
    return *workers;
}

bool CallbackWorkers::retireInstance(std::chrono::milliseconds timeout) {
    // Making the set now, at unload, would only leak it.
    CallbackWorkers* workers = g_workers.load();
    return workers == nullptr || workers->retire(timeout);
}

CallbackWorkers::CallbackWorkers(int maxThreads)
    : m_maxThreads(maxThreads > 0 ? maxThreads : 1), m_reserved(reservedFor(m_maxThreads)) {}

bool CallbackWorkers::run(CallbackJob job) {
    return start(job, false);
}

bool CallbackWorkers::runSpare(CallbackJob job) {
    return start(job, true);
}

bool CallbackWorkers::start(CallbackJob& job, bool spare) {
    Waiter* waiter = nullptr;
    unsigned long epoch = 0;
    {
        MutexLock guard(m_lock);
        if (m_retired) {
            return false;
        }
        const int busy = m_threads - static_cast<int>(m_waiters.size());
        if (spare && (busy >= m_maxThreads - m_reserved || !m_queued.empty())) {
            return false;
        }
        if (!m_waiters.empty()) {
            // The thread that waited least is the one most likely still in
            // cache.
            waiter = m_waiters.back();
            m_waiters.pop_back();
            waiter->job = std::move(job);
        } else {
            // Queued first: a new thread starts by taking the oldest queued
            // job, and if it cannot be started the job still runs on the
            // next thread that finishes.
            m_queued.push_back(std::move(job));
            if (m_threads >= m_maxThreads) {
                return true;
            }
            ++m_threads;
            epoch = m_epoch;
        }
    }
    if (waiter != nullptr) {
        // Woken outside the lock, so the thread does not wake only to wait
        // for it.
        waiter->wake.notify_one();
        return true;
    }
    try {
        std::thread([this, epoch] { workerLoop(epoch); }).detach();
        return true;
    } catch (...) {
        CallbackJob unrun;
        {
            MutexLock guard(m_lock);
            --m_threads;
            m_gone.notify_all();
            if (m_threads > 0 || m_queued.empty()) {
                return true;  // a running thread takes the job when it finishes
            }
            unrun = std::move(m_queued.back());
            m_queued.pop_back();
        }
        return false;
    }
}

void CallbackWorkers::workerLoop(unsigned long epoch) {
    // Counts the thread out however it ends, a forced unwind out of a host
    // callback (thread cancellation, pthread_exit) included.
    struct Gone {
        CallbackWorkers& set;
        ~Gone() {
            // Notified under the lock: once retire() sees no thread left, no
            // thread touches the set any more.
            MutexLock guard(set.m_lock);
            --set.m_threads;
            set.m_gone.notify_all();
        }
    } gone{*this};
    Waiter waiter;
    CallbackJob job;
    for (;;) {
        if (job) {
            job();
            // What the job captured (a reader, a queue) goes now, not when
            // the thread ends.
            job = nullptr;
        }
        UniqueLock lock(m_lock);
        if (!m_queued.empty() && !m_retired) {
            // Jobs that found every thread busy come first, even on a thread
            // that would otherwise end now.
            job = std::move(m_queued.front());
            m_queued.pop_front();
            continue;
        }
        // A trim while the job ran ends this thread too: it may have been
        // one of a closed reader's callbacks.
        if (m_retired || !m_linger || m_epoch != epoch ||
            static_cast<int>(m_waiters.size()) >= MAX_IDLE) {
            return;
        }
        waiter.leave = false;
        m_waiters.push_back(&waiter);
        waiter.wake.wait_for(lock.native(), IDLE_LINGER,
                             [&]() REQUIRES(m_lock) { return waiter.job || waiter.leave; });
        if (waiter.job) {
            job = std::move(waiter.job);
            continue;
        }
        if (!waiter.leave) {
            // Timed out: nobody handed a job over, so the waiter is still
            // listed.
            for (auto it = m_waiters.begin(); it != m_waiters.end(); ++it) {
                if (*it == &waiter) {
                    m_waiters.erase(it);
                    break;
                }
            }
        }
        return;
    }
}

void CallbackWorkers::releaseWaiters() {
    for (Waiter* waiter : m_waiters) {
        waiter->leave = true;
        waiter->wake.notify_one();
    }
    m_waiters.clear();
}

void CallbackWorkers::trimIdle() {
    MutexLock guard(m_lock);
    ++m_epoch;
    releaseWaiters();
}

void CallbackWorkers::setLinger(bool linger) {
    MutexLock guard(m_lock);
    m_linger = linger;
    if (!linger) {
        ++m_epoch;
        releaseWaiters();
    }
}

bool CallbackWorkers::retire(std::chrono::milliseconds timeout) {
    UniqueLock lock(m_lock);
    m_retired = true;
    // Dropped outside the lock: what the jobs captured may take locks of
    // its own when it goes.
    std::deque<CallbackJob> unrun;
    unrun.swap(m_queued);
    releaseWaiters();
    lock.unlock();
    unrun.clear();
    lock.lock();
    return m_gone.wait_for(lock.native(), timeout,
                           [&]() REQUIRES(m_lock) { return m_threads == 0; });
}

int CallbackWorkers::threads() {
    MutexLock guard(m_lock);
    return m_threads;
}

int CallbackWorkers::idleThreads() {
    MutexLock guard(m_lock);
    return static_cast<int>(m_waiters.size());
}

int CallbackWorkers::queuedJobs() {
    MutexLock guard(m_lock);
    return static_cast<int>(m_queued.size());
}

}  // namespace quorin
