// The reader object core: command framing, response decoding, the factory's
// choice of class, delegate attachment and loss of the device.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "TestWait.h"
#include "extended/Veyra.h"
#include "extended/VeyraSerial.h"
#include "reader/Strivo.h"
#include "reader/StrivoBootLoader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin;
using quorin_sim::VirtualHid;
using quorin_test::waitUntil;

namespace {

class CountingDelegate : public Strivo_Delegate {
public:
    void OnError(Strivo*, int, char*) override { ++errors; }
    void OnDeviceChange(Strivo*, EDeviceStateValues status) override {
        if (status == ZEDRA_STATE_CONNECTED) {
            ++connected;
        } else {
            ++disconnected;
        }
    }
    void OnCardUpdate(Strivo*, ECardDataStateValues) override { ++cards; }
    void OnNotification(Strivo*, unsigned short, const unsigned char*, int) override {}

    std::atomic<int> errors{0};
    std::atomic<int> connected{0};
    std::atomic<int> disconnected{0};
    std::atomic<int> cards{0};
};

std::vector<unsigned char> compose(Strivo& reader, const char* text, int capacity = 64) {
    std::vector<unsigned char> buffer(static_cast<size_t>(capacity) + 8, 0);
    int length = capacity;
    std::string copy = text;
    if (!reader.composeCommand(reinterpret_cast<unsigned char*>(&copy[0]), 0, buffer.data(),
                               &length)) {
        return {};
    }
    buffer.resize(static_cast<size_t>(length));
    return buffer;
}

TEST(StrivoFraming, CommandFrameIsReportIdCommandLengthData) {
    Strivo reader;
    EXPECT_EQ(compose(reader, "0100"), (std::vector<unsigned char>{0x00, 0x01, 0x01, 0x00}));
    EXPECT_EQ(compose(reader, "01"), (std::vector<unsigned char>{0x00, 0x01, 0x00}));
    // Either case; a trailing odd digit is ignored.
    EXPECT_EQ(compose(reader, "0aBc5"), (std::vector<unsigned char>{0x00, 0x0A, 0x01, 0xBC}));
    // Nothing to send, or no room for it.
    EXPECT_TRUE(compose(reader, "").empty());
    EXPECT_TRUE(compose(reader, "0").empty());
    EXPECT_TRUE(compose(reader, "010203", 4).empty());
    EXPECT_FALSE(compose(reader, "010203", 5).empty());
    // Text beyond the 1024-byte work area is refused, not cut.
    std::string huge(2 * 1025, 'A');
    EXPECT_TRUE(compose(reader, huge.c_str(), 4096).empty());
    // The length byte says 255 data bytes at most: one more would be framed
    // with a wrapped length (0), so it is refused however large the buffer.
    std::string longest = "01" + std::string(2 * 255, 'B');
    std::vector<unsigned char> frame = compose(reader, longest.c_str(), 4096);
    ASSERT_EQ(frame.size(), 258u);
    EXPECT_EQ(frame[2], 0xFF);
    EXPECT_EQ(frame[257], 0xBB);
    EXPECT_TRUE(compose(reader, (longest + "BB").c_str(), 4096).empty());
    int length = 10;
    EXPECT_FALSE(reader.composeCommand(nullptr, 0, nullptr, &length));
}

TEST(StrivoFraming, ResponseFrameDecodesToUpperHexAndResultCode) {
    Strivo reader;
    unsigned char ok[61] = {0x00, 0x00, 0x02, 0xAB, 0xCD};
    char out[64];
    int outLen = sizeof(out);
    EXPECT_EQ(reader.MakeHexStringFromResponse(ok, sizeof(ok), out, &outLen), 0);
    EXPECT_STREQ(out, "ABCD");
    EXPECT_EQ(outLen, 4);

    unsigned char failed[61] = {0x00, 0x07, 0x00};
    outLen = sizeof(out);
    EXPECT_EQ(reader.MakeHexStringFromResponse(failed, sizeof(failed), out, &outLen), 7);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(outLen, 0);
    EXPECT_EQ(reader.getResultCode(), 7);

    // A length byte larger than what arrived: the answer was cut, refused.
    unsigned char shortReport[5] = {0x00, 0x00, 0xFF, 0x11, 0x22};
    outLen = sizeof(out);
    EXPECT_EQ(reader.MakeHexStringFromResponse(shortReport, 5, out, &outLen), 17);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(outLen, 0);

    // An answer that does not fit the text buffer is refused whole.
    outLen = 4;
    EXPECT_EQ(reader.MakeHexStringFromResponse(ok, sizeof(ok), out, &outLen), 6);
    EXPECT_EQ(outLen, 0);
}

TEST(StrivoFactory, RowsAndSchemesChooseTheClass) {
    VirtualHid::instance().reset();
    const uint16_t vid = QUORIN_USB_VENDOR_ID;
    for (uint16_t pid : {0x11, 0x13, 0x12, 0x1d}) {
        VirtualHid::instance().plug(vid, pid, "SN" + std::to_string(pid));
    }
    auto plain = Strivo::open("HID://SN17", findConfigRow(0x11));
    ASSERT_TRUE(plain);
    EXPECT_EQ(typeid(*plain), typeid(Strivo));
    EXPECT_EQ(plain->getCardData().m_dwReaderID, 0);  // record is empty until a swipe
    EXPECT_EQ(plain->configTable.dwPID, 0x11);
    EXPECT_STREQ(plain->configTable.strDesc, "Strivo V4/V5 Swipe");

    auto boot = Strivo::open("HID://SN18", findConfigRow(0x12));
    ASSERT_TRUE(boot);
    EXPECT_NE(dynamic_cast<StrivoBootLoader*>(boot.get()), nullptr);

    // A row the library has no reader class for is refused.
    EXPECT_FALSE(Strivo::open("HID://SN17", findConfigRow(0x18)));
    // A path whose connection cannot be opened leaves nothing behind.
    EXPECT_FALSE(Strivo::open("HID://NOSUCH", findConfigRow(0x11)));
    EXPECT_FALSE(Strivo::open(nullptr, nullptr));
    EXPECT_FALSE(Strivo::open("serial://PORT=/nonexistent/tty", nullptr));
    plain.reset();
    boot.reset();
    EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
    VirtualHid::instance().reset();
}

TEST(StrivoDelegate, AttachReportsConnectedOnceAndUnplugDisconnectedOnce) {
    VirtualHid::instance().reset();
    auto device = VirtualHid::instance().plug(static_cast<uint16_t>(QUORIN_USB_VENDOR_ID),
                                              static_cast<uint16_t>(0x11), std::string("SN1"));
    auto reader = Strivo::open("HID://SN1", findConfigRow(0x11));
    ASSERT_TRUE(reader);
    CountingDelegate delegate;
    reader->setDelegate(nullptr);  // attaching nothing reports nothing
    reader->setDelegate(&delegate);
    EXPECT_EQ(delegate.connected.load(), 1);
    device->unplug();
    ASSERT_TRUE(waitUntil([&] { return delegate.disconnected.load() == 1; }));
    EXPECT_TRUE(reader->isConnected());
    reader->setDelegate(nullptr);
    reader.reset();  // detached first, so destroying reports nothing
    EXPECT_EQ(delegate.disconnected.load(), 1);
    VirtualHid::instance().reset();
}

TEST(StrivoCommands, ExchangeStopsAtTheFirstFailingStep) {
    VirtualHid::instance().reset();
    auto device = VirtualHid::instance().plug(static_cast<uint16_t>(QUORIN_USB_VENDOR_ID),
                                              static_cast<uint16_t>(0x11), std::string("SN1"));
    auto reader = Strivo::open("HID://SN1", findConfigRow(0x11));
    ASSERT_TRUE(reader);
    Strivo::Exchange bad = reader->runExchange("", 64);
    EXPECT_EQ(bad.stage, Strivo::Exchange::SEND);
    EXPECT_EQ(bad.result, 6);

    device->queueFeatureResponse({0x00, 0x01, 0x5A});
    Strivo::Exchange good = reader->runExchange("0100", 64);
    EXPECT_EQ(good.stage, Strivo::Exchange::DECODE);
    EXPECT_EQ(good.result, 0);
    EXPECT_EQ(good.hex, "5A");
    ASSERT_GE(good.response.size(), 4u);
    EXPECT_EQ(good.response[3], 0x5A);

    Strivo::Exchange unanswered = reader->runExchange("0100", 64);
    EXPECT_EQ(unanswered.stage, Strivo::Exchange::READ);
    EXPECT_EQ(unanswered.result, 17);

    // Without a connection every step is refused with 5.
    Strivo closed;
    EXPECT_EQ(closed.runExchange("0100", 64).result, 5);
    EXPECT_EQ(closed.getRawData(), "");
    reader.reset();
    VirtualHid::instance().reset();
}

}  // namespace
