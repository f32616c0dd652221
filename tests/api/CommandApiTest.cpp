// The command functions, through the exported API, against a plain virtual
// USB reader: frames on the wire, result codes and the asynchronous texts.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "ApiRecorder.h"
#include "Quorin.h"
#include "TestWait.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_test;
using quorin_sim::Report;
using quorin_sim::VirtualHid;
using quorin_sim::VirtualReader;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PLAIN_PID = 0x11;
constexpr size_t FEATURE_REPORT = 61;

// A feature report as the library writes it: report ID 0, then the frame,
// zero-padded to the report length.
Report frame(std::initializer_list<uint8_t> bytes) {
    Report r(FEATURE_REPORT, 0);
    size_t i = 1;
    for (uint8_t b : bytes) {
        r[i++] = b;
    }
    return r;
}

// A reader whose writes can be held until the test lets them go.
class HeldReader : public VirtualReader {
public:
    using VirtualReader::VirtualReader;

    void onSetFeature(const Report& /*report*/) override { m_gate.pass(); }
    bool waitEntered() { return m_gate.waitEntered(); }
    void release() { m_gate.release(); }
    int commands() { return m_gate.passes(); }

private:
    Gate m_gate;
};

class CommandApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualHid::instance().reset();
        ApiRecorder::unregisterFirstGeneration();
        ApiRecorder::instance().reset();
        SetCommandTimeout(10000);
    }
    void TearDown() override {
        if (m_handle != 0) {
            CloseDeviceEx(m_handle);
        }
        CloseDevice();
        ApiRecorder::unregisterFirstGeneration();
        VirtualHid::instance().reset();
    }

    std::shared_ptr<VirtualReader> plugAndOpenFirst() {
        auto reader = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN0001"));
        EXPECT_EQ(OpenDevice(nullptr), 0);
        return reader;
    }

    unsigned long m_handle = 0;
};

TEST_F(CommandApiTest, FirstGenerationFramesAndResults) {
    auto reader = plugAndOpenFirst();
    reader->queueFeatureResponse({0x00, 0x02, 0xAB, 0xCD});
    char result[64];
    std::memset(result, 'x', sizeof(result));
    EXPECT_EQ(QuorinSendCommand(const_cast<char*>("0100"), 4, result, sizeof(result)), 0);
    EXPECT_STREQ(result, "ABCD");
    EXPECT_EQ(result[5], '\0');  // a second NUL follows the text
    ASSERT_EQ(reader->featureWrites().size(), 1u);
    EXPECT_EQ(reader->featureWrites()[0], frame({0x01, 0x01, 0x00}));

    // With length: the length byte is dropped and recomputed from the data.
    reader->queueFeatureResponse({0x00, 0x00});
    EXPECT_EQ(QuorinSendCommandWithLength(const_cast<char*>("0102AABB"), 8, result, sizeof(result)),
              0);
    EXPECT_EQ(reader->featureWrites()[1], frame({0x01, 0x02, 0xAA, 0xBB}));
    EXPECT_STREQ(result, "");

    // The reader's own result byte comes back, with its data.
    reader->queueFeatureResponse({0x07, 0x01, 0x42});
    EXPECT_EQ(QuorinSendCommand(const_cast<char*>("02"), 2, result, sizeof(result)), 7);
    EXPECT_STREQ(result, "42");
    EXPECT_EQ(reader->featureWrites()[2], frame({0x02, 0x00}));
}

