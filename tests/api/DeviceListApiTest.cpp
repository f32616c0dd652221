// A reader's serial number is the reader's own text: one that would break
// the device list (the "," separator) or reach a terminal as a control
// sequence is not used as the reader's name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Quorin.h"
#include "virtualhid/VirtualHid.h"

using quorin_sim::VirtualHid;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PLAIN_PID = 0x11;

std::vector<std::string> listed() {
    std::string list = GetDeviceList();
    std::vector<std::string> paths;
    size_t start = 0;
    while (start <= list.size() && !list.empty()) {
        size_t comma = list.find(',', start);
        paths.push_back(list.substr(start, comma - start));
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return paths;
}

}  // namespace

TEST(DeviceListApiTest, UnusableSerialNumbersAreListedByTheSystemPath) {
    VirtualHid::instance().reset();
    auto comma = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN1,HID://SN9"));
    auto escape = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN2\x1b[2J"));
    auto newline = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN3\nSN4"));
    // A C1 control (CSI), which some terminals also obey.
    auto c1 = VirtualHid::instance().plug(VID, PLAIN_PID,
                                          std::string("SN6\xc2\x9b"
                                                      "2J"));
    VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN5"));

    const std::vector<std::string> expected = {"HID://" + comma->path(), "HID://" + escape->path(),
                                               "HID://" + newline->path(), "HID://" + c1->path(),
                                               "HID://SN5"};
    EXPECT_EQ(listed(), expected);
    // Every listed name opens its own reader.
    for (const std::string& path : expected) {
        unsigned long handle = OpenDeviceEx(path.c_str());
        ASSERT_NE(handle, 0u) << path;
        EXPECT_EQ(GetProductIDEx(handle), PLAIN_PID);
        CloseDeviceEx(handle);
    }
    EXPECT_EQ(OpenDeviceEx("HID://SN9"), 0u);
    VirtualHid::instance().reset();
}
