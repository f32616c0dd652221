// The session and callback functions, through the exported API, against the
// virtual USB reader.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "ApiRecorder.h"
#include "Quorin.h"
#include "TestWait.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_test;
using quorin_sim::VirtualHid;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PLAIN_PID = 0x11;

class SessionApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualHid::instance().reset();
        ApiRecorder::unregisterFirstGeneration();
        // The first-generation state outlives tests run in one process (an
        // Ex open marks it connected and an Ex close leaves it so); a first
        // generation open and close brings it back to disconnected.
        VirtualHid::instance().plug(VID, PLAIN_PID, std::string("RESET"));
        OpenDevice(nullptr);
        CloseDevice();
        VirtualHid::instance().reset();
        ApiRecorder::instance().reset();
    }

    void TearDown() override {
        for (unsigned long h : m_handles) {
            CloseDeviceEx(h);
        }
        CloseDevice();
        ApiRecorder::unregisterFirstGeneration();
        VirtualHid::instance().reset();
    }

    unsigned long openEx(const char* path) {
        unsigned long h = OpenDeviceEx(path);
        if (h != 0) {
            m_handles.insert(h);
        }
        return h;
    }

    void closeEx(unsigned long h) {
        CloseDeviceEx(h);
        m_handles.erase(h);
    }

    std::set<unsigned long> m_handles;
};

TEST_F(SessionApiTest, ListsNoneOneAndTwoReadersOnlyOfTheVendor) {
    EXPECT_STREQ(QuorinGetDeviceList(), "");
    EXPECT_EQ(QuorinOpenDevice(nullptr), 1);
    EXPECT_EQ(OpenDeviceEx(nullptr), 0u);

    VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN0001"));
    // Another vendor's device with a known product ID is not a reader of ours.
    VirtualHid::instance().plug(static_cast<uint16_t>(VID ^ 0x0101), PLAIN_PID,
                                std::string("OTHER"));
    EXPECT_STREQ(GetDeviceList(), "HID://SN0001");

    VirtualHid::instance().plug(VID, 0x13, std::string("SN0002"));
    EXPECT_STREQ(QuorinGetDeviceList(), "HID://SN0001,HID://SN0002");
}

TEST_F(SessionApiTest, ReaderWithoutSerialIsListedByPathAndListedOnce) {
    auto reader = VirtualHid::instance().plug(VID, PLAIN_PID, std::nullopt);
    reader->setListingCount(3);  // hidraw lists some nodes several times
    std::string expected = "HID://" + reader->path();
    EXPECT_EQ(std::string(GetDeviceList()), expected);
    unsigned long h = openEx(expected.c_str());
    EXPECT_NE(h, 0u);
    EXPECT_EQ(GetProductIDEx(h), PLAIN_PID);
}

TEST_F(SessionApiTest, FirstGenerationOpenCloseAndDoubleOpen) {
    VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN0001"));
    ApiRecorder::registerFirstGeneration();
    EXPECT_EQ(QuorinIsDeviceConnected(), 0);

    // A name beginning with "HID://" that names no reader still opens one.
    EXPECT_EQ(QuorinOpenDevice(const_cast<char*>("HID://NOSUCH")), 0);
    EXPECT_EQ(IsDeviceConnected(), 1);
    long state = -1;
    QuorinGetDeviceState(&state);
    EXPECT_EQ(state, ZEDRA_STATE_CONNECTED);
    long pid = 0;
    QuorinGetPID(&pid);
    EXPECT_EQ(pid, PLAIN_PID);

    // A second open keeps the first reader.
    EXPECT_EQ(OpenDevice(nullptr), 0);
    EXPECT_EQ(VirtualHid::instance().openHandles(), 1);

    ASSERT_TRUE(ApiRecorder::instance().waitFor("connection", 1));
    ASSERT_TRUE(ApiRecorder::instance().waitFor("device", 1));

    EXPECT_EQ(QuorinCloseDevice(), 0);
    EXPECT_EQ(QuorinIsDeviceConnected(), 0);
    EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
    QuorinGetPID(&pid);
    EXPECT_EQ(pid, 0);
    ASSERT_TRUE(ApiRecorder::instance().waitFor("connection", 2));
    // Closing twice, or with nothing open, is harmless.
    EXPECT_EQ(QuorinCloseDevice(), 0);
    CloseDevice();
    auto connection = ApiRecorder::instance().callsOf("connection");
    ASSERT_EQ(connection.size(), 2u);
    std::multiset<long> states{connection[0].state, connection[1].state};
    // Each callback reads the newest state when it runs, so both may see the
    // last one; two calls for two changes is what counts.
    EXPECT_EQ(states.count(ZEDRA_STATE_DISCONNECTED) + states.count(ZEDRA_STATE_CONNECTED), 2u);
}

