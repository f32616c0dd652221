#include "transport/UdevEventSource.h"

#include <libudev.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quorin {

namespace {

// Events taken per call, so one burst cannot keep the caller for long.
constexpr int MAX_EVENTS_PER_TAKE = 256;

const char* orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// "0003:00002F4A:00000011" (bus, vendor, product of a HID device).
bool parseHidId(const char* text, int* vendorId, int* productId) {
    unsigned int bus = 0;
    unsigned int vendor = 0;
    unsigned int product = 0;
    if (text == nullptr || std::sscanf(text, "%x:%x:%x", &bus, &vendor, &product) != 3 ||
        vendor > 0xFFFF || product > 0xFFFF) {
        return false;
    }
    *vendorId = static_cast<int>(vendor);
    *productId = static_cast<int>(product);
    return true;
}

// "2f4a/11/100" (vendor, product, release of a USB interface's device).
bool parseProduct(const char* text, int* vendorId, int* productId) {
    unsigned int vendor = 0;
    unsigned int product = 0;
    if (text == nullptr || std::sscanf(text, "%x/%x/", &vendor, &product) != 2 || vendor > 0xFFFF ||
        product > 0xFFFF) {
        return false;
    }
    *vendorId = static_cast<int>(vendor);
    *productId = static_cast<int>(product);
    return true;
}

}  // namespace

std::unique_ptr<UdevEventSource> UdevEventSource::open(Kind kind, std::string* error) {
    struct udev* context = udev_new();
    if (context == nullptr) {
        *error = "udev is not available";
        return nullptr;
    }
    // "udev": the events udev sends once its rules ran, not the kernel's.
    struct udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor == nullptr) {
        udev_unref(context);
        *error = "udev's monitor cannot be opened";
        return nullptr;
    }
    const bool hidraw = kind == Kind::HIDRAW;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, hidraw ? "hidraw" : "usb",
                                                        hidraw ? nullptr : "usb_interface") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        udev_monitor_unref(monitor);
        udev_unref(context);
        *error = "udev's monitor cannot receive events";
        return nullptr;
    }
    return std::unique_ptr<UdevEventSource>(new UdevEventSource(kind, context, monitor));
}

UdevEventSource::UdevEventSource(Kind kind, struct udev* context, struct udev_monitor* monitor)
    : m_kind(kind), m_udev(context), m_monitor(monitor) {}

UdevEventSource::~UdevEventSource() {
    udev_monitor_unref(m_monitor);
    udev_unref(m_udev);
}

int UdevEventSource::fd() const {
    return udev_monitor_get_fd(m_monitor);
}

void UdevEventSource::take(std::vector<DeviceEvent>& out) {
    // The monitor's socket does not block: a receive with nothing waiting
    // returns null.
    for (int i = 0; i < MAX_EVENTS_PER_TAKE; ++i) {
        errno = 0;
        struct udev_device* device = udev_monitor_receive_device(m_monitor);
        if (device == nullptr) {
            if (errno != ENOBUFS) {
                return;  // EAGAIN: nothing waits
            }
            // The socket's buffer overflowed: the kernel dropped events.
            DeviceEvent lost;
            lost.lost = true;
            out.push_back(std::move(lost));
            continue;
        }
        DeviceEvent event;
        if (eventOf(device, &event)) {
            out.push_back(std::move(event));
        }
        udev_device_unref(device);
    }
}

bool UdevEventSource::eventOf(struct udev_device* device, DeviceEvent* event) const {
    const char* action = orEmpty(udev_device_get_action(device));
    if (std::strcmp(action, "remove") == 0) {
        event->appeared = false;
    } else if (std::strcmp(action, "add") == 0 || std::strcmp(action, "change") == 0 ||
               std::strcmp(action, "bind") == 0) {
        event->appeared = true;
    } else {
        return false;  // unbind, move, offline, online: the listing does not change
    }
    if (m_kind == Kind::HIDRAW) {
        const char* node = udev_device_get_devnode(device);
        if (node != nullptr) {
            event->systemPath = node;
        } else if (const char* name = udev_device_get_sysname(device)) {
            event->systemPath = std::string("/dev/") + name;
        } else {
            return false;
        }
        if (event->appeared) {
            struct udev_device* hid =
                udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr);
            if (hid != nullptr) {
                parseHidId(udev_device_get_property_value(hid, "HID_ID"), &event->vendorId,
                           &event->productId);
            }
        }
        return true;
    }
    const char* name = udev_device_get_sysname(device);
    if (name == nullptr) {
        return false;
    }
    event->systemPath = name;  // "1-2.3:1.0", as hidapi's libusb backend names it
    if (event->appeared) {
        parseProduct(udev_device_get_property_value(device, "PRODUCT"), &event->vendorId,
                     &event->productId);
    }
    return true;
}

}  // namespace quorin