TEST_F(CommandApiTest, BadCommandsAreRefusedBeforeAnythingIsSent) {
    char result[64];
    // No reader open.
    EXPECT_EQ(QuorinSendCommand(const_cast<char*>("0100"), 4, result, sizeof(result)), 5);
    auto reader = plugAndOpenFirst();
    EXPECT_EQ(QuorinSendCommand(nullptr, 4, result, sizeof(result)), 6);
    EXPECT_EQ(QuorinSendCommand(const_cast<char*>("0"), 1, result, sizeof(result)), 6);
    EXPECT_EQ(QuorinSendCommandWithLength(const_cast<char*>("010"), 3, result, sizeof(result)), 3);
    EXPECT_EQ(QuorinSendCommandWithLength(nullptr, 8, result, sizeof(result)), 3);
    // 59 data bytes do not fit the 61-byte feature report.
    std::string tooLong = "01" + std::string(2 * 59, 'A');
    EXPECT_EQ(
        QuorinSendCommand(&tooLong[0], static_cast<long>(tooLong.size()), result, sizeof(result)),
        6);
    std::string huge(9000, 'A');
    EXPECT_EQ(QuorinSendCommand(&huge[0], static_cast<long>(huge.size()), result, sizeof(result)),
              6);
    EXPECT_STREQ(SendCommand(nullptr), "");
    EXPECT_STREQ(SendCommandEx(0, "0100"), "");
    EXPECT_TRUE(reader->featureWrites().empty());
    // 58 data bytes are the most a plain frame carries.
    std::string longest = "01" + std::string(2 * 58, 'A');
    reader->queueFeatureResponse({0x00, 0x00});
    EXPECT_EQ(
        QuorinSendCommand(&longest[0], static_cast<long>(longest.size()), result, sizeof(result)),
        0);
    ASSERT_EQ(reader->featureWrites().size(), 1u);
    EXPECT_EQ(reader->featureWrites()[0][2], 58);
}

TEST_F(CommandApiTest, ResponseTooLongForTheCallerBufferIsRefused) {
    auto reader = plugAndOpenFirst();
    reader->queueFeatureResponse({0x00, 0x04, 0x01, 0x02, 0x03, 0x04});
    char result[8];
    std::memset(result, 'x', sizeof(result));
    // Eight hex characters and the terminator need nine bytes.
    EXPECT_EQ(QuorinSendCommand(const_cast<char*>("01"), 2, result, 8), 6);
    for (char c : result) {
        EXPECT_TRUE(c == 'x' || c == '\0');
    }
}

TEST_F(CommandApiTest, TransferFailuresGiveSeventeen) {
    auto reader = plugAndOpenFirst();
    reader->setFailFeatureTransfers(true);
    char result[64];
    EXPECT_EQ(QuorinSendCommand(const_cast<char*>("0100"), 4, result, sizeof(result)), 17);
    // A failing read after a good write: six attempts, then 17.
    reader->setFailFeatureTransfers(false);
    // No scripted answer: the device stalls every read.
    EXPECT_EQ(QuorinSendCommand(const_cast<char*>("0100"), 4, result, sizeof(result)), 17);
    EXPECT_EQ(reader->featureReadAttempts(), 6);
}

TEST_F(CommandApiTest, SecondFirstGenerationCommandWhileBusyGetsFifteen) {
    auto reader = VirtualHid::instance().plug<HeldReader>(VID, PLAIN_PID, std::string("SN0001"));
    ASSERT_EQ(OpenDevice(nullptr), 0);
    reader->setDefaultFeatureResponse({0x00, 0x00});
    auto first = std::async(std::launch::async, [] {
        char result[64];
        return QuorinSendCommand(const_cast<char*>("0100"), 4, result, sizeof(result));
    });
    ASSERT_TRUE(reader->waitEntered());
    char result[64];
    EXPECT_EQ(QuorinSendCommand(const_cast<char*>("0100"), 4, result, sizeof(result)), 15);
    // The close waits for the command in flight.
    std::atomic<bool> closed{false};
    auto closer = std::async(std::launch::async, [&] {
        CloseDevice();
        closed = true;
    });
    EXPECT_FALSE(waitUntil([&] { return closed.load(); }, std::chrono::milliseconds(100)));
    reader->release();
    EXPECT_EQ(first.get(), 0);
    closer.get();
    EXPECT_TRUE(closed.load());
}

TEST_F(CommandApiTest, PlainTextFunctionsUseTheSharedBuffer) {
    auto reader = plugAndOpenFirst();
    reader->queueFeatureResponse({0x00, 0x02, 0x12, 0x34});
    const char* ring = STATIC_STRING("kept");
    const char* text = SendCommand("0100");
    EXPECT_STREQ(text, "1234");
    EXPECT_STREQ(ring, "");  // SendCommand wipes the ring
    reader->queueFeatureResponse({0x00, 0x01, 0x56});
    EXPECT_STREQ(SendCommandWithLength("0101FF"), "56");
    EXPECT_EQ(reader->featureWrites()[1], frame({0x01, 0x01, 0xFF}));
    // A failing command still returns the buffer, emptied.
    reader->setFailFeatureTransfers(true);
    EXPECT_STREQ(SendCommand("0100"), "");
}

