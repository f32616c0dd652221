// The Bluetooth LE command path: the data-ready signal, the reception with
// its directly written next-packet request, and the handshake.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ExtendedTestSupport.h"
#include "extended/VeyraBle.h"
#include "extended/tPivraBle.h"

using namespace quorin;
using namespace quorin_test;

namespace {

const Bytes NEXT_PACKET = {0x01, 0x4A, 0x00};
const Bytes DATA_READY = {0x01, 0x00};

// What a Bluetooth LE reader's connection hands back: the report without the
// byte the reader keeps in front of it.
Bytes asRead(const Bytes& packet) {
    return Bytes(packet.begin() + 1, packet.end());
}

class VeyraBleTest : public ::testing::Test {
protected:
    void SetUp() override {
        PauseLog::reset();
        conn = reader.attach();
    }
    Probe<VeyraBle> reader;
    ScriptedConnection* conn = nullptr;
};

}  // namespace

TEST_F(VeyraBleTest, ASignalThatComesBeforeTheWaitStillEndsIt) {
    conn->push(DATA_READY);
    EXPECT_EQ(reader.waitForCommand(), 0);
    // The signal is taken by that wait: the next one times out.
    reader.setDataReadyTimeout(std::chrono::milliseconds(20));
    EXPECT_EQ(reader.waitForCommand(), 1);

    // A signal from the receiving thread while the command thread waits.
    reader.setDataReadyTimeout(std::chrono::milliseconds(5000));
    std::thread receiving([this] { conn->push(DATA_READY); });
    EXPECT_EQ(reader.waitForCommand(), 0);
    receiving.join();

    // A stale signal does not end the wait of a command written after it.
    conn->push(DATA_READY);
    unsigned char command[] = "4800";
    ASSERT_EQ(reader.sendCommand(command, 4), 0);
    reader.setDataReadyTimeout(std::chrono::milliseconds(20));
    EXPECT_EQ(reader.waitForCommand(), 1);
}

TEST_F(VeyraBleTest, CollectsPacketsAskingDirectlyForEachNext) {
    // The reader signals data ready as soon as it is asked for the next
    // packet, before the command thread starts to wait.
    conn->setSendHook([this](const ScriptedConnection::Sent& sent) {
        if (sent.bytes == NEXT_PACKET) {
            conn->push(DATA_READY);
        }
    });
    reader.setDataReadyTimeout(std::chrono::milliseconds(2000));
    conn->queueAnswer(fromHex("0B"), 3);
    conn->queueAnswer(asRead(responsePacket(0, 52, 100, 0x0001)));
    conn->queueAnswer(asRead(responsePacket(52, 48, 100, 0x0001)));
    Bytes buffer(8192, 0);
    int length = 8192;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(reader.getResponse(buffer.data(), &length), 0);
    // Ended by the signal, not by the 2 s time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(length, 61 + 57);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 3), fromHex("010A3A"));
    for (const auto& read : conn->reads()) {
        EXPECT_EQ(read.selector, 0x00);
        EXPECT_EQ(read.capacity, 65535);
    }
    // Busy answers only pause; one request for the one further packet.
    EXPECT_EQ(PauseLog::calls.load(), 3);
    auto sent = conn->sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, NEXT_PACKET);
    EXPECT_EQ(sent[0].type, 1);

    std::string out(256, 'x');
    int outLen = 256;
    ASSERT_EQ(reader.MakeHexStringFromResponse(buffer.data(), length, &out[0], &outLen), 0);
    EXPECT_EQ(out.substr(0, 200), toHex(sequence(100)));
    EXPECT_EQ(reader.getResultCode(), 1);
}

TEST_F(VeyraBleTest, BusyBudgetAndFailuresEndTheReception) {
    Bytes buffer(8192, 0);
    int length = 8192;
    conn->queueAnswer(fromHex("0C"), 30);
    conn->queueAnswer(fromHex("000100"));
    EXPECT_EQ(reader.getResponse(buffer.data(), &length), 0);
    EXPECT_EQ(length, 4);

    conn->queueAnswer(fromHex("0B"), 31);
    length = 8192;
    EXPECT_EQ(reader.getResponse(buffer.data(), &length), 1);
    EXPECT_TRUE(conn->sent().empty());

    // A failed next-packet write and a failed read end it with their codes,
    // without draining.
    conn->clearRecords();
    conn->queueAnswer(asRead(responsePacket(0, 52, 100)));
    conn->queueSendResult(5);
    length = 8192;
    EXPECT_EQ(reader.getResponse(buffer.data(), &length), 5);
    conn->queueFailure(17);
    length = 8192;
    EXPECT_EQ(reader.getResponse(buffer.data(), &length), 17);
    EXPECT_EQ(conn->reads().size(), 2u);
}

TEST_F(VeyraBleTest, ACommandOfSeveralPacketsWaitsOnceForItsAnswer) {
    // The reader signals data ready once, after the last packet of the
    // command: 53 data bytes travel as a packet of 52 and one of 1.
    conn->setSendHook([this](const ScriptedConnection::Sent& sent) {
        const Bytes& b = sent.bytes;
        if (b.size() >= 9 && b[1] == 0x49 &&
            ((b[3] << 8) | b[4]) + b[2] - 6 == ((b[7] << 8) | b[8])) {
            conn->push(DATA_READY);
        }
    });
    reader.setDataReadyTimeout(std::chrono::milliseconds(2000));
    conn->queueAnswer(fromHex("0100"));      // status read between the packets
    conn->queueAnswer(fromHex("0002ABCD"));  // the answer: result 0, two bytes
    const std::string command = "0301:" + toHex(sequence(53));
    const auto start = std::chrono::steady_clock::now();
    Strivo::Exchange ex = reader.runExchange(command.c_str(), 256);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(ex.result, 0);
    EXPECT_EQ(ex.hex, "ABCD");
    EXPECT_EQ(conn->sent().size(), 2u);
    EXPECT_EQ(conn->pendingAnswers(), 0);
}

TEST(VeyraBleHandshake, SendsBothOpeningCommandsEvenWhenTheFirstFails) {
    for (bool firstFails : {false, true}) {
        Probe<tPivraBle> reader;
        ScriptedConnection* conn = reader.attach();
        conn->setSendHook([conn](const ScriptedConnection::Sent&) { conn->push(DATA_READY); });
        if (firstFails) {
            conn->queueSendResult(17);
        }
        conn->queueAnswer(fromHex("0000"), 2);
        reader.afterOpen();
        auto sent = conn->sent();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0].bytes, fromHex("01480101"));
        EXPECT_EQ(sent[1].bytes, fromHex("01460401000014"));
        EXPECT_EQ(conn->reads().size(), firstFails ? 1u : 2u);
    }
}
