// Reader arrival and removal (OnDeviceListChanged) end to end, written once
// and run on both seams (UsbSeam.h): udev's monitor with Debian's hidapi on
// emulated hidraw nodes, and the virtual bus's own watch. A change that must
// not be reported is checked with a sentinel: the monitor handles events in
// order, so once a reader plugged afterwards is reported, the one before it
// would have been too.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ApiRecorder.h"
#include "Quorin.h"
#include "TestWait.h"
#include "UsbSeam.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"

using namespace quorin_test;
using quorin_sim::ExtendedReader;
using quorin_sim::PlainCommandReader;
using quorin_sim::VirtualReader;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PLAIN_PID = 0x11;
constexpr uint16_t EMV_PID = 0x1d;

using Change = std::pair<std::string, long>;
using Changes = std::vector<Change>;

Change arrived(const std::string& path) {
    return {path, ZEDRA_DEVICE_ARRIVED};
}
Change removed(const std::string& path) {
    return {path, ZEDRA_DEVICE_REMOVED};
}

class DeviceListScenario : public ::testing::Test {
protected:
    void SetUp() override {
        seam().reset();
        ApiRecorder::instance().reset();
    }
    void TearDown() override {
        EXPECT_EQ(OnDeviceListChanged(nullptr, nullptr), 0);
        for (unsigned long h : m_handles) {
            CloseDeviceEx(h);
        }
        seam().reset();
        EXPECT_EQ(ApiRecorder::instance().count("overlap"), 0) << "two calls ran at once";
    }

    static UsbSeam& seam() { return UsbSeam::instance(); }

    template <class T = PlainCommandReader>
    std::shared_ptr<T> plug(std::optional<std::string> serial, uint16_t pid = PLAIN_PID,
                            uint16_t vid = VID) {
        auto reader = seam().add<T>(vid, pid, std::move(serial));
        EXPECT_TRUE(reader) << "on " << seam().name();
        return reader;
    }

    // The changes reported so far, in order; all of them by obj.
    Changes changes(void* obj = nullptr) {
        Changes out;
        for (const RecordedCall& call : ApiRecorder::instance().callsOf("list")) {
            EXPECT_EQ(call.obj, obj != nullptr ? obj : &m_marker) << call.text;
            out.emplace_back(call.text, call.state);
        }
        return out;
    }
    // Waits for n changes in all, then returns them.
    Changes waitForChanges(size_t n, void* obj = nullptr) {
        EXPECT_TRUE(ApiRecorder::instance().waitFor("list", static_cast<int>(n)))
            << "on " << seam().name();
        return changes(obj);
    }

    std::vector<unsigned long> m_handles;
    int m_marker = 0;
};

TEST_F(DeviceListScenario, ArrivalsOfOneAndTwoReadersAndRemovalsInTheirOrder) {
    ASSERT_EQ(ApiRecorder::registerDeviceList(&m_marker), 0);
    EXPECT_STREQ(GetDeviceList(), "");

    auto first = plug(std::string("SN0001"));
    ASSERT_TRUE(first);
    EXPECT_EQ(waitForChanges(1), (Changes{arrived("HID://SN0001")}));
    EXPECT_STREQ(GetDeviceList(), "HID://SN0001");  // listed when reported

    // Two at once: one listed twice by hidraw (two usage pairs), one without
    // a serial number (named by its system path). Each is reported once.
    auto emv = plug<ExtendedReader>(std::string("EMV2"), EMV_PID);
    auto bare = plug(std::nullopt);
    ASSERT_TRUE(emv && bare);
    const std::string barePath = "HID://" + bare->path();
    EXPECT_EQ(waitForChanges(3),
              (Changes{arrived("HID://SN0001"), arrived("HID://EMV2"), arrived(barePath)}));

    seam().unplug(first);
    seam().unplug(bare);
    auto sentinel = plug(std::string("LAST"));
    ASSERT_TRUE(sentinel);
    EXPECT_EQ(waitForChanges(6),
              (Changes{arrived("HID://SN0001"), arrived("HID://EMV2"), arrived(barePath),
                       removed("HID://SN0001"), removed(barePath), arrived("HID://LAST")}));
    EXPECT_STREQ(GetDeviceList(), "HID://EMV2,HID://LAST");
}

