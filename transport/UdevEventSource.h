// Device events from udev's monitor: the devices hidapi's backend works on
// (hidraw nodes, or USB interfaces for the libusb backend), as udev
// announces them after its rules ran (so a node's owner, mode and access
// lists are set when it is announced), not the kernel's raw events.
//
// Not thread-safe: one thread (the monitor's) uses the object.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "transport/DeviceEventSource.h"

struct udev;
struct udev_device;
struct udev_monitor;

namespace quorin {

class UdevEventSource : public DeviceEventSource {
public:
    enum class Kind {
        HIDRAW,         // subsystem "hidraw": paths are the device nodes
        USB_INTERFACE,  // subsystem "usb", type "usb_interface": paths are the interface names
    };

    // Null, with the reason in *error, when udev's monitor cannot be set up.
    static std::unique_ptr<UdevEventSource> open(Kind kind, std::string* error);
    ~UdevEventSource() override;
    UdevEventSource(const UdevEventSource&) = delete;
    UdevEventSource& operator=(const UdevEventSource&) = delete;

    int fd() const override;
    void take(std::vector<DeviceEvent>& out) override;

private:
    UdevEventSource(Kind kind, struct udev* context, struct udev_monitor* monitor);
    // The event of one device, false when it is not one to tell of.
    bool eventOf(struct udev_device* device, DeviceEvent* event) const;

    const Kind m_kind;
    struct udev* m_udev;
    struct udev_monitor* m_monitor;
};

}  // namespace quorin
