// The emulated hidraw node itself, seen through Debian's hidapi: what udev
// and sysfs describe, feature reports of any length with the kernel's
// report-ID rule, whole input reports, the kernel's queue limit, unplug and
// a reader plugged again.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "umockdev/UmockdevBus.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"

namespace quorin_test {
quorin_sim::UmockdevBus& umockdevBus();
}  // namespace quorin_test

using namespace quorin_test;
using quorin_sim::ExtendedReader;
using quorin_sim::PlainCommandReader;
using quorin_sim::Report;
using quorin_sim::VirtualReader;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;

struct DeviceDeleter {
    void operator()(hid_device* dev) const { hid_close(dev); }
};
using Device = std::unique_ptr<hid_device, DeviceDeleter>;

struct Listing {
    std::string path;
    std::wstring serial;
    bool serialIsNull = false;
    std::wstring manufacturer;
    std::wstring product;
    unsigned short vendorId = 0, productId = 0, release = 0, usagePage = 0, usage = 0;
    int interfaceNumber = -2;
    int count = 0;
};

// What hid_enumerate says about the node at path.
Listing listed(const std::string& path) {
    Listing out;
    hid_device_info* list = hid_enumerate(VID, 0);
    for (hid_device_info* d = list; d != nullptr; d = d->next) {
        if (d->path == nullptr || path != d->path) {
            continue;
        }
        if (out.count++ == 0) {
            out.path = d->path;
            out.serialIsNull = d->serial_number == nullptr;
            out.serial = d->serial_number != nullptr ? d->serial_number : L"";
            out.manufacturer = d->manufacturer_string != nullptr ? d->manufacturer_string : L"";
            out.product = d->product_string != nullptr ? d->product_string : L"";
            out.vendorId = d->vendor_id;
            out.productId = d->product_id;
            out.release = d->release_number;
            out.usagePage = d->usage_page;
            out.usage = d->usage;
            out.interfaceNumber = d->interface_number;
        }
    }
    hid_free_enumeration(list);
    return out;
}

class UmockdevHidNodeTest : public ::testing::Test {
protected:
    void TearDown() override { umockdevBus().reset(); }
};

TEST_F(UmockdevHidNodeTest, UdevAndSysfsDescribeTheReaderAsTheKernelWould) {
    auto reader = umockdevBus().plug<PlainCommandReader>(VID, 0x11, std::string("SN0001"));
    ASSERT_TRUE(reader);
    reader->setStrings(L"Maker", L"Card Reader");  // after plugging: sysfs keeps the first
    auto bare = umockdevBus().plug<PlainCommandReader>(VID, 0x13, std::nullopt);
    ASSERT_TRUE(bare);

    Listing one = listed(reader->path());
    EXPECT_EQ(one.count, 1);  // one usage pair in the descriptor, one entry
    EXPECT_EQ(one.path.rfind("/dev/hidraw", 0), 0u);
    EXPECT_EQ(one.vendorId, VID);
    EXPECT_EQ(one.productId, 0x11);
    EXPECT_EQ(one.serial, L"SN0001");
    EXPECT_EQ(one.manufacturer, L"Virtual");
    EXPECT_EQ(one.product, L"Virtual USB Reader");
    EXPECT_EQ(one.release, 0x0100);
    EXPECT_EQ(one.interfaceNumber, 0);
    EXPECT_EQ(one.usagePage, 0xFF00);
    EXPECT_EQ(one.usage, 1);

    // Without a serial number hidraw lists an empty text, not null.
    Listing two = listed(bare->path());
    EXPECT_EQ(two.count, 1);
    EXPECT_FALSE(two.serialIsNull);
    EXPECT_EQ(two.serial, L"");

    // Per-handle lookups go through fstat() of the open node.
    Device dev(hid_open_path(reader->path().c_str()));
    ASSERT_TRUE(dev);
    wchar_t text[64] = {0};
    ASSERT_EQ(hid_get_serial_number_string(dev.get(), text, 64), 0) << hid_error(dev.get());
    EXPECT_STREQ(text, L"SN0001");
    ASSERT_EQ(hid_get_product_string(dev.get(), text, 64), 0);
    EXPECT_STREQ(text, L"Virtual USB Reader");
}

