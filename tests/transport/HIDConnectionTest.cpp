// HIDConnection against the virtual USB bus (hidraw and libusb behaviour).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestWait.h"
#include "common/ResultCode.h"
#include "transport/HIDConnection.h"
#include "virtualhid/VirtualHid.h"

using quorin::DeviceExtraInfo;
using quorin::HIDConnection;
using quorin::iConnection;
using quorin_sim::HidBackend;
using quorin_sim::Report;
using quorin_sim::VirtualHid;
using quorin_sim::VirtualReader;
using quorin_test::EventCounter;
using quorin_test::waitUntil;
using namespace std::chrono_literals;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;

// What one enumeration callback saw (the record lives only during the call).
struct Found {
    std::string pathScheme;
    int size;
    unsigned int productId;
    std::string serial;
    std::string prefix;
    std::string path;
};
std::vector<Found> g_found;
size_t g_stopAfter = 0;  // 0: never stop

bool collect(const char* pathScheme, void* extraInfo) {
    auto* info = static_cast<DeviceExtraInfo*>(extraInfo);
    g_found.push_back(
        {pathScheme, info->size, info->InfoId, info->SerialNumber, info->TypePrefix, info->Path});
    return g_stopAfter != 0 && g_found.size() >= g_stopAfter;
}

// Records data callbacks: the report and the raw store's text at that moment.
struct DataSink {
    std::mutex lock;
    std::vector<Report> reports;  // guarded by lock
    std::vector<std::string> storeTexts;
    EventCounter calls;

    static void onData(iConnection* conn, unsigned char* data, int len, void* param) {
        auto* self = static_cast<DataSink*>(param);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->reports.emplace_back(data, data + len);
            self->storeTexts.emplace_back(conn->getAll().view());
        }
        self->calls.bump();
    }
};

struct ChangeSink {
    std::mutex lock;
    std::vector<std::pair<std::string, int>> changes;  // guarded by lock
    EventCounter calls;

    static void onChanged(const char* pathScheme, int change, void* param) {
        auto* self = static_cast<ChangeSink*>(param);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->changes.emplace_back(pathScheme, change);
        }
        self->calls.bump();
    }
};

class HIDConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualHid::instance().reset();
        g_found.clear();
        g_stopAfter = 0;
    }
    void TearDown() override {
        VirtualHid::instance().reset();
        EXPECT_EQ(VirtualHid::instance().openHandles(), 0) << "a connection leaked its handle";
    }

    static std::shared_ptr<VirtualReader> plug(uint16_t pid, std::optional<std::string> serial,
                                               uint16_t vid = VID) {
        return VirtualHid::instance().plug(vid, pid, std::move(serial));
    }
    static std::unique_ptr<HIDConnection> openHid(const std::string& path) {
        return std::unique_ptr<HIDConnection>(
            static_cast<HIDConnection*>(HIDConnection::open(path.c_str())));
    }
    static Report padded(Report bytes, size_t length) {
        bytes.resize(length, 0);
        return bytes;
    }
};

}  // namespace

// ---------------------------------------------------------------- enumeration

TEST_F(HIDConnectionTest, EnumerationWithoutKnownReaders) {
    EXPECT_EQ(HIDConnection::enumDevices(collect), 0);
    plug(0x11, std::string("OTHER"), static_cast<uint16_t>(VID + 1));  // another vendor
    plug(0x99, std::string("UNKNOWN"));                                // unknown product
    EXPECT_EQ(HIDConnection::enumDevices(collect), 0);
    EXPECT_TRUE(g_found.empty());
}

TEST_F(HIDConnectionTest, EnumerationListsKnownReadersBySerialOrPath) {
    plug(0x11, std::string("SN-A"));
    plug(0x11, std::string("FOREIGN"), static_cast<uint16_t>(VID + 1));
    plug(0x1D, std::nullopt);

    EXPECT_EQ(HIDConnection::enumDevices(collect), 1);
    ASSERT_EQ(g_found.size(), 2u);
    EXPECT_EQ(g_found[0].pathScheme, "HID://SN-A");
    EXPECT_EQ(g_found[0].size, 32);
    EXPECT_EQ(g_found[0].productId, 0x11u);
    EXPECT_EQ(g_found[0].serial, "SN-A");
    EXPECT_EQ(g_found[0].prefix, "HID://");
    EXPECT_EQ(g_found[0].path, "/dev/hidraw0");
    // Without a serial number the path form is used.
    EXPECT_EQ(g_found[1].pathScheme, "HID:///dev/hidraw2");
    EXPECT_EQ(g_found[1].serial, "");
    EXPECT_EQ(g_found[1].productId, 0x1Du);
}

