// The EMV transaction functions and notifications, through the exported API,
// against the virtual extended-protocol reader: frames on the wire, responses
// of one and many packets, busy answers, notifications and a whole scripted
// transaction.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ApiRecorder.h"
#include "Quorin.h"
#include "TestWait.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_test;
using quorin_sim::ExtendedReader;
using quorin_sim::Report;
using quorin_sim::VirtualHid;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t EMV_PID = 0x1d;
using Bytes = ExtendedReader::Bytes;

Report head(const Report& report, size_t n) {
    return Report(report.begin(), report.begin() + static_cast<long>(std::min(n, report.size())));
}

bool zeroFrom(const Report& report, size_t from) {
    for (size_t i = from; i < report.size(); ++i) {
        if (report[i] != 0) return false;
    }
    return true;
}

std::string hexOf(const Bytes& bytes) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(DIGITS[b >> 4]);
        out.push_back(DIGITS[b & 0x0F]);
    }
    return out;
}

Bytes counting(size_t n) {
    Bytes data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);
    return data;
}

// An extended reader whose opening handshake waits until released: an open
// holds the session's tables meanwhile, as every open does.
class HeldOpenReader : public ExtendedReader {
public:
    using ExtendedReader::ExtendedReader;
    void onSetFeature(const Report& report) override {
        gate.pass();
        ExtendedReader::onSetFeature(report);
    }
    Gate gate;
};

class EmvApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualHid::instance().reset();
        ApiRecorder::unregisterFirstGeneration();
        ApiRecorder::instance().reset();
        m_reader = VirtualHid::instance().plug<ExtendedReader>(VID, EMV_PID, std::string("EMV1"));
        ASSERT_EQ(OpenDevice("HID://EMV1"), 0);
        ASSERT_TRUE(m_reader->waitForFeatureWrites(1, std::chrono::seconds(5)));  // handshake
        // The first-generation queue outlives readers: start from an empty one.
        while (GetTransactionProgress(0)[0] != '\0') {
        }
    }
    void TearDown() override {
        if (m_handle != 0) {
            CloseDeviceEx(m_handle);
        }
        CloseDevice();
        ApiRecorder::unregisterFirstGeneration();
        VirtualHid::instance().reset();
    }
    Report lastWrite() {
        auto writes = m_reader->featureWrites();
        return writes.empty() ? Report() : writes.back();
    }
    size_t writeCount() { return m_reader->featureWrites().size(); }
    // Waits until the extended-response callback has been called n times.
    std::string extendedText(int n = 1) {
        EXPECT_TRUE(ApiRecorder::instance().waitFor("extended", n));
        auto calls = ApiRecorder::instance().callsOf("extended");
        return calls.size() >= static_cast<size_t>(n) ? calls[n - 1].text : std::string();
    }

    std::shared_ptr<ExtendedReader> m_reader;
    unsigned long m_handle = 0;
};

TEST_F(EmvApiTest, TheHandshakeAndTheFixedCommandsOnTheWire) {
    Report handshake = m_reader->featureWrites().front();
    EXPECT_EQ(head(handshake, 4), (Report{0x01, 0x48, 0x01, 0x00}));
    EXPECT_EQ(handshake.size(), 61u);

    EXPECT_STREQ(CancelTransaction(), "");
    Report cancel = lastWrite();
    EXPECT_EQ(head(cancel, 9), (Report{0x01, 0x49, 0x06, 0x00, 0x00, 0x03, 0x04, 0x00, 0x00}));
    EXPECT_TRUE(zeroFrom(cancel, 9));

    SetUserSelectionResult(0, 2);
    Report selection = lastWrite();
    EXPECT_EQ(head(selection, 11),
              (Report{0x01, 0x49, 0x08, 0x00, 0x00, 0x03, 0x02, 0x00, 0x02, 0x00, 0x02}));
    EXPECT_TRUE(zeroFrom(selection, 11));

    SetLEDState(1);
    EXPECT_EQ(head(lastWrite(), 4), (Report{0x01, 0x4D, 0x01, 0x01}));
    auto commands = m_reader->commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_FALSE(commands.back().extended);
    EXPECT_EQ(commands.back().id, 0x4D);
}

