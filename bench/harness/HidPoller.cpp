#include "HidPoller.h"

#include <hidapi/hidapi.h>

#include <array>
#include <chrono>

namespace quorin_bench {

HidPoller::HidPoller(const std::string& path, Handler handler, void* context)
    : m_handler(handler), m_context(context), m_stopFuture(m_stopPromise.get_future()) {
    m_device = hid_open_path(path.c_str());
    if (m_device == nullptr) {
        return;
    }
    hid_set_nonblocking(m_device, 1);
    m_thread = std::thread([this] { run(); });
}

HidPoller::~HidPoller() {
    stop();
}

void HidPoller::stop() {
    if (!m_stop.exchange(true)) {
        m_stopPromise.set_value(true);
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_device != nullptr) {
        hid_close(m_device);
        m_device = nullptr;
    }
}

void HidPoller::run() {
    std::array<unsigned char, 2048> buffer{};
    while (!m_stop.load()) {
        int n = hid_read(m_device, buffer.data(), buffer.size());
        if (n < 0) {
            return;
        }
        if (n == 0) {
            if (m_stopFuture.wait_for(std::chrono::milliseconds(IDLE_WAIT_MS)) ==
                std::future_status::ready) {
                return;
            }
            continue;
        }
        m_handler(m_context, buffer.data(), n);
    }
}

}  // namespace quorin_bench
