// Records what the library's host callbacks receive, for tests that drive the
// exported API. The callbacks are plain C functions, so the recorder is one
// process-wide object; tests reset it in SetUp.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "Quorin.h"

namespace quorin_test {

struct RecordedCall {
    std::string kind;  // "connection", "device", "card", "cardState", "response", ...
    unsigned long handle = 0;
    void* obj = nullptr;
    long state = 0;
    unsigned int messageId = 0;
    std::string text;
};

class ApiRecorder {
public:
    static ApiRecorder& instance();

    void reset();
    void record(RecordedCall call);
    std::vector<RecordedCall> calls();
    std::vector<RecordedCall> callsOf(const std::string& kind);
    int count(const std::string& kind);
    // True when at least n calls of kind arrived within timeout.
    bool waitFor(const std::string& kind, int n,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

    // Registers every first-generation callback with the recorder.
    static void registerFirstGeneration();
    static void unregisterFirstGeneration();
    // Registers the reader arrival and removal callback with obj: calls are
    // recorded as "list" (state: the change, text: the path), and one that
    // starts while another runs also as "overlap". OnDeviceListChanged's
    // result.
    static long registerDeviceList(void* obj);
    // Registers every Ex callback of handle with obj.
    static void registerEx(unsigned long handle, void* obj);

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::vector<RecordedCall> m_calls;
};

}  // namespace quorin_test
