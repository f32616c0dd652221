#include "HidSurvey.h"

#include <hidapi.h>
#include <limits.h>
#include <stdlib.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "HexText.h"
#include "ReaderModels.h"

#ifndef QUORIN_USB_VENDOR_ID
#error "QUORIN_USB_VENDOR_ID (the readers' USB vendor ID) must be defined by the build"
#endif
#ifndef QUORIN_TOOL_UDEV_RULES_DIR
#define QUORIN_TOOL_UDEV_RULES_DIR "/usr/lib/udev/rules.d"
#endif

namespace quorin::cli {

namespace {

constexpr unsigned VENDOR_ID = QUORIN_USB_VENDOR_ID;
constexpr const char* RULE_FILE = "70-quorin.rules";
constexpr const char* HID_SCHEME = "HID://";

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof(text), "%04X", value & 0xFFFF);
    return text;
}

// hidapi's wide text (UTF-32 on Linux) as UTF-8; "" for none.
std::string utf8(const wchar_t* text) {
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text) {
        auto c = static_cast<unsigned long>(*text);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | ((c >> 18) & 0x07));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string firstLine(const std::string& path) {
    std::string text = readFile(path);
    return text.substr(0, text.find('\n'));
}

// "1-2.3": a bus number, a dash, port numbers joined by dots.
bool isUsbDeviceName(const std::string& name) {
    size_t dash = name.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == name.size() ||
        name.find_first_not_of("0123456789") != dash) {
        return false;
    }
    for (size_t i = dash + 1; i < name.size(); ++i) {
        bool digit = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
        bool dot = name[i] == '.' && i > dash + 1 && name[i - 1] != '.' && i + 1 < name.size();
        if (!digit && !dot) {
            return false;
        }
    }
    return true;
}

// The USB device part of a libusb backend path ("1-2.3" of "1-2.3:1.0").
std::string libusbDevice(const std::string& path) {
    size_t colon = path.find(':');
    std::string device = path.substr(0, colon);
    return colon != std::string::npos && isUsbDeviceName(device) ? device : std::string();
}

std::string hidrawName(const std::string& path) {
    const std::string prefix = "/dev/";
    if (path.compare(0, prefix.size(), prefix) != 0) {
        return std::string();
    }
    std::string name = path.substr(prefix.size());
    return name.compare(0, 6, "hidraw") == 0 && name.size() > 6 &&
                   name.find_first_not_of("0123456789", 6) == std::string::npos
               ? name
               : std::string();
}

// The sysfs directory of a hidraw node's device, checked to be the device
// hidapi described (the node numbers of a device pulled out are reused;
// and the virtual bus's nodes are not in sysfs at all).
std::string hidrawDevice(const std::string& path, unsigned vendorId, unsigned productId) {
    std::string name = hidrawName(path);
    if (name.empty()) {
        return std::string();
    }
    char resolved[PATH_MAX];
    if (realpath(("/sys/class/hidraw/" + name + "/device").c_str(), resolved) == nullptr) {
        return std::string();
    }
    std::string uevent = readFile(std::string(resolved) + "/uevent");
    std::string id = "HID_ID=0003:0000" + hex4(vendorId) + ":0000" + hex4(productId);
    return upper(uevent).find(id) != std::string::npos ? std::string(resolved) : std::string();
}

// The USB device above a sysfs directory: the nearest ancestor named as a
// USB device ("1-2.3") that has a bus number.
std::string usbDeviceAbove(std::string dir) {
    while (dir.size() > 1) {
        size_t slash = dir.rfind('/');
        std::string name = dir.substr(slash + 1);
        if (isUsbDeviceName(name) && !firstLine(dir + "/busnum").empty()) {
            return dir;
        }
        dir = dir.substr(0, slash);
    }
    return std::string();
}

std::string baseName(const std::string& dir) {
    return dir.substr(dir.rfind('/') + 1);
}

// The node of a USB device directory: /dev/bus/usb/BBB/DDD.
std::string usbNode(const std::string& usbDir) {
    std::string bus = firstLine(usbDir + "/busnum");
    std::string dev = firstLine(usbDir + "/devnum");
    if (bus.empty() || dev.empty()) {
        return std::string();
    }
    char node[64];
    std::snprintf(node, sizeof(node), "/dev/bus/usb/%03d/%03d", std::atoi(bus.c_str()),
                  std::atoi(dev.c_str()));
    return node;
}

bool sameReader(const std::string& readerPath, const HidDevice& d) {
    const std::string scheme = HID_SCHEME;
    if (readerPath.compare(0, scheme.size(), scheme) != 0) {
        return false;
    }
    std::string name = readerPath.substr(scheme.size());
    return name == d.path || (!d.serialNumber.empty() && name == d.serialNumber);
}

}  // namespace

