#include "api/CallbackWatch.h"

#include <algorithm>
#include <atomic>

#include "api/CallbackQueue.h"
#include "api/CallbackWorkers.h"
#include "common/MutexLock.h"

namespace quorin {

namespace {
std::atomic<CallbackWatch*> g_watch{nullptr};
}

CallbackWatch& CallbackWatch::instance() {
    // Never destroyed: a watch job may still be leaving it while the process
    // exits.
    static auto* watch = [] {
        auto* made = new CallbackWatch();
        g_watch.store(made);
        return made;
    }();
    return *watch;
}

void CallbackWatch::watch(const std::shared_ptr<CallbackQueue>& queue, Clock::time_point deadline) {
    MutexLock guard(m_lock);
    const bool earliest = std::all_of(m_looks.begin(), m_looks.end(),
                                      [&](const Look& look) { return deadline < look.deadline; });
    m_looks.push_back(Look{deadline, queue, queue.get()});
    if (!m_running) {
        // Taken by the next thread that finishes when every thread is busy:
        // the looks it would make would need a thread anyway.
        m_running = CallbackWorkers::instance().run([this] { run(); });
        if (!m_running) {
            m_looks.clear();  // the workers are retired: nothing runs any more
        }
    } else if (earliest) {
        m_wake.notify_one();
    }
}

void CallbackWatch::unwatch(const CallbackQueue* queue) {
    MutexLock guard(m_lock);
    m_looks.erase(std::remove_if(m_looks.begin(), m_looks.end(),
                                 [&](const Look& look) { return look.raw == queue; }),
                  m_looks.end());
    m_wake.notify_one();
}

void CallbackWatch::retireInstance() {
    CallbackWatch* watch = g_watch.load();
    if (watch == nullptr) {
        return;
    }
    MutexLock guard(watch->m_lock);
    watch->m_looks.clear();
    watch->m_wake.notify_one();
}

void CallbackWatch::run() {
    UniqueLock lock(m_lock);
    while (!m_looks.empty()) {
        auto first =
            std::min_element(m_looks.begin(), m_looks.end(),
                             [](const Look& a, const Look& b) { return a.deadline < b.deadline; });
        const Clock::time_point due = first->deadline;
        if (Clock::now() < due) {
            m_wake.wait_until(lock.native(), due);
            continue;
        }
        std::shared_ptr<CallbackQueue> queue = first->queue.lock();
        m_looks.erase(first);
        if (queue) {
            lock.unlock();
            queue->checkStall();
            queue.reset();
            lock.lock();
        }
    }
    m_running = false;
}

}  // namespace quorin
