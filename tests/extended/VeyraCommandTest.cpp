// The extended command path of a USB reader, byte for byte against a
// scripted connection: composing, slicing, collecting and decoding.
#include <gtest/gtest.h>

#include <string>

#include "ExtendedTestSupport.h"
#include "extended/Veyra.h"
#include "extended/VeyraOEMStrivoBootLoader.h"
#include "extended/VeyraSerial.h"
#include "extended/tPivra.h"

using namespace quorin;
using namespace quorin_test;

namespace {

Bytes text(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

int sendText(Veyra& reader, const std::string& s) {
    Bytes t = text(s);
    return reader.sendCommand(t.data(), static_cast<int>(s.size()));
}

// Composes s into a fresh buffer whose byte 0 is the report ID, as
// sendCommand prepares it. Returns the frame, or nothing when refused;
// *needed receives the length stored by the reader.
bool compose(Veyra& reader, const std::string& s, Bytes* frame, int capacity = 65536,
             int* needed = nullptr) {
    Bytes t = text(s);
    Bytes buffer(65536, 0);
    buffer[0] = 0x01;
    int length = capacity;
    bool ok =
        reader.composeExtendedCommand(t.data(), static_cast<int>(s.size()), buffer.data(), &length);
    if (needed != nullptr) {
        *needed = length;
    }
    if (ok) {
        frame->assign(buffer.begin(), buffer.begin() + length);
    }
    return ok;
}

std::string hexData(int n, int first = 0) {
    return toHex(sequence(n, first));
}

std::string decode(Veyra& reader, Bytes response, int* rc, int capacity = 8192) {
    std::string out(static_cast<size_t>(capacity), 'x');
    int outLen = capacity;
    *rc = reader.MakeHexStringFromResponse(response.data(), static_cast<int>(response.size()),
                                           &out[0], &outLen);
    return *rc == 0 ? out.substr(0, static_cast<size_t>(outLen)) : std::string();
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

class VeyraCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        PauseLog::reset();
        conn = reader.attach();
    }
    Probe<Veyra> reader;
    ScriptedConnection* conn = nullptr;
};

}  // namespace

TEST(VeyraCompose, BuildsPlainFramesAndExtendedPackets) {
    Probe<Veyra> reader;
    Bytes frame;
    ASSERT_TRUE(compose(reader, "4A", &frame));
    EXPECT_EQ(frame, fromHex("014A00"));
    ASSERT_TRUE(compose(reader, "4800", &frame));
    EXPECT_EQ(frame, fromHex("01480100"));
    ASSERT_TRUE(compose(reader, "030b:", &frame));
    EXPECT_EQ(frame, fromHex("014906000003"
                             "0B0000"));
    // A short command id is completed with zero bytes at its end.
    ASSERT_TRUE(compose(reader, "03:0102", &frame));
    EXPECT_EQ(frame, fromHex("0149080000030000020102"));
    // With the extended protocol switched off a colon text is framed plainly.
    reader.setLimit(0);
    ASSERT_TRUE(compose(reader, "4800", &frame));
    EXPECT_EQ(frame, fromHex("01480100"));
}

TEST(VeyraCompose, RefusesWhatDoesNotFit) {
    Probe<Veyra> reader;
    Bytes frame;
    int needed = 0;
    // Too small a buffer: refused, and the needed length is reported.
    EXPECT_FALSE(compose(reader, "030b:", &frame, 8, &needed));
    EXPECT_EQ(needed, 9);
    EXPECT_FALSE(compose(reader, "", &frame));
    EXPECT_FALSE(compose(reader, "030b0:01", &frame));  // the id has two bytes only
    // 32,768 data bytes is the largest command; one more is refused.
    const std::string most = std::string(2 * 32768, 'A');
    ASSERT_TRUE(compose(reader, "0102:" + most, &frame));
    EXPECT_EQ(frame.size(), 631u * 9 + 32768);
    EXPECT_EQ(frame[frame.size() - 8 - 9], 0x01);  // last packet starts with the report ID
    EXPECT_FALSE(compose(reader, "0102:" + most + "AA", &frame));
    // A plain frame's data length is one byte.
    ASSERT_TRUE(compose(reader, "01" + hexData(255), &frame));
    EXPECT_EQ(frame.size(), 258u);
    EXPECT_FALSE(compose(reader, "01" + hexData(256), &frame));
}

