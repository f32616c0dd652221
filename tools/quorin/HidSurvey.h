// Every HID device of the system as hidapi sees it, with what a user needs
// to find out why a reader is not listed or cannot be opened: vendor and
// product IDs, strings, interface, system path, USB location, whether this
// user may open it and, for each device the library does not list, why.
//
// Tool-side, over hidapi and sysfs: the library lists only its readers.
// The system path is hidapi's (a /dev/hidrawN node with the hidraw backend,
// "BUS-PORTS:CONFIG.INTERFACE" with the libusb backend). Nothing but the
// library's own vendor ID is opened: opening a device through the libusb
// backend takes it from its kernel driver (a keyboard would stop typing).
#pragma once

#include <string>
#include <vector>

#include "NodeAccess.h"

namespace quorin::cli {

struct HidDevice {
    std::string path;  // hidapi's system path
    unsigned vendorId = 0;
    unsigned productId = 0;
    std::string manufacturer;  // as the device reports them (UTF-8); escape to print
    std::string product;
    std::string serialNumber;
    int interfaceNumber = -1;
    // "1-2.3": USB bus 1, port 2 of the root hub, then port 3 of the hub
    // there (the kernel's name of the device); "" when unknown.
    std::string usbLocation;
    std::string node;  // the device file a host opens; "" when unknown
    enum class Access { YES, NO, UNKNOWN };
    Access access = Access::UNKNOWN;
    std::string accessNote;  // the node's mode and owner, or hidapi's error
    // The library's path of the reader ("HID://..."); "" when not listed.
    std::string readerPath;
    // Why the library does not list it (another vendor ID, a product it
    // does not know); "" for a reader it lists.
    std::string notListed;
    // For a reader: why it cannot be opened and the likely fix (no access:
    // the udev rule missing or not applied); "" when it can.
    std::string accessProblem;
};

struct SurveyOptions {
    Credentials who = Credentials::ofProcess();
    // Where a udev rule for the readers would be found.
    std::vector<std::string> ruleDirectories = defaultRuleDirectories();
    static std::vector<std::string> defaultRuleDirectories();
};

class HidSurvey {
public:
    explicit HidSurvey(SurveyOptions options = SurveyOptions());

    // Every HID device hidapi enumerates, one entry per system path, in its
    // order. readerPaths: the library's device list, matched to the devices
    // by system path or serial number.
    std::vector<HidDevice> devices(const std::vector<std::string>& readerPaths) const;
    // The devices as devices() gives them, without looking at their access
    // (nothing is opened): IDs, strings, USB location and reader path.
    static std::vector<HidDevice> describe(const std::vector<std::string>& readerPaths);
    // The device behind a path of the library's list ("HID://SN" or
    // "HID://" + system path), as describe() gives it; false when none (or
    // several) match.
    static bool find(const std::string& readerPath, HidDevice* device);

    // The USB location of a system path: parsed from a libusb backend path,
    // looked up in sysfs for a hidraw node whose device has these IDs.
    static std::string usbLocation(const std::string& path, unsigned vendorId, unsigned productId);
    // Why a device with these IDs is not listed; "" for a reader the
    // library lists.
    static std::string notListedReason(unsigned vendorId, unsigned productId);

private:
    void checkAccess(HidDevice* device) const;
    std::string accessFix() const;

    SurveyOptions m_options;
};

}  // namespace quorin::cli
