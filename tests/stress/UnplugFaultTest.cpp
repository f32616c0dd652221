// A reader that leaves the bus in the middle of a command, of a multi-packet
// response or of a notification: the call in progress ends with an error
// code within its time bounds, the host hears of the loss exactly once, and
// the reader can be closed (and opened again once it is back).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

#include "Quorin.h"
#include "StressSupport.h"
#include "TestWait.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_test;
using quorin_sim::ExtendedReader;
using quorin_sim::PlainCommandReader;
using quorin_sim::Report;
using quorin_sim::VirtualHid;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;

std::atomic<int> g_disconnects{0};
std::atomic<int> g_connects{0};
std::atomic<int> g_notifications{0};

void onStateEx(unsigned long, void*, long state) {
    (state == ZEDRA_STATE_DISCONNECTED ? g_disconnects : g_connects).fetch_add(1);
}
void onState(long state) {
    onStateEx(0, nullptr, state);
}
void onNotificationEx(unsigned long, void*, unsigned int, const char*) {
    g_notifications.fetch_add(1);
}

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Takes the command, then leaves the bus before answering.
class LeavesAfterCommand : public PlainCommandReader {
public:
    using PlainCommandReader::PlainCommandReader;
    void onSetFeature(const Report& report) override {
        PlainCommandReader::onSetFeature(report);
        unplug();
    }
};

// Leaves the bus after handing out `packets` extended response packets.
class LeavesDuringResponse : public ExtendedReader {
public:
    LeavesDuringResponse(uint16_t vid, uint16_t pid, const std::string& serial, int packets)
        : ExtendedReader(vid, pid, serial), m_left(packets) {}
    Report onGetFeature(uint8_t reportId) override {
        Report r = ExtendedReader::onGetFeature(reportId);
        if (r.size() > 1 && r[1] == STATUS_EXTENDED_DATA && m_left.fetch_sub(1) <= 0) {
            unplug();
            return {};
        }
        return r;
    }

private:
    std::atomic<int> m_left;
};

class UnplugFault : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualHid::instance().reset();
        g_disconnects = 0;
        g_connects = 0;
        g_notifications = 0;
        SetCommandTimeout(10000);
    }
    void TearDown() override {
        OnDeviceConnectionStateChanged(nullptr);
        CloseDevice();
        VirtualHid::instance().reset();
        EXPECT_LE(waitForThreadsAtMost(baselineThreads()), baselineThreads());
    }
};

}  // namespace

TEST_F(UnplugFault, InTheMiddleOfACommand) {
    auto reader = VirtualHid::instance().plug<LeavesAfterCommand>(VID, 0x01, "UP1");
    const unsigned long h = OpenDeviceEx("HID://UP1");
    ASSERT_NE(h, 0u);
    OnDeviceConnectionStateChangedEx(h, &onStateEx, nullptr);

    const auto start = Clock::now();
    EXPECT_STREQ(SendCommandEx(h, "0003"), "");
    EXPECT_LT(msSince(start), 1000);  // one 50 ms write pause, then a failed read
    EXPECT_EQ(GetResultCodeEx(h), 17);
    ASSERT_TRUE(waitUntil([] { return g_disconnects.load() >= 1; }));

    // Later commands fail at once; the loss is not reported again.
    const auto again = Clock::now();
    EXPECT_STREQ(SendCommandEx(h, "0003"), "");
    EXPECT_LT(msSince(again), 1000);
    EXPECT_NE(GetResultCodeEx(h), 0);
    CloseDeviceEx(h);  // waits for callbacks still running
    EXPECT_EQ(g_disconnects.load(), 1);
    EXPECT_EQ(VirtualHid::instance().openHandles(), 0);

    // Back on the bus, it opens and answers again.
    reader->replug();
    const unsigned long h2 = OpenDeviceEx("HID://UP1");
    ASSERT_NE(h2, 0u);
    CloseDeviceEx(h2);
}

TEST_F(UnplugFault, InTheMiddleOfAMultiPacketResponse) {
    auto reader = VirtualHid::instance().plug<LeavesDuringResponse>(VID, 0x19, "UP2", 2);
    // 300 bytes: six packets, the reader leaves after the second.
    reader->setAnswer("0306:", 0, std::vector<uint8_t>(300, 0x42));
    OnDeviceConnectionStateChanged(&onState);
    ASSERT_EQ(OpenDevice(nullptr), 0);

    const auto start = Clock::now();
    EXPECT_STREQ(SendCommand("0306:010000"), "");
    EXPECT_LT(msSince(start), 2000);
    const int rc = GetResultCode();
    EXPECT_TRUE(rc == 17 || rc == 5) << rc;
    ASSERT_TRUE(waitUntil([] { return g_disconnects.load() >= 1; }));
    EXPECT_EQ(IsDeviceConnected(), 0);
    CloseDevice();
    // The close of a reader already gone is no second loss; give a stray
    // report the time a callback thread needs to run.
    EXPECT_LE(waitForThreadsAtMost(baselineThreads()), baselineThreads());
    EXPECT_EQ(g_disconnects.load(), 1);
}

TEST_F(UnplugFault, InTheMiddleOfANotification) {
    auto reader = VirtualHid::instance().plug<ExtendedReader>(VID, 0x19, "UP3");
    const unsigned long h = OpenDeviceEx("HID://UP3");
    ASSERT_NE(h, 0u);
    OnDeviceConnectionStateChangedEx(h, &onStateEx, nullptr);
    OnNotificationDataEx(h, &onNotificationEx, nullptr);

    const std::vector<Report> packets =
        ExtendedReader::notificationPackets(0x0300, std::vector<uint8_t>(150, 0x11));
    ASSERT_GE(packets.size(), 3u);
    reader->pushInputReport(packets[0]);
    // The receiving thread has taken the first packet; then the reader goes.
    ASSERT_TRUE(waitUntil([&] { return reader->pendingInputReports() == 0; }));
    reader->unplug();
    ASSERT_TRUE(waitUntil([] { return g_disconnects.load() >= 1; }));
    CloseDeviceEx(h);
    EXPECT_EQ(g_disconnects.load(), 1);
    EXPECT_EQ(g_notifications.load(), 0);

    // A new reader object starts with no half notification: the whole one
    // arrives once, and the first packet alone did not complete anything.
    reader->replug();
    const unsigned long h2 = OpenDeviceEx("HID://UP3");
    ASSERT_NE(h2, 0u);
    OnNotificationDataEx(h2, &onNotificationEx, nullptr);
    for (size_t i = 1; i < packets.size(); ++i) {
        reader->pushInputReport(packets[i]);
    }
    reader->pushNotification(0x0301, std::vector<uint8_t>(150, 0x22));
    ASSERT_TRUE(waitUntil([] { return g_notifications.load() >= 1; }));
    CloseDeviceEx(h2);
    EXPECT_EQ(g_notifications.load(), 1);
}