TEST_F(SessionApiTest, ExOpensEachPathOnceAndHandlesAreIndependent) {
    VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN0001"));
    VirtualHid::instance().plug(VID, 0x13, std::string("SN0002"));
    unsigned long a = openEx("HID://SN0001");
    unsigned long b = openEx("HID://SN0002");
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(OpenDeviceEx("HID://SN0001"), 0u);
    EXPECT_EQ(GetProductIDEx(a), PLAIN_PID);
    EXPECT_EQ(GetProductIDEx(b), 0x13);
    EXPECT_EQ(IsDeviceConnectedEx(a), 1);

    // An Ex open also marks the first-generation state connected.
    long state = -1;
    QuorinGetDeviceState(&state);
    EXPECT_EQ(state, ZEDRA_STATE_CONNECTED);

    closeEx(a);
    EXPECT_EQ(IsDeviceConnectedEx(a), 0);  // unknown handles answer 0
    EXPECT_EQ(GetProductIDEx(a), 0);
    EXPECT_EQ(IsDeviceConnectedEx(b), 1);
    unsigned long again = openEx("HID://SN0001");
    EXPECT_NE(again, 0u);
    EXPECT_EQ(VirtualHid::instance().openHandles(), 2);
}

TEST_F(SessionApiTest, ExOpenOfAListedPathReachesExactlyThatReader) {
    // One serial number is the start of the other.
    auto sn10 = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN10"));
    auto sn1 = VirtualHid::instance().plug(VID, 0x13, std::string("SN1"));
    ASSERT_STREQ(GetDeviceList(), "HID://SN10,HID://SN1");

    unsigned long h1 = openEx("HID://SN1");
    ASSERT_NE(h1, 0u);
    EXPECT_EQ(sn1->openHandles(), 1);
    EXPECT_EQ(sn10->openHandles(), 0);
    unsigned long h10 = openEx("HID://SN10");
    ASSERT_NE(h10, 0u);
    EXPECT_EQ(sn10->openHandles(), 1);
    EXPECT_EQ(sn1->openHandles(), 1);

    // Each handle's commands reach its own reader.
    SendCommandEx(h1, "0101");
    EXPECT_EQ(sn1->featureWrites().size(), 1u);
    EXPECT_EQ(sn10->featureWrites().size(), 0u);
    SendCommandEx(h10, "0202");
    EXPECT_EQ(sn10->featureWrites().size(), 1u);
    EXPECT_EQ(sn1->featureWrites().size(), 1u);
    closeEx(h1);
    closeEx(h10);

    // A start shared by both readers names neither; a start only one
    // reader has still opens that one.
    EXPECT_EQ(openEx("HID://SN"), 0u);
    EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
    auto other = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("AB200"));
    unsigned long unique = openEx("HID://AB2");
    ASSERT_NE(unique, 0u);
    EXPECT_EQ(other->openHandles(), 1);
}

