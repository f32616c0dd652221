// Sorting of incoming reports and reassembly of notifications on the USB,
// Bluetooth LE and serial links, through the connection's data callback.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ExtendedTestSupport.h"
#include "extended/Veyra.h"
#include "extended/VeyraBle.h"
#include "extended/VeyraSerial.h"

using namespace quorin;
using namespace quorin_test;

namespace {

const char* const BAD_LENGTH = "Invalid notification package data length!";
const char* const BAD_HEADER = "Header is not match!";
const char* const BAD_STATE = "Invalid notification id!";
const char* const INCOMPLETE = "Notification incomplete: dropped!";

template <class Reader>
class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        conn = reader.attach();
        reader.setDelegate(&delegate);
    }
    void TearDown() override { reader.setDelegate(nullptr); }

    // Exactly one error, with code 17 and the given text.
    void expectOneError(const char* text) {
        auto errors = delegate.errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].code, 17);
        EXPECT_EQ(errors[0].text, text);
        EXPECT_EQ(reader.notificationState(), 0);
        delegate.reset();
    }

    RecordingDelegate delegate;
    Probe<Reader> reader;
    ScriptedConnection* conn = nullptr;
};

using UsbLink = LinkTest<Veyra>;
using BleLink = LinkTest<VeyraBle>;
using SerialLink = LinkTest<VeyraSerial>;

}  // namespace

TEST_F(UsbLink, EmptyNotificationIsDeliveredAtOnce) {
    conn->push(fromHex("020000000012340000"));
    auto notes = delegate.notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].id, 0x1234);
    EXPECT_TRUE(notes[0].nullData);
    EXPECT_EQ(notes[0].length, 0);
    EXPECT_TRUE(delegate.errors().empty());
}

TEST_F(UsbLink, SplitNotificationIsDeliveredOnceInOrder) {
    const Bytes data = sequence(100, 7);
    conn->push(usbNotification(0x0300, 0, 55, 100, Bytes(data.begin(), data.begin() + 55)));
    EXPECT_TRUE(delegate.notes().empty());
    EXPECT_EQ(reader.notificationState(), 2);
    conn->push(usbNotification(0x0300, 55, 45, 100, Bytes(data.begin() + 55, data.end())));
    auto notes = delegate.notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].id, 0x0300);
    EXPECT_EQ(notes[0].data, data);
    EXPECT_EQ(reader.notificationState(), 0);

    // A chunk length byte of 0 stands for 256 bytes.
    delegate.reset();
    conn->push(usbNotification(0x0301, 0, 0, 256, sequence(256)));
    notes = delegate.notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].data, sequence(256));
    EXPECT_TRUE(delegate.errors().empty());
}

TEST_F(UsbLink, ReassemblyErrorsReachOnErrorAndResetTheState) {
    // First packet not at offset 0.
    conn->push(usbNotification(0x0300, 55, 45, 100, sequence(45)));
    expectOneError(BAD_LENGTH);
    conn->push(usbNotification(0x0300, 0x10, 10, 100, sequence(10)));
    expectOneError(BAD_LENGTH);

    // Another id while collecting; the packet after that starts afresh.
    conn->push(usbNotification(0x0300, 0, 50, 100, sequence(50)));
    conn->push(usbNotification(0x0301, 50, 50, 100, sequence(50)));
    expectOneError(BAD_HEADER);
    conn->push(usbNotification(0x0302, 0, 4, 4, sequence(4)));
    ASSERT_EQ(delegate.notes().size(), 1u);
    EXPECT_EQ(delegate.notes()[0].id, 0x0302);
    delegate.reset();

    // A chunk longer than the packet, or past the announced total.
    conn->push(usbNotification(0x0300, 0, 55, 100, sequence(20)));
    expectOneError(BAD_LENGTH);
    conn->push(usbNotification(0x0300, 0, 55, 30, sequence(55)));
    expectOneError(BAD_LENGTH);
    conn->push(usbNotification(0x0300, 0, 50, 100, sequence(50)));
    conn->push(usbNotification(0x0300, 60, 50, 100, sequence(50)));
    expectOneError(BAD_LENGTH);

    // Too short to carry a header: ignored, a collection in progress stays.
    conn->push(usbNotification(0x0300, 0, 50, 100, sequence(50)));
    conn->push(fromHex("0200050000"));
    EXPECT_EQ(reader.notificationState(), 2);
    EXPECT_TRUE(delegate.errors().empty());
    conn->push(usbNotification(0x0300, 50, 50, 100, sequence(50, 50)));
    ASSERT_EQ(delegate.notes().size(), 1u);
    EXPECT_EQ(delegate.notes()[0].data, sequence(100));
    EXPECT_TRUE(delegate.errors().empty());
}