TEST_F(HIDConnectionTest, EnumerationListsDuplicatedHidrawNodeOnceAndStopsOnRequest) {
    plug(0x19, std::string("DUP"))->setListingCount(3);
    plug(0x1A, std::string("NEXT"));
    EXPECT_EQ(HIDConnection::enumDevices(collect), 1);
    ASSERT_EQ(g_found.size(), 2u);
    EXPECT_EQ(g_found[0].pathScheme, "HID://DUP");
    EXPECT_EQ(g_found[1].pathScheme, "HID://NEXT");

    g_found.clear();
    g_stopAfter = 1;
    EXPECT_EQ(HIDConnection::enumDevices(collect), 1);
    EXPECT_EQ(g_found.size(), 1u);
}

TEST_F(HIDConnectionTest, LibusbNullSerialGivesPathFormThatOpens) {
    VirtualHid::instance().setBackend(HidBackend::LIBUSB);
    auto open = plug(0x11, std::nullopt);
    auto denied = plug(0x13, std::string("HIDDEN"));
    denied->setAccessible(false);  // libusb cannot read its strings

    EXPECT_EQ(HIDConnection::enumDevices(collect), 1);
    ASSERT_EQ(g_found.size(), 2u);
    EXPECT_EQ(g_found[0].pathScheme, "HID://1-2.1:1.0");
    EXPECT_EQ(g_found[1].pathScheme, "HID://1-2.2:1.0");
    EXPECT_EQ(g_found[1].serial, "");

    // A libusb path begins with a digit: it is found by the lookup.
    auto conn = openHid(g_found[0].pathScheme);
    ASSERT_NE(conn, nullptr);
    EXPECT_STREQ(conn->getScheme(), "1-2.1:1.0");
    EXPECT_EQ(open->openHandles(), 1);
    EXPECT_EQ(openHid(g_found[1].pathScheme), nullptr);
}

// ---------------------------------------------------------------- opening

TEST_F(HIDConnectionTest, OpenBySerialPrefixPicksTheMatchingReader) {
    auto first = plug(0x11, std::string("AB100"));
    auto second = plug(0x11, std::string("AB200"));
    auto conn = openHid("HID://ab2");
    ASSERT_NE(conn, nullptr);
    EXPECT_STREQ(conn->getScheme(), "/dev/hidraw1");
    EXPECT_EQ(first->openHandles(), 0);
    EXPECT_EQ(second->openHandles(), 1);
    EXPECT_EQ(conn->featureReportLength(), 61);
    EXPECT_TRUE(conn->readsInputReports());
    EXPECT_TRUE(conn->IsDeviceConnected());
}

TEST_F(HIDConnectionTest, AnExactSerialOrPathWinsOverAStartOthersShare) {
    auto sn10 = plug(0x11, std::string("SN10"));
    auto sn1 = plug(0x11, std::string("SN1"));
    for (const char* path : {"HID://SN1", "HID://sn1"}) {
        auto conn = openHid(path);
        ASSERT_NE(conn, nullptr) << path;
        EXPECT_STREQ(conn->getScheme(), "/dev/hidraw1");
        EXPECT_EQ(sn1->openHandles(), 1);
        EXPECT_EQ(sn10->openHandles(), 0);
    }
    // A start that both serial numbers share names neither reader.
    EXPECT_EQ(openHid("HID://SN"), nullptr);
    EXPECT_EQ(VirtualHid::instance().openHandles(), 0);

    // An exact hidapi path wins over a serial number that only begins with it.
    VirtualHid::instance().reset();
    VirtualHid::instance().setBackend(HidBackend::LIBUSB);
    auto named = plug(0x11, std::string("1-2.2:1.0Z"));  // at 1-2.1:1.0
    auto unnamed = plug(0x11, std::nullopt);             // at 1-2.2:1.0
    auto conn = openHid("HID://1-2.2:1.0");
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(unnamed->openHandles(), 1);
    EXPECT_EQ(named->openHandles(), 0);
}

