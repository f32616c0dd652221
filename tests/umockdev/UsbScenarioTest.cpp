// USB readers end to end through the exported API, written once and run on
// both seams (UsbSeam.h): the virtual bus and Debian's hidapi on emulated
// hidraw nodes. Each scenario checks what a host sees and what went over the
// wire (feature reports as the reader model received them); the last ones
// check hidapi's own calls on the same readers.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ApiRecorder.h"
#include "CardReport.h"
#include "Quorin.h"
#include "TestWait.h"
#include "UsbSeam.h"
#include "VirtualModel.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"

using namespace quorin_test;
using quorin_sim::CardReport;
using quorin_sim::ExtendedReader;
using quorin_sim::PlainCommandReader;
using quorin_sim::Report;
using quorin_sim::VirtualReader;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PLAIN_PID = 0x11;
constexpr uint16_t INSERT_PID = 0x13;
constexpr uint16_t EMV_PID = 0x1d;
constexpr size_t FEATURE_REPORT = 61;
using Bytes = std::vector<uint8_t>;

std::string hexOf(const Bytes& bytes) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(DIGITS[b >> 4]);
        out.push_back(DIGITS[b & 0x0F]);
    }
    return out;
}

Bytes counting(size_t n, unsigned seed = 1) {
    Bytes data(n);
    for (size_t i = 0; i < n; ++i) {
        data[i] = static_cast<uint8_t>(i * 13 + seed);
    }
    return data;
}

// A plain command's feature report as it must arrive: report ID 0, the
// frame, zeros up to the report length.
Report plainFrame(std::initializer_list<uint8_t> bytes) {
    Report r(FEATURE_REPORT, 0);
    std::copy(bytes.begin(), bytes.end(), r.begin() + 1);
    return r;
}

std::set<std::string> split(const std::string& list) {
    std::set<std::string> out;
    size_t start = 0;
    while (start < list.size()) {
        size_t comma = list.find(',', start);
        out.insert(list.substr(start, comma - start));
        start = comma == std::string::npos ? list.size() : comma + 1;
    }
    return out;
}

class UsbScenario : public ::testing::Test {
protected:
    void SetUp() override {
        seam().reset();
        ApiRecorder::unregisterFirstGeneration();
        ApiRecorder::instance().reset();
        SetCommandTimeout(10000);
    }
    void TearDown() override {
        for (unsigned long h : m_handles) {
            CloseDeviceEx(h);
        }
        CloseDevice();
        ApiRecorder::unregisterFirstGeneration();
        seam().reset();
    }

    static UsbSeam& seam() { return UsbSeam::instance(); }

    template <class T>
    std::shared_ptr<T> plug(uint16_t pid, std::optional<std::string> serial, uint16_t vid = VID) {
        auto reader = seam().add<T>(vid, pid, std::move(serial));
        EXPECT_TRUE(reader) << "on " << seam().name();
        return reader;
    }

    unsigned long openEx(const std::string& path) {
        unsigned long h = OpenDeviceEx(path.c_str());
        if (h != 0) {
            m_handles.insert(h);
        }
        return h;
    }

    // Opens through the Ex API with every callback recorded under m_marker.
    unsigned long openRecorded(const std::string& path) {
        unsigned long h = openEx(path);
        if (h != 0) {
            ApiRecorder::registerEx(h, &m_marker);
        }
        return h;
    }

    void closeEx(unsigned long h) {
        CloseDeviceEx(h);
        m_handles.erase(h);
    }

    std::set<unsigned long> m_handles;
    int m_marker = 0;
};

TEST_F(UsbScenario, ListsNoneOneAndTwoReadersWithAndWithoutSerialNumber) {
    EXPECT_STREQ(QuorinGetDeviceList(), "");
    EXPECT_EQ(OpenDeviceEx(nullptr), 0u);

    ASSERT_TRUE(plug<PlainCommandReader>(PLAIN_PID, std::string("SN0001")));
    // Another vendor's device with a known product ID is no reader of ours.
    ASSERT_TRUE(
        plug<VirtualReader>(PLAIN_PID, std::string("OTHER"), static_cast<uint16_t>(VID ^ 0x0101)));
    EXPECT_STREQ(GetDeviceList(), "HID://SN0001");

    // Without a serial number a reader is listed by its system path. The
    // order of the list is the system's (udev sorts by sysfs path).
    auto bare = plug<PlainCommandReader>(INSERT_PID, std::nullopt);
    ASSERT_TRUE(bare);
    EXPECT_EQ(split(QuorinGetDeviceList()),
              (std::set<std::string>{"HID://SN0001", "HID://" + bare->path()}));
}

