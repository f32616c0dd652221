// Serial readers through the exported API, over a real pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "ApiRecorder.h"
#include "CardReport.h"
#include "PtyReader.h"
#include "Quorin.h"
#include "reader/CRConfigTable.h"

using quorin_sim::PtyReader;
using quorin_test::ApiRecorder;
using Bytes = PtyReader::Bytes;

namespace {

class SerialApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ApiRecorder::instance().reset();
        SetCommandTimeout(10000);
    }
    void TearDown() override {
        if (m_handle != 0) {
            CloseDeviceEx(m_handle);
        }
        CloseDevice();
        SetCommandTimeout(10000);
    }

    unsigned long m_handle = 0;
};

TEST_F(SerialApiTest, OpensInEveryFramingWithoutAProductId) {
    for (auto framing :
         {PtyReader::Framing::SLIP, PtyReader::Framing::LEGACY, PtyReader::Framing::TIDELINK}) {
        PtyReader reader(framing);
        ASSERT_TRUE(reader.ok()) << reader.error();
        unsigned long handle = OpenDeviceEx(reader.serialPath("BAUDRATE=115200").c_str());
        ASSERT_NE(handle, 0u) << reader.serialPath();
        EXPECT_EQ(GetProductIDEx(handle), 0);
        EXPECT_EQ(IsDeviceConnectedEx(handle), 1);
        CloseDeviceEx(handle);
    }
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(OpenDevice(reader.serialPath().c_str()), 0);
    long pid = -1;
    QuorinGetPID(&pid);
    EXPECT_EQ(pid, 0);
    // Without a row it is the serial extended-protocol reader: an EMV reader.
    EXPECT_TRUE(IsDeviceEMV());
}

TEST_F(SerialApiTest, APortIsOpenOnceWhateverPathNamesIt) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    char dir[] = "/tmp/quorin-port-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/reader";
    ASSERT_EQ(symlink(reader.slavePath().c_str(), link.c_str()), 0);

    m_handle = OpenDeviceEx(reader.serialPath().c_str());
    ASSERT_NE(m_handle, 0u);
    // Other options, or a link to the same port: still that port.
    for (const std::string& path : {"SERIAL://PORT=" + reader.slavePath() + ",FORMAT=NONE",
                                    "serial://PORT=" + link + ",FORMAT=NONE"}) {
        unsigned long again = OpenDeviceEx(path.c_str());
        EXPECT_EQ(again, 0u) << path;
        CloseDeviceEx(again);
    }
    CloseDeviceEx(m_handle);
    m_handle = OpenDeviceEx(("SERIAL://PORT=" + link + ",FORMAT=NONE").c_str());
    EXPECT_NE(m_handle, 0u);
    unlink(link.c_str());
    rmdir(dir);
}

TEST_F(SerialApiTest, RefusedOptionSetsFailTheOpen) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok());
    for (const char* bad : {"BAUDRATE=14400", "PARITY=X", "ENDINGBYTE=NONE"}) {
        EXPECT_EQ(OpenDeviceEx(reader.serialPath(bad).c_str()), 0u) << bad;
    }
    EXPECT_EQ(OpenDeviceEx("SERIAL://BAUDRATE=115200,FORMAT=SLIP"), 0u);
    EXPECT_EQ(OpenDevice("SERIAL://BAUDRATE=115200"), 1);
}

TEST_F(SerialApiTest, CommandRoundTripAndTimeOut) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok());
    // The frame behind the report-ID byte: command 01, one data byte 00.
    reader.addResponse({0x01, 0x01, 0x00}, {0x00, 0x02, 0x12, 0x34});
    reader.addResponse({0x02, 0x00}, {0x07, 0x01, 0x42});
    m_handle = OpenDeviceEx(reader.serialPath("BAUDRATE=115200").c_str());
    ASSERT_NE(m_handle, 0u);
    EXPECT_STREQ(SendCommandEx(m_handle, "0100"), "1234");
    EXPECT_EQ(GetResultCodeEx(m_handle), 0);
    EXPECT_STREQ(SendCommandEx(m_handle, "02"), "42");
    EXPECT_EQ(GetResultCodeEx(m_handle), 7);

    SetCommandTimeout(300);
    auto start = std::chrono::steady_clock::now();
    EXPECT_STREQ(SendCommandEx(m_handle, "0900"), "");
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(GetResultCodeEx(m_handle), 1);
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
}

