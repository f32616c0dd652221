// The factory's choice of reader for each product, seen from the device: the
// protocol the opened reader speaks and the opening handshake it runs.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "reader/CRConfigTable.h"
#include "reader/Strivo.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin;
using quorin_sim::ExtendedReader;
using quorin_sim::PlainCommandReader;
using quorin_sim::VirtualHid;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;

// An extended reader on a Bluetooth LE link: after taking a command it
// signals that response data is ready (the two-byte input report 01 00).
class BleLinkReader : public ExtendedReader {
public:
    using ExtendedReader::ExtendedReader;
    void onSetFeature(const quorin_sim::Report& report) override {
        ExtendedReader::onSetFeature(report);
        pushInputReport({0x01, 0x00});
    }
};

// The command ids (plain command bytes or extended ids) a device received.
std::vector<unsigned> idsOf(const std::vector<ExtendedReader::Command>& commands) {
    std::vector<unsigned> ids;
    for (const ExtendedReader::Command& c : commands) {
        ids.push_back(c.id);
    }
    return ids;
}

class ReaderFactory : public ::testing::Test {
protected:
    void SetUp() override { VirtualHid::instance().reset(); }
    void TearDown() override {
        EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
        VirtualHid::instance().reset();
    }

    // Opens the reader for the product's device-table row on the device's
    // system path, so that products enumeration does not list open too.
    static std::shared_ptr<Strivo> openRow(long pid, const std::string& systemPath) {
        const CRConfigTable* row = findConfigRow(pid);
        EXPECT_NE(row, nullptr) << std::hex << pid;
        return Strivo::open(("HID://" + systemPath).c_str(), row);
    }
};

TEST_F(ReaderFactory, PlainProductsSpeakThePlainProtocolWithoutHandshake) {
    // Swipe and insert readers, their boot loader, the keyboard-mode and
    // standard readers and the reader without an opening handshake.
    for (long pid : {0x11, 0x13, 0x12, 0x1, 0x2, 0x3, 0x2251}) {
        SCOPED_TRACE(std::to_string(pid));
        auto device = VirtualHid::instance().plug<PlainCommandReader>(
            VID, static_cast<uint16_t>(pid), std::string("P") + std::to_string(pid));
        device->setAnswer("0005", 0, {0xAB});
        auto reader = openRow(pid, device->path());
        ASSERT_TRUE(reader);
        EXPECT_TRUE(device->commands().empty()) << "opening sent a command";
        Strivo::Exchange ex = reader->runExchange("0005", 1024);
        EXPECT_EQ(ex.result, 0);
        EXPECT_EQ(ex.hex, "AB");
        EXPECT_EQ(device->commands().size(), 1u);
        reader.reset();
        VirtualHid::instance().detach(device);
    }
}

TEST_F(ReaderFactory, ExtendedProductsRunTheirOpeningHandshake) {
    struct Case {
        long pid;
        std::vector<unsigned> opening;  // commands the device sees while the reader opens
    };
    const Case cases[] = {
        {0x19, {0x48}},
        {0x1a, {0x48}},
        {0x1d, {0x48}},
        {0x1e, {0x48}},
        {0x1c, {0x48}},
        {0x1f, {0x48}},  // after a pause
        {0x5357, {}},    // the boot loader opens without a handshake
        // Rows without a class of their own get the USB extended reader.
        {0x20, {0x48}},
        {0x21, {0x48}},
        {0x14, {0x48}},
        {0x17, {0x48}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.pid));
        auto device = VirtualHid::instance().plug<ExtendedReader>(
            VID, static_cast<uint16_t>(c.pid), std::string("E") + std::to_string(c.pid));
        device->setAnswer("0005", 0, {0xCD});
        auto reader = openRow(c.pid, device->path());
        ASSERT_TRUE(reader);
        EXPECT_EQ(idsOf(device->commands()), c.opening);
        Strivo::Exchange ex = reader->runExchange("0005", 1024);
        EXPECT_EQ(ex.result, 0);
        EXPECT_EQ(ex.hex, "CD");
        reader.reset();
        VirtualHid::instance().detach(device);
    }
}

TEST_F(ReaderFactory, BluetoothProductsWaitForTheLinkSignal) {
    for (long pid : {0x119, 0x11c}) {
        SCOPED_TRACE(std::to_string(pid));
        auto device = VirtualHid::instance().plug<BleLinkReader>(
            VID, static_cast<uint16_t>(pid), std::string("B") + std::to_string(pid));
        auto reader = openRow(pid, device->path());
        ASSERT_TRUE(reader);
        // Both opening commands, each answered after the link's signal.
        EXPECT_EQ(idsOf(device->commands()), (std::vector<unsigned>{0x48, 0x46}));
        reader.reset();
        VirtualHid::instance().detach(device);
    }
}

TEST_F(ReaderFactory, ADeviceOpenedWithoutARowGetsTheExtendedReader) {
    // Without a row the path's scheme chooses: over USB the extended reader,
    // which greets the device with its handshake.
    auto device = VirtualHid::instance().plug<ExtendedReader>(VID, 0x11, std::string("NOROW"));
    auto reader = Strivo::open(("HID://" + device->path()).c_str(), nullptr);
    ASSERT_TRUE(reader);
    EXPECT_EQ(idsOf(device->commands()), (std::vector<unsigned>{0x48}));
    reader.reset();
}

}  // namespace