TEST_F(CommandApiTest, ExCommandsAndTheirWithLengthForm) {
    auto reader = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN0001"));
    m_handle = OpenDeviceEx("HID://SN0001");
    ASSERT_NE(m_handle, 0u);
    reader->queueFeatureResponse({0x00, 0x02, 0xAB, 0xCD});
    EXPECT_STREQ(SendCommandEx(m_handle, "0100"), "ABCD");
    // Only the declared data byte is sent.
    reader->queueFeatureResponse({0x00, 0x00});
    EXPECT_STREQ(SendCommandWithLengthEx(m_handle, "0101AABB"), "");
    EXPECT_EQ(reader->featureWrites()[1], frame({0x01, 0x01, 0xAA}));
    // Shorter than declared: refused, nothing sent.
    EXPECT_STREQ(SendCommandWithLengthEx(m_handle, "0105AA"), "");
    EXPECT_STREQ(SendCommandWithLengthEx(m_handle, nullptr), "");
    EXPECT_EQ(reader->featureWrites().size(), 2u);
}

// The reader's own code and the library's outcome share GetResultCode(Ex);
// GetReaderResultCode(Ex) tells them apart: -1 unless the reader answered.
TEST_F(CommandApiTest, TheReadersOwnCodeIsToldApartFromTheLibrarysOutcome) {
    auto plain = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN0001"));
    auto extended = VirtualHid::instance().plug<quorin_sim::ExtendedReader>(VID, 0x19, "SE1");
    m_handle = OpenDeviceEx("HID://SN0001");
    unsigned long emv = OpenDeviceEx("HID://SE1");
    ASSERT_NE(m_handle, 0u);
    ASSERT_NE(emv, 0u);
    extended->setAnswer("0310:", 0x0105, {0xAA});
    struct Row {
        const char* what;
        std::function<void()> send;
        unsigned long handle;
        int result;
        int readerCode;
    } rows[] = {
        {"answered, 0",
         [&] {
             plain->queueFeatureResponse({0x00, 0x00});
         },
         m_handle, 0, 0},
        {"reader's 5",
         [&] {
             plain->queueFeatureResponse({0x05, 0x00});
         },
         m_handle, 5, 5},
        {"reader's 17",
         [&] {
             plain->queueFeatureResponse({0x11, 0x00});
         },
         m_handle, 17, 17},
        {"transfer failed", [&] { plain->setFailFeatureTransfers(true); }, m_handle, 17, -1},
        {"extended 0x0105", [] {}, emv, 0x0105, 0x0105},
        {"unknown handle", [] {}, 424242, 5, -1},
    };
    for (const Row& row : rows) {
        row.send();
        SendCommandEx(row.handle, row.handle == emv ? "0310:01" : "0100");
        EXPECT_EQ(GetResultCodeEx(row.handle), row.result) << row.what;
        EXPECT_EQ(GetReaderResultCodeEx(row.handle), row.readerCode) << row.what;
    }
    // A refused argument is the library's, however the reader answered before.
    plain->setFailFeatureTransfers(false);
    SendCommandWithLengthEx(m_handle, "0105AA");
    EXPECT_EQ(GetResultCodeEx(m_handle), 6);
    EXPECT_EQ(GetReaderResultCodeEx(m_handle), -1);
    CloseDeviceEx(emv);

    // The first generation keeps the same pair for its reader.
    EXPECT_EQ(GetReaderResultCode(), -1);  // none open
    ASSERT_EQ(OpenDevice("HID://SN0001"), 0);
    plain->queueFeatureResponse({0x05, 0x00});
    SendCommand("0100");
    EXPECT_EQ(GetResultCode(), 5);
    EXPECT_EQ(GetReaderResultCode(), 5);
    plain->setFailFeatureTransfers(true);
    SendCommand("0100");
    EXPECT_EQ(GetResultCode(), 17);
    EXPECT_EQ(GetReaderResultCode(), -1);
}