TEST_F(SessionApiTest, ExOpensAReaderOnceWhateverNameItIsGiven) {
    auto sn10 = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN10"));
    auto sn1 = VirtualHid::instance().plug(VID, 0x13, std::string("SN1"));
    auto ab = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("AB200"));
    unsigned long h10 = openEx("HID://SN10");
    unsigned long hab = openEx("HID://AB2");  // the unique start of a serial number
    ASSERT_NE(h10, 0u);
    ASSERT_NE(hab, 0u);

    // Other letter case, the system path, the listed name, a unique start:
    // each names a reader already open, and each is refused.
    for (const std::string& name :
         {std::string("HID://sn10"), std::string("HID://Sn10"), "HID://" + sn10->path(),
          std::string("HID://AB200"), std::string("HID://ab200"), std::string("HID://ab"),
          "HID://" + ab->path()}) {
        EXPECT_EQ(OpenDeviceEx(name.c_str()), 0u) << name;
    }
    EXPECT_EQ(sn10->openHandles(), 1);
    EXPECT_EQ(ab->openHandles(), 1);

    // The reader whose serial number the other's starts with is a reader of
    // its own; once closed, a reader opens again under any of its names.
    unsigned long h1 = openEx("HID://sn1");
    EXPECT_NE(h1, 0u);
    EXPECT_EQ(sn1->openHandles(), 1);
    closeEx(h10);
    unsigned long again = openEx(("HID://" + sn10->path()).c_str());
    EXPECT_NE(again, 0u);
    EXPECT_EQ(sn10->openHandles(), 1);
    EXPECT_EQ(OpenDeviceEx("HID://SN10"), 0u);

    // With SN1 unplugged (its handle still open), the same text names SN10,
    // the one reader it starts; free again, SN10 opens under it.
    closeEx(again);
    sn1->unplug();
    EXPECT_NE(openEx("HID://sn1"), 0u);
    EXPECT_EQ(sn10->openHandles(), 1);
}

TEST_F(SessionApiTest, AReaderOpenedUnderAnotherNameIsDrivenAsItsModel) {
    auto reader = VirtualHid::instance().plug<quorin_sim::PlainCommandReader>(VID, PLAIN_PID,
                                                                              std::string("SN10"));
    reader->setAnswer("45", 0, {0x12, 0x34});
    // Other letter case, the unique start of its serial number, its system
    // path: none is the listed name, all name this plain-protocol reader.
    for (const std::string& name :
         {std::string("hid://sn10"), std::string("HID://SN1"), "HID://" + reader->path()}) {
        unsigned long h = openEx(name.c_str());
        ASSERT_NE(h, 0u) << name;
        EXPECT_EQ(GetProductIDEx(h), PLAIN_PID) << name;
        EXPECT_STREQ(SendCommandEx(h, "45"), "1234") << name;
        closeEx(h);
    }
    // The first generation opens a name not starting with "HID://" as given.
    ASSERT_EQ(OpenDevice("hid://sn10"), 0);
    long pid = 0;
    QuorinGetPID(&pid);
    EXPECT_EQ(pid, PLAIN_PID);
    EXPECT_STREQ(SendCommand("45"), "1234");
    CloseDevice();
}

TEST_F(SessionApiTest, FirstGenerationOpensTheReaderItsNameNames) {
    auto emv = VirtualHid::instance().plug(VID, 0x13, std::string("SIM0001"));
    auto msr = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("MSR0002"));
    ASSERT_STREQ(GetDeviceList(), "HID://SIM0001,HID://MSR0002");

    ASSERT_EQ(QuorinOpenDevice(const_cast<char*>("HID://SIM0001")), 0);
    EXPECT_EQ(emv->openHandles(), 1);
    EXPECT_EQ(msr->openHandles(), 0);
    long pid = 0;
    QuorinGetPID(&pid);
    EXPECT_EQ(pid, 0x13);
    CloseDevice();

    // No name, a bare scheme, a name of no attached reader, or only the
    // start of one: the last listed reader, as before.
    for (const char* name :
         {static_cast<const char*>(nullptr), "", "HID://", "HID://NOSUCH", "HID://SIM"}) {
        ASSERT_EQ(OpenDevice(name), 0) << (name != nullptr ? name : "null");
        EXPECT_EQ(msr->openHandles(), 1) << (name != nullptr ? name : "null");
        EXPECT_EQ(emv->openHandles(), 0) << (name != nullptr ? name : "null");
        CloseDevice();
    }
}

TEST_F(SessionApiTest, BadHandlesAndPathsAreRefusedQuietly) {
    EXPECT_EQ(IsDeviceConnectedEx(0), 0);
    EXPECT_EQ(GetProductIDEx(0), 0);
    CloseDeviceEx(0);
    CloseDeviceEx(0x1234);  // never handed out: ignored, not dereferenced
    OnDataReceivedEx(0x1234, nullptr, nullptr);
    EXPECT_EQ(OpenDeviceEx("FOO://bar"), 0u);
    EXPECT_EQ(OpenDeviceEx("HID://"), 0u);
    EXPECT_EQ(OpenDevice("HID://"), 1);
    std::string longName(5000, 'A');
    EXPECT_EQ(OpenDeviceEx(("HID://" + longName).c_str()), 0u);
    EXPECT_EQ(OpenDevice(("HID://" + longName).c_str()), 1);
}

