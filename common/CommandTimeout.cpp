#include "common/CommandTimeout.h"

#include <atomic>

namespace quorin {

namespace {
std::atomic<int> g_timeoutMs{10000};
thread_local const ExchangeDeadline* t_exchange = nullptr;

std::chrono::steady_clock::time_point fromNow() {
    const int timeoutMs = g_timeoutMs.load();
    return std::chrono::steady_clock::now() +
           std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
}
}  // namespace

void setCommandTimeoutMs(int timeoutMs) {
    g_timeoutMs.store(timeoutMs);
}

ExchangeDeadline::ExchangeDeadline() : m_outer(t_exchange), m_deadline(fromNow()) {
    // An exchange inside another (none today) keeps the outer one's end.
    if (m_outer == nullptr) {
        t_exchange = this;
    }
}

ExchangeDeadline::~ExchangeDeadline() {
    if (t_exchange == this) {
        t_exchange = m_outer;
    }
}

std::chrono::steady_clock::time_point commandDeadline() {
    return t_exchange != nullptr ? t_exchange->m_deadline : fromNow();
}

}  // namespace quorin
