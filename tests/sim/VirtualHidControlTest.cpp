// The C control API of the virtual bus, its configuration entries, and the
// drop-in itself in a program linked against the system hidapi.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>
#include <stdio.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "virtualhid/ExtendedReader.h"
#include "virtualhid/VirtualHid.h"
#include "virtualhid/VirtualHidConfig.h"
#include "virtualhid/VirtualHidControl.h"

using namespace quorin_sim;

namespace {

class VirtualHidControlTest : public ::testing::Test {
protected:
    void SetUp() override { quorin_vhid_reset(); }
    void TearDown() override { quorin_vhid_reset(); }
};

std::string pathOf(int id) {
    char buffer[64];
    return quorin_vhid_path(id, buffer, sizeof(buffer)) >= 0 ? buffer : "";
}

TEST_F(VirtualHidControlTest, PlugsReadersWithIdsThatAreNeverReused) {
    int a = quorin_vhid_plug("emv", 0, 0x19, "SNA");
    int b = quorin_vhid_plug("plain", 0x1234, 0x11, nullptr);
    ASSERT_GT(a, 0);
    EXPECT_GT(b, a);
    EXPECT_EQ(pathOf(a), "/dev/hidraw0");
    EXPECT_EQ(pathOf(b), "/dev/hidraw1");
    EXPECT_EQ(quorin_vhid_plug("laser", 0, 0x19, "X"), -1);
    EXPECT_EQ(quorin_vhid_plug("emv", 0, 0, "X"), -1);
    EXPECT_EQ(quorin_vhid_plug("emv", 0x10000, 0x19, "X"), -1);

    int ids[4] = {0};
    EXPECT_EQ(quorin_vhid_readers(ids, 4), 2);
    EXPECT_EQ(ids[0], a);
    EXPECT_EQ(ids[1], b);

    hid_device_info* list = hid_enumerate(0, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->vendor_id, quorin_vhid_default_vendor_id());
    // The emv model's descriptor has two collections: hidraw lists it twice.
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(std::string(list->next->path), pathOf(a));
    EXPECT_EQ(list->next->usage, 2);
    ASSERT_NE(list->next->next, nullptr);
    EXPECT_EQ(list->next->next->vendor_id, 0x1234);
    hid_free_enumeration(list);

    char small[4];
    EXPECT_EQ(quorin_vhid_path(a, small, sizeof(small)), -1);
    EXPECT_EQ(quorin_vhid_reset(), 0);
    EXPECT_EQ(quorin_vhid_readers(nullptr, 0), 0);
    EXPECT_EQ(quorin_vhid_unplug(a), -1);
    EXPECT_GT(quorin_vhid_plug("emv", 0, 0x19, "SNA"), b);

    EXPECT_EQ(quorin_vhid_set_backend("libusb"), 0);
    int c = quorin_vhid_plug("plain", 0, 0x11, "C");
    EXPECT_EQ(pathOf(c), "1-2.2:1.0");
    EXPECT_EQ(quorin_vhid_set_backend("bluetooth"), -1);
}

TEST_F(VirtualHidControlTest, UnplugReplugAndHandleCounts) {
    int id = quorin_vhid_plug("plain", 0, 0x11, "U1");
    hid_device* dev = hid_open_path(pathOf(id).c_str());
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(quorin_vhid_open_handles(id), 1);
    EXPECT_GE(quorin_vhid_open_handles(0), 1);
    EXPECT_EQ(quorin_vhid_unplug(id), 0);
    unsigned char buffer[8];
    EXPECT_EQ(hid_read_timeout(dev, buffer, sizeof(buffer), 0), -1);
    EXPECT_EQ(hid_open_path(pathOf(id).c_str()), nullptr);
    EXPECT_EQ(quorin_vhid_replug(id), 0);
    hid_device* again = hid_open_path(pathOf(id).c_str());
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(hid_read_timeout(dev, buffer, sizeof(buffer), 0), -1);  // the old handle stays dead
    hid_close(again);
    hid_close(dev);
    EXPECT_EQ(quorin_vhid_open_handles(id), 0);
}

TEST_F(VirtualHidControlTest, ScriptsPushesAndRecordsThroughTheCApi) {
    int emv = quorin_vhid_plug("emv", 0, 0x1d, "E1");
    int plain = quorin_vhid_plug("plain", 0, 0x11, "P1");
    hid_device* dev = hid_open_path(pathOf(emv).c_str());
    ASSERT_NE(dev, nullptr);

    EXPECT_EQ(quorin_vhid_script_response(emv, "0306:", 0x0001, "a1b2"), 0);
    EXPECT_EQ(quorin_vhid_script_response(emv, "0306:", 0, "A1B"), -1);  // odd hex
    EXPECT_EQ(quorin_vhid_script_response(emv, "03:06", 0, ""), -1);
    EXPECT_EQ(quorin_vhid_script_response(plain, "0306:", 0, ""), -1);  // no ids on plain readers
    EXPECT_EQ(quorin_vhid_script_response(plain, "45", 256, ""), -1);
    EXPECT_EQ(quorin_vhid_script_response(99999, "45", 0, ""), -1);

    unsigned char command[61] = {0x01, 0x49, 0x06, 0x00, 0x00, 0x03, 0x06, 0x00, 0x00};
    ASSERT_EQ(hid_send_feature_report(dev, command, sizeof(command)), 61);
    unsigned char answer[61] = {0x01};
    ASSERT_GT(hid_get_feature_report(dev, answer, sizeof(answer)), 0);
    EXPECT_EQ(answer[1], 0x0A);
    EXPECT_EQ(answer[6], 0x01);
    EXPECT_EQ(answer[9], 0xA1);
    EXPECT_EQ(answer[10], 0xB2);

    EXPECT_EQ(quorin_vhid_feature_writes(emv), 1);
    char hex[256];
    ASSERT_EQ(quorin_vhid_feature_write(emv, -1, hex, sizeof(hex)), 122);
    EXPECT_EQ(std::string(hex).substr(0, 18), "014906000003060000");
    EXPECT_EQ(quorin_vhid_feature_write(emv, 1, hex, sizeof(hex)), -1);
    EXPECT_EQ(quorin_vhid_feature_write(emv, 0, hex, 10), -1);

    EXPECT_EQ(quorin_vhid_push_notification(emv, 0x0301, "48454C4C4F"), 0);
    EXPECT_EQ(quorin_vhid_push_notification(plain, 0x0301, "00"), -1);
    EXPECT_EQ(quorin_vhid_push_notification(emv, 0x10000, "00"), -1);
    EXPECT_EQ(quorin_vhid_push_input(emv, "02000000"), 0);
    EXPECT_EQ(quorin_vhid_push_input(emv, ""), -1);
    unsigned char in[128];
    ASSERT_EQ(hid_read_timeout(dev, in, sizeof(in), 0), 64);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(in) + 9, 5), "HELLO");
    ASSERT_EQ(hid_read_timeout(dev, in, sizeof(in), 0), 4);

    EXPECT_EQ(quorin_vhid_swipe(emv, "%B4111111111111111^A/B^3012101?", nullptr, nullptr), 0);
    ASSERT_GT(hid_read_timeout(dev, in, sizeof(in), 0), 0);
    EXPECT_EQ(in[0], 0x01);

    EXPECT_EQ(quorin_vhid_set_busy(emv, 2), 0);
    EXPECT_EQ(quorin_vhid_set_busy(plain, 2), -1);
    EXPECT_EQ(quorin_vhid_transaction_state(emv), 0);
    EXPECT_EQ(quorin_vhid_transaction_state(plain), -1);
    hid_close(dev);
}

