// The hidapi stand-in itself: the library's tests are only as good as its
// fidelity to hidapi 0.13.1.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "virtualhid/VirtualHid.h"

using quorin_sim::HidBackend;
using quorin_sim::Report;
using quorin_sim::VirtualHid;
using quorin_sim::VirtualReader;

namespace {

class VirtualHidTest : public ::testing::TestWithParam<HidBackend> {
protected:
    void SetUp() override {
        VirtualHid::instance().reset();
        VirtualHid::instance().setBackend(GetParam());
        reader = VirtualHid::instance().plug(0x1234, 0x11, std::string("SN1"));
        dev = hid_open_path(reader->path().c_str());
        ASSERT_NE(dev, nullptr);
    }
    void TearDown() override {
        hid_close(dev);
        VirtualHid::instance().reset();
        EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
    }
    bool hidraw() const { return GetParam() == HidBackend::HIDRAW; }

    std::shared_ptr<VirtualReader> reader;
    hid_device* dev = nullptr;
};

}  // namespace

TEST_P(VirtualHidTest, FeatureReportsCountTheReportIdByte) {
    unsigned char out[8] = {0x00, 0x01, 0x02};
    EXPECT_EQ(hid_send_feature_report(dev, out, sizeof(out)), 8);
    ASSERT_EQ(reader->featureWrites().size(), 1u);
    EXPECT_EQ(reader->featureWrites()[0], Report(out, out + 8));

    // ID 0: the device's bytes land after the ID byte; the count includes it.
    reader->queueFeatureResponse({0xA1, 0xA2, 0xA3});
    unsigned char in[8] = {};
    EXPECT_EQ(hid_get_feature_report(dev, in, sizeof(in)), 4);
    EXPECT_EQ(Report(in, in + 5), (Report{0x00, 0xA1, 0xA2, 0xA3, 0x00}));
    // Numbered report: the device repeats the ID itself.
    reader->queueFeatureResponse({0x05, 0xB1});
    unsigned char numbered[4] = {0x05};
    EXPECT_EQ(hid_get_feature_report(dev, numbered, sizeof(numbered)), 2);
    EXPECT_EQ(numbered[1], 0xB1);
    // A device answer longer than the buffer is cut to it.
    reader->queueFeatureResponse(Report(20, 0x77));
    unsigned char shortBuf[4] = {};
    EXPECT_EQ(hid_get_feature_report(dev, shortBuf, sizeof(shortBuf)), 4);
    // A stall fails.
    EXPECT_EQ(hid_get_feature_report(dev, in, sizeof(in)), -1);
    EXPECT_EQ(reader->featureReadAttempts(), 4);
}

TEST_P(VirtualHidTest, ReadsAreNonBlockingAndSizedByBackend) {
    ASSERT_EQ(hid_set_nonblocking(dev, 1), 0);
    unsigned char buf[256];
    EXPECT_EQ(hid_read(dev, buf, sizeof(buf)), 0);
    reader->pushInputReport(Report(100, 0x33));
    if (hidraw()) {
        EXPECT_EQ(hid_read(dev, buf, sizeof(buf)), 100);
    } else {
        EXPECT_EQ(hid_read(dev, buf, sizeof(buf)), 64);
        EXPECT_EQ(hid_read(dev, buf, sizeof(buf)), 36);
    }
    EXPECT_EQ(hid_read(dev, buf, sizeof(buf)), 0);

    // A blocking read with a time-out is woken by a report from another thread.
    std::thread late([this] { reader->pushInputReport({0x01, 0x02}); });
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof(buf), 5000), 2);
    late.join();
}

TEST_P(VirtualHidTest, UnplugEndsReadsPerBackend) {
    unsigned char buf[64];
    reader->pushInputReport({0x09});
    reader->unplug();
    if (!hidraw()) {
        EXPECT_EQ(hid_read_timeout(dev, buf, sizeof(buf), 0), 1);  // queued before unplug
    }
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof(buf), 0), -1);
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof(buf), -1), -1);  // no hang
    EXPECT_EQ(hid_send_feature_report(dev, buf, 8), -1);
    EXPECT_EQ(hid_enumerate(0, 0), nullptr);
    EXPECT_EQ(hid_open_path(reader->path().c_str()), nullptr);
    if (hidraw()) {
        EXPECT_STREQ(hid_error(dev), L"ioctl (SFEATURE): No such device");
    } else {
        EXPECT_STREQ(hid_error(dev), L"hid_error is not implemented yet");
    }
}

TEST_P(VirtualHidTest, EnumerationFollowsTheBackend) {
    auto noSerial = VirtualHid::instance().plug(0x1234, 0x12, std::nullopt);
    noSerial->setListingCount(2);
    hid_device_info* list = hid_enumerate(0x1234, 0x12);
    ASSERT_NE(list, nullptr);
    if (hidraw()) {
        EXPECT_EQ(std::string(list->path), "/dev/hidraw1");
        ASSERT_NE(list->serial_number, nullptr);
        EXPECT_STREQ(list->serial_number, L"");
        ASSERT_NE(list->next, nullptr);  // listed once per usage pair
        EXPECT_STREQ(list->next->path, list->path);
        EXPECT_EQ(list->next->next, nullptr);
    } else {
        EXPECT_EQ(std::string(list->path), "1-2.2:1.0");
        EXPECT_EQ(list->serial_number, nullptr);
        EXPECT_EQ(list->next, nullptr);
    }
    hid_free_enumeration(list);
    EXPECT_EQ(hid_enumerate(0x9999, 0), nullptr);
}

TEST_P(VirtualHidTest, ErrorTextsAndNullHandles) {
    hid_close(nullptr);
    unsigned char buf[8] = {};
    EXPECT_EQ(hid_read(nullptr, buf, sizeof(buf)), -1);
    reader->setFailFeatureTransfers(true);
    EXPECT_EQ(hid_get_feature_report(dev, buf, sizeof(buf)), -1);
    const wchar_t* expected =
        hidraw() ? L"ioctl (GFEATURE): Broken pipe" : L"hid_error is not implemented yet";
    EXPECT_STREQ(hid_error(dev), expected);
    reader->setFailFeatureTransfers(false);
    EXPECT_EQ(hid_send_feature_report(dev, buf, sizeof(buf)), 8);
    EXPECT_STREQ(hid_error(dev), hidraw() ? L"Success" : L"hid_error is not implemented yet");
    EXPECT_EQ(hid_open_path("/nowhere"), nullptr);
    EXPECT_NE(hid_error(nullptr), nullptr);
    EXPECT_EQ(hid_version()->minor, 13);
}

INSTANTIATE_TEST_SUITE_P(Backends, VirtualHidTest,
                         ::testing::Values(HidBackend::HIDRAW, HidBackend::LIBUSB),
                         [](const ::testing::TestParamInfo<HidBackend>& info) {
                             return info.param == HidBackend::HIDRAW ? "hidraw" : "libusb";
                         });