TEST_F(DeviceListScenario, ReadersSharingASerialNumberAreListedByTheirSystemPaths) {
    ASSERT_EQ(ApiRecorder::registerDeviceList(&m_marker), 0);
    auto first = plug(std::string("TWIN"));
    ASSERT_TRUE(first);
    EXPECT_EQ(waitForChanges(1), (Changes{arrived("HID://TWIN")}));
    auto second = plug(std::string("TWIN"), 0x13);
    ASSERT_TRUE(second);
    const std::string one = "HID://" + first->path();
    const std::string two = "HID://" + second->path();
    EXPECT_EQ(waitForChanges(4),
              (Changes{arrived("HID://TWIN"), removed("HID://TWIN"), arrived(one), arrived(two)}));
    const std::string list = GetDeviceList();
    EXPECT_TRUE(list == one + "," + two || list == two + "," + one) << list;

    // Each listed path opens its own reader; the shared serial number, none.
    EXPECT_EQ(OpenDeviceEx("HID://TWIN"), 0u);
    const std::pair<std::string, long> readers[] = {{one, PLAIN_PID}, {two, 0x13}};
    for (const auto& [path, pid] : readers) {
        const unsigned long h = OpenDeviceEx(path.c_str());
        EXPECT_NE(h, 0u) << path;
        EXPECT_EQ(GetProductIDEx(h), pid) << path;
        CloseDeviceEx(h);
    }

    // Alone again: back under its serial number.
    seam().unplug(second);
    EXPECT_EQ(waitForChanges(7),
              (Changes{arrived("HID://TWIN"), removed("HID://TWIN"), arrived(one), arrived(two),
                       removed(two), removed(one), arrived("HID://TWIN")}));
    EXPECT_STREQ(GetDeviceList(), "HID://TWIN");
}

TEST_F(DeviceListScenario, ReadersOfAnotherVendorOrProductAreNotReported) {
    ASSERT_EQ(ApiRecorder::registerDeviceList(&m_marker), 0);
    auto otherVendor =
        plug<VirtualReader>(std::string("OTHER"), PLAIN_PID, static_cast<uint16_t>(VID ^ 0x0101));
    auto otherProduct = plug<VirtualReader>(std::string("UNKNOWN"), 0x7777);
    ASSERT_TRUE(otherVendor && otherProduct);
    seam().unplug(otherVendor);
    auto sentinel = plug(std::string("SN0001"));
    ASSERT_TRUE(sentinel);
    EXPECT_EQ(waitForChanges(1), (Changes{arrived("HID://SN0001")}));
    seam().unplug(otherProduct);
    seam().unplug(sentinel);
    EXPECT_EQ(waitForChanges(2), (Changes{arrived("HID://SN0001"), removed("HID://SN0001")}));
}

TEST_F(DeviceListScenario, OnlyChangesWhileRegisteredAreReported) {
    auto before = plug(std::string("BEFORE"));
    ASSERT_TRUE(before);
    ASSERT_EQ(ApiRecorder::registerDeviceList(&m_marker), 0);
    // Attached before the registration: in the list, not reported.
    EXPECT_STREQ(GetDeviceList(), "HID://BEFORE");
    auto first = plug(std::string("FIRST"));
    ASSERT_TRUE(first);
    EXPECT_EQ(waitForChanges(1), (Changes{arrived("HID://FIRST")}));

    // Nothing is kept while no callback is registered.
    ASSERT_EQ(OnDeviceListChanged(nullptr, nullptr), 0);
    auto unseen = plug(std::string("UNSEEN"));
    ASSERT_TRUE(unseen);
    seam().unplug(first);

    ASSERT_EQ(ApiRecorder::registerDeviceList(&m_marker), 0);
    seam().unplug(before);  // listed when the monitor started again
    auto last = plug(std::string("LAST"));
    ASSERT_TRUE(last);
    EXPECT_EQ(waitForChanges(3),
              (Changes{arrived("HID://FIRST"), removed("HID://BEFORE"), arrived("HID://LAST")}));
}

TEST_F(DeviceListScenario, PluggedOutAndInWhileOpenThenReopened) {
    auto reader = plug(std::string("SN0001"));
    ASSERT_TRUE(reader);
    ASSERT_EQ(ApiRecorder::registerDeviceList(&m_marker), 0);
    unsigned long h = OpenDeviceEx("HID://SN0001");
    ASSERT_NE(h, 0u);
    m_handles.push_back(h);
    ApiRecorder::registerEx(h, &m_marker);
    EXPECT_STREQ(SendCommandEx(h, "45"), "5A");

    seam().unplug(reader);
    EXPECT_EQ(waitForChanges(1), (Changes{removed("HID://SN0001")}));
    // The open reader's connection callback as before.
    ASSERT_TRUE(ApiRecorder::instance().waitFor("connection", 1));
    EXPECT_EQ(ApiRecorder::instance().callsOf("connection")[0].state, ZEDRA_STATE_DISCONNECTED);

    ASSERT_TRUE(seam().plug(reader));
    EXPECT_EQ(waitForChanges(2), (Changes{removed("HID://SN0001"), arrived("HID://SN0001")}));
    // The host closes the old handle and reopens. (Whether the stale handle
    // would refuse an open first depends on whether the reader came back on
    // the same node: the kernel gives it a new one, the virtual bus the old.)
    CloseDeviceEx(h);
    unsigned long again = OpenDeviceEx("HID://SN0001");
    ASSERT_NE(again, 0u);
    m_handles.push_back(again);
    EXPECT_STREQ(SendCommandEx(again, "45"), "5A");
    EXPECT_EQ(ApiRecorder::instance().count("connection"), 1);
}

