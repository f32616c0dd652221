// The process-wide lock around hidapi's global operations.
//
// hidapi keeps process-wide state (the libusb context, the device list, the
// hidraw global error), so hid_init, hid_enumerate, hid_free_enumeration,
// hid_open_path and hid_close run under this one lock. The HID connection
// factory holds it for its whole run, since it uses process-wide lookup
// buffers too. The lock is recursive so that an enumeration callback may open
// or close a connection on the same thread.
#pragma once

#include <mutex>

namespace quorin {

class HidGlobalLock {
public:
    HidGlobalLock() : m_guard(mutex()) {}
    HidGlobalLock(const HidGlobalLock&) = delete;
    HidGlobalLock& operator=(const HidGlobalLock&) = delete;

private:
    static std::recursive_mutex& mutex();

    std::lock_guard<std::recursive_mutex> m_guard;
};

}  // namespace quorin
