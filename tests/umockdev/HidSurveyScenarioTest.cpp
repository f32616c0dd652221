// quorin list --all's survey of the HID devices, on both seams: Debian's
// hidapi on emulated hidraw nodes (access read from the node), and the
// virtual bus (access found by opening). The survey is made for a user who
// is neither root nor the test's own, whom the seams can refuse.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "HidSurvey.h"
#include "Quorin.h"
#include "UsbSeam.h"
#include "virtualhid/PlainCommandReader.h"

using namespace quorin_test;
using quorin::cli::HidDevice;
using quorin::cli::HidSurvey;
using quorin::cli::SurveyOptions;
using quorin_sim::PlainCommandReader;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;

std::vector<std::string> deviceList() {
    std::vector<std::string> paths;
    std::string list = GetDeviceList();
    for (size_t start = 0, comma; start < list.size(); start = comma + 1) {
        comma = list.find(',', start);
        comma = comma == std::string::npos ? list.size() : comma;
        paths.push_back(list.substr(start, comma - start));
    }
    return paths;
}

const HidDevice* bySerial(const std::vector<HidDevice>& devices, const std::string& serial) {
    for (const HidDevice& d : devices) {
        if (d.serialNumber == serial) {
            return &d;
        }
    }
    ADD_FAILURE() << "no device with serial number " << serial;
    return nullptr;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(HidSurveyScenario, SaysWhyADeviceIsNotAReaderOrCannotBeOpened) {
    UsbSeam& seam = UsbSeam::instance();
    seam.reset();
    auto ok = seam.add<PlainCommandReader>(VID, 0x11, std::string("SURVEY-OK"));
    auto denied = seam.add<PlainCommandReader>(VID, 0x11, std::string("SURVEY-DENIED"));
    auto foreign = seam.add<PlainCommandReader>(0x1234, 0x11, std::string("SURVEY-FOREIGN"));
    auto unknown = seam.add<PlainCommandReader>(VID, 0x4242, std::string("SURVEY-UNKNOWN"));
    ASSERT_TRUE(ok && denied && foreign && unknown);
    seam.setAccess(ok, true);
    seam.setAccess(denied, false);

    char rules[] = "/tmp/quorin-rules.XXXXXX";
    ASSERT_NE(mkdtemp(rules), nullptr);
    SurveyOptions options;
    options.who.uid = geteuid() == 65534 ? 65533 : 65534;  // nobody, or someone else
    options.who.gid = options.who.uid;
    options.who.groups.clear();
    options.ruleDirectories = {rules};
    HidSurvey survey(options);

    std::vector<HidDevice> devices = survey.devices(deviceList());
    ASSERT_EQ(devices.size(), 4u) << "on " << seam.name();
    const HidDevice* d = bySerial(devices, "SURVEY-OK");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->readerPath, "HID://SURVEY-OK");
    EXPECT_EQ(d->access, HidDevice::Access::YES);
    EXPECT_EQ(d->notListed + d->accessProblem, "");
    EXPECT_EQ(d->usbLocation, seam.usbLocation(ok));
    EXPECT_EQ(d->product, "Virtual USB Reader");

    d = bySerial(devices, "SURVEY-DENIED");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->readerPath, "HID://SURVEY-DENIED");
    EXPECT_EQ(d->access, HidDevice::Access::NO);
    EXPECT_TRUE(has(d->accessProblem, "this user may not open it")) << d->accessProblem;
    EXPECT_TRUE(has(d->accessProblem, "70-quorin.rules is not installed")) << d->accessProblem;

    d = bySerial(devices, "SURVEY-FOREIGN");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->readerPath, "");
    EXPECT_TRUE(has(d->notListed, "vendor ID 1234 is not the readers'")) << d->notListed;
    d = bySerial(devices, "SURVEY-UNKNOWN");
    ASSERT_TRUE(d);
    EXPECT_TRUE(has(d->notListed, "product ID 4242 is no reader model")) << d->notListed;

    // With the rule installed, what is wrong is that it was not applied; a
    // rule of another build names another vendor.
    const std::string rule = std::string(rules) + "/70-quorin.rules";
    std::ofstream(rule) << "ATTRS{idVendor}==\"" << std::hex << VID << "\", TAG+=\"uaccess\"\n";
    d = bySerial(devices = survey.devices(deviceList()), "SURVEY-DENIED");
    ASSERT_TRUE(d);
    EXPECT_TRUE(has(d->accessProblem, "is installed but gave this user no access"))
        << d->accessProblem;
    std::ofstream(rule) << "ATTRS{idVendor}==\"0001\", TAG+=\"uaccess\"\n";
    d = bySerial(devices = survey.devices(deviceList()), "SURVEY-DENIED");
    ASSERT_TRUE(d);
    EXPECT_TRUE(has(d->accessProblem, "is for another vendor ID")) << d->accessProblem;
    unlink(rule.c_str());
    rmdir(rules);
    seam.reset();
}