TEST_F(SerialApiTest, OneTimeOutBoundsAWholeExchangeOfSeveralPackets) {
    // A slow reader: extended command 0322 is answered in two packets (52 and
    // 48 of 100 bytes), each 500 ms after it was asked for. Each packet comes
    // within the 800 ms time-out, the whole exchange does not. The packets the
    // responder compares with outlive the reader, whose thread may still be
    // answering when the test ends.
    const Bytes command = {0x49, 0x07, 0x00, 0x00, 0x03, 0x22, 0x00, 0x01, 0x02};
    const Bytes nextPacket = {0x4A, 0x00};
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok());
    reader.setResponder([&](const Bytes& received, Bytes* response) {
        Bytes packet;
        if (received == command) {
            packet = {0x0A, 58, 0x00, 0x00, 0x00, 0x00, 0x00, 100};
            packet.resize(packet.size() + 52, 0x11);
        } else if (received == nextPacket) {
            packet = {0x0A, 54, 0x00, 52, 0x00, 0x00, 0x00, 100};
            packet.resize(packet.size() + 48, 0x22);
        } else {
            return false;
        }
        // The reader's own pace, not a wait for something to happen.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        *response = packet;
        return true;
    });
    m_handle = OpenDeviceEx(reader.serialPath("BAUDRATE=115200").c_str());
    ASSERT_NE(m_handle, 0u);
    SetCommandTimeout(800);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_STREQ(SendCommandEx(m_handle, "0322:02"), "");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(GetResultCodeEx(m_handle), 1);
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
}

// Replies a reader writes after a command: each must end the command with
// its own outcome at once, never as a success it was not.
TEST_F(SerialApiTest, CutRepliesFailAndEmptyLinesAreSkipped) {
    struct Row {
        PtyReader::Framing framing;
        std::string reply;  // hex of the bytes written once the command arrived
        const char* text;
        int code;
    };
    const Row rows[] = {
        // The length field says 6 bytes, 3 follow; 0xFFFF bytes; a reply
        // whose own length byte says 4 data bytes, 1 follows.
        {PtyReader::Framing::SLIP,
         "C00400060004"
         "11C0",
         "", 17},
        {PtyReader::Framing::SLIP, "C004FFFF000411C0", "", 17},
        {PtyReader::Framing::SLIP,
         "C00400030004"
         "11C0",
         "", 17},
        // An empty line before the reply.
        {PtyReader::Framing::LEGACY, PtyReader::hex({'\r', '0', '0', '0', '1', '4', '1', '\r'}),
         "41", 0},
        {PtyReader::Framing::TIDELINK,
         PtyReader::hex({'\r', '0', '4', '0', '0', '0', '1', '4', '1', '\r'}), "41", 0},
    };
    SetCommandTimeout(2000);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        PtyReader reader(row.framing);
        ASSERT_TRUE(reader.ok());
        const unsigned long h = OpenDeviceEx(reader.serialPath().c_str());
        ASSERT_NE(h, 0u);
        auto start = std::chrono::steady_clock::now();
        auto answer = std::async(std::launch::async, [h] {
            std::string text = SendCommandEx(h, "0100");
            return std::make_pair(text, GetResultCodeEx(h));
        });
        ASSERT_TRUE(reader.waitForCommands(1, 2000));
        ASSERT_TRUE(reader.writeRaw(PtyReader::unhex(row.reply)));
        auto [text, code] = answer.get();
        EXPECT_EQ(text, row.text);
        EXPECT_EQ(code, row.code);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
        CloseDeviceEx(h);
    }
}

TEST_F(SerialApiTest, ACloseEndsTheExchangeASilentReaderHolds) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok());
    SetCommandTimeout(5000);
    m_handle = OpenDeviceEx(reader.serialPath().c_str());
    ASSERT_NE(m_handle, 0u);
    const unsigned long h = m_handle;
    auto answer = std::async(std::launch::async, [h] {
        std::string text = SendCommandEx(h, "0100");
        return std::make_pair(text, GetResultCodeEx(h));
    });
    ASSERT_TRUE(reader.waitForCommands(1, 2000));
    auto start = std::chrono::steady_clock::now();
    CloseDeviceEx(m_handle);
    m_handle = 0;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    auto [text, code] = answer.get();
    EXPECT_EQ(text, "");
    EXPECT_EQ(code, 5);
}