TEST_F(UmockdevHidNodeTest, FeatureReportsOfAnyLengthFollowTheReportIdRule) {
    auto reader = umockdevBus().plug<VirtualReader>(VID, 0x11, std::string("SN0001"));
    ASSERT_TRUE(reader);
    Device dev(hid_open_path(reader->path().c_str()));
    ASSERT_TRUE(dev);

    // Unnumbered: the device's bytes follow the ID byte, which is counted.
    reader->queueFeatureResponse(Report(300, 0x5A));
    std::vector<unsigned char> buffer(200, 0xEE);
    buffer[0] = 0;
    ASSERT_EQ(hid_get_feature_report(dev.get(), buffer.data(), buffer.size()), 200);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 0x5A);
    EXPECT_EQ(buffer[199], 0x5A);
    // Numbered: the device repeats the ID first.
    reader->queueFeatureResponse({0x03, 0x10, 0x20});
    buffer.assign(61, 0);
    buffer[0] = 0x03;
    ASSERT_EQ(hid_get_feature_report(dev.get(), buffer.data(), buffer.size()), 3);
    EXPECT_EQ(buffer[1], 0x10);
    EXPECT_EQ(buffer[2], 0x20);
    // A stall fails the call; a later answer goes through again.
    EXPECT_EQ(hid_get_feature_report(dev.get(), buffer.data(), buffer.size()), -1);

    std::vector<unsigned char> out(1000);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<unsigned char>(i);
    }
    out[0] = 0;
    EXPECT_EQ(hid_send_feature_report(dev.get(), out.data(), out.size()), 1000);
    auto writes = reader->featureWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], Report(out.begin(), out.end()));
    reader->setFailFeatureTransfers(true);
    EXPECT_EQ(hid_send_feature_report(dev.get(), out.data(), 61), -1);
}

TEST_F(UmockdevHidNodeTest, EachReadIsOneWholeReportAndTheQueueHoldsSixtyFour) {
    auto reader = umockdevBus().plug<VirtualReader>(VID, 0x11, std::string("SN0001"));
    ASSERT_TRUE(reader);
    Device dev(hid_open_path(reader->path().c_str()));
    ASSERT_TRUE(dev);
    for (size_t size : {887u, 886u, 64u, 1u, 932u}) {
        reader->pushInputReport(Report(size, static_cast<unsigned char>(size)));
    }
    std::vector<unsigned char> buffer(2048);
    for (size_t size : {887u, 886u, 64u, 1u, 932u}) {
        ASSERT_EQ(hid_read_timeout(dev.get(), buffer.data(), buffer.size(), 2000),
                  static_cast<int>(size));
        EXPECT_EQ(buffer[size - 1], static_cast<unsigned char>(size));
    }
    hid_set_nonblocking(dev.get(), 1);
    EXPECT_EQ(hid_read(dev.get(), buffer.data(), buffer.size()), 0);

    // A report longer than the buffer is cut; the next one is whole.
    reader->pushInputReport(Report(100, 1));
    reader->pushInputReport(Report(10, 2));
    EXPECT_EQ(hid_read_timeout(dev.get(), buffer.data(), 50, 2000), 50);
    EXPECT_EQ(hid_read_timeout(dev.get(), buffer.data(), buffer.size(), 2000), 10);

    for (int i = 0; i < 70; ++i) {
        reader->pushInputReport(Report(8, static_cast<unsigned char>(i)));
    }
    int reports = 0;
    while (hid_read(dev.get(), buffer.data(), buffer.size()) > 0) {
        EXPECT_EQ(buffer[0], reports);  // the oldest are kept, in order
        ++reports;
    }
    EXPECT_EQ(reports, 64);
}

TEST_F(UmockdevHidNodeTest, UnplugFailsOpenHandlesAndAReaderPluggedAgainGetsANewNode) {
    auto reader = umockdevBus().plug<ExtendedReader>(VID, 0x1d, std::string("EMV1"));
    ASSERT_TRUE(reader);
    const std::string first = reader->path();
    Device dev(hid_open_path(first.c_str()));
    ASSERT_TRUE(dev);
    hid_set_nonblocking(dev.get(), 1);
    std::vector<unsigned char> buffer(2048);
    EXPECT_EQ(hid_read(dev.get(), buffer.data(), buffer.size()), 0);

    umockdevBus().unplug(reader);
    EXPECT_EQ(hid_read(dev.get(), buffer.data(), buffer.size()), -1);
    EXPECT_NE(std::wstring(hid_error(dev.get())).find(L"device disconnected"), std::wstring::npos);
    buffer[0] = 1;
    EXPECT_EQ(hid_get_feature_report(dev.get(), buffer.data(), 61), -1);
    EXPECT_EQ(hid_send_feature_report(dev.get(), buffer.data(), 61), -1);
    EXPECT_EQ(listed(first).count, 0);
    EXPECT_EQ(hid_open_path(first.c_str()), nullptr);
    dev.reset();

    // Back in: listed under a new node, and it works.
    ASSERT_TRUE(umockdevBus().attach(reader));
    EXPECT_NE(reader->path(), first);
    EXPECT_EQ(listed(reader->path()).count, 1);
    Device again(hid_open_path(reader->path().c_str()));
    ASSERT_TRUE(again);
    buffer.assign(61, 0);
    buffer[0] = 1;
    ASSERT_EQ(hid_get_feature_report(again.get(), buffer.data(), 61), 61);
    EXPECT_EQ(buffer[1], 0x00);  // idle status
    reader->swipe("%B4111111111111111^DOE/JOHN^2512101?", "", "");
    EXPECT_GT(hid_read_timeout(again.get(), buffer.data(), 2048, 2000), 300);
    EXPECT_EQ(buffer[0], 0x01);
}

}  // namespace