TEST_F(UsbScenario, ASerialNumberHidapiCannotConvertListsTheReaderByPath) {
    // hidapi (hidraw) converts sysfs text with the process's locale: in the
    // "C" locale of a host that never set one, "SN\u00e9X" comes out empty.
    auto reader = plug<PlainCommandReader>(PLAIN_PID, std::string("SN\xC3\xA9X"));
    ASSERT_TRUE(reader);
    const std::string name = "HID://" + reader->path();
    EXPECT_EQ(std::string(QuorinGetDeviceList()), name);
    unsigned long h = openEx(name);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(GetProductIDEx(h), PLAIN_PID);
}

TEST_F(UsbScenario, OpensBySerialNumberAndBySystemPath) {
    ASSERT_TRUE(plug<PlainCommandReader>(PLAIN_PID, std::string("SN0001")));
    auto bare = plug<PlainCommandReader>(INSERT_PID, std::nullopt);
    ASSERT_TRUE(bare);

    unsigned long bySerial = openEx("HID://SN0001");
    ASSERT_NE(bySerial, 0u);
    EXPECT_EQ(GetProductIDEx(bySerial), PLAIN_PID);
    unsigned long byPath = openEx("HID://" + bare->path());
    ASSERT_NE(byPath, 0u);
    EXPECT_EQ(GetProductIDEx(byPath), INSERT_PID);
    EXPECT_EQ(IsDeviceConnectedEx(byPath), 1);
    EXPECT_EQ(openEx("HID://SN0001"), 0u);  // open already
    EXPECT_EQ(openEx("HID://NOSUCH"), 0u);
    EXPECT_TRUE(waitUntil([] { return seam().openHandles() == 2; }));

    closeEx(bySerial);
    closeEx(byPath);
    EXPECT_TRUE(waitUntil([] { return seam().openHandles() == 0; }));
}

TEST_F(UsbScenario, FirstGenerationCommandsOnTheWire) {
    auto reader = plug<PlainCommandReader>(PLAIN_PID, std::string("SN0001"));
    ASSERT_TRUE(reader);
    ASSERT_EQ(OpenDevice(nullptr), 0);

    reader->setAnswer("01", 0, {0xAB, 0xCD});
    char result[256];
    EXPECT_EQ(QuorinSendCommandWithLength(const_cast<char*>("0102AABB"), 8, result, 256), 0);
    EXPECT_STREQ(result, "ABCD");
    EXPECT_EQ(reader->featureWrites().back(), plainFrame({0x01, 0x02, 0xAA, 0xBB}));

    // The reader's own result byte, and a command without data.
    reader->setAnswer("02", 0x07, {0x42});
    EXPECT_EQ(QuorinSendCommand(const_cast<char*>("02"), 2, result, 256), 7);
    EXPECT_STREQ(result, "42");
    EXPECT_EQ(reader->featureWrites().back(), plainFrame({0x02, 0x00}));

    // The longest answer a 61-byte report carries: 58 data bytes after the
    // ID, result and length bytes.
    const Bytes longest = counting(58);
    reader->setAnswer("03", 0, longest);
    EXPECT_EQ(std::string(SendCommand("03")), hexOf(longest));
    EXPECT_EQ(GetResultCode(), 0);
    EXPECT_STREQ(GetDeviceSerial(), "SN0001");
}

