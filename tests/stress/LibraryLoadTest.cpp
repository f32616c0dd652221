// Loading and unloading the library with nothing open: every load starts no
// thread that outlives the unload, the library really leaves the process,
// and (in the address-sanitizer build, whose leak check runs at exit) nothing
// is left allocated: the unload once made the process-wide callback gate just
// to wait on it, and lost it with the library, and the card-data pool was
// once left behind on the heap with its chunks still mapped. This executable does not link
// the library, so each dlopen loads it afresh.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "StressSupport.h"

using namespace quorin_test;

namespace {

using ListFn = const char* (*)();
using OpenExFn = unsigned long (*)(const char*);
using TextFn = const char* (*)(const char*);

// KiB of this process's memory kept out of core dumps: the card-data pool's
// (and a sanitizer's own).
long dontDumpKiB() {
    std::ifstream smaps("/proc/self/smaps");
    long total = 0;
    long size = 0;
    for (std::string line; std::getline(smaps, line);) {
        if (line.rfind("Size:", 0) == 0) {
            size = std::stol(line.substr(5));
        } else if (line.rfind("VmFlags:", 0) == 0 && line.find(" dd") != std::string::npos) {
            total += size;
        }
    }
    return total;
}

}  // namespace

TEST(LibraryLoad, LoadUseAndUnloadLeavesNothingBehind) {
    const int before = threadCount();
    // Counted after the first round: a sanitizer keeps its own mappings
    // for what the first load touched.
    long mappedAfterFirst = -1;
    const int rounds = scaled(20);
    for (int i = 0; i < rounds; ++i) {
        void* lib = dlopen(QUORIN_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << dlerror();
        auto list = reinterpret_cast<ListFn>(dlsym(lib, "GetDeviceList"));
        auto openEx = reinterpret_cast<OpenExFn>(dlsym(lib, "OpenDeviceEx"));
        auto keep = reinterpret_cast<TextFn>(dlsym(lib, "STATIC_STRING"));
        ASSERT_TRUE(list != nullptr && openEx != nullptr && keep != nullptr);
        // Touch the process-wide state: enumeration (of an empty virtual
        // bus), a refused open and the result ring.
        EXPECT_STREQ(list(), "");
        EXPECT_EQ(openEx("HID://NOSUCHREADER"), 0u);
        EXPECT_STREQ(keep("text"), "text");
        ASSERT_EQ(dlclose(lib), 0) << dlerror();
        // Gone from the process: a no-load open finds nothing.
        void* still = dlopen(QUORIN_LIBRARY_FILE, RTLD_NOW | RTLD_NOLOAD);
        EXPECT_EQ(still, nullptr) << "round " << i << ": the library stayed loaded";
        if (still != nullptr) {
            dlclose(still);
        }
        EXPECT_LE(waitForThreadsAtMost(before), before) << "round " << i;
        // The card-data pool the result ring used went with the library:
        // the rounds do not pile up its mappings.
        if (i == 0) {
            mappedAfterFirst = dontDumpKiB();
        }
        EXPECT_EQ(dontDumpKiB(), mappedAfterFirst) << "round " << i;
    }
}