TEST_F(VeyraCommandTest, WritesACommandThatFitsOnePacketInOnePiece) {
    ASSERT_EQ(sendText(reader, "0102:" + hexData(52)), 0);
    auto sent = conn->sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, 1);
    EXPECT_EQ(sent[0].bytes, concat({fromHex("01493A000001020034"), sequence(52)}));
    EXPECT_TRUE(conn->reads().empty());
}

TEST_F(VeyraCommandTest, SlicesLongerCommandsAndReadsTheStatusBetween) {
    // The status read between the packets lets the next one go.
    conn->queueAnswer(fromHex("0100"));
    ASSERT_EQ(sendText(reader, "0102:" + hexData(53)), 0);
    auto sent = conn->sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes, concat({fromHex("01493A000001020035"), sequence(52)}));
    EXPECT_EQ(sent[1].bytes, concat({fromHex("014907003401020035"), sequence(1, 52)}));
    EXPECT_EQ(conn->events(), (std::vector<char>{'S', 'R', 'S'}));
    ASSERT_EQ(conn->reads().size(), 1u);
    EXPECT_EQ(conn->reads()[0].selector, 0x01);
    EXPECT_EQ(conn->reads()[0].capacity, 256);

    // A status read that fails only pauses the writer; an error status is the
    // reader refusing the packet, which ends the command with 17.
    conn->clearRecords();
    conn->queueFailure(17);
    EXPECT_EQ(sendText(reader, "0102:" + hexData(53)), 0);
    EXPECT_EQ(conn->events(), (std::vector<char>{'S', 'R', 'S'}));
    conn->clearRecords();
    conn->queueAnswer(fromHex("0111"));
    EXPECT_EQ(sendText(reader, "0102:" + hexData(120)), 17);
    EXPECT_EQ(conn->events(), (std::vector<char>{'S', 'R'}));

    // A plain text over 58 data bytes goes out in 61-byte slices as well.
    conn->clearRecords();
    ASSERT_EQ(sendText(reader, "01" + hexData(60)), 0);
    sent = conn->sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes.size(), 61u);
    EXPECT_EQ(sent[1].bytes, sequence(2, 58));
}

TEST_F(VeyraCommandTest, StopsAtAFailedWriteAndRefusesUnusableText) {
    conn->queueSendResult(0);
    conn->queueSendResult(17);
    EXPECT_EQ(sendText(reader, "0102:" + hexData(120)), 17);
    EXPECT_EQ(conn->sent().size(), 2u);

    conn->clearRecords();
    EXPECT_EQ(sendText(reader, ""), 6);
    EXPECT_EQ(sendText(reader, "0102:" + std::string(2 * 32769, '0')), 6);
    EXPECT_TRUE(conn->sent().empty());

    Probe<Veyra> closed;
    EXPECT_EQ(sendText(closed, "4800"), 5);
}

TEST_F(VeyraCommandTest, SerialReaderWritesUpTo2049BytesInOnePiece) {
    Probe<VeyraSerial> serial;
    ScriptedConnection* serialConn = serial.attach();
    // 1,872 data bytes: 36 packets, 2,196 bytes, too many for one write.
    ASSERT_EQ(sendText(serial, "0102:" + hexData(100)), 0);
    ASSERT_EQ(serialConn->sent().size(), 1u);
    EXPECT_EQ(serialConn->sent()[0].bytes.size(), 2u * 9 + 100);
    serialConn->clearRecords();
    ASSERT_EQ(sendText(serial, "0102:" + std::string(2 * 1872, '1')), 0);
    EXPECT_EQ(serialConn->sent().size(), 36u);
}