TEST_F(UsbScenario, ExCommandsOnTheWireAndTheAsynchronousAnswer) {
    auto reader = plug<PlainCommandReader>(PLAIN_PID, std::string("SN0001"));
    ASSERT_TRUE(reader);
    unsigned long h = openRecorded("HID://SN0001");
    ASSERT_NE(h, 0u);

    reader->setAnswer("01", 0, {0x12, 0x34});
    EXPECT_STREQ(SendCommandEx(h, "01AABB"), "1234");
    EXPECT_EQ(reader->featureWrites().back(), plainFrame({0x01, 0x02, 0xAA, 0xBB}));
    EXPECT_STREQ(SendCommandWithLengthEx(h, "0101CCDD"), "1234");  // one byte declared
    EXPECT_EQ(reader->featureWrites().back(), plainFrame({0x01, 0x01, 0xCC}));
    EXPECT_EQ(GetResultCodeEx(h), 0);

    reader->setAnswer("09", 0x02, {0xAB});
    EXPECT_EQ(SendDataEx(h, "0900"), 0);
    ASSERT_TRUE(ApiRecorder::instance().waitFor("response", 1));
    auto call = ApiRecorder::instance().callsOf("response")[0];
    EXPECT_EQ(call.handle, h);
    EXPECT_EQ(call.obj, &m_marker);
    EXPECT_EQ(call.text, "0201ab");
    EXPECT_EQ(reader->featureWrites().back(), plainFrame({0x09, 0x00}));
}

TEST_F(UsbScenario, SwipesOfEachReportSizeDecodeFieldByField) {
    auto reader = plug<PlainCommandReader>(PLAIN_PID, std::string("SN0001"));
    ASSERT_TRUE(reader);
    unsigned long h = openRecorded("HID://SN0001");
    ASSERT_NE(h, 0u);
    const quorin_sim::VirtualModel* model = quorin_sim::findVirtualModel(PLAIN_PID);
    ASSERT_NE(model, nullptr);
    CardReport card = CardReport::bankCard(model->report);

    struct Case {
        std::vector<unsigned char> report;
        bool extended;
        long battery;
    };
    const Case cases[] = {
        {card.shortReport(), false, 0},
        {card.extendedReport(), true, 100},  // no battery field: full
        {CardReport(card).batteryLevel(42).extendedReport(), true, 42},
    };
    int swipes = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("report of " + std::to_string(c.report.size()) + " bytes");
        reader->pushInputReport(c.report);
        ASSERT_TRUE(ApiRecorder::instance().waitFor("card", ++swipes));
        EXPECT_EQ(ApiRecorder::instance().callsOf("card").back().handle, h);
        ZDMSRDATA record;
        ASSERT_EQ(GetCardDataStructureEx(h, &record), 0);
        EXPECT_EQ(record.m_dwReaderID, PLAIN_PID);
        EXPECT_STREQ(record.m_szTrack1Data, "01020304");
        EXPECT_STREQ(record.m_szTrack2Data, "AABB");
        EXPECT_STREQ(record.m_szTrack3Data, "");
        EXPECT_EQ(record.m_dwTrack1Length, 4);
        EXPECT_EQ(record.m_dwTrack2Length, 2);
        EXPECT_EQ(record.m_dwTrack1DcdStatus, 0);
        EXPECT_EQ(record.m_dwTrack2DcdStatus, 10);
        EXPECT_EQ(record.m_dwTrack3DcdStatus, 255);
        EXPECT_EQ(record.m_dwCardEncodeType, 0);
        EXPECT_STREQ(record.m_szCardEncodeType, "ISO");
        EXPECT_EQ(record.m_dwBatteryLevel, c.battery);
        if (!c.extended) {
            continue;  // the short layout ends after the track fields
        }
        EXPECT_STREQ(record.m_szTrack1DataMasked,
                     "%B4111********1111^DOE/JOHN Q^2512101000000000?");
        EXPECT_STREQ(record.m_szTrack2DataMasked, ";4111********1111=2512101?");
        EXPECT_EQ(record.m_dwTrack2LengthMasked, 26);
        EXPECT_STREQ(record.m_szPAN, "4111********1111");
        EXPECT_STREQ(record.m_szLastName, "DOE");
        EXPECT_STREQ(record.m_szFluxmarkData, "5A5A5A5A5A5A5A5A");
        EXPECT_EQ(record.m_dwFluxmarkLength, 8);
        EXPECT_EQ(record.m_dwFluxmarkStatus, 0x0102A0B0);
        EXPECT_STREQ(record.m_szDeviceSerialNumber, "B0123456789ABCDE");
        EXPECT_EQ(record.m_dwEncryptionStatus, 0x1A2B);
        EXPECT_STREQ(record.m_szDUKPTKSN, "90102030405060708001");
        EXPECT_STREQ(record.m_szDUKPTSessionID, "0102030405060708");
    }
}

