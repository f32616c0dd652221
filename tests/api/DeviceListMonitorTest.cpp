// The reader monitor when its host callback is held up: changes wait, and
// when more come than can wait (the event source drops them, as a full udev
// socket does), the monitor compares the whole listing, so what it reports
// still adds up to what is listed. On the virtual bus, whose event source
// holds VirtualBusEventSource::MAX_WAITING events.
#include <dirent.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Quorin.h"
#include "TestWait.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_test;
using quorin_sim::VirtualHid;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PLAIN_PID = 0x11;
// Readers reported while the callback is held: more than the monitor lets
// wait for it (DeviceListMonitor::MAX_WAITING), so its thread waits too.
constexpr int HELD_BACK = 1100;
// Then more plugs and unplugs than the event source keeps.
constexpr int CHURN = 2500;

struct Held {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    std::vector<std::pair<std::string, long>> calls;
};

// True while the monitor's thread waits on a futex (for room in its queue),
// not in poll() for events.
bool monitorWaitsForRoom() {
    DIR* dir = opendir("/proc/self/task");
    bool waiting = false;
    while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream comm(task + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name == "quorin-monitor") {
            std::ifstream wchan(task + "/wchan");
            std::string where;
            std::getline(wchan, where);
            waiting = where.find("futex") != std::string::npos;
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return waiting;
}

void heldCallback(void* obj, const char* path, long change) {
    auto* held = static_cast<Held*>(obj);
    std::unique_lock<std::mutex> lock(held->lock);
    held->calls.emplace_back(path, change);
    held->changed.notify_all();
    held->changed.wait(lock, [&] { return held->open; });
}

TEST(DeviceListMonitor, ChangesBeyondWhatCanWaitAreSummedUpAgainstTheListing) {
    VirtualHid& bus = VirtualHid::instance();
    bus.reset();
    Held held;
    ASSERT_EQ(OnDeviceListChanged(heldCallback, &held), 0);
    auto first = bus.plug(VID, PLAIN_PID, std::string("FIRST"));
    {
        std::unique_lock<std::mutex> lock(held.lock);
        ASSERT_TRUE(held.changed.wait_for(lock, std::chrono::seconds(5),
                                          [&] { return held.calls.size() == 1; }));
    }
    // The callback is held in its first call: the monitor fills its queue
    // and waits, then the bus churns beyond what the source keeps, and the
    // changes that matter come last.
    for (int i = 0; i < HELD_BACK; ++i) {
        bus.plug(VID, PLAIN_PID, "H" + std::to_string(i));
    }
    ASSERT_TRUE(waitUntil(monitorWaitsForRoom, std::chrono::seconds(10)));
    for (int i = 0; i < CHURN; ++i) {
        bus.detach(bus.plug(VID, PLAIN_PID, "T" + std::to_string(i)));
    }
    auto kept = bus.plug(VID, PLAIN_PID, std::string("KEPT"));
    bus.detach(first);
    {
        std::lock_guard<std::mutex> guard(held.lock);
        held.open = true;
    }
    held.changed.notify_all();
    auto last = bus.plug(VID, PLAIN_PID, std::string("LAST"));
    {
        std::unique_lock<std::mutex> lock(held.lock);
        ASSERT_TRUE(held.changed.wait_for(lock, std::chrono::seconds(30), [&] {
            return !held.calls.empty() && held.calls.back().first == "HID://LAST";
        }));
    }
    ASSERT_EQ(OnDeviceListChanged(nullptr, nullptr), 0);

    // Replayed in order, the changes never contradict each other and end
    // at what the device list shows.
    std::map<std::string, int> present;
    for (const auto& call : held.calls) {
        int& n = present[call.first];
        if (call.second == ZEDRA_DEVICE_ARRIVED) {
            EXPECT_EQ(n, 0) << call.first << " arrived twice";
            n = 1;
        } else {
            EXPECT_EQ(n, 1) << call.first << " removed while not present";
            n = 0;
        }
    }
    std::vector<std::string> listed;
    for (const auto& entry : present) {
        if (entry.second == 1) {
            listed.push_back(entry.first);
        }
    }
    // The held-back readers, KEPT and LAST: what is on the bus.
    EXPECT_EQ(listed.size(), static_cast<size_t>(HELD_BACK + 2));
    EXPECT_EQ(bus.readers().size(), static_cast<size_t>(HELD_BACK + 2));
    EXPECT_EQ(present["HID://KEPT"], 1);
    EXPECT_EQ(present["HID://LAST"], 1);
    EXPECT_EQ(present["HID://FIRST"], 0);
    bus.reset();
}

}  // namespace