TEST(VirtualHidConfigTest, ReadsEntriesAndRefusesBadOnes) {
    std::string error;
    auto e = VirtualHidConfig::parseEntry(" emv:0x19:SN123 ", &error);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->model, "emv");
    EXPECT_EQ(e->productId, 0x19);
    EXPECT_EQ(e->vendorId, QUORIN_USB_VENDOR_ID);
    EXPECT_EQ(e->serial, std::optional<std::string>("SN123"));
    e = VirtualHidConfig::parseEntry("plain:17::0x0801", &error);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->productId, 17);
    EXPECT_FALSE(e->serial);
    EXPECT_EQ(e->vendorId, 0x0801);

    for (const char* bad : {"emv", "emv:", "emv:0x19x", "emv:0", "emv:0x10000", "emv:-1",
                            "tape:0x19", "emv:0x19:SN:0", "emv:0x19:SN:1:2"}) {
        EXPECT_FALSE(VirtualHidConfig::parseEntry(bad, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }

    EXPECT_EQ(VirtualHidConfig::splitEntries("emv:0x19:A, plain:0x11:B\n# a comment, here\n\n"
                                             "  plain:0x2  \n"),
              (std::vector<std::string>{"emv:0x19:A", "plain:0x11:B", "plain:0x2"}));

    // All or nothing.
    VirtualHid::instance().reset();
    EXPECT_EQ(quorin_vhid_configure("emv:0x19:A,plain:zz"), -1);
    EXPECT_EQ(quorin_vhid_readers(nullptr, 0), 0);
    EXPECT_EQ(quorin_vhid_configure("emv:0x19:A\nplain:0x11:B"), 2);
    EXPECT_EQ(quorin_vhid_readers(nullptr, 0), 2);
    VirtualHid::instance().reset();
}

// Runs the host program with the environment given and returns its output.
std::string runHost(const std::string& environment) {
    std::string command = environment + " " + QUORIN_PRELOAD_HOST + " 2>&1";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        out.append(buffer, n);
    }
    int status = pclose(pipe);
    out += "exit=" + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "\n";
    return out;
}