TEST_F(VeyraCommandTest, CollectsATwoPacketResponseWithOneNextPacketRequest) {
    conn->setPadTo(61);  // a HID connection returns the whole feature report
    conn->queueAnswer(responsePacket(0, 52, 100, 0x0102));
    conn->queueAnswer(responsePacket(52, 48, 100, 0x0102));
    Bytes buffer(8192, 0);
    int length = 8192;
    ASSERT_EQ(reader.getResponse(buffer.data(), &length), 0);
    ASSERT_EQ(length, 61 + 57);
    EXPECT_EQ(conn->events(), (std::vector<char>{'R', 'S', 'R'}));
    EXPECT_EQ(conn->countSent(fromHex("014A00")), 1);
    for (const auto& read : conn->reads()) {
        EXPECT_EQ(read.selector, 0x01);
    }

    int rc = -1;
    std::string hex = decode(reader, Bytes(buffer.begin(), buffer.begin() + length), &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(hex.size(), 200u);
    EXPECT_EQ(hex, hexData(100));
    EXPECT_EQ(hex.substr(104), hexData(48, 52));
    EXPECT_EQ(reader.getResultCode(), 0x0102);
}

TEST_F(VeyraCommandTest, PlainResponsesAreReturnedAsReadAndDecodedPlainly) {
    conn->setPadTo(61);
    conn->queueAnswer(fromHex("010002ABCD"));
    Bytes buffer(8192, 0);
    int length = 8192;
    ASSERT_EQ(reader.getResponse(buffer.data(), &length), 0);
    EXPECT_EQ(length, 61);
    int rc = -1;
    EXPECT_EQ(decode(reader, Bytes(buffer.begin(), buffer.begin() + length), &rc), "ABCD");
    EXPECT_EQ(rc, 0);

    std::string out(16, 'x');
    int outLen = 16;
    Bytes failed = fromHex("010700");
    EXPECT_EQ(reader.MakeHexStringFromResponse(failed.data(), 3, &out[0], &outLen), 7);
    EXPECT_EQ(outLen, 0);
    EXPECT_EQ(reader.getResultCode(), 7);
}

TEST_F(VeyraCommandTest, BusyAnswersAreRetriedFiftyTimes) {
    conn->queueAnswer(fromHex("010B"), 25);
    conn->queueAnswer(fromHex("010C"), 25);
    conn->queueAnswer(responsePacket(0, 10, 10));
    Bytes buffer(8192, 0);
    int length = 8192;
    ASSERT_EQ(reader.getResponse(buffer.data(), &length), 0);
    EXPECT_EQ(length, 19);
    EXPECT_EQ(PauseLog::calls.load(), 50);
    EXPECT_EQ(PauseLog::totalMs.load(), 5000);
    EXPECT_EQ(conn->countSent(fromHex("014A00")), 50);

    PauseLog::reset();
    conn->clearRecords();
    conn->queueAnswer(fromHex("010B"), 51);
    conn->queueAnswer(responsePacket(0, 10, 10));  // never read for this response
    length = 8192;
    EXPECT_EQ(reader.getResponse(buffer.data(), &length), 1);
    EXPECT_EQ(PauseLog::calls.load(), 51);
    // The left-over packet is drained; the fallback failure ends the draining.
    EXPECT_EQ(conn->pendingAnswers(), 0);
    EXPECT_EQ(conn->reads().size(), 51u + 2u);
}

TEST_F(VeyraCommandTest, RefusesResponsePacketsThatLeaveTheirBounds) {
    Bytes buffer(8192, 0);
    int length = 8192;
    conn->setPadTo(61);
    conn->queueAnswer(responsePacket(0, 52, 40));  // data past the total
    EXPECT_EQ(reader.getResponse(buffer.data(), &length), 17);

    Bytes shortHeader = responsePacket(0, 0, 0);
    shortHeader[2] = 3;  // a data length below zero
    conn->queueAnswer(shortHeader);
    length = 8192;
    EXPECT_EQ(reader.getResponse(buffer.data(), &length), 17);

    conn->setPadTo(0);
    Bytes truncated = responsePacket(0, 52, 100);
    truncated.resize(40);  // claims more data than was read
    conn->queueAnswer(truncated);
    length = 8192;
    EXPECT_EQ(reader.getResponse(buffer.data(), &length), 17);

    conn->queueFailure(5);
    length = 8192;
    EXPECT_EQ(reader.getResponse(buffer.data(), &length), 5);
}

TEST_F(VeyraCommandTest, EndlessResponsesStopAtTheCollectionAreaAndDrainingIsBounded) {
    // A reader that keeps sending packets that never reach their total.
    conn->setFallback([](unsigned char, int) {
        return ScriptedConnection::Answer{0, responsePacket(0, 52, 60000)};
    });
    Bytes buffer(65536, 0);
    int length = 65536;
    EXPECT_EQ(reader.getResponse(buffer.data(), &length), 17);
    const size_t collectingReads = 32768 / 61 + 1;
    EXPECT_EQ(conn->reads().size(), collectingReads + Veyra::MAX_DRAIN_READS);
}

TEST_F(VeyraCommandTest, ResponseLargerThanTheCallersBufferIsRefused) {
    conn->queueAnswer(responsePacket(0, 52, 100));
    conn->queueAnswer(responsePacket(52, 48, 100));
    Bytes buffer(200, 0xEE);
    int length = 100;
    EXPECT_EQ(reader.getResponse(buffer.data(), &length), 6);
    for (size_t i = 100; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], 0xEE) << i;
    }
}

