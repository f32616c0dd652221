// Device events from the virtual USB bus (libquorin-virtualhid.so.0), when
// it stands in for hidapi: the bus calls back on every reader it plugs or
// unplugs (quorin_vhid_watch), on the thread that plugs it; the events wait
// here and an eventfd tells the monitor's poll.
//
// At most MAX_WAITING events wait; beyond that they are dropped and the next
// take() says events were lost (as udev's socket does when its buffer is
// full), so the monitor compares the whole listing instead.
//
// Threads: the bus's thread calls onListing, the monitor's thread calls fd()
// and take(); m_lock guards m_events and m_lost. The destructor stops the watch, after
// which the bus no longer calls in.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/MutexLock.h"
#include "transport/DeviceEventSource.h"

namespace quorin {

class VirtualBusEventSource : public DeviceEventSource {
public:
    static constexpr size_t MAX_WAITING = 4096;

    // The bus's C functions (see sim/virtualhid/VirtualHidControl.h).
    using ListingFn = void (*)(void* context, const char* path, unsigned int vendorId,
                               unsigned int productId, int listed);
    using WatchFn = int (*)(ListingFn fn, void* context);
    using UnwatchFn = int (*)(int watchId);
    struct Functions {
        WatchFn watch = nullptr;
        UnwatchFn unwatch = nullptr;
    };

    // Null, with the reason in *error, when the watch cannot be set up.
    static std::unique_ptr<VirtualBusEventSource> open(const Functions& bus, std::string* error);
    ~VirtualBusEventSource() override;
    VirtualBusEventSource(const VirtualBusEventSource&) = delete;
    VirtualBusEventSource& operator=(const VirtualBusEventSource&) = delete;

    int fd() const override { return m_eventFd; }
    void take(std::vector<DeviceEvent>& out) override;

private:
    VirtualBusEventSource(const Functions& bus, int eventFd);
    static void onListing(void* context, const char* path, unsigned int vendorId,
                          unsigned int productId, int listed);

    const Functions m_bus;
    const int m_eventFd;
    int m_watchId = -1;
    Mutex m_lock;
    std::vector<DeviceEvent> m_events GUARDED_BY(m_lock);
    bool m_lost GUARDED_BY(m_lock) = false;  // events were dropped
};

}  // namespace quorin