TEST_F(UsbLink, SortsReportsByTheirFirstByte) {
    conn->push(fromHex("01AABB"));
    conn->push(fromHex("05000000001234000000"));
    ASSERT_EQ(reader.cards().size(), 1u);
    EXPECT_EQ(reader.cards()[0], fromHex("01AABB"));
    EXPECT_TRUE(delegate.notes().empty());

    reader.throwOnCard = true;
    conn->push(fromHex("01AABB"));
    expectOneError("Invalid input data!");

    // A failing host callback ends in "Exception!", and the next notification
    // is collected from a clean state.
    delegate.throwOnNextNotification = true;
    conn->push(usbNotification(0x0300, 0, 2, 2, sequence(2)));
    expectOneError("Exception!");
    conn->push(usbNotification(0x0300, 0, 2, 2, sequence(2)));
    ASSERT_EQ(delegate.notes().size(), 1u);
    EXPECT_EQ(delegate.notes()[0].data, sequence(2));
    EXPECT_TRUE(delegate.errors().empty());
}

TEST_F(BleLink, NotificationWithTwoByteChunkLengthsIsDeliveredOnce) {
    const Bytes data = sequence(300, 3);
    // A 0x03 packet is taken as 0x02; an empty first chunk is accepted.
    conn->push(wideNotification(0x03, 0x0304, 0, 0, 300, {}));
    conn->push(
        wideNotification(0x03, 0x0304, 0, 200, 300, Bytes(data.begin(), data.begin() + 200)));
    EXPECT_TRUE(delegate.notes().empty());
    EXPECT_EQ(reader.notificationState(), 2);
    conn->push(
        wideNotification(0x02, 0x0304, 200, 100, 300, Bytes(data.begin() + 200, data.end())));
    auto notes = delegate.notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].id, 0x0304);
    EXPECT_EQ(notes[0].data, data);
    EXPECT_TRUE(delegate.errors().empty());
}

TEST_F(BleLink, ReassemblyErrorsAndCardData) {
    conn->push(wideNotification(0x02, 0x0300, 0, 10, 100, sequence(10)));
    conn->push(wideNotification(0x02, 0x0300, 10, 0, 100, {}));
    expectOneError(BAD_LENGTH);
    conn->push(wideNotification(0x02, 0x0300, 0, 10, 100, sequence(10)));
    conn->push(wideNotification(0x02, 0x0300, 10, 30, 100, sequence(12)));  // past the packet
    expectOneError(BAD_LENGTH);
    conn->push(wideNotification(0x02, 0x0300, 0, 10, 100, sequence(10)));
    conn->push(wideNotification(0x02, 0x0300, 10, 10, 99, sequence(10)));
    expectOneError(BAD_HEADER);

    // Card data beginning with 0x00 is decoded as a 0x01 report, one byte longer.
    conn->push(fromHex("00112233"));
    ASSERT_EQ(reader.cards().size(), 1u);
    EXPECT_EQ(reader.cards()[0], fromHex("0111223300"));
    // The two-byte data-ready signal is not card data.
    conn->push(fromHex("0100"));
    EXPECT_EQ(reader.cards().size(), 1u);
    EXPECT_EQ(reader.waitForCommand(), 0);
}

TEST_F(SerialLink, NotificationIsDeliveredOnceAndShortFramesAreIgnored) {
    const Bytes data = sequence(70);
    conn->push(wideNotification(0x02, 0x0302, 0, 40, 70, Bytes(data.begin(), data.begin() + 40)));
    conn->push(fromHex("0200000000000000"));  // 8 bytes: ignored
    EXPECT_EQ(reader.notificationState(), 2);
    conn->push(wideNotification(0x02, 0x0302, 40, 30, 70, Bytes(data.begin() + 40, data.end())));
    auto notes = delegate.notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].data, data);
    EXPECT_TRUE(delegate.errors().empty());

    // A chunk longer than the frame copies what the frame holds, and the
    // notification, not whole, is dropped and reported (not delivered with
    // a hole of zeros).
    delegate.reset();
    conn->push(wideNotification(0x02, 0x0303, 0, 20, 20, sequence(12, 1)));
    EXPECT_TRUE(delegate.notes().empty());
    expectOneError(INCOMPLETE);
}