TEST_F(SessionApiTest, UnplugIsReportedOnceAndTheHandleStaysConnected) {
    auto reader = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN0001"));
    unsigned long h = openEx("HID://SN0001");
    ASSERT_NE(h, 0u);
    int marker = 0;
    ApiRecorder::registerEx(h, &marker);
    reader->unplug();
    ASSERT_TRUE(ApiRecorder::instance().waitFor("connection", 1));
    // Give a second report the chance to arrive: the reading thread has ended,
    // so there is none, whatever the wait.
    EXPECT_FALSE(ApiRecorder::instance().waitFor("connection", 2, std::chrono::milliseconds(100)));
    auto calls = ApiRecorder::instance().callsOf("connection");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].handle, h);
    EXPECT_EQ(calls[0].obj, &marker);
    EXPECT_EQ(calls[0].state, ZEDRA_STATE_DISCONNECTED);
    EXPECT_EQ(IsDeviceConnectedEx(h), 1);
    closeEx(h);
    EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
}

TEST_F(SessionApiTest, FirstGenerationUnplugMakesTheReaderDisconnectedUntilClosed) {
    auto reader = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN0001"));
    ApiRecorder::registerFirstGeneration();
    ASSERT_EQ(OpenDevice(nullptr), 0);
    ASSERT_TRUE(ApiRecorder::instance().waitFor("connection", 1));
    reader->unplug();
    ASSERT_TRUE(waitUntil([] { return QuorinIsDeviceConnected() == 0; }));
    ASSERT_TRUE(ApiRecorder::instance().waitFor("connection", 2));
    // Still open: a further open changes nothing until the host closes.
    EXPECT_EQ(OpenDevice(nullptr), 0);
    EXPECT_EQ(QuorinIsDeviceConnected(), 0);
    CloseDevice();
    // The close reports nothing new: the state was already disconnected.
    EXPECT_FALSE(ApiRecorder::instance().waitFor("connection", 3, std::chrono::milliseconds(100)));
}

TEST_F(SessionApiTest, ResultRingKeepsAStringForThirtyTwoCalls) {
    // Wherever the ring stands, a string survives 32 further calls, even
    // when every one of them fills its slots completely.
    for (int start = 0; start < 5; ++start) {
        const char* first = STATIC_STRING("first");
        for (int i = 0; i < 32; ++i) {
            STATIC_STRING(std::string(767, static_cast<char>('a' + i % 26)).c_str());
        }
        EXPECT_STREQ(first, "first");
    }

    std::string longText(2000, 'x');
    const char* cut = STATIC_STRING(longText.c_str());
    EXPECT_EQ(std::strlen(cut), 767u);
    EXPECT_STREQ(STATIC_STRING(nullptr), "");
}

TEST_F(SessionApiTest, ClosingAnExReaderStopsItsCallbacks) {
    auto reader = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN0001"));
    unsigned long h = openEx("HID://SN0001");
    ASSERT_NE(h, 0u);
    ApiRecorder::registerEx(h, nullptr);
    closeEx(h);
    reader->unplug();
    // Nothing is registered any more: no callback can arrive.
    EXPECT_FALSE(ApiRecorder::instance().waitFor("connection", 1, std::chrono::milliseconds(100)));
}

TEST_F(SessionApiTest, ManyOpenCloseCyclesLeaveNothingOpen) {
    VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN0001"));
    ApiRecorder::registerFirstGeneration();
    for (int i = 0; i < 50; ++i) {
        unsigned long h = OpenDeviceEx("HID://SN0001");
        ASSERT_NE(h, 0u);
        ApiRecorder::registerEx(h, nullptr);
        CloseDeviceEx(h);
        ASSERT_EQ(OpenDevice(nullptr), 0);
        CloseDevice();
    }
    EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
}

}  // namespace