std::vector<std::string> SurveyOptions::defaultRuleDirectories() {
    return {"/etc/udev/rules.d", "/run/udev/rules.d", QUORIN_TOOL_UDEV_RULES_DIR,
            "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
}

HidSurvey::HidSurvey(SurveyOptions options) : m_options(std::move(options)) {}

std::string HidSurvey::usbLocation(const std::string& path, unsigned vendorId, unsigned productId) {
    std::string device = libusbDevice(path);
    if (!device.empty()) {
        return device;
    }
    std::string hid = hidrawDevice(path, vendorId, productId);
    return hid.empty() ? std::string() : baseName(usbDeviceAbove(hid));
}

std::string HidSurvey::notListedReason(unsigned vendorId, unsigned productId) {
    if (vendorId != VENDOR_ID) {
        return "vendor ID " + hex4(vendorId) + " is not the readers' (this build lists vendor ID " +
               hex4(VENDOR_ID) + ")";
    }
    if (!isListedModel(static_cast<int>(productId))) {
        std::string model = modelName(static_cast<int>(productId));
        return "product ID " + hex4(productId) +
               (model.empty() ? " is no reader model the library knows"
                              : " (" + model + ") is a model the library does not list over USB");
    }
    return std::string();
}

std::string HidSurvey::accessFix() const {
    for (const std::string& dir : m_options.ruleDirectories) {
        std::string file = dir + "/" + RULE_FILE;
        std::string rule = readFile(file);
        if (rule.empty()) {
            continue;
        }
        std::string vendor = hex4(VENDOR_ID);
        if (upper(rule).find("\"" + vendor + "\"") == std::string::npos) {
            return "the udev rule " + file + " is for another vendor ID (not " + vendor +
                   "): install this build's rule";
        }
        return "the udev rule " + file +
               " is installed but gave this user no access: run sudo udevadm control --reload "
               "and plug the reader in again (it gives access to the user logged in at the "
               "machine, not to a login over ssh)";
    }
    return std::string("the udev rule ") + RULE_FILE +
           " is not installed: copy it to /etc/udev/rules.d (see the README, 'Access without "
           "root'), run sudo udevadm control --reload and plug the reader in again";
}

void HidSurvey::checkAccess(HidDevice* d) const {
    NodeAccess node = NodeAccess::of(d->node, m_options.who);
    if (node.verdict() != NodeAccess::Verdict::NO_NODE) {
        d->access = node.verdict() == NodeAccess::Verdict::ALLOWED ? HidDevice::Access::YES
                                                                   : HidDevice::Access::NO;
        d->accessNote = d->node + " is " + node.description();
        return;
    }
    if (d->vendorId != VENDOR_ID) {
        return;  // not opened to find out (see the header)
    }
    hid_device* handle = hid_open_path(d->path.c_str());
    if (handle != nullptr) {
        hid_close(handle);
        d->access = HidDevice::Access::YES;
        return;
    }
    d->accessNote = utf8(hid_error(nullptr));
    d->access = d->accessNote.find("Permission denied") != std::string::npos
                    ? HidDevice::Access::NO
                    : HidDevice::Access::UNKNOWN;
}

std::vector<HidDevice> HidSurvey::describe(const std::vector<std::string>& readerPaths) {
    std::vector<HidDevice> found;
    hid_device_info* all = hid_enumerate(0, 0);
    for (hid_device_info* info = all; info != nullptr; info = info->next) {
        std::string path = info->path != nullptr ? info->path : "";
        bool seen = false;
        for (const HidDevice& d : found) {
            seen = seen || d.path == path;  // hidraw lists a node once per usage
        }
        if (seen) {
            continue;
        }
        HidDevice d;
        d.path = path;
        d.vendorId = info->vendor_id;
        d.productId = info->product_id;
        d.manufacturer = utf8(info->manufacturer_string);
        d.product = utf8(info->product_string);
        d.serialNumber = utf8(info->serial_number);
        d.interfaceNumber = info->interface_number;
        d.usbLocation = usbLocation(d.path, d.vendorId, d.productId);
        found.push_back(d);
    }
    hid_free_enumeration(all);
    // A reader path names the device with that system path, or the one
    // listed reader with that serial number (several: none of them).
    for (const std::string& p : readerPaths) {
        HidDevice* match = nullptr;
        int matches = 0;
        for (HidDevice& d : found) {
            if (notListedReason(d.vendorId, d.productId).empty() && sameReader(p, d)) {
                match = &d;
                ++matches;
            }
        }
        if (matches == 1) {
            match->readerPath = p;
        }
    }
    return found;
}

std::vector<HidDevice> HidSurvey::devices(const std::vector<std::string>& readerPaths) const {
    std::vector<HidDevice> found = describe(readerPaths);
    for (HidDevice& d : found) {
        if (!hidrawName(d.path).empty()) {
            d.node = hidrawDevice(d.path, d.vendorId, d.productId).empty() ? "" : d.path;
        } else if (!libusbDevice(d.path).empty()) {
            d.node = usbNode("/sys/bus/usb/devices/" + libusbDevice(d.path));
        }
        checkAccess(&d);
        d.notListed = notListedReason(d.vendorId, d.productId);
        if (!d.notListed.empty() || d.access == HidDevice::Access::YES) {
            continue;
        }
        if (d.access == HidDevice::Access::NO) {
            d.accessProblem = "this user may not open it (" + d.accessNote + "): " + accessFix();
        } else if (!d.accessNote.empty()) {
            d.accessProblem = "it cannot be opened (" + d.accessNote +
                              "): another program holds it, or " + accessFix();
        }
    }
    return found;
}

bool HidSurvey::find(const std::string& readerPath, HidDevice* device) {
    for (const HidDevice& d : describe({readerPath})) {
        if (d.readerPath == readerPath) {
            *device = d;
            return true;
        }
    }
    return false;
}

}  // namespace quorin::cli
