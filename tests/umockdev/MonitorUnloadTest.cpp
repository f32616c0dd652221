// Unloading the library while a reader arrival and removal callback is
// registered, on either seam: the monitor's thread is joined and its watch
// ended before the code goes, so a reader plugged or pulled out afterwards
// calls nothing of it. This executable does not link the library, so each
// dlopen loads it afresh. The devices plugged while it is loaded are of
// another vendor: the monitor wakes for them but calls no callback, so no
// callback thread is made (the process-wide set of callback threads is never
// freed, by design, and would show as a leak of each load here).
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>

#include "Quorin.h"
#include "TestWait.h"
#include "UsbSeam.h"
#include "virtualhid/PlainCommandReader.h"

using namespace quorin_test;

namespace {

using RegisterFn = long (*)(CallBackDeviceListChanged, void*);

void onChange(void* obj, const char* /*path*/, long /*change*/) {
    static_cast<EventCounter*>(obj)->bump();
}

// Threads of this process named name.
int threadsNamed(const std::string& name) {
    int n = 0;
    DIR* dir = opendir("/proc/self/task");
    while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string text;
        if (entry->d_name[0] != '.' && std::getline(comm, text) && text == name) {
            ++n;
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return n;
}

TEST(MonitorUnload, UnloadingWithACallbackRegisteredStopsTheMonitor) {
    UsbSeam& seam = UsbSeam::instance();
    seam.reset();
    // A first reader, so the seam's own threads (umockdev's worker starts
    // with the first node) are there before counting.
    auto warmUp = seam.add<quorin_sim::PlainCommandReader>(
        static_cast<uint16_t>(QUORIN_USB_VENDOR_ID), static_cast<uint16_t>(0x11), std::nullopt);
    ASSERT_TRUE(warmUp);
    seam.unplug(warmUp);
    // ThreadSanitizer's runtime starts a thread of its own with the first
    // thread the process makes, and keeps it.
    std::thread([] {}).join();
    const int before = threadCount();
    EventCounter changes;
    for (int round = 0; round < 3; ++round) {
        void* lib = dlopen(QUORIN_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << dlerror();
        auto registerFn = reinterpret_cast<RegisterFn>(dlsym(lib, "OnDeviceListChanged"));
        ASSERT_NE(registerFn, nullptr);
        ASSERT_EQ(registerFn(onChange, &changes), 0) << "on " << seam.name();
        EXPECT_EQ(threadsNamed("quorin-monitor"), 1);
        auto reader = seam.add<quorin_sim::PlainCommandReader>(
            static_cast<uint16_t>(QUORIN_USB_VENDOR_ID ^ 0x0101), static_cast<uint16_t>(0x11),
            std::string("UNLOAD") + std::to_string(round));
        ASSERT_TRUE(reader);

        ASSERT_EQ(dlclose(lib), 0) << dlerror();
        void* still = dlopen(QUORIN_LIBRARY_FILE, RTLD_NOW | RTLD_NOLOAD);
        EXPECT_EQ(still, nullptr) << "round " << round << ": the library stayed loaded";
        if (still != nullptr) {
            dlclose(still);
        }
        EXPECT_EQ(threadsNamed("quorin-monitor"), 0);
        EXPECT_TRUE(waitUntil([&] { return threadCount() <= before; }))
            << "round " << round << ": " << threadCount() << " threads, " << before << " before";
        // Gone with the library: nothing of it is called any more.
        seam.unplug(reader);
    }
    EXPECT_EQ(changes.count(), 0);
}

}  // namespace