// A sanitizer runtime must come first in a preload list; the host carries
// its own, so the order check is switched off.
std::string sanitizerEnvironment() {
    const char* asan = std::getenv("ASAN_OPTIONS");
    return std::string("ASAN_OPTIONS='") + (asan != nullptr ? asan : "") +
           ":verify_asan_link_order=0'";
}

TEST(VirtualHidDropInTest, AProgramLinkedAgainstHidapiSeesTheConfiguredReaders) {
    const std::string readers = "QUORIN_VHID_READERS='plain:0x11:SNPRE2,emv:0x1d:SNPRE1'";
    std::string out = runHost(sanitizerEnvironment() + " " + readers +
                              " LD_PRELOAD=" + QUORIN_VIRTUALHID_LIBRARY);
    EXPECT_NE(out.find("list=HID://SNPRE2,HID://SNPRE1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("serial=SNPRE1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("emv=1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("exit=0\n"), std::string::npos) << out;

    // The hidapi library names in the shim directory work the same way.
    out = runHost(sanitizerEnvironment() + " QUORIN_VHID_READERS='plain:0x11:SNLIB'" +
                  " LD_LIBRARY_PATH=" + QUORIN_HIDAPI_SHIM_DIR);
    EXPECT_NE(out.find("list=HID://SNLIB\n"), std::string::npos) << out;
    EXPECT_NE(out.find("emv=0\n"), std::string::npos) << out;

    // A configuration file; a bad line is reported and skipped.
    std::string file = ::testing::TempDir() + "vhid-readers.conf";
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("# readers\nemv:0x19:SNFILE\nemv:nonsense\n", f);
    fclose(f);
    out = runHost(sanitizerEnvironment() + " QUORIN_VHID_CONFIG=" + file +
                  " LD_PRELOAD=" + QUORIN_VIRTUALHID_LIBRARY);
    EXPECT_NE(out.find("list=HID://SNFILE\n"), std::string::npos) << out;
    EXPECT_NE(out.find("quorin-virtualhid: ignoring reader \"emv:nonsense\""), std::string::npos)
        << out;
    std::remove(file.c_str());
}

}  // namespace