class ExtendedScenario : public UsbScenario {
protected:
    void SetUp() override {
        UsbScenario::SetUp();
        m_reader = plug<ExtendedReader>(EMV_PID, std::string("EMV1"));
        ASSERT_TRUE(m_reader);
    }
    // The extended-command packets written since the reader was plugged.
    std::vector<Report> commandPackets() const {
        std::vector<Report> out;
        for (const Report& r : m_reader->featureWrites()) {
            if (r.size() > 1 && r[1] == ExtendedReader::EXTENDED_COMMAND) {
                out.push_back(r);
            }
        }
        return out;
    }

    std::shared_ptr<ExtendedReader> m_reader;
};

TEST_F(ExtendedScenario, CommandsAndAnswersOfSeveralPackets) {
    unsigned long h = openEx("HID://EMV1");
    ASSERT_NE(h, 0u);
    // 120 data bytes go out as packets of 52, 52 and 16.
    const Bytes data = counting(120);
    const Bytes answer = counting(2000, 7);  // 39 packets back
    m_reader->setAnswer("0305:", 0, answer);
    EXPECT_EQ(std::string(SendCommandEx(h, ("0305:" + hexOf(data)).c_str())), hexOf(answer));
    EXPECT_EQ(GetResultCodeEx(h), 0);
    ASSERT_FALSE(m_reader->commands().empty());
    ExtendedReader::Command command = m_reader->commands().back();
    EXPECT_TRUE(command.extended);
    EXPECT_EQ(command.id, 0x0305);
    EXPECT_EQ(command.data, data);
    EXPECT_EQ(m_reader->nextPacketRequests(), 38);
    EXPECT_EQ(m_reader->refusedPackets(), 0);

    std::vector<Report> packets = commandPackets();
    ASSERT_EQ(packets.size(), 3u);
    const size_t sizes[] = {52, 52, 16};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("packet " + std::to_string(i));
        const Report& p = packets[i];
        ASSERT_EQ(p.size(), FEATURE_REPORT);
        EXPECT_EQ(p[0], ExtendedReader::REPORT_ID);
        EXPECT_EQ(p[2], sizes[i] + 6);
        EXPECT_EQ(p[3] << 8 | p[4], static_cast<int>(52 * i));  // offset
        EXPECT_EQ(p[5] << 8 | p[6], 0x0305);
        EXPECT_EQ(p[7] << 8 | p[8], 120);  // total
        EXPECT_TRUE(std::all_of(p.begin() + 9 + static_cast<long>(sizes[i]), p.end(),
                                [](uint8_t b) { return b == 0; }));
    }
}

TEST_F(ExtendedScenario, BusyAnswersAreWaitedOut) {
    unsigned long h = openEx("HID://EMV1");
    ASSERT_NE(h, 0u);
    m_reader->setAnswer("030D:", 0, {0x01, 0x02});
    m_reader->setBusy(3);
    EXPECT_STREQ(SendCommandEx(h, "030d:"), "0102");
    EXPECT_EQ(m_reader->busyAnswers(), 3);
    EXPECT_EQ(GetResultCodeEx(h), 0);
}