TEST_F(DeviceListScenario, ANodeAnnouncedBeforeItCanBeListedIsReportedWhenListed) {
    auto early = std::make_shared<PlainCommandReader>(VID, PLAIN_PID, std::string("EARLY"));
    ASSERT_EQ(ApiRecorder::registerDeviceList(&m_marker), 0);
    if (!seam().plugNotYetListed(early)) {
        GTEST_SKIP() << seam().name() << " lists every reader it plugs at once";
    }
    auto sentinel = plug(std::string("SENTINEL"));
    ASSERT_TRUE(sentinel);
    EXPECT_EQ(waitForChanges(1), (Changes{arrived("HID://SENTINEL")}));
    EXPECT_STREQ(GetDeviceList(), "HID://SENTINEL");

    seam().completeListing(early);
    EXPECT_EQ(waitForChanges(2), (Changes{arrived("HID://SENTINEL"), arrived("HID://EARLY")}));
    const std::string list = GetDeviceList();
    EXPECT_NE(list.find("HID://EARLY"), std::string::npos) << list;
}

// A callback that blocks until the test lets it go.
struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    int entered = 0;
    bool open = false;
};
Gate g_gate;
void blockingCallback(void* /*obj*/, const char* /*path*/, long /*change*/) {
    std::unique_lock<std::mutex> lock(g_gate.lock);
    ++g_gate.entered;
    g_gate.changed.notify_all();
    g_gate.changed.wait(lock, [] { return g_gate.open; });
}

// Clears its own registration from inside.
std::atomic<int> g_selfClearing{0};
void clearingCallback(void* /*obj*/, const char* /*path*/, long /*change*/) {
    ++g_selfClearing;
    OnDeviceListChanged(nullptr, nullptr);
}

TEST_F(DeviceListScenario, ReplacedAndClearedRegistrationsLeaveNoThreadBehind) {
    {
        std::lock_guard<std::mutex> guard(g_gate.lock);
        g_gate.entered = 0;
        g_gate.open = false;
    }
    g_selfClearing = 0;
    const int threadsBefore = threadCount();
    int other = 0;
    ASSERT_EQ(ApiRecorder::registerDeviceList(&m_marker), 0);
    auto a = plug(std::string("A"));
    ASSERT_TRUE(a);
    EXPECT_EQ(waitForChanges(1), (Changes{arrived("HID://A")}));

    // Replaced: later changes go to the new object.
    ASSERT_EQ(ApiRecorder::registerDeviceList(&other), 0);
    auto b = plug(std::string("B"));
    ASSERT_TRUE(b);
    ASSERT_TRUE(ApiRecorder::instance().waitFor("list", 2));
    EXPECT_EQ(ApiRecorder::instance().callsOf("list")[1].obj, &other);
    EXPECT_EQ(ApiRecorder::instance().callsOf("list")[1].text, "HID://B");

    // A replacement waits for the callback it replaces to return.
    ASSERT_EQ(OnDeviceListChanged(blockingCallback, nullptr), 0);
    seam().unplug(b);
    {
        std::unique_lock<std::mutex> lock(g_gate.lock);
        ASSERT_TRUE(g_gate.changed.wait_for(lock, std::chrono::seconds(5),
                                            [] { return g_gate.entered == 1; }));
    }
    std::atomic<bool> replaced{false};
    std::thread replacing([&] {
        ApiRecorder::registerDeviceList(&m_marker);
        replaced = true;
    });
    EXPECT_FALSE(waitUntil([&] { return replaced.load(); }, std::chrono::milliseconds(100)));
    {
        std::lock_guard<std::mutex> guard(g_gate.lock);
        g_gate.open = true;
    }
    g_gate.changed.notify_all();
    replacing.join();
    EXPECT_TRUE(replaced);

    // A callback may clear its own registration.
    ASSERT_EQ(OnDeviceListChanged(clearingCallback, nullptr), 0);
    seam().unplug(a);
    EXPECT_TRUE(waitUntil([] { return g_selfClearing.load() == 1; }));

    // Cleared: the monitor's thread is gone, and no callback thread stays.
    ASSERT_EQ(OnDeviceListChanged(nullptr, nullptr), 0);
    EXPECT_LE(waitUntil([&] { return threadCount() <= threadsBefore; }) ? threadCount() : -1,
              threadsBefore);
    auto c = plug(std::string("C"));
    ASSERT_TRUE(c);
    EXPECT_EQ(g_selfClearing.load(), 1);
    EXPECT_EQ(ApiRecorder::instance().count("list"), 2);
}

}  // namespace
