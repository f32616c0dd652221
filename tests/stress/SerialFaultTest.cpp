// A serial reader on a real pseudo-terminal that misbehaves: silence, line
// noise, frames cut in half, a line that never ends, a hang-up in the middle
// of a command. Each call ends within the command time-out, memory stays
// bounded, and good frames that follow are understood again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <string>

#include "PtyReader.h"
#include "Quorin.h"
#include "StressSupport.h"
#include "TestWait.h"

using namespace quorin_test;
using quorin_sim::PtyReader;
using Bytes = PtyReader::Bytes;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int TIMEOUT_MS = 300;
// "0003" as the serial link carries it: command byte, data length, data.
const Bytes COMMAND = {0x00, 0x01, 0x03};
// Status 0, two data bytes: the host sees "ABCD".
const Bytes ANSWER = {0x00, 0x02, 0xAB, 0xCD};

std::atomic<int> g_disconnects{0};
void onStateEx(unsigned long, void*, long state) {
    if (state == ZEDRA_STATE_DISCONNECTED) {
        g_disconnects.fetch_add(1);
    }
}

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class SerialFault : public ::testing::Test {
protected:
    void SetUp() override {
        g_disconnects = 0;
        SetCommandTimeout(TIMEOUT_MS);
    }
    void TearDown() override {
        if (m_handle != 0) {
            CloseDeviceEx(m_handle);
        }
        m_pty.reset();
        SetCommandTimeout(10000);
        EXPECT_LE(waitForThreadsAtMost(baselineThreads()), baselineThreads());
    }

    void open(PtyReader::Framing framing) {
        m_pty.reset(new PtyReader(framing));
        ASSERT_TRUE(m_pty->ok()) << m_pty->error();
        m_handle = OpenDeviceEx(m_pty->serialPath().c_str());
        ASSERT_NE(m_handle, 0u);
        OnDeviceConnectionStateChangedEx(m_handle, &onStateEx, nullptr);
    }
    // The command's answer as the host gets it.
    std::string command() { return SendCommandEx(m_handle, "0003"); }
    // After a disturbance at most one exchange may suffer; the next three
    // must all be answered correctly.
    void expectRecovered() {
        m_pty->addResponse(COMMAND, ANSWER);
        command();
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(command(), "ABCD") << "exchange " << i + 1 << " after the disturbance";
        }
    }

    std::unique_ptr<PtyReader> m_pty;
    unsigned long m_handle = 0;
};

}  // namespace

TEST_F(SerialFault, SilenceEndsEachCommandAtTheTimeOut) {
    open(PtyReader::Framing::SLIP);
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        EXPECT_EQ(command(), "");
        const long long took = msSince(start);
        EXPECT_GE(took, TIMEOUT_MS - 20);
        EXPECT_LT(took, TIMEOUT_MS + 1000);
        EXPECT_EQ(GetResultCodeEx(m_handle), 1);
    }
    ASSERT_TRUE(m_pty->waitForCommands(3, 2000));
    expectRecovered();
    EXPECT_EQ(g_disconnects.load(), 0);
}

TEST_F(SerialFault, LineNoiseAndHalfFramesCostAtMostOneFrame) {
    open(PtyReader::Framing::SLIP);
    std::mt19937 rng(0x5EED);
    std::uniform_int_distribution<int> byte(0, 255);
    // Noise without frame markers, noise with them, and frames cut short.
    Bytes noise(256 * 1024);
    for (uint8_t& b : noise) {
        b = static_cast<uint8_t>(byte(rng));
        if (b == 0xC0) {
            b = 0x00;
        }
    }
    ASSERT_TRUE(m_pty->writeInPieces(noise, 4096));
    expectRecovered();

    for (uint8_t& b : noise) {
        b = static_cast<uint8_t>(byte(rng));
    }
    ASSERT_TRUE(m_pty->writeInPieces(noise, 4096));
    expectRecovered();

    const Bytes frame = PtyReader::slipFrame(0x04, ANSWER);
    ASSERT_TRUE(m_pty->writeRaw(Bytes(frame.begin(), frame.begin() + 4)));
    expectRecovered();
    ASSERT_TRUE(m_pty->writeRaw({0xC0, 0x02, 0x00, 0x40, 0x01}));  // a notification cut short
    expectRecovered();
    EXPECT_EQ(g_disconnects.load(), 0);
}

TEST_F(SerialFault, AnEndlessLineKeepsMemoryBounded) {
    open(PtyReader::Framing::LEGACY);
    const long before = residentKiB();
    // 4 MiB of one line that never ends.
    const Bytes line(64 * 1024, 'A');
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(m_pty->writeRaw(line));
    }
    // A command is answered only once the receiving thread has worked through
    // the line, so this also waits for it.
    expectRecovered();
    const long after = residentKiB();
    if (!sanitizedBuild() && before > 0 && after > 0) {
        // The frame buffer holds at most 64 KiB; allow for allocator slack.
        EXPECT_LT(after - before, 16 * 1024) << "KiB grown";
    }
    EXPECT_EQ(g_disconnects.load(), 0);
}

TEST_F(SerialFault, HangUpInTheMiddleOfACommand) {
    open(PtyReader::Framing::SLIP);
    SetCommandTimeout(3000);
    const auto start = Clock::now();
    auto pending = std::async(std::launch::async, [this] { return command(); });
    ASSERT_TRUE(m_pty->waitForCommands(1, 2000));
    m_pty->hangUp();
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(pending.get(), "");
    EXPECT_LT(msSince(start), 3000 + 1000);
    EXPECT_NE(GetResultCodeEx(m_handle), 0);
    ASSERT_TRUE(waitUntil([] { return g_disconnects.load() >= 1; }));
    // Commands on the lost line fail at once.
    const auto again = Clock::now();
    EXPECT_EQ(command(), "");
    EXPECT_LT(msSince(again), 1000);
    CloseDeviceEx(m_handle);
    m_handle = 0;
    EXPECT_EQ(g_disconnects.load(), 1);
}