TEST_F(ExtendedScenario, NotificationsInChunksOfEverySizeAndASwipeBetween) {
    unsigned long h = openRecorded("HID://EMV1");
    ASSERT_NE(h, 0u);
    const Bytes small = counting(130);      // 55 + 55 + 20 in 64-byte reports
    const Bytes large = counting(600, 3);   // 256 + 256 + 88 in 265-byte reports
    const Bytes bytewise = counting(9, 5);  // one byte per report
    m_reader->pushNotification(0x0301, small);
    m_reader->setNotificationChunkSize(256);
    m_reader->pushNotification(0x0302, large);
    m_reader->swipe("%B4111111111111111^CARDHOLDER/SAMPLE^3012101000000000000?",
                    ";4111111111111111=30121010000000000000?", "");
    m_reader->setNotificationChunkSize(1);
    m_reader->pushNotification(0x0999, bytewise);

    ApiRecorder& rec = ApiRecorder::instance();
    ASSERT_TRUE(rec.waitFor("notification", 3));
    ASSERT_TRUE(rec.waitFor("card", 1));
    std::vector<std::string> texts(3);
    for (const RecordedCall& c : rec.callsOf("notification")) {
        EXPECT_EQ(c.handle, h);
        EXPECT_EQ(c.obj, &m_marker);
        (c.messageId == 0x0301 ? texts[0] : c.messageId == 0x0302 ? texts[1] : texts[2]) = c.text;
    }
    EXPECT_EQ(texts[0], hexOf(small));
    EXPECT_EQ(texts[1], hexOf(large));
    EXPECT_EQ(texts[2], hexOf(bytewise));
    ZDMSRDATA record;
    ASSERT_EQ(GetCardDataStructureEx(h, &record), 0);
    EXPECT_STREQ(record.m_szTrack2DataMasked, ";4111********1111=30121010000000000000?");
    EXPECT_STREQ(record.m_szDeviceSerialNumber, "EMV1");
}

TEST_F(ExtendedScenario, AWholeEmvTransaction) {
    ASSERT_EQ(OpenDevice("HID://EMV1"), 0);
    while (GetTransactionProgress(0)[0] != '\0') {
    }
    ApiRecorder::registerFirstGeneration();
    ApiRecorder& rec = ApiRecorder::instance();
    EXPECT_STREQ(StartTransaction(30, 2, 0, "1999", 0, "0", "0840", 0), "");
    ASSERT_TRUE(rec.waitFor("userSelection", 1));
    ASSERT_TRUE(rec.waitFor("extended", 1));
    EXPECT_EQ(rec.callsOf("extended")[0].text, "00000000");
    EXPECT_EQ(std::string(GetTransactionProgress(0)).substr(0, 15), "code,768;data,0");

    EXPECT_STREQ(SetUserSelectionResult(0, 1), "");
    ASSERT_TRUE(rec.waitFor("arqc", 1));
    std::string arqc = rec.callsOf("arqc")[0].text;
    EXPECT_NE(arqc.find("9F0206000000001999"), std::string::npos) << arqc;
    EXPECT_NE(arqc.find("5F2A020840"), std::string::npos) << arqc;

    EXPECT_STREQ(SetAcquirerResponse("8A023030"), "");
    ASSERT_TRUE(rec.waitFor("transactionResult", 1));
    std::string result = rec.callsOf("transactionResult")[0].text;
    EXPECT_NE(result.find("DFDF1A0100"), std::string::npos) << result;  // approved
    EXPECT_EQ(m_reader->transactionState(), ExtendedReader::TransactionState::IDLE);
    std::vector<uint16_t> ids;
    for (const auto& c : m_reader->commands()) {
        if (c.extended) {
            ids.push_back(c.id);
        }
    }
    EXPECT_EQ(ids, (std::vector<uint16_t>{0x0300, 0x0302, 0x0303}));
}

TEST_F(UsbScenario, UnplugWhileOpenIsReportedOnceAndCommandsThenFail) {
    auto reader = plug<PlainCommandReader>(PLAIN_PID, std::string("SN0001"));
    ASSERT_TRUE(reader);
    unsigned long h = openRecorded("HID://SN0001");
    ASSERT_NE(h, 0u);
    EXPECT_STREQ(SendCommandEx(h, "45"), "5A");  // battery level 90 %

    seam().unplug(reader);
    ASSERT_TRUE(ApiRecorder::instance().waitFor("connection", 1));
    EXPECT_FALSE(ApiRecorder::instance().waitFor("connection", 2, std::chrono::milliseconds(100)));
    auto calls = ApiRecorder::instance().callsOf("connection");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].handle, h);
    EXPECT_EQ(calls[0].obj, &m_marker);
    EXPECT_EQ(calls[0].state, ZEDRA_STATE_DISCONNECTED);
    EXPECT_EQ(IsDeviceConnectedEx(h), 1);  // open until the host closes it

    // The handle stays open: commands reach a device that is gone.
    EXPECT_STREQ(SendCommandEx(h, "45"), "");
    EXPECT_EQ(GetResultCodeEx(h), 17);
    EXPECT_STREQ(QuorinGetDeviceList(), "");
    closeEx(h);
    EXPECT_TRUE(waitUntil([] { return seam().openHandles() == 0; }));
}