TEST_F(HIDConnectionTest, OpenByDirectPathKeepsTheWholePathAsScheme) {
    auto reader = plug(0x11, std::string("SN1"));
    auto conn = openHid("hid:///dev/hidraw0");
    ASSERT_NE(conn, nullptr);
    EXPECT_STREQ(conn->getScheme(), "hid:///dev/hidraw0");
    EXPECT_TRUE(conn->isMe("HID:///DEV/HIDRAW0"));
    EXPECT_EQ(reader->openHandles(), 1);
}

TEST_F(HIDConnectionTest, ReportSizeInPathGivesShortReportsAndNoInputReading) {
    auto reader = plug(0x11, std::string("SN1"));
    auto conn = openHid("HID:///dev/hidraw0,49");
    ASSERT_NE(conn, nullptr);
    EXPECT_STREQ(conn->getScheme(), "HID:///dev/hidraw0,49");
    EXPECT_EQ(conn->featureReportLength(), 49);
    EXPECT_FALSE(conn->readsInputReports());

    DataSink sink;
    conn->registerOnDataEvent(DataSink::onData, &sink);
    reader->pushInputReport({0x01, 0x02});
    char cmd[] = {0x00, 0x01};
    EXPECT_EQ(conn->send(cmd, 2, 1), 0);
    auto writes = reader->featureWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], padded({0x00, 0x01}, 49));
    // Nobody reads input reports: the pushed one is still queued.
    EXPECT_EQ(reader->pendingInputReports(), 1);
    EXPECT_EQ(sink.calls.count(), 0);
}

TEST_F(HIDConnectionTest, BootLoaderFoundByPathGets49ByteReports) {
    VirtualHid::instance().setBackend(HidBackend::LIBUSB);
    auto reader = plug(0x12, std::string("BL1"));

    auto bySerial = openHid("HID://BL1");
    ASSERT_NE(bySerial, nullptr);
    EXPECT_EQ(bySerial->featureReportLength(), 61);
    EXPECT_TRUE(bySerial->readsInputReports());
    bySerial.reset();

    auto byPath = openHid("HID://1-2.1");
    ASSERT_NE(byPath, nullptr);
    EXPECT_EQ(byPath->featureReportLength(), 49);
    EXPECT_FALSE(byPath->readsInputReports());
    EXPECT_STREQ(byPath->getScheme(), "1-2.1:1.0");  // without the report size

    // Another model found by path keeps the default size.
    auto other = plug(0x11, std::nullopt);
    auto otherConn = openHid("HID://1-2.2");
    ASSERT_NE(otherConn, nullptr);
    EXPECT_EQ(otherConn->featureReportLength(), 61);
}

TEST_F(HIDConnectionTest, OpenRefusesUnusablePaths) {
    std::string serial40(40, 'S');
    plug(0x11, serial40);
    EXPECT_EQ(openHid("HID://"), nullptr);
    EXPECT_EQ(openHid("SERIAL:///dev/ttyS0"), nullptr);
    EXPECT_EQ(openHid("HID://NOPE"), nullptr);
    EXPECT_EQ(openHid("HID:///dev/hidraw9"), nullptr);  // no such node
    EXPECT_EQ(openHid("HID:///dev/hidraw0,0"), nullptr);
    EXPECT_EQ(openHid("HID:///dev/hidraw0,abc"), nullptr);
    // The lookup text holds at most 31 characters.
    EXPECT_EQ(openHid("HID://" + serial40.substr(0, 32)), nullptr);
    EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
    EXPECT_NE(openHid("HID://" + serial40.substr(0, 31)), nullptr);
}

// ---------------------------------------------------------------- feature reports

