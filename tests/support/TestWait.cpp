#include "TestWait.h"

#include <dirent.h>

namespace quorin_test {

int threadCount() {
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* entry = readdir(d)) {
        if (entry->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(d);
    return n;
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void EventCounter::bump() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_count;
    }
    m_cv.notify_all();
}

int EventCounter::count() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_count;
}

bool EventCounter::waitFor(int n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_cv.wait_for(guard, timeout, [&] { return m_count >= n; });
}

void EventCounter::reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_count = 0;
}

void Gate::pass() {
    std::unique_lock<std::mutex> guard(m_lock);
    ++m_passes;
    m_cv.notify_all();
    m_cv.wait(guard, [&] { return m_released; });
}

bool Gate::waitEntered(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_cv.wait_for(guard, timeout, [&] { return m_passes > 0; });
}

void Gate::release() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_released = true;
    m_cv.notify_all();
}

int Gate::passes() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_passes;
}

}  // namespace quorin_test
