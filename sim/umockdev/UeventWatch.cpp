#include "umockdev/UeventWatch.h"

#include <libudev.h>
#include <poll.h>
#include <umockdev.h>

#include <cstring>

namespace quorin_sim {

namespace {

// How long an event may take to arrive before it counts as lost: umockdev
// delivers within milliseconds, far longer only under a sanitizer's load.
constexpr std::chrono::milliseconds ARRIVAL_WAIT{1000};
constexpr int RESENDS = 3;

}  // namespace

UeventWatch::UeventWatch() {
    m_udev = udev_new();
    if (m_udev == nullptr) {
        return;
    }
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (m_monitor != nullptr &&
        (udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "hidraw", nullptr) < 0 ||
         udev_monitor_enable_receiving(m_monitor) < 0)) {
        udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
    }
}

UeventWatch::~UeventWatch() {
    if (m_monitor != nullptr) {
        udev_monitor_unref(m_monitor);
    }
    if (m_udev != nullptr) {
        udev_unref(m_udev);
    }
}

void UeventWatch::drain() {
    if (m_monitor == nullptr) {
        return;
    }
    struct pollfd fd = {udev_monitor_get_fd(m_monitor), POLLIN, 0};
    while (poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN) != 0) {
        struct udev_device* device = udev_monitor_receive_device(m_monitor);
        if (device == nullptr) {
            break;
        }
        udev_device_unref(device);
    }
}

bool UeventWatch::seen(const std::string& sysPath, const char* action,
                       std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    const int fdNumber = udev_monitor_get_fd(m_monitor);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd fd = {fdNumber, POLLIN, 0};
        if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        struct udev_device* device = udev_monitor_receive_device(m_monitor);
        if (device == nullptr) {
            continue;
        }
        const char* path = udev_device_get_syspath(device);
        const char* what = udev_device_get_action(device);
        // The path as udev gives it, with or without the "/sys" in front.
        const bool match = path != nullptr && what != nullptr &&
                           (sysPath == path || sysPath == std::string("/sys") + path) &&
                           std::strcmp(what, action) == 0;
        udev_device_unref(device);
        if (match) {
            return true;
        }
    }
}

bool UeventWatch::confirm(UMockdevTestbed* testbed, const std::string& sysPath,
                          const char* action) {
    if (m_monitor == nullptr) {
        return false;  // nothing to confirm with: the event went out once
    }
    for (int resend = 0;; ++resend) {
        if (seen(sysPath, action, ARRIVAL_WAIT)) {
            return true;
        }
        if (resend == RESENDS) {
            return false;
        }
        umockdev_testbed_uevent(testbed, sysPath.c_str(), action);
    }
}

}  // namespace quorin_sim