TEST_F(SerialApiTest, SplitNotificationAndSwipeReachTheCallbacks) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok());
    m_handle = OpenDeviceEx(reader.serialPath("BAUDRATE=115200").c_str());
    ASSERT_NE(m_handle, 0u);
    ApiRecorder::registerEx(m_handle, nullptr);

    Bytes frame =
        reader.notificationFrame(PtyReader::notificationPacket(0x0301, {0x41, 0x42, 0x43}));
    ASSERT_TRUE(reader.writeInPieces(frame, frame.size() / 2 + 1));
    ASSERT_TRUE(ApiRecorder::instance().waitFor("notification", 1));
    auto note = ApiRecorder::instance().callsOf("notification")[0];
    EXPECT_EQ(note.messageId, 0x0301u);
    EXPECT_EQ(note.text, "414243");
    EXPECT_EQ(note.handle, m_handle);

    // A swipe: the serial reader has no table row, so the report is the
    // short, unencrypted layout.
    quorin_sim::CardReport swipe(quorin_sim::ReportLayout::clearTracks());
    swipe.track(1, "%B4111111111111111^DOE/ALEX^2512101?");
    ASSERT_TRUE(reader.sendCardData(swipe.shortReport()));
    ASSERT_TRUE(ApiRecorder::instance().waitFor("card", 1));
    std::string card = ApiRecorder::instance().callsOf("card")[0].text;
    EXPECT_NE(card.find("%B4111111111111111^DOE/ALEX^2512101?"), std::string::npos);
    ZDMSRDATA record;
    ASSERT_EQ(GetCardDataStructureEx(m_handle, &record), 0);
    EXPECT_STREQ(record.m_szLastName, "DOE");
}

TEST_F(SerialApiTest, CompressedSwipeAndNotificationGiveWhatPlainOnesGive) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    m_handle = OpenDeviceEx(reader.serialPath("BAUDRATE=115200").c_str());
    ASSERT_NE(m_handle, 0u);
    ApiRecorder::registerEx(m_handle, nullptr);

    // Long runs of equal bytes, as run-length encoding is meant for; the
    // data holds the bytes the framing escapes as well.
    Bytes data(150, 0x41);
    for (uint8_t b : {0xC0, 0xDB, 0xC0, 0xC0, 0x00, 0x00, 0x00}) {
        data.push_back(b);
    }
    Bytes packet = PtyReader::notificationPacket(0x0302, data);
    ASSERT_TRUE(reader.sendNotification(packet, false));
    ASSERT_TRUE(reader.sendNotification(packet, true));
    ASSERT_TRUE(ApiRecorder::instance().waitFor("notification", 2));
    auto notes = ApiRecorder::instance().callsOf("notification");
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].messageId, 0x0302u);
    EXPECT_EQ(notes[1].messageId, notes[0].messageId);
    EXPECT_EQ(notes[1].text, notes[0].text);
    EXPECT_EQ(notes[0].text.size(), 2 * data.size());
    EXPECT_TRUE(ApiRecorder::instance().callsOf("error").empty());

    // Decoded past 4,096 bytes: whole. A frame whose length field disagrees
    // with its data: dropped, and reported.
    const Bytes longData(5000, 0x5A);
    ASSERT_TRUE(reader.sendNotification(PtyReader::notificationPacket(0x0303, longData), true));
    ASSERT_TRUE(reader.writeRaw(PtyReader::slipFrame(0x02, packet, int(packet.size()) + 1)));
    ASSERT_TRUE(ApiRecorder::instance().waitFor("notification", 3));
    ASSERT_TRUE(ApiRecorder::instance().waitFor("error", 1));
    EXPECT_EQ(ApiRecorder::instance().callsOf("notification")[2].text, PtyReader::hex(longData));
    EXPECT_EQ(ApiRecorder::instance().callsOf("error")[0].text,
              "Frame refused: its length disagrees with its data!");
    EXPECT_EQ(GetLostDataCountEx(m_handle), 1u);

    quorin_sim::CardReport swipe(quorin_sim::ReportLayout::clearTracks());
    swipe.track(1, "%B4111111111111111^DOE/ALEX^2512101?");
    swipe.track(2, ";4111111111111111=2512101?");
    ASSERT_TRUE(reader.sendCardData(swipe.shortReport(), false));
    ASSERT_TRUE(ApiRecorder::instance().waitFor("card", 1));
    std::string plainText = GetCardDataEx(m_handle);

    ASSERT_TRUE(reader.sendCardData(swipe.shortReport(), true));
    ASSERT_TRUE(ApiRecorder::instance().waitFor("card", 2));
    auto cards = ApiRecorder::instance().callsOf("card");
    ASSERT_EQ(cards.size(), 2u);
    // Compared without printing: the texts carry the card's tracks.
    EXPECT_TRUE(cards[1].text == cards[0].text) << "the callbacks' card texts differ";
    ZDMSRDATA compressed;
    ASSERT_EQ(GetCardDataStructureEx(m_handle, &compressed), 0);
    EXPECT_TRUE(std::string(GetCardDataEx(m_handle)) == plainText) << "the card strings differ";
    EXPECT_EQ(std::strcmp(compressed.m_szTrack1Data, "%B4111111111111111^DOE/ALEX^2512101?"), 0);
    EXPECT_EQ(compressed.m_dwTrack1DcdStatus, 0);
}