TEST_F(CommandApiTest, AsyncWorkersReportLowerCaseTextFromTheResultCode) {
    auto reader = plugAndOpenFirst();
    ApiRecorder::registerFirstGeneration();
    reader->queueFeatureResponse({0x00, 0x02, 0x12, 0x34});
    EXPECT_EQ(SendData("0100"), 0);
    // The worker drops the length byte and sends the bare command.
    ASSERT_TRUE(ApiRecorder::instance().waitFor("response", 1));
    EXPECT_EQ(ApiRecorder::instance().callsOf("response")[0].text, "00021234");
    EXPECT_EQ(reader->featureWrites()[0], frame({0x01, 0x00}));

    // "123" is read as "0123": command 01, its length byte 23 dropped.
    reader->queueFeatureResponse({0x07, 0x00});
    EXPECT_EQ(SendData("123"), 0);
    ASSERT_TRUE(ApiRecorder::instance().waitFor("response", 2));
    EXPECT_EQ(ApiRecorder::instance().callsOf("response")[1].text, "0700");
    EXPECT_EQ(reader->featureWrites()[1], frame({0x01, 0x00}));

    // A failed exchange produces no callback.
    reader->setFailFeatureTransfers(true);
    EXPECT_EQ(SendData("0100"), 0);
    EXPECT_FALSE(ApiRecorder::instance().waitFor("response", 3, std::chrono::milliseconds(300)));
}

TEST_F(CommandApiTest, AsyncWithoutReaderDoesNothing) {
    ApiRecorder::registerFirstGeneration();
    EXPECT_EQ(SendData("0100"), 0);
    EXPECT_EQ(SendDataEx(0, "0100"), 0);
    EXPECT_FALSE(ApiRecorder::instance().waitFor("response", 1, std::chrono::milliseconds(100)));
}

TEST_F(CommandApiTest, ExWorkerReportsWithHandleAndObject) {
    auto reader = VirtualHid::instance().plug(VID, PLAIN_PID, std::string("SN0001"));
    m_handle = OpenDeviceEx("HID://SN0001");
    ASSERT_NE(m_handle, 0u);
    int marker = 0;
    ApiRecorder::registerEx(m_handle, &marker);
    reader->queueFeatureResponse({0x00, 0x01, 0x99});
    reader->queueFeatureResponse({0x05, 0x00});
    EXPECT_EQ(SendDataEx(m_handle, "0100"), 0);
    EXPECT_EQ(SendDataEx(m_handle, "0200"), 0);
    ASSERT_TRUE(ApiRecorder::instance().waitFor("response", 2));
    auto calls = ApiRecorder::instance().callsOf("response");
    std::multiset<std::string> texts{calls[0].text, calls[1].text};
    EXPECT_EQ(texts, (std::multiset<std::string>{"000199", "0500"}));
    EXPECT_EQ(calls[0].handle, m_handle);
    EXPECT_EQ(calls[0].obj, &marker);
}

TEST_F(CommandApiTest, ClosingWaitsForTheAsyncCommandInFlightAndDeliversItsAnswer) {
    auto reader = VirtualHid::instance().plug<HeldReader>(VID, PLAIN_PID, std::string("SN0001"));
    const unsigned long h = OpenDeviceEx("HID://SN0001");
    ASSERT_NE(h, 0u);
    reader->setDefaultFeatureResponse({0x00, 0x00});
    ApiRecorder::registerEx(h, nullptr);
    EXPECT_EQ(SendDataEx(h, "0100"), 0);
    // A second command queued behind it is not sent once the reader closes.
    EXPECT_EQ(SendDataEx(h, "0200"), 0);
    ASSERT_TRUE(reader->waitEntered());
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        CloseDeviceEx(h);
        closed = true;
    });
    // The close waits for the exchange in flight...
    EXPECT_FALSE(waitUntil([&] { return closed.load(); }, std::chrono::milliseconds(200)));
    reader->release();
    closer.join();
    // ...and for the callback of its answer, which started before it returned.
    EXPECT_EQ(ApiRecorder::instance().count("response"), 1);
    EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
    EXPECT_EQ(reader->commands(), 1);
    EXPECT_FALSE(ApiRecorder::instance().waitFor("response", 2, std::chrono::milliseconds(100)));
}

TEST_F(CommandApiTest, ClearCardDataReportsNotReady) {
    plugAndOpenFirst();
    ApiRecorder::registerFirstGeneration();
    ClearCardData();
    ASSERT_TRUE(ApiRecorder::instance().waitFor("cardState", 1));
    EXPECT_EQ(ApiRecorder::instance().callsOf("cardState")[0].state, ZEDRA_DATA_NOTREADY);
    long state = -1;
    QuorinGetCardDataState(&state);
    EXPECT_EQ(state, ZEDRA_DATA_NOTREADY);
    ClearCardDataEx(0);  // ignored
}

}  // namespace