namespace {

// Packets of a notification as a hostile link delivers them: lost,
// repeated, out of order. Each packet carries the bytes of its place in the
// notification (byte i is i), so whatever is delivered must be whole.
struct Packet {
    unsigned short id;
    int offset;
    int length;
    int total;
};
struct LostPacketRow {
    const char* name;
    std::vector<Packet> packets;
    std::vector<unsigned short> delivered;
    std::vector<const char*> errors;
};
const LostPacketRow LOST_PACKET_ROWS[] = {
    {"whole", {{0x0300, 0, 10, 20}, {0x0300, 10, 10, 20}}, {0x0300}, {}},
    {"middle packet lost", {{0x0303, 0, 10, 30}, {0x0303, 20, 10, 30}}, {}, {INCOMPLETE}},
    {"last packet lost, then a notification of one packet",
     {{0x0301, 0, 10, 30}, {0x0301, 10, 10, 30}, {0x0304, 0, 4, 4}},
     {0x0304},
     {INCOMPLETE}},
    {"first packet twice",
     {{0x0300, 0, 10, 20}, {0x0300, 0, 10, 20}, {0x0300, 10, 10, 20}},
     {0x0300},
     {INCOMPLETE}},
    {"out of order",
     {{0x0302, 0, 10, 30}, {0x0302, 20, 10, 30}, {0x0302, 10, 10, 30}},
     {},
     {INCOMPLETE, BAD_LENGTH}},
};

template <class Reader>
void playLostPackets(Bytes (*packet)(const Packet&)) {
    for (const LostPacketRow& row : LOST_PACKET_ROWS) {
        SCOPED_TRACE(row.name);
        RecordingDelegate delegate;
        Probe<Reader> reader;
        ScriptedConnection* conn = reader.attach();
        reader.setDelegate(&delegate);
        for (const Packet& p : row.packets) {
            conn->push(packet(p));
        }
        reader.setDelegate(nullptr);
        std::vector<unsigned short> delivered;
        for (const auto& note : delegate.notes()) {
            delivered.push_back(note.id);
            EXPECT_EQ(note.data, sequence(note.length));
        }
        EXPECT_EQ(delivered, row.delivered);
        std::vector<std::string> errors;
        for (const auto& error : delegate.errors()) {
            errors.push_back(error.text);
        }
        EXPECT_EQ(errors, std::vector<std::string>(row.errors.begin(), row.errors.end()));
        EXPECT_EQ(reader.notificationState(), 0);
    }
}

Bytes usbPacket(const Packet& p) {
    return usbNotification(p.id, p.offset, p.length, p.total, sequence(p.length, p.offset));
}
Bytes widePacket(const Packet& p) {
    return wideNotification(0x02, p.id, p.offset, p.length, p.total, sequence(p.length, p.offset));
}

}  // namespace

TEST(LostPackets, ANotificationIsDeliveredWholeOrDroppedAndReportedOnEveryLink) {
    playLostPackets<Veyra>(usbPacket);
    playLostPackets<VeyraBle>(widePacket);
    playLostPackets<VeyraSerial>(widePacket);
}

TEST_F(SerialLink, TypeThreeStateAndDecoderErrors) {
    // The type byte is kept: a 0x03 packet that does not complete leaves a
    // state the next packet refuses.
    conn->push(wideNotification(0x03, 0x0300, 0, 10, 20, sequence(10)));
    EXPECT_EQ(reader.notificationState(), 3);
    conn->push(wideNotification(0x02, 0x0300, 10, 10, 20, sequence(10)));
    expectOneError(BAD_STATE);
    EXPECT_TRUE(delegate.notes().empty());
    // A 0x03 packet that completes is delivered.
    conn->push(wideNotification(0x03, 0x0300, 0, 3, 3, sequence(3)));
    EXPECT_EQ(delegate.notes().size(), 1u);

    conn->push(fromHex("00AA"));
    conn->push(fromHex("01BB"));
    conn->push(fromHex("04CC"));
    ASSERT_EQ(reader.cards().size(), 2u);
    EXPECT_EQ(reader.cards()[0], fromHex("00AA"));
    reader.throwOnCard = true;
    conn->push(fromHex("01BB"));
    expectOneError("invalid input data!");
}

TEST_F(SerialLink, CardDataBehindTheFilterMarkerReachesTheDecoder) {
    // Hex form: the report's bytes as hex text behind 0xC0.
    const std::string reportHex =
        "0100000400000000"
        "DEADBEEF";
    Bytes hexFrame{0xC0};
    hexFrame.insert(hexFrame.end(), reportHex.begin(), reportHex.end());
    conn->push(hexFrame);
    ASSERT_EQ(reader.cards().size(), 1u);
    EXPECT_EQ(reader.cards()[0], fromHex(reportHex));

    // A legacy line of track text, odd hex, a report too short to be one, or
    // a header followed by raw bytes (no shape the connection hands over) is
    // not card data: each is refused and reported.
    for (const std::string& text :
         {std::string("%B4111^DOE/A^2512?"), std::string("0100000"), std::string("0100")}) {
        Bytes frame{0xC0};
        frame.insert(frame.end(), text.begin(), text.end());
        conn->push(frame);
    }
    Bytes headerAndRaw =
        fromHex("C0" + toHex({'0', '1', '0', '0', '0', 'A'}) + "01000002000000008899");
    conn->push(headerAndRaw);
    EXPECT_EQ(reader.cards().size(), 1u);
    const auto errors = delegate.errors();
    ASSERT_EQ(errors.size(), 4u);
    for (const auto& error : errors) {
        EXPECT_EQ(error.code, 17);
        EXPECT_EQ(error.text, "Invalid input data!");
    }
}