TEST_F(HIDConnectionTest, CommandsGoOutAsPaddedFeatureReports) {
    auto reader = plug(0x11, std::string("SN1"));
    auto conn = openHid("HID://SN1");
    ASSERT_NE(conn, nullptr);

    char command[] = {0x00, 0x01, 0x01, 0x00};
    EXPECT_EQ(conn->send(command, 4, 1), 0);
    EXPECT_EQ(conn->send(nullptr, 0, 1), 0);  // empty command
    std::vector<char> tooLong(62, 0x11);
    EXPECT_EQ(conn->send(tooLong.data(), 62, 1), quorin::RC_BAD_ARGUMENT);
    EXPECT_EQ(conn->send(command, 4, 2), -1);

    auto writes = reader->featureWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], padded({0x00, 0x01, 0x01, 0x00}, 61));
    EXPECT_EQ(writes[1], padded({0x01}, 61));
}

TEST_F(HIDConnectionTest, ReceiveGivesWhatTheDeviceSentWithIdWithinCapacity) {
    auto reader = plug(0x11, std::string("SN1"));
    auto conn = openHid("HID://SN1");
    ASSERT_NE(conn, nullptr);

    reader->queueFeatureResponse(padded({0x00, 0x02, 0xAB, 0xCD}, 60));
    std::vector<unsigned char> buf(64, 0xEE);
    buf[0] = 0;
    int len = static_cast<int>(buf.size());
    EXPECT_EQ(conn->receive(buf.data(), &len), 0);
    EXPECT_EQ(len, 61);
    EXPECT_EQ(Report(buf.begin(), buf.begin() + 61), padded({0x00, 0x00, 0x02, 0xAB, 0xCD}, 61));
    EXPECT_EQ(buf[61], 0xEE);  // nothing past the report

    // A report cut short is no longer than what came: never padded with zeros.
    reader->queueFeatureResponse({0x00, 0x04, 0xAB});
    len = static_cast<int>(buf.size());
    EXPECT_EQ(conn->receive(buf.data(), &len), 0);
    EXPECT_EQ(len, 4);

    // A smaller caller buffer gets only what fits.
    reader->queueFeatureResponse({0x00, 0x01, 0x7F});
    std::vector<unsigned char> small(3, 0);
    len = 3;
    EXPECT_EQ(conn->receive(small.data(), &len), 0);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(small, (Report{0x00, 0x00, 0x01}));
    len = 0;
    EXPECT_EQ(conn->receive(small.data(), &len), quorin::RC_BAD_ARGUMENT);
}

TEST_F(HIDConnectionTest, FeatureReadsAreRetriedSixTimes) {
    auto reader = plug(0x11, std::string("SN1"));
    auto conn = openHid("HID://SN1");
    ASSERT_NE(conn, nullptr);

    // Two stalls, then an answer: the third attempt succeeds.
    reader->queueFeatureResponse({});
    reader->queueFeatureResponse({});
    reader->queueFeatureResponse({0x00, 0x00});
    EXPECT_EQ(conn->getFeatureReport(0), 0);
    EXPECT_EQ(reader->featureReadAttempts(), 3);

    reader->clearRecords();
    reader->setFailFeatureTransfers(true);
    std::vector<unsigned char> buf(61, 0x5A);
    buf[0] = 0;
    int len = 61;
    EXPECT_EQ(conn->receive(buf.data(), &len), quorin::RC_TRANSFER_FAILED);
    EXPECT_EQ(reader->featureReadAttempts(), 6);
    EXPECT_EQ(buf[1], 0x5A);  // left as it was
    char command[] = {0x00, 0x01};
    EXPECT_EQ(conn->send(command, 2, 1), quorin::RC_TRANSFER_FAILED);
    EXPECT_TRUE(reader->featureWrites().empty());
}

TEST_F(HIDConnectionTest, ClosedConnectionAnswersNotOpen) {
    auto reader = plug(0x11, std::string("SN1"));
    auto conn = openHid("HID://SN1");
    ASSERT_NE(conn, nullptr);
    conn->close();
    EXPECT_EQ(reader->openHandles(), 0);
    EXPECT_FALSE(conn->IsDeviceConnected());
    char command[] = {0x00, 0x01};
    EXPECT_EQ(conn->send(command, 2, 1), quorin::RC_NOT_OPEN);
    unsigned char buf[61] = {};
    int len = 61;
    EXPECT_EQ(conn->receive(buf, &len), quorin::RC_NOT_OPEN);
    EXPECT_EQ(conn->getFeatureReport(0), quorin::RC_NOT_OPEN);
    conn->close();  // a second close is harmless
    EXPECT_TRUE(reader->featureWrites().empty());
}