TEST_F(UsbScenario, TwoReadersAtOnce) {
    auto plain = plug<PlainCommandReader>(PLAIN_PID, std::string("SN0001"));
    auto emv = plug<ExtendedReader>(EMV_PID, std::string("EMV2"));
    ASSERT_TRUE(plain && emv);
    unsigned long a = openEx("HID://SN0001");
    unsigned long b = openEx("HID://EMV2");
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    int objA = 0;
    int objB = 0;
    ApiRecorder::registerEx(a, &objA);
    ApiRecorder::registerEx(b, &objB);
    plain->setAnswer("01", 0, {0x11});
    emv->setAnswer("0308:", 0, counting(100));

    // Commands on both readers from two threads while both swipe.
    std::string answersA;
    std::string answersB;
    std::thread first([&] {
        for (int i = 0; i < 4; ++i) answersA += SendCommandEx(a, "01");
    });
    std::thread second([&] {
        for (int i = 0; i < 4; ++i) answersB += SendCommandEx(b, "0308:01");
    });
    plain->swipe("%B4111111111111111^DOE/JOHN^2512101?", ";4111111111111111=2512101?", "");
    emv->swipe("%B5500000000000004^ROE/JANE^2612101?", ";5500000000000004=2612101?", "");
    first.join();
    second.join();
    EXPECT_EQ(answersA, "11111111");
    std::string hundred = hexOf(counting(100));
    EXPECT_EQ(answersB, hundred + hundred + hundred + hundred);

    ASSERT_TRUE(ApiRecorder::instance().waitFor("card", 2));
    ZDMSRDATA record;
    ASSERT_EQ(GetCardDataStructureEx(a, &record), 0);
    EXPECT_STREQ(record.m_szPAN, "4111********1111");
    ASSERT_EQ(GetCardDataStructureEx(b, &record), 0);
    EXPECT_STREQ(record.m_szPAN, "5500********0004");
    for (const RecordedCall& c : ApiRecorder::instance().callsOf("card")) {
        EXPECT_EQ(c.obj, c.handle == a ? static_cast<void*>(&objA) : static_cast<void*>(&objB));
    }
}

struct DeviceDeleter {
    void operator()(hid_device* dev) const { hid_close(dev); }
};
using Device = std::unique_ptr<hid_device, DeviceDeleter>;

struct Listing {
    std::string path;
    std::wstring serial;
    bool serialIsNull = false;
    std::wstring manufacturer;
    std::wstring product;
    unsigned short vendorId = 0, productId = 0, release = 0, usagePage = 0, usage = 0;
    int interfaceNumber = -2;
    int count = 0;
    std::vector<unsigned short> usagePages, usages;
};

// What hid_enumerate says about the node at path.
Listing listed(const std::string& path) {
    Listing out;
    hid_device_info* list = hid_enumerate(VID, 0);
    for (hid_device_info* d = list; d != nullptr; d = d->next) {
        if (d->path == nullptr || path != d->path) {
            continue;
        }
        out.usagePages.push_back(d->usage_page);
        out.usages.push_back(d->usage);
        if (out.count++ == 0) {
            out.path = d->path;
            out.serialIsNull = d->serial_number == nullptr;
            out.serial = d->serial_number != nullptr ? d->serial_number : L"";
            out.manufacturer = d->manufacturer_string != nullptr ? d->manufacturer_string : L"";
            out.product = d->product_string != nullptr ? d->product_string : L"";
            out.vendorId = d->vendor_id;
            out.productId = d->product_id;
            out.release = d->release_number;
            out.usagePage = d->usage_page;
            out.usage = d->usage;
            out.interfaceNumber = d->interface_number;
        }
    }
    hid_free_enumeration(list);
    return out;
}