TEST_F(EmvApiTest, StartTransactionSendsNineteenBytesAndAnswersThroughTheCallback) {
    ApiRecorder::registerFirstGeneration();
    EXPECT_STREQ(StartTransaction(60, 2, 0, "100", 0, "0", "0840", 0), "");
    auto commands = m_reader->commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_TRUE(commands.back().extended);
    EXPECT_EQ(commands.back().id, 0x0300);
    EXPECT_EQ(commands.back().data,
              (Bytes{0x3C, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x08, 0x40, 0x00}));
    EXPECT_EQ(head(lastWrite(), 9), (Report{0x01, 0x49, 25, 0x00, 0x00, 0x03, 0x00, 0x00, 0x13}));
    EXPECT_EQ(extendedText(), "00000000");

    // Arguments that cannot make the command send nothing.
    size_t before = writeCount();
    EXPECT_STREQ(StartTransaction(60, 2, 0, "1234567890123", 0, "0", "0840", 0), "");
    EXPECT_STREQ(StartTransaction(60, 2, 0, nullptr, 0, "0", "0840", 0), "");
    EXPECT_STREQ(StartTransaction(60, 2, 0, "100", 0, "0", "08G0", 0), "");
    EXPECT_EQ(writeCount(), before);
}

TEST_F(EmvApiTest, SendDataTakesAnExtendedTextWithItsLengthByte) {
    // "03" + length byte + "22:02" is "0322:02" once the length byte is
    // dropped; its colon makes the text odd, which is no missing digit.
    ApiRecorder::registerFirstGeneration();
    ASSERT_TRUE(m_reader->setAnswer("0322:", 0x21, {0xAB, 0xCD}));
    EXPECT_EQ(SendData("030122:02"), 0);
    ASSERT_TRUE(ApiRecorder::instance().waitFor("response", 1));
    EXPECT_EQ(ApiRecorder::instance().callsOf("response")[0].text, "0a00210002abcd");
    auto commands = m_reader->commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_TRUE(commands.back().extended);
    EXPECT_EQ(commands.back().id, 0x0322);
    EXPECT_EQ(commands.back().data, (Bytes{0x02}));
}

TEST_F(EmvApiTest, ConfigurationQueriesReturnTheReadersAnswer) {
    m_reader->setAnswer("0306:", 0, {0x9F, 0x1A, 0x02, 0x08, 0x40});
    EXPECT_STREQ(GetTerminalConfiguration(1, 0, 0, nullptr), "9F1A020840");
    auto commands = m_reader->commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back().id, 0x0306);
    EXPECT_EQ(commands.back().data, (Bytes{0x01, 0x00, 0x00}));

    m_reader->setAnswer("0306:", 0x0005, {0xEE});
    EXPECT_STREQ(GetTerminalConfiguration(1, 0, 0, "9F1A"), "EE");
    EXPECT_EQ(m_reader->commands().back().data, (Bytes{0x01, 0x00, 0x00, 0x9F, 0x1A}));
    EXPECT_EQ(GetResultCode(), 5);
}

TEST_F(EmvApiTest, SendExtendedCommandChecksItsTextAndReportsResultCodeLengthAndData) {
    ApiRecorder::registerFirstGeneration();
    m_reader->setAnswer("0301:", 0x0002, {0x9F, 0x27});
    EXPECT_EQ(SendExtendedCommand("03010000"), 0);
    EXPECT_EQ(head(lastWrite(), 9), (Report{0x01, 0x49, 0x06, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00}));
    EXPECT_EQ(extendedText(1), "000200029F27");

    m_reader->setAnswer("0301:", 0, {});
    EXPECT_EQ(SendExtendedCommand("0301000112"), 0);
    EXPECT_EQ(head(lastWrite(), 10),
              (Report{0x01, 0x49, 0x07, 0x00, 0x00, 0x03, 0x01, 0x00, 0x01, 0x12}));
    EXPECT_EQ(extendedText(2), "00000000");

    size_t before = writeCount();
    EXPECT_EQ(SendExtendedCommand("03010002AB"), 6);
    EXPECT_EQ(SendExtendedCommand("0301"), 6);
    EXPECT_EQ(SendExtendedCommand(nullptr), 6);
    EXPECT_EQ(writeCount(), before);
    EXPECT_EQ(ApiRecorder::instance().count("extended"), 2);
}