// ---------------------------------------------------------------- unplug and input

TEST_F(HIDConnectionTest, UnplugIsReportedOnceAndCommandsThenFail) {
    auto reader = plug(0x11, std::string("SN1"));
    auto conn = openHid("HID://SN1");
    ASSERT_NE(conn, nullptr);
    ChangeSink changes;
    conn->registerConnectionChanged(ChangeSink::onChanged, &changes);

    reader->unplug();
    ASSERT_TRUE(changes.calls.waitFor(1));
    char command[] = {0x00, 0x01};
    EXPECT_EQ(conn->send(command, 2, 1), quorin::RC_TRANSFER_FAILED);  // not 5: still open
    EXPECT_TRUE(conn->IsDeviceConnected());
    conn->close();  // the thread has ended: no further report can come
    ASSERT_EQ(changes.changes.size(), 1u);
    EXPECT_EQ(changes.changes[0].first, "/dev/hidraw0");
    EXPECT_EQ(changes.changes[0].second, 1);
}

TEST_F(HIDConnectionTest, LibusbDeliversQueuedPacketsBeforeReportingUnplug) {
    VirtualHid::instance().setBackend(HidBackend::LIBUSB);
    auto reader = plug(0x11, std::string("SN1"));
    auto conn = openHid("HID://SN1");
    ASSERT_NE(conn, nullptr);
    DataSink data;
    ChangeSink changes;
    conn->registerOnDataEvent(DataSink::onData, &data);
    conn->registerConnectionChanged(ChangeSink::onChanged, &changes);

    Report longReport(100);
    for (size_t i = 0; i < longReport.size(); ++i) {
        longReport[i] = static_cast<uint8_t>(i);
    }
    reader->pushInputReport(longReport);  // 64 + 36 bytes on libusb
    reader->unplug();
    ASSERT_TRUE(changes.calls.waitFor(1));
    conn.reset();
    ASSERT_EQ(data.reports.size(), 2u);
    EXPECT_EQ(data.reports[0], Report(longReport.begin(), longReport.begin() + 64));
    EXPECT_EQ(data.reports[1], Report(longReport.begin() + 64, longReport.end()));
    EXPECT_EQ(changes.changes.size(), 1u);
}

TEST_F(HIDConnectionTest, InputReportReachesCallbackWithRawStoreHoldingIt) {
    auto reader = plug(0x11, std::string("SN1"));
    auto conn = openHid("HID://SN1");
    ASSERT_NE(conn, nullptr);
    DataSink data;
    conn->registerOnDataEvent(DataSink::onData, &data);

    Report longReport(300, 0x42);
    reader->pushInputReport({0x01, 0x0A, 0xFF});
    reader->pushInputReport(longReport);  // hidraw: one whole report
    ASSERT_TRUE(data.calls.waitFor(2));
    conn->close();
    ASSERT_EQ(data.reports.size(), 2u);
    EXPECT_EQ(data.reports[0], (Report{0x01, 0x0A, 0xFF}));
    EXPECT_EQ(data.storeTexts[0], "010aff");
    EXPECT_EQ(data.reports[1], longReport);
    std::string hex;
    for (int i = 0; i < 300; ++i) {
        hex += "42";
    }
    EXPECT_EQ(data.storeTexts[1], hex);
    EXPECT_EQ(conn->getAll(), "");  // cleared after each callback
}