// hidapi itself on the seam: what it lists and how its calls behave, the
// ground the library stands on.
class HidapiScenario : public ::testing::Test {
protected:
    void SetUp() override { UsbSeam::instance().reset(); }
    void TearDown() override { UsbSeam::instance().reset(); }

    template <class T>
    std::shared_ptr<T> plug(uint16_t pid, std::optional<std::string> serial) {
        auto reader = UsbSeam::instance().add<T>(VID, pid, std::move(serial));
        EXPECT_TRUE(reader);
        return reader;
    }
};

TEST_F(HidapiScenario, UdevAndSysfsDescribeTheReaderAsTheKernelWould) {
    auto reader = plug<PlainCommandReader>(0x11, std::string("SN0001"));
    auto bare = plug<PlainCommandReader>(0x13, std::nullopt);
    auto emv = plug<ExtendedReader>(0x1d, std::string("EMV1"));
    ASSERT_TRUE(reader && bare && emv);

    Listing one = listed(reader->path());
    EXPECT_EQ(one.count, 1);  // one usage pair in the descriptor, one entry
    EXPECT_EQ(one.path.rfind("/dev/hidraw", 0), 0u);
    EXPECT_EQ(one.vendorId, VID);
    EXPECT_EQ(one.productId, 0x11);
    EXPECT_EQ(one.serial, L"SN0001");
    EXPECT_EQ(one.manufacturer, L"Virtual");
    EXPECT_EQ(one.product, L"Virtual USB Reader");
    EXPECT_EQ(one.release, 0x0100);
    EXPECT_EQ(one.interfaceNumber, 0);
    EXPECT_EQ(one.usagePage, 0xFF00);
    EXPECT_EQ(one.usage, 1);

    // Without a serial number hidraw lists an empty text, not null.
    Listing two = listed(bare->path());
    EXPECT_EQ(two.count, 1);
    EXPECT_FALSE(two.serialIsNull);
    EXPECT_EQ(two.serial, L"");
    // hidapi 0.13 lists a node once per usage pair of its descriptor.
    Listing three = listed(emv->path());
    EXPECT_EQ(three.count, 2);
    EXPECT_EQ(three.usagePages, (std::vector<unsigned short>{0xFF00, 0xFF00}));
    EXPECT_EQ(three.usages, (std::vector<unsigned short>{1, 2}));

    // Per-handle lookups go through fstat() of the open node.
    Device dev(hid_open_path(reader->path().c_str()));
    ASSERT_TRUE(dev);
    wchar_t text[64] = {0};
    ASSERT_EQ(hid_get_serial_number_string(dev.get(), text, 64), 0) << hid_error(dev.get());
    EXPECT_STREQ(text, L"SN0001");
    ASSERT_EQ(hid_get_product_string(dev.get(), text, 64), 0);
    EXPECT_STREQ(text, L"Virtual USB Reader");
}

TEST_F(HidapiScenario, FeatureReportsOfAnyLengthFollowTheReportIdRule) {
    auto reader = plug<VirtualReader>(0x11, std::string("SN0001"));
    ASSERT_TRUE(reader);
    Device dev(hid_open_path(reader->path().c_str()));
    ASSERT_TRUE(dev);

    // Unnumbered: the device's bytes follow the ID byte, which is counted.
    reader->queueFeatureResponse(Report(300, 0x5A));
    std::vector<unsigned char> buffer(200, 0xEE);
    buffer[0] = 0;
    ASSERT_EQ(hid_get_feature_report(dev.get(), buffer.data(), buffer.size()), 200);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 0x5A);
    EXPECT_EQ(buffer[199], 0x5A);
    // Numbered: the device repeats the ID first.
    reader->queueFeatureResponse({0x03, 0x10, 0x20});
    buffer.assign(61, 0);
    buffer[0] = 0x03;
    ASSERT_EQ(hid_get_feature_report(dev.get(), buffer.data(), buffer.size()), 3);
    EXPECT_EQ(buffer[1], 0x10);
    EXPECT_EQ(buffer[2], 0x20);
    // A stall fails the call; a later answer goes through again.
    EXPECT_EQ(hid_get_feature_report(dev.get(), buffer.data(), buffer.size()), -1);

    std::vector<unsigned char> out(1000);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<unsigned char>(i);
    }
    out[0] = 0;
    EXPECT_EQ(hid_send_feature_report(dev.get(), out.data(), out.size()), 1000);
    auto writes = reader->featureWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], Report(out.begin(), out.end()));
    reader->setFailFeatureTransfers(true);
    EXPECT_EQ(hid_send_feature_report(dev.get(), out.data(), 61), -1);
}