TEST_F(EmvApiTest, AnExtendedResponseCarriesTheCodeOfItsOwnExchange) {
    // An asynchronous command of the same reader ends between the extended
    // command's exchange and its report (forced: the report waits for the
    // session, which an open holds meanwhile).
    ApiRecorder::registerFirstGeneration();
    ASSERT_TRUE(m_reader->setAnswer("0301:", 0x0002, {0x9F}));
    ASSERT_TRUE(m_reader->setAnswer("45", 0x07, {}));
    m_reader->setBusy(40);
    auto held = VirtualHid::instance().plug<HeldOpenReader>(VID, EMV_PID, std::string("EMV9"));
    std::thread host([] { EXPECT_EQ(SendExtendedCommand("03010000"), 0); });
    ASSERT_TRUE(waitUntil([&] { return m_reader->busyAnswers() > 0; }));
    EXPECT_EQ(SendData("4500"), 0);  // runs right after the extended command
    std::thread opener([&] { m_handle = OpenDeviceEx("HID://EMV9"); });
    ASSERT_TRUE(held->gate.waitEntered());
    m_reader->setBusy(0);
    EXPECT_TRUE(ApiRecorder::instance().waitFor("response", 1));
    held->gate.release();
    opener.join();
    host.join();
    EXPECT_EQ(extendedText(1), "000200019F");
}

TEST_F(EmvApiTest, ResponsesOfManyPacketsComeBackWhole) {
    // A second reader, on the Ex API.
    m_reader = VirtualHid::instance().plug<ExtendedReader>(VID, EMV_PID, std::string("EMV2"));
    m_handle = OpenDeviceEx("HID://EMV2");
    ASSERT_NE(m_handle, 0u);
    const Bytes hundred = counting(100);  // 52 + 48 bytes
    m_reader->setAnswer("0308:", 0, hundred);
    std::string text = SendCommandEx(m_handle, "0308:01");
    EXPECT_EQ(text.size(), 200u);
    EXPECT_EQ(text, hexOf(hundred));
    EXPECT_EQ(m_reader->nextPacketRequests(), 1);

    // Several thousand bytes: far more than a ring slot of returned text.
    const Bytes big = counting(2000);
    m_reader->setAnswer("030A:", 0, big);
    text = SendCommandEx(m_handle, "030a:010000");
    EXPECT_EQ(text.size(), 4000u);
    EXPECT_EQ(text, hexOf(big));
    EXPECT_EQ(GetResultCodeEx(m_handle), 0);
}

TEST_F(EmvApiTest, BusyAnswersAreWaitedOut) {
    m_reader->setAnswer("030D:", 0, {0x01, 0x02});
    m_reader->setBusy(3);
    char result[64] = {0};
    char command[] = "030d:";
    EXPECT_EQ(QuorinSendCommand(command, 5, result, sizeof(result)), 0);
    EXPECT_STREQ(result, "0102");
    EXPECT_EQ(m_reader->busyAnswers(), 3);
}

TEST_F(EmvApiTest, APacketTheReaderRefusesEndsTheCommandWithAnError) {
    // 130 data bytes: three packets, the second of which (data offset 52)
    // the reader refuses; its status read then says so.
    m_reader->refusePacketAt(52, 0x82);
    size_t before = writeCount();
    std::string text = "0310:" + hexOf(counting(130));
    char result[64] = {0};
    EXPECT_EQ(QuorinSendCommand(&text[0], static_cast<long>(text.size()), result, sizeof(result)),
              17);
    EXPECT_STREQ(result, "");
    EXPECT_EQ(GetResultCode(), 17);
    // Nothing after the refused packet went out.
    EXPECT_EQ(writeCount() - before, 2u);
    EXPECT_EQ(head(lastWrite(), 5), (Report{0x01, 0x49, 58, 0x00, 52}));
    EXPECT_EQ(m_reader->refusedPackets(), 1);

    // The reader is not left out of step: the same command goes through next.
    m_reader->setAnswer("0310:", 0, {0x5A});
    EXPECT_EQ(QuorinSendCommand(&text[0], static_cast<long>(text.size()), result, sizeof(result)),
              0);
    EXPECT_STREQ(result, "5A");
    EXPECT_EQ(m_reader->commands().back().data, counting(130));
}

