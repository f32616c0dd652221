// The USB scenarios on Debian's hidapi (hidraw backend) and emulated kernel
// hidraw nodes. This executable runs under umockdev's preload library; where
// umockdev cannot work it exits with 77 (skipped).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "UsbSeam.h"
#include "umockdev/UmockdevBus.h"

#if defined(__SANITIZE_THREAD__)
#define QUORIN_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUORIN_TEST_TSAN 1
#endif
#endif
#ifdef QUORIN_TEST_TSAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace quorin_test {

namespace {

std::unique_ptr<quorin_sim::UmockdevBus> g_bus;

class UmockdevSeam : public UsbSeam {
public:
    std::string name() const override { return "umockdev"; }
    void reset() override { g_bus->reset(); }
    bool plug(const std::shared_ptr<quorin_sim::VirtualReader>& reader) override {
        std::string error;
        bool ok = g_bus->attach(reader, &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    void unplug(const std::shared_ptr<quorin_sim::VirtualReader>& reader) override {
        g_bus->unplug(reader);
    }
    bool plugNotYetListed(const std::shared_ptr<quorin_sim::VirtualReader>& reader) override {
        std::string error;
        bool ok = g_bus->attach(reader, &error, quorin_sim::UmockdevBus::Listing::INCOMPLETE);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    void completeListing(const std::shared_ptr<quorin_sim::VirtualReader>& reader) override {
        auto node = g_bus->node(reader);
        ASSERT_TRUE(node);
        node->completeDescription();
    }
    void setAccess(const std::shared_ptr<quorin_sim::VirtualReader>& reader,
                   bool allowed) override {
        auto node = g_bus->node(reader);
        ASSERT_TRUE(node);
        // umockdev's chmod reaches the node's pseudo-terminal in the testbed.
        ASSERT_EQ(chmod(node->devnode().c_str(), allowed ? 0666 : 0600), 0) << node->devnode();
    }
    std::string usbLocation(const std::shared_ptr<quorin_sim::VirtualReader>& reader) override {
        auto node = g_bus->node(reader);
        if (!node) {
            return "";
        }
        // .../1-P/1-P:1.0/0003:VVVV:PPPP.N/hidraw/hidrawN: the USB device is 1-P.
        std::string path = node->hidrawSysfsPath();
        for (int up = 0; up < 4; ++up) {
            path = path.substr(0, path.rfind('/'));
        }
        return path.substr(path.rfind('/') + 1);
    }
    int openHandles() const override { return g_bus->openHandles(); }
};

// The library file that defines hid_enumerate for this process.
std::string hidapiProvider() {
    void* symbol = dlsym(RTLD_DEFAULT, "hid_enumerate");
    Dl_info info{};
    if (symbol == nullptr || dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) {
        return "";
    }
    return info.dli_fname;
}

// ThreadSanitizer reads the process's modules the first time it symbolizes
// a stack. Done while dlclose holds the loader's lock (a report, or a
// suppression to match, on the reader monitor's thread while an unloading
// library's destructor joins it), that deadlocks here: umockdev's preload
// wrappers of stat and friends look libc up with dlsym, which waits for that
// lock. Symbolizing once at start makes such a report print instead of hang.
void symbolizeOnceUnderThreadSanitizer() {
#ifdef QUORIN_TEST_TSAN
    char text[256];
    __sanitizer_symbolize_pc(__builtin_return_address(0), "%p %F %L", text, sizeof text);
#endif
}

}  // namespace

UsbSeam& UsbSeam::instance() {
    static UmockdevSeam seam;
    return seam;
}

}  // namespace quorin_test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) {
        return RUN_ALL_TESTS();
    }
    // The point of this executable: the real hidapi, not the stand-in.
    const std::string provider = quorin_test::hidapiProvider();
    if (provider.find("libhidapi-hidraw.so") == std::string::npos) {
        std::fprintf(stderr, "hid_enumerate comes from '%s', not Debian's hidapi\n",
                     provider.c_str());
        return 1;
    }
    const std::string reason = quorin_sim::UmockdevBus::unavailableReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "skipped: %s\n", reason.c_str());
        return 77;
    }
    // Before any thread starts: the testbed sets the environment.
    quorin_test::g_bus = std::make_unique<quorin_sim::UmockdevBus>();
    quorin_test::symbolizeOnceUnderThreadSanitizer();
    int result = RUN_ALL_TESTS();
    quorin_test::g_bus.reset();
    return result;
}