TEST_F(HidapiScenario, EachReadIsOneWholeReportAndTheQueueHoldsSixtyFour) {
    auto reader = plug<VirtualReader>(0x11, std::string("SN0001"));
    ASSERT_TRUE(reader);
    Device dev(hid_open_path(reader->path().c_str()));
    ASSERT_TRUE(dev);
    for (size_t size : {887u, 886u, 64u, 1u, 932u}) {
        reader->pushInputReport(Report(size, static_cast<unsigned char>(size)));
    }
    std::vector<unsigned char> buffer(2048);
    for (size_t size : {887u, 886u, 64u, 1u, 932u}) {
        ASSERT_EQ(hid_read_timeout(dev.get(), buffer.data(), buffer.size(), 2000),
                  static_cast<int>(size));
        EXPECT_EQ(buffer[size - 1], static_cast<unsigned char>(size));
    }
    hid_set_nonblocking(dev.get(), 1);
    EXPECT_EQ(hid_read(dev.get(), buffer.data(), buffer.size()), 0);

    // A report longer than the buffer is cut; the next one is whole.
    reader->pushInputReport(Report(100, 1));
    reader->pushInputReport(Report(10, 2));
    EXPECT_EQ(hid_read_timeout(dev.get(), buffer.data(), 50, 2000), 50);
    EXPECT_EQ(hid_read_timeout(dev.get(), buffer.data(), buffer.size(), 2000), 10);

    for (int i = 0; i < 70; ++i) {
        reader->pushInputReport(Report(8, static_cast<unsigned char>(i)));
    }
    int reports = 0;
    while (hid_read(dev.get(), buffer.data(), buffer.size()) > 0) {
        EXPECT_EQ(buffer[0], reports);  // the oldest are kept, in order
        ++reports;
    }
    EXPECT_EQ(reports, 64);
}

TEST_F(HidapiScenario, UnplugFailsOpenHandlesAndAReaderPluggedAgainWorks) {
    auto reader = plug<ExtendedReader>(0x1d, std::string("EMV1"));
    ASSERT_TRUE(reader);
    const std::string first = reader->path();
    Device dev(hid_open_path(first.c_str()));
    ASSERT_TRUE(dev);
    hid_set_nonblocking(dev.get(), 1);
    std::vector<unsigned char> buffer(2048);
    EXPECT_EQ(hid_read(dev.get(), buffer.data(), buffer.size()), 0);

    UsbSeam::instance().unplug(reader);
    EXPECT_EQ(hid_read(dev.get(), buffer.data(), buffer.size()), -1);
    EXPECT_NE(std::wstring(hid_error(dev.get())).find(L"device disconnected"), std::wstring::npos);
    buffer[0] = 1;
    EXPECT_EQ(hid_get_feature_report(dev.get(), buffer.data(), 61), -1);
    EXPECT_EQ(hid_send_feature_report(dev.get(), buffer.data(), 61), -1);
    EXPECT_EQ(listed(first).count, 0);
    EXPECT_EQ(hid_open_path(first.c_str()), nullptr);
    dev.reset();

    // Back in: listed again, and it works.
    ASSERT_TRUE(UsbSeam::instance().plug(reader));
    EXPECT_EQ(listed(reader->path()).count, 2);
    Device again(hid_open_path(reader->path().c_str()));
    ASSERT_TRUE(again);
    buffer.assign(61, 0);
    buffer[0] = 1;
    ASSERT_EQ(hid_get_feature_report(again.get(), buffer.data(), 61), 61);
    EXPECT_EQ(buffer[1], 0x00);  // idle status
    reader->swipe("%B4111111111111111^DOE/JOHN^2512101?", "", "");
    EXPECT_GT(hid_read_timeout(again.get(), buffer.data(), 2048, 2000), 300);
    EXPECT_EQ(buffer[0], 0x01);
}

}  // namespace
