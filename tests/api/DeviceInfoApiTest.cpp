// Device information queries against a plain virtual reader.
#include <gtest/gtest.h>

#include <string>

#include "Quorin.h"
#include "virtualhid/VirtualHid.h"

using quorin_sim::Report;
using quorin_sim::VirtualHid;
using quorin_sim::VirtualReader;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;

class DeviceInfoApiTest : public ::testing::Test {
protected:
    void SetUp() override { VirtualHid::instance().reset(); }
    void TearDown() override {
        CloseDevice();
        VirtualHid::instance().reset();
    }
    std::shared_ptr<VirtualReader> open(uint16_t pid) {
        auto reader = VirtualHid::instance().plug(VID, pid, std::string("SN0001"));
        EXPECT_EQ(OpenDevice(nullptr), 0);
        return reader;
    }
    // The command bytes of the n-th feature report written (after report ID).
    static Report sent(const std::shared_ptr<VirtualReader>& reader, size_t n, size_t bytes) {
        Report r = reader->featureWrites().at(n);
        return Report(r.begin() + 1, r.begin() + 1 + static_cast<long>(bytes));
    }
};

TEST_F(DeviceInfoApiTest, WithoutReader) {
    EXPECT_EQ(GetBatteryLevel(), 100);
    EXPECT_STREQ(GetDeviceSerial(), "");
    EXPECT_STREQ(GetCapMagStripeEncryption(), "0");
    EXPECT_STREQ(GetCapStrivo20Encryption(), "0");
    EXPECT_STREQ(GetDeviceName(), "");
    EXPECT_STREQ(GetProductID(), "0000");
    EXPECT_FALSE(IsDeviceEMV());
    EXPECT_EQ(TerminateBLEConnection(), 5);
}

TEST_F(DeviceInfoApiTest, BatteryLevelFromEitherCommand) {
    auto reader = open(0x11);
    reader->queueFeatureResponse({0x00, 0x01, 0x5A});
    EXPECT_EQ(GetBatteryLevel(), 90);
    EXPECT_EQ(sent(reader, 0, 2), (Report{0x45, 0x00}));

    reader->queueFeatureResponse({0x01, 0x00});
    reader->queueFeatureResponse({0x00, 0x04, 0x01, 0x01, 0x00, 0x50});
    EXPECT_EQ(GetBatteryLevel(), 80);
    EXPECT_EQ(sent(reader, 2, 6), (Report{0x46, 0x04, 0x01, 0x00, 0x00, 0x05}));

    reader->queueFeatureResponse({0x01, 0x00});
    reader->queueFeatureResponse({0x00, 0x04, 0x02, 0x01, 0x00, 0x50});
    EXPECT_EQ(GetBatteryLevel(), 100);
}

TEST_F(DeviceInfoApiTest, SerialNumberIsAskedOnceUntilClose) {
    auto reader = open(0x11);
    reader->queueFeatureResponse({0x00, 0x03, 'Q', 'R', '7'});
    EXPECT_STREQ(GetDeviceSerial(), "QR7");
    EXPECT_STREQ(GetDeviceSerial(), "QR7");
    EXPECT_EQ(reader->featureWrites().size(), 1u);
    EXPECT_EQ(sent(reader, 0, 3), (Report{0x00, 0x01, 0x03}));
    CloseDevice();
    EXPECT_EQ(OpenDevice(nullptr), 0);
    reader->queueFeatureResponse({0x00, 0x02, 'Z', 'Z'});
    EXPECT_STREQ(GetDeviceSerial(), "ZZ");
}

TEST_F(DeviceInfoApiTest, CapabilitiesFirmwareAndPartNumber) {
    auto reader = open(0x11);
    reader->queueFeatureResponse({0x00, 0x01, 0x02});
    EXPECT_STREQ(GetCapMagStripeEncryption(), "1");
    reader->queueFeatureResponse({0x00, 0x01, 0x01});
    EXPECT_STREQ(GetCapMagStripeEncryption(), "0");
    reader->queueFeatureResponse({0x00, 0x01, 0x01});
    EXPECT_STREQ(GetCapStrivo20Encryption(), "1");
    reader->queueFeatureResponse({0x00, 0x01, 0x00});
    EXPECT_STREQ(GetCapStrivo20Encryption(), "0");
    reader->queueFeatureResponse({0x00, 0x02, 0x12, 0x34});
    EXPECT_STREQ(GetFirmware(), "1234");
    reader->queueFeatureResponse({0x00, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    EXPECT_STREQ(GetDevicePartNumber(), "0102030405060708");
    // Fifteen characters are too few.
    reader->queueFeatureResponse({0x00, 0x07, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_STREQ(GetDevicePartNumber(), "");
}

TEST_F(DeviceInfoApiTest, NameProductIdAndEmvCapability) {
    open(0x11);
    EXPECT_STREQ(GetDeviceName(), "Strivo V4/V5 Swipe");
    EXPECT_STREQ(GetProductID(), "0011");
    EXPECT_FALSE(IsDeviceEMV());
    EXPECT_EQ(GetVelarcMode(), 0);
    SetVelarcMode(3);
    EXPECT_EQ(GetVelarcMode(), 3);
    EXPECT_EQ(_VelarcMode, 3);
    SetVelarcMode(0);
}

}  // namespace
