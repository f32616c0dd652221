// The baseline receiving loop: what a host program written on hidapi alone
// does to get input reports. It opens the path, makes reads non-blocking and
// polls with the same idle wait as the library's receiving thread (5 ms on a
// future that only stopping fulfils), calling a plain function per report.
//
// Threads: one polling thread, owned by the object. Stop protocol: stop()
// sets the flag and fulfils the promise (ends the wait); it joins the thread
// and then closes the handle. The destructor stops.
#pragma once

#include <atomic>
#include <future>
#include <string>
#include <thread>

struct hid_device_;

namespace quorin_bench {

class HidPoller {
public:
    using Handler = void (*)(void* context, const unsigned char* data, int length);
    static constexpr int IDLE_WAIT_MS = 5;

    HidPoller(const std::string& path, Handler handler, void* context);
    ~HidPoller();
    HidPoller(const HidPoller&) = delete;
    HidPoller& operator=(const HidPoller&) = delete;

    bool ok() const { return m_device != nullptr; }
    void stop();

private:
    void run();

    hid_device_* m_device = nullptr;
    Handler m_handler;
    void* m_context;
    std::atomic<bool> m_stop{false};
    std::promise<bool> m_stopPromise;
    std::future<bool> m_stopFuture;
    std::thread m_thread;
};

}  // namespace quorin_bench
