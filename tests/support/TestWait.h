// Bounded waits for tests: wait on a condition, never sleep "long enough".
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace quorin_test {

// Polls pred every millisecond until it holds or timeout passes; returns the
// last value of pred. For state owned by code that offers no notification.
bool waitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// Threads of this process (entries of /proc/self/task); -1 when unknown.
int threadCount();

// A counter that threads bump and a test waits on.
class EventCounter {
public:
    void bump();
    int count();
    // True when the count reached n within timeout.
    bool waitFor(int n, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    void reset();

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    int m_count = 0;
};

// Holds the threads that pass it until the test releases it.
class Gate {
public:
    // Counts the pass, then waits until released.
    void pass();
    // True when a thread passed within timeout.
    bool waitEntered(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    void release();
    int passes();

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    int m_passes = 0;
    bool m_released = false;
};

}  // namespace quorin_test