TEST_F(HIDConnectionTest, NoCallbackAfterCloseReturnsWhileReportsStream) {
    auto reader = plug(0x11, std::string("SN1"));
    auto conn = openHid("HID://SN1");
    ASSERT_NE(conn, nullptr);

    struct Guarded {
        std::atomic<bool> closed{false};
        std::atomic<int> late{0};
        EventCounter calls;
    } state;
    conn->registerOnDataEvent(
        [](iConnection*, unsigned char*, int, void* param) {
            auto* s = static_cast<Guarded*>(param);
            if (s->closed.load()) {
                s->late.fetch_add(1);
            }
            s->calls.bump();
        },
        &state);

    std::atomic<bool> pushing{true};
    std::thread pusher([&] {
        uint8_t n = 0;
        while (pushing.load()) {
            reader->pushInputReport({n++, 0x01});
            std::this_thread::yield();
        }
    });
    EXPECT_TRUE(state.calls.waitFor(20));
    conn->close();
    state.closed.store(true);
    // Keep the device streaming a little longer; a stray callback would count.
    int before = state.calls.count();
    for (int i = 0; i < 200; ++i) {
        reader->pushInputReport({0xFF});
    }
    pushing.store(false);
    pusher.join();
    conn.reset();
    EXPECT_EQ(state.late.load(), 0);
    EXPECT_EQ(state.calls.count(), before);
}

TEST_F(HIDConnectionTest, CloseWaitsForARunningCallback) {
    auto reader = plug(0x11, std::string("SN1"));
    auto conn = openHid("HID://SN1");
    ASSERT_NE(conn, nullptr);
    struct Gate {
        EventCounter entered;
        EventCounter release;
    } gate;
    conn->registerOnDataEvent(
        [](iConnection*, unsigned char*, int, void* param) {
            auto* g = static_cast<Gate*>(param);
            g->entered.bump();
            g->release.waitFor(1);
        },
        &gate);
    reader->pushInputReport({0x01});
    ASSERT_TRUE(gate.entered.waitFor(1));

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        conn->close();
        closed.store(true);
    });
    // close() must not return while the callback is still running.
    EXPECT_FALSE(waitUntil([&] { return closed.load(); }, 100ms));
    gate.release.bump();
    closer.join();
    EXPECT_TRUE(closed.load());
    EXPECT_EQ(reader->openHandles(), 0);
}

TEST_F(HIDConnectionTest, CloseFromTheDataCallbackDoesNotJoinItself) {
    auto reader = plug(0x11, std::string("SN1"));
    auto conn = openHid("HID://SN1");
    ASSERT_NE(conn, nullptr);
    EventCounter calls;
    conn->registerOnDataEvent(
        [](iConnection* c, unsigned char*, int, void* param) {
            c->close();
            static_cast<EventCounter*>(param)->bump();
        },
        &calls);
    reader->pushInputReport({0x01});
    ASSERT_TRUE(calls.waitFor(1));
    EXPECT_FALSE(conn->IsDeviceConnected());
    char command[] = {0x00, 0x01};
    EXPECT_EQ(conn->send(command, 2, 1), quorin::RC_NOT_OPEN);
    conn.reset();  // joins the thread and closes the handle
    EXPECT_EQ(reader->openHandles(), 0);
    EXPECT_EQ(calls.count(), 1);
}

// Forbidden by the connection contract, but it must not touch freed memory
// (the address-sanitizer build checks that) or hang.
TEST_F(HIDConnectionTest, DestroyFromTheDataCallbackReleasesTheDevice) {
    auto reader = plug(0x11, std::string("SN1"));
    HIDConnection* conn = openHid("HID://SN1").release();
    ASSERT_NE(conn, nullptr);
    conn->registerOnDataEvent([](iConnection* c, unsigned char*, int, void*) { delete c; },
                              nullptr);
    reader->pushInputReport({0x01});
    EXPECT_TRUE(waitUntil([&] { return reader->openHandles() == 0; }));
}

TEST_F(HIDConnectionTest, OpenAndCloseManyTimes) {
    auto reader = plug(0x1D, std::string("LOOP"));
    for (int i = 0; i < 100; ++i) {
        auto conn = openHid(i % 2 == 0 ? "HID://LOOP" : "HID:///dev/hidraw0");
        ASSERT_NE(conn, nullptr) << "iteration " << i;
        if (i % 10 == 0) {
            reader->pushInputReport({static_cast<uint8_t>(i)});
        }
    }
    EXPECT_EQ(reader->openHandles(), 0);
}
