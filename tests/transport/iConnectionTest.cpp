#include <gtest/gtest.h>

#include <memory>

#include "transport/HIDConnection.h"
#include "transport/iConnection.h"
#include "virtualhid/VirtualHid.h"

using quorin::iConnection;
using quorin_sim::VirtualHid;

namespace {

// A bare connection whose scheme text a test can set.
class SchemeConnection : public iConnection {
public:
    explicit SchemeConnection(const char* scheme) { setScheme(scheme); }
};

class iConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { VirtualHid::instance().reset(); }
    void TearDown() override {
        VirtualHid::instance().reset();
        EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
    }
};

}  // namespace

TEST_F(iConnectionTest, OpenRefusesPathsThatNameNoDevice) {
    VirtualHid::instance().plug(QUORIN_USB_VENDOR_ID, 0x11, std::string("SN1"));
    EXPECT_EQ(iConnection::open(nullptr), nullptr);
    EXPECT_EQ(iConnection::open(""), nullptr);
    EXPECT_EQ(iConnection::open("HID://"), nullptr);
    EXPECT_EQ(iConnection::open("FOO://bar"), nullptr);
    EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
}

TEST_F(iConnectionTest, OpenOfHidPathGivesHidConnection) {
    VirtualHid::instance().plug(QUORIN_USB_VENDOR_ID, 0x11, std::string("SN1"));
    std::unique_ptr<iConnection> conn(iConnection::open("hid://sn1"));
    ASSERT_NE(conn, nullptr);
    EXPECT_NE(dynamic_cast<quorin::HIDConnection*>(conn.get()), nullptr);
    EXPECT_EQ(conn->getDeviceInfoEx(nullptr), 255);
    EXPECT_EQ(VirtualHid::instance().openHandles(), 1);
    conn.reset();
    EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
}

TEST_F(iConnectionTest, IsMeIgnoresCaseButNotLength) {
    SchemeConnection exact("HID://X");
    EXPECT_TRUE(exact.isMe("hid://X"));
    EXPECT_TRUE(exact.isMe("HID://x"));
    EXPECT_FALSE(exact.isMe("HID://"));
    EXPECT_FALSE(exact.isMe(nullptr));
    SchemeConnection longer("HID://XY");
    EXPECT_FALSE(longer.isMe("hid://X"));
}

TEST_F(iConnectionTest, BaseAnswersOfTheInterface) {
    SchemeConnection conn("dummy");
    int len = 99;
    unsigned char out[4] = {};
    EXPECT_FALSE(conn.getBytes(1, out, &len, nullptr, 0));
    EXPECT_EQ(len, 0);
    EXPECT_EQ(conn.getDeviceInfoEx(nullptr), 7);
    EXPECT_EQ(conn.getDefaultGuardingTime(), 0);
    EXPECT_FALSE(iConnection::iConnectionDefEnumDevice("HID://A", nullptr));
}
