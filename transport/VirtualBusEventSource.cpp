#include "transport/VirtualBusEventSource.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "common/MutexLock.h"

namespace quorin {

std::unique_ptr<VirtualBusEventSource> VirtualBusEventSource::open(const Functions& bus,
                                                                   std::string* error) {
    int eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (eventFd < 0) {
        *error = "no eventfd for the virtual bus's events";
        return nullptr;
    }
    std::unique_ptr<VirtualBusEventSource> source(new VirtualBusEventSource(bus, eventFd));
    source->m_watchId = bus.watch(&VirtualBusEventSource::onListing, source.get());
    if (source->m_watchId < 0) {
        *error = "the virtual bus refused the watch";
        return nullptr;
    }
    return source;
}

VirtualBusEventSource::VirtualBusEventSource(const Functions& bus, int eventFd)
    : m_bus(bus), m_eventFd(eventFd) {}

VirtualBusEventSource::~VirtualBusEventSource() {
    if (m_watchId >= 0) {
        m_bus.unwatch(m_watchId);
    }
    ::close(m_eventFd);
}

void VirtualBusEventSource::onListing(void* context, const char* path, unsigned int vendorId,
                                      unsigned int productId, int listed) {
    auto* self = static_cast<VirtualBusEventSource*>(context);
    if (path == nullptr) {
        return;
    }
    try {
        MutexLock guard(self->m_lock);
        if (self->m_events.size() >= MAX_WAITING) {
            self->m_lost = true;
            return;  // the eventfd is readable already
        }
        DeviceEvent event;
        event.systemPath = path;
        event.appeared = listed != 0;
        event.vendorId = static_cast<int>(vendorId);
        event.productId = static_cast<int>(productId);
        self->m_events.push_back(std::move(event));
    } catch (...) {
        return;  // out of memory: the event is lost, as a full udev socket loses one
    }
    const uint64_t one = 1;
    ssize_t written = write(self->m_eventFd, &one, sizeof(one));
    (void)written;  // only fails when the counter is full, and it is readable then
}

void VirtualBusEventSource::take(std::vector<DeviceEvent>& out) {
    uint64_t count = 0;
    ssize_t got = read(m_eventFd, &count, sizeof(count));
    (void)got;  // EAGAIN: nothing signalled since the last take
    std::vector<DeviceEvent> events;
    bool lost;
    {
        MutexLock guard(m_lock);
        events.swap(m_events);
        lost = m_lost;
        m_lost = false;
    }
    for (DeviceEvent& event : events) {
        out.push_back(std::move(event));
    }
    if (lost) {
        DeviceEvent marker;
        marker.lost = true;
        out.push_back(std::move(marker));
    }
}

}  // namespace quorin