// A plain frame behind the report-ID byte: a first byte, the data length and the data.
Bytes framed(uint8_t first, const Bytes& data) {
    Bytes frame;
    frame.reserve(data.size() + 2);
    frame.push_back(first);
    frame.push_back(static_cast<uint8_t>(data.size()));
    for (uint8_t b : data) {
        frame.push_back(b);
    }
    return frame;
}

// The line attributes of the pty as another program (or the library) left them.
struct termios lineOf(const PtyReader& reader) {
    struct termios tio {};
    int fd = ::open(reader.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    if (fd >= 0) {
        EXPECT_EQ(tcgetattr(fd, &tio), 0);
        ::close(fd);
    }
    return tio;
}

void setLine(const PtyReader& reader, const struct termios& tio) {
    int fd = ::open(reader.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
    ::close(fd);
}

TEST_F(SerialApiTest, ALineLeftSevenBitWithParityMarksAndFlowControlIsMadeRaw) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    // 7E2 with hardware flow control, stripping, parity marks, software flow
    // control, output processing and a canonical, echoing line. (A pty keeps
    // 8 data bits without parity whatever it is told; the rest it keeps.)
    struct termios left = lineOf(reader);
    left.c_cflag &= ~(CSIZE | CLOCAL);
    left.c_cflag |= CS7 | PARENB | CSTOPB | CRTSCTS;
    left.c_iflag |= ISTRIP | PARMRK | INPCK | IXON | IXOFF | ICRNL;
    left.c_oflag |= OPOST | ONLCR | OLCUC;
    left.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    setLine(reader, left);
    struct termios before = lineOf(reader);
    ASSERT_EQ(before.c_cflag & (CSTOPB | CRTSCTS | CLOCAL),
              static_cast<tcflag_t>(CSTOPB | CRTSCTS));
    ASSERT_EQ(before.c_iflag & (ISTRIP | PARMRK | IXON),
              static_cast<tcflag_t>(ISTRIP | PARMRK | IXON));

    SetCommandTimeout(2000);
    // Every byte the line could swallow, change or double: the framing's
    // C0 and DB, XON and XOFF, FF, line ends and a lower-case letter.
    const Bytes wild = {0xC0, 0xDB, 0x11, 0x13, 0xFF, 0x0A, 0x0D, 0x61, 0xDB, 0xDC, 0xC0};
    const Bytes backwards(wild.rbegin(), wild.rend());
    reader.addResponse(framed(0x01, wild), framed(0x00, backwards));

    m_handle = OpenDeviceEx(reader.serialPath("BAUDRATE=115200").c_str());
    ASSERT_NE(m_handle, 0u);
    ApiRecorder::registerEx(m_handle, nullptr);
    const std::string wildHex = PtyReader::hex(wild);
    EXPECT_EQ(std::string(SendCommandEx(m_handle, ("01" + wildHex).c_str())),
              PtyReader::hex(backwards));
    EXPECT_EQ(GetResultCodeEx(m_handle), 0);
    ASSERT_TRUE(reader.sendNotification(PtyReader::notificationPacket(0x1311, wild)));
    ASSERT_TRUE(ApiRecorder::instance().waitFor("notification", 1));
    EXPECT_EQ(ApiRecorder::instance().callsOf("notification")[0].text, wildHex);
    EXPECT_EQ(ApiRecorder::instance().callsOf("notification")[0].messageId, 0x1311u);

    struct termios raw = lineOf(reader);
    EXPECT_EQ(raw.c_cflag & (CSTOPB | CRTSCTS | CLOCAL), static_cast<tcflag_t>(CLOCAL));
    EXPECT_EQ(raw.c_iflag & (ISTRIP | PARMRK | INPCK | IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    CloseDeviceEx(m_handle);
    m_handle = 0;

    // A character format asked for in the path is put on the raw line (as
    // far as a pty keeps it: odd parity and two stop bits).
    m_handle = OpenDeviceEx(reader.serialPath("PARITY=ODD,DATABITS=7,STOPBITS=2").c_str());
    ASSERT_NE(m_handle, 0u);
    struct termios asked = lineOf(reader);
    EXPECT_EQ(asked.c_cflag & (PARODD | CSTOPB | CRTSCTS), static_cast<tcflag_t>(PARODD | CSTOPB));
    EXPECT_EQ(asked.c_iflag & (ISTRIP | PARMRK | IXON), 0u);
}

}  // namespace
