#include "ReportHandoff.h"

#include <chrono>

namespace quorin_bench {

ReportHandoff::ReportHandoff(Mode mode, Arrival& arrival) : m_mode(mode), m_arrival(arrival) {
    if (m_mode == Mode::WORKER) {
        m_worker = std::thread([this] { work(); });
    }
}

ReportHandoff::~ReportHandoff() {
    std::unique_lock<std::mutex> guard(m_lock);
    m_stop = true;
    m_changed.notify_all();
    m_changed.wait_for(guard, std::chrono::seconds(5), [this] { return m_live == 0; });
    guard.unlock();
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

void ReportHandoff::handler(void* context, const unsigned char* /*data*/, int /*length*/) {
    static_cast<ReportHandoff*>(context)->handOver();
}

void ReportHandoff::handOver() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_mode == Mode::WORKER) {
        ++m_pending;
        m_changed.notify_all();
        return;
    }
    ++m_live;
    std::thread([this] {
        m_arrival.arrive();
        std::lock_guard<std::mutex> done(m_lock);
        --m_live;
        m_changed.notify_all();
    }).detach();
}

void ReportHandoff::work() {
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        m_changed.wait(guard, [this] { return m_pending > 0 || m_stop; });
        if (m_pending == 0) {
            return;
        }
        --m_pending;
        guard.unlock();
        m_arrival.arrive();
        guard.lock();
    }
}

}  // namespace quorin_bench