// Slow: 51 pauses of 100 ms and 50 next-packet requests.
TEST_F(EmvApiTest, AReaderBusyFiftyOneTimesGivesOne) {
    m_reader->setBusy(51);
    char result[64] = {0};
    char command[] = "030d:";
    EXPECT_EQ(QuorinSendCommand(command, 5, result, sizeof(result)), 1);
    EXPECT_EQ(m_reader->busyAnswers(), 51);
}

TEST_F(EmvApiTest, NotificationsReachEveryCallbackAndTheQueueOnce) {
    ApiRecorder::registerFirstGeneration();
    auto other = VirtualHid::instance().plug<ExtendedReader>(VID, EMV_PID, std::string("EMV3"));
    m_handle = OpenDeviceEx("HID://EMV3");
    ASSERT_NE(m_handle, 0u);
    int obj = 0;
    ApiRecorder::registerEx(m_handle, &obj);

    // Longer than 4095 bytes (a hex text of 8192 characters): whole in both
    // generations, with its true length in the extended-response text.
    // Packets of 256 bytes: 20 each, well within what a handle queues.
    const Bytes message = counting(5000);
    m_reader->setNotificationChunkSize(256);
    other->setNotificationChunkSize(256);
    m_reader->pushNotification(0x0301, message);
    m_reader->pushNotification(0x0999, message);
    other->pushNotification(0x0303, message);
    // A notification whose middle packet never came is dropped and reported.
    auto packets = ExtendedReader::notificationPackets(0x0302, counting(130));
    other->pushInputReport(packets[0]);
    other->pushInputReport(packets[2]);
    other->pushNotification(0x0998, {});  // the last one, to know all have been handled

    ApiRecorder& rec = ApiRecorder::instance();
    ASSERT_TRUE(rec.waitFor("displayMessage", 1));
    ASSERT_TRUE(rec.waitFor("extended", 1));
    ASSERT_TRUE(rec.waitFor("notification", 4));
    auto display = rec.callsOf("displayMessage");
    EXPECT_EQ(display[0].text, hexOf(message));
    EXPECT_EQ(rec.callsOf("extended")[0].text, "09991388" + hexOf(message));

    std::vector<RecordedCall> firstGeneration;
    std::vector<RecordedCall> ex;
    for (const RecordedCall& c : rec.callsOf("notification")) {
        (c.handle == 0 ? firstGeneration : ex).push_back(c);
    }
    ASSERT_EQ(firstGeneration.size(), 2u);
    ASSERT_EQ(ex.size(), 2u);
    for (const RecordedCall& c : firstGeneration) {
        EXPECT_EQ(c.text, hexOf(message));
    }
    for (const RecordedCall& c : ex) {
        EXPECT_EQ(c.handle, m_handle);
        EXPECT_EQ(c.obj, &obj);
        EXPECT_EQ(c.text, c.messageId == 0x0303 ? hexOf(message) : "");
    }
    auto errors = rec.callsOf("error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].handle, m_handle);
    EXPECT_EQ(errors[0].text, "Notification incomplete: dropped!");
    EXPECT_EQ(GetLostDataCountEx(m_handle), 1u);
    // Only the first-generation reader feeds the first-generation callbacks.
    EXPECT_EQ(rec.count("arqc"), 0);
    EXPECT_EQ(rec.count("displayMessage"), 1);
    EXPECT_EQ(rec.count("extended"), 1);

    EXPECT_EQ(std::string(GetTransactionProgress(0)), "code,769;data," + hexOf(message));
    EXPECT_EQ(std::string(GetTransactionProgress(0)), "code,2457;data," + hexOf(message));
    EXPECT_STREQ(GetTransactionProgress(1000), "");
}

TEST_F(EmvApiTest, AWholeTransactionThroughTheFirstGenerationApi) {
    ApiRecorder::registerFirstGeneration();
    ApiRecorder& rec = ApiRecorder::instance();
    EXPECT_STREQ(StartTransaction(30, 2, 0, "1999", 0, "0", "0840", 0), "");
    ASSERT_TRUE(rec.waitFor("transactionStatus", 1));
    ASSERT_TRUE(rec.waitFor("displayMessage", 1));
    ASSERT_TRUE(rec.waitFor("userSelection", 1));
    EXPECT_EQ(extendedText(), "00000000");
    EXPECT_EQ(rec.callsOf("displayMessage")[0].text,
              hexOf(Bytes{'P', 'R', 'E', 'S', 'E', 'N', 'T', ' ', 'C', 'A', 'R', 'D'}));
    EXPECT_EQ(std::string(GetTransactionProgress(0)).substr(0, 15), "code,768;data,0");
    EXPECT_EQ(std::string(GetTransactionProgress(0)).substr(0, 14), "code,769;data,");
    EXPECT_EQ(std::string(GetTransactionProgress(0)).substr(0, 14), "code,770;data,");
    EXPECT_STREQ(GetTransactionProgress(0), "");
    EXPECT_EQ(rec.count("arqc"), 0);

    EXPECT_STREQ(SetUserSelectionResult(0, 1), "");
    ASSERT_TRUE(rec.waitFor("arqc", 1));
    std::string arqc = rec.callsOf("arqc")[0].text;
    EXPECT_EQ(arqc.substr(0, 2), "F9");
    EXPECT_NE(arqc.find("9F0206000000001999"), std::string::npos) << arqc;
    EXPECT_NE(arqc.find("5F2A020840"), std::string::npos) << arqc;
    EXPECT_EQ(std::string(GetTransactionProgress(0)), "code,771;data," + arqc);

    EXPECT_STREQ(SetAcquirerResponse("8A023030"), "");
    ASSERT_TRUE(rec.waitFor("transactionResult", 1));
    std::string result = rec.callsOf("transactionResult")[0].text;
    EXPECT_EQ(result.substr(0, 14), "F9" + result.substr(2, 2) + "DFDF1A0100") << result;
    EXPECT_EQ(std::string(GetTransactionProgress(0)), "code,772;data," + result);
    EXPECT_EQ(m_reader->transactionState(), ExtendedReader::TransactionState::IDLE);
    EXPECT_EQ(rec.count("transactionStatus"), 1);
    EXPECT_EQ(rec.count("userSelection"), 1);

    // A clear empties the queue too: its messages carry card data.
    m_reader->pushNotification(0x0303, {0x5A, 0x01, 0x41});
    ASSERT_TRUE(rec.waitFor("arqc", 2));
    ClearCardData();
    EXPECT_STREQ(GetTransactionProgress(0), "");
}

TEST_F(EmvApiTest, SwipesDecodeAndTheEmptyRecordGivesTheBareTlvPayload) {
    EXPECT_STREQ(GetTLVPayload(),
                 "FA1EDFDF2500F418DFDF3700DFDF3900DFDF3B00DFDF3C00DFDF3D00DFDF5000");
    EXPECT_TRUE(IsDeviceEMV());

    ApiRecorder::registerFirstGeneration();
    m_reader->swipe("%B4111111111111111^CARDHOLDER/SAMPLE^3012101000000000000?",
                    ";4111111111111111=30121010000000000000?", "");
    ASSERT_TRUE(ApiRecorder::instance().waitFor("card", 1));
    EXPECT_STREQ(GetTrack1Masked(), "%B4111********1111^CARDHOLDER/SAMPLE^3012101000000000000?");
    EXPECT_STREQ(GetTrack2Masked(), ";4111********1111=30121010000000000000?");
    EXPECT_STREQ(GetDeviceSerial(), "EMV1");
    std::string payload = GetTLVPayload();
    EXPECT_EQ(payload.substr(0, 4), "FA81") << payload;
    EXPECT_NE(payload.find("DFDF2504454D5631"), std::string::npos) << payload;  // "EMV1"
}

}  // namespace
