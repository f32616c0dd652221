// Makes the testbed's hidraw uevents as sure as the kernel's.
//
// The kernel never loses the "add" or "remove" of a device. umockdev's uevent
// sender can: while another thread of the process walks sysfs through
// umockdev's preload (the library's reader monitor enumerating, say), the
// sender may fail to find the device it announces ("uevent_sender_send: No
// such device") and the event never goes out. A reader model on the testbed
// therefore listens on a udev monitor of its own and, when the event it sent
// for a hidraw node does not arrive, sends it again. A monitor that received
// both copies sees the same device announced twice, which udev allows.
//
// Not thread-safe: the bus calls it under its own lock.
#pragma once

#include <chrono>
#include <string>

struct udev;
struct udev_monitor;
typedef struct _UMockdevTestbed UMockdevTestbed;

namespace quorin_sim {

class UeventWatch {
public:
    // Listens for hidraw events; must be made after the testbed.
    UeventWatch();
    ~UeventWatch();
    UeventWatch(const UeventWatch&) = delete;
    UeventWatch& operator=(const UeventWatch&) = delete;

    // Forgets the events seen so far: call before the testbed sends one.
    void drain();
    // Waits for the event of action on the hidraw device at sysPath
    // ("/sys/devices/..."), sending it again through umockdev_testbed_uevent
    // while it is not seen within a while (at most three more times). False
    // when it was never seen.
    bool confirm(UMockdevTestbed* testbed, const std::string& sysPath, const char* action);

private:
    bool seen(const std::string& sysPath, const char* action, std::chrono::milliseconds within);

    struct udev* m_udev = nullptr;
    struct udev_monitor* m_monitor = nullptr;
};

}  // namespace quorin_sim
