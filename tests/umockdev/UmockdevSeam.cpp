// The USB scenarios on Debian's hidapi (hidraw backend) and emulated kernel
// hidraw nodes. This executable runs under umockdev's preload library; where
// umockdev cannot work it exits with 77 (skipped).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "UsbSeam.h"
#include "umockdev/UmockdevBus.h"

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
    int result = RUN_ALL_TESTS();
    quorin_test::g_bus.reset();
    return result;
}
