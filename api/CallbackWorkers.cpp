#include "api/CallbackWorkers.h"

#include <thread>
#include <utility>

namespace quorin {

CallbackWorkers& CallbackWorkers::instance() {
    static auto* workers = [] {
        auto* made = new CallbackWorkers();
        // No reader is open yet.
        made->setLinger(false);
        return made;
    }();
    return *workers;
}

bool CallbackWorkers::run(CallbackJob job) {
    unsigned long epoch = 0;
    bool queued = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_retired) {
            return false;
        }
        if (m_idle > 0) {
            // Every queued job has a waiting thread of its own: a thread
            // leaves the wait without a job only when the queue is empty.
            m_jobs.emplace_back(std::move(job), m_epoch);
            --m_idle;
            queued = true;
        } else {
            ++m_threads;
            epoch = m_epoch;
        }
    }
    if (queued) {
        // Woken outside the lock, so the thread does not wake only to wait
        // for it.
        m_wake.notify_one();
        return true;
    }
    try {
        std::thread([this, epoch, job = std::move(job)]() mutable {
            workerLoop(std::move(job), epoch);
        }).detach();
        return true;
    } catch (...) {
        std::lock_guard<std::mutex> guard(m_lock);
        --m_threads;
        m_gone.notify_all();
        return false;
    }
}

void CallbackWorkers::workerLoop(CallbackJob job, unsigned long epoch) {
    // Counts the thread out however it ends, a forced unwind out of a host
    // callback (thread cancellation, pthread_exit) included.
    struct Gone {
        CallbackWorkers& set;
        ~Gone() {
            // Notified under the lock: once retire() sees no thread left, no
            // thread touches the set any more.
            std::lock_guard<std::mutex> guard(set.m_lock);
            --set.m_threads;
            set.m_gone.notify_all();
        }
    } gone{*this};
    for (;;) {
        job();
        // What the job captured (a reader, a gate share) goes now, not when
        // the thread ends.
        job = nullptr;
        std::unique_lock<std::mutex> lock(m_lock);
        // A trim while the job ran ends this thread too: it may have been
        // one of a closed reader's callbacks.
        if (m_retired || !m_linger || m_epoch != epoch || m_idle >= MAX_IDLE) {
            return;
        }
        ++m_idle;
        ++m_waiting;
        m_wake.wait_for(lock, IDLE_LINGER,
                        [&] { return m_nextJob < m_jobs.size() || m_retired || m_epoch != epoch; });
        --m_waiting;
        if (m_nextJob < m_jobs.size()) {
            // Queued for a waiting thread, so it must run even when the
            // set was trimmed meanwhile.
            job = std::move(m_jobs[m_nextJob].first);
            epoch = m_jobs[m_nextJob].second;
            if (++m_nextJob == m_jobs.size()) {
                m_jobs.clear();
                m_nextJob = 0;
            }
            continue;
        }
        --m_idle;
        return;
    }
}

void CallbackWorkers::trimIdle() {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_epoch;
    m_wake.notify_all();
}

void CallbackWorkers::setLinger(bool linger) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_linger = linger;
    if (!linger) {
        ++m_epoch;
        m_wake.notify_all();
    }
}

bool CallbackWorkers::retire(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_retired = true;
    m_wake.notify_all();
    return m_gone.wait_for(lock, timeout, [&] { return m_threads == 0; });
}

int CallbackWorkers::threads() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_threads;
}

int CallbackWorkers::idleThreads() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_waiting;
}

}  // namespace quorin