TEST(VeyraDecode, PacketsThatDisagreeOrLeaveTheTextAreRefused) {
    Probe<Veyra> reader;
    int rc = 0;
    decode(reader,
           concat({responsePacket(0, 20, 100), responsePacket(20, 20, 100),
                   responsePacket(40, 20, 120)}),
           &rc);
    EXPECT_EQ(rc, 17);

    // Packets that end before their total: an incomplete response.
    decode(reader, responsePacket(0, 52, 100), &rc);
    EXPECT_EQ(rc, 17);

    // The text needs 2 x total + 1 characters.
    Bytes whole = concat({responsePacket(0, 52, 100), responsePacket(52, 48, 100)});
    std::string out(260, 'x');
    int outLen = 200;
    EXPECT_NE(reader.MakeHexStringFromResponse(whole.data(), static_cast<int>(whole.size()),
                                               &out[0], &outLen),
              0);
    EXPECT_EQ(out.substr(1), std::string(259, 'x'));
    outLen = 201;
    EXPECT_EQ(reader.MakeHexStringFromResponse(whole.data(), static_cast<int>(whole.size()),
                                               &out[0], &outLen),
              0);
    EXPECT_EQ(outLen, 200);
    EXPECT_EQ(out[200], '\0');

    // A gap between packets reads as zero bytes.
    std::string hex =
        decode(reader, concat({responsePacket(0, 10, 30), responsePacket(20, 10, 30)}), &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(hex, hexData(10) + std::string(20, '0') + hexData(10, 20));
}

TEST(VeyraHandshake, EachModelOpensAsItShould) {
    PauseLog::reset();
    Probe<Veyra> veyra;
    ScriptedConnection* conn = veyra.attach();
    conn->queueAnswer(fromHex("010000"));
    veyra.afterOpen();
    ASSERT_EQ(conn->sent().size(), 1u);
    EXPECT_EQ(conn->sent()[0].bytes, fromHex("01480100"));
    EXPECT_EQ(conn->reads().size(), 1u);
    EXPECT_EQ(PauseLog::calls.load(), 0);

    Probe<tPivra> pivra;
    conn = pivra.attach();
    conn->queueAnswer(fromHex("010000"));
    pivra.afterOpen();
    EXPECT_EQ(PauseLog::totalMs.load(), 300);
    ASSERT_EQ(conn->sent().size(), 1u);
    EXPECT_EQ(conn->sent()[0].bytes, fromHex("01480100"));
    EXPECT_EQ(pivra.waitForCommand(), 0);

    // A failed handshake write leaves the reader open and reads nothing.
    Probe<Veyra> failing;
    conn = failing.attach();
    conn->queueSendResult(17);
    failing.afterOpen();
    EXPECT_TRUE(conn->reads().empty());
    EXPECT_TRUE(failing.isConnected());

    Probe<VeyraOEMStrivoBootLoader> loader;
    conn = loader.attach();
    loader.afterOpen();
    EXPECT_TRUE(conn->events().empty());

    Probe<VeyraSerial> serial;
    conn = serial.attach();
    serial.afterOpen();
    EXPECT_TRUE(conn->events().empty());
}
