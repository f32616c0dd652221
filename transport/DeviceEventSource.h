// Where the reader monitor learns that USB devices came or went: the
// kernel's devices through udev's monitor (UdevEventSource), or the virtual
// USB bus when it stands in for hidapi (VirtualBusEventSource).
//
// A source only tells that a device appeared or went, with the path hidapi
// gives it; whether it is a reader, and under which name, the monitor learns
// from the enumeration (HIDConnection::listReaders), so what it reports is
// exactly what the device list shows.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quorin {

struct DeviceEvent {
    // The device's hidapi path: "/dev/hidraw3" (hidraw backend), or
    // "1-2.3:1.0" (libusb backend: the USB interface).
    std::string systemPath;
    // true: the device appeared or changed (look whether it is listed now);
    // false: it went.
    bool appeared = true;
    // The device's USB identity when the event tells it, else -1.
    int vendorId = -1;
    int productId = -1;
    // Events were lost here (the source's buffer overflowed while nobody
    // read it): whatever the listing shows now must be compared with what
    // was seen before. systemPath is empty then.
    bool lost = false;
};

class DeviceEventSource {
public:
    virtual ~DeviceEventSource() = default;

    // The source for the hidapi this library is bound to: the virtual bus
    // when the library that provides hidapi's functions is the virtual bus
    // (it offers quorin_vhid_watch), else udev's monitor on the subsystem of
    // the hidapi backend the library was built for. Events are collected
    // from the moment it is made. Null, with the reason in *error, when no
    // source can be made.
    static std::unique_ptr<DeviceEventSource> create(std::string* error);

    // A descriptor that is readable while events wait (for poll()).
    virtual int fd() const = 0;
    // Appends the waiting events to out, oldest first, without blocking.
    virtual void take(std::vector<DeviceEvent>& out) = 0;
};

}  // namespace quorin
