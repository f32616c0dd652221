// The serial connection over real pseudo-terminals: the emulated reader sits
// on the master side, the connection opens the slave as its port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PtyReader.h"
#include "TestWait.h"
#include "common/CommandTimeout.h"
#include "transport/SerialConnection.h"

using quorin::iConnection;
using quorin::SerialConnection;
using quorin_sim::PtyReader;
using Bytes = std::vector<unsigned char>;

namespace {

// Records what the connection hands to its callbacks.
struct Sink {
    std::mutex lock;
    std::vector<Bytes> frames;
    std::vector<std::string> changes;
    std::vector<int> changeCodes;
    quorin_test::EventCounter frameCount;
    quorin_test::EventCounter changeCount;
    std::atomic<bool> closed{false};
    std::atomic<int> callsAfterClose{0};

    static void onData(iConnection* /*conn*/, unsigned char* data, int len, void* param) {
        Sink* self = static_cast<Sink*>(param);
        if (self->closed.load()) {
            self->callsAfterClose.fetch_add(1);
        }
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->frames.emplace_back(data, data + len);
        }
        self->frameCount.bump();
    }
    static void onChanged(const char* scheme, int change, void* param) {
        Sink* self = static_cast<Sink*>(param);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->changes.emplace_back(scheme);
            self->changeCodes.push_back(change);
        }
        self->changeCount.bump();
    }
    Bytes frame(size_t i) {
        std::lock_guard<std::mutex> guard(lock);
        return i < frames.size() ? frames[i] : Bytes();
    }
};

std::unique_ptr<iConnection> openConnection(const std::string& path, Sink* sink = nullptr) {
    std::unique_ptr<iConnection> conn(iConnection::open(path.c_str()));
    if (conn && sink != nullptr) {
        conn->registerOnDataEvent(&Sink::onData, sink);
        conn->registerConnectionChanged(&Sink::onChanged, sink);
    }
    return conn;
}

// A reader command buffer: byte 0 is the report-ID slot, not sent.
int sendCommand(iConnection& conn, const Bytes& command) {
    Bytes buffer(1, 0x00);
    buffer.insert(buffer.end(), command.begin(), command.end());
    return conn.send(reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 1);
}

// Receives into a buffer of the given capacity; the result code and the bytes.
std::pair<int, Bytes> receiveResponse(iConnection& conn, int capacity = 256) {
    Bytes buffer(static_cast<size_t>(capacity), 0xEE);
    int len = capacity;
    int rc = conn.receive(buffer.data(), &len);
    buffer.resize(rc == 0 ? static_cast<size_t>(len) : 0);
    return {rc, buffer};
}

Bytes cat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

Bytes textBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class SerialConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { quorin::setCommandTimeoutMs(3000); }
    void TearDown() override { quorin::setCommandTimeoutMs(10000); }
};

const Bytes COMMAND = {0x01, 0x01, 0x05};
const Bytes RESPONSE = {0x00, 0x02, 0xAA, 0xBB};

}  // namespace

TEST_F(SerialConnectionTest, CommandRoundTripInEveryFraming) {
    for (PtyReader::Framing framing :
         {PtyReader::Framing::SLIP, PtyReader::Framing::LEGACY, PtyReader::Framing::TIDELINK}) {
        SCOPED_TRACE(static_cast<int>(framing));
        PtyReader reader(framing);
        ASSERT_TRUE(reader.ok()) << reader.error();
        reader.addResponse(COMMAND, RESPONSE);
        std::string path = reader.serialPath("BAUDRATE=9600");
        std::unique_ptr<iConnection> conn = openConnection(path);
        ASSERT_NE(conn, nullptr);
        EXPECT_STREQ(conn->getScheme(), path.c_str());

        ASSERT_EQ(sendCommand(*conn, COMMAND), 0);
        auto [rc, bytes] = receiveResponse(*conn);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(bytes, Bytes({0x73, 0x00, 0x02, 0xAA, 0xBB}));
        ASSERT_EQ(reader.commands().size(), 1u);
        EXPECT_EQ(reader.commands()[0], COMMAND);

        // A second cycle on the same connection.
        reader.addResponse({0x02}, {0x00, 0x00});
        ASSERT_EQ(sendCommand(*conn, {0x02}), 0);
        auto second = receiveResponse(*conn);
        EXPECT_EQ(second.first, 0);
        EXPECT_EQ(second.second, Bytes({0x73, 0x00, 0x00}));
    }
}

TEST_F(SerialConnectionTest, PortIsPutInRawModeAtTheRequestedSpeed) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    Sink sink;
    std::unique_ptr<iConnection> conn = openConnection(reader.serialPath("BAUDRATE=57600"), &sink);
    ASSERT_NE(conn, nullptr);

    int fd = ::open(reader.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    struct termios tio;
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    ::close(fd);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | IGNCR | INLCR), 0u);
    EXPECT_EQ(tio.c_oflag & (ONLCR | OCRNL), 0u);
    EXPECT_EQ(tio.c_cc[VTIME], 1);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600));

    // Line-control bytes travel untouched both ways.
    Bytes awkward = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1A, 0x7F, 0xFF, 0xC0, 0xDB, 0x04, 0x00};
    reader.addResponse(awkward, awkward);
    ASSERT_EQ(sendCommand(*conn, awkward), 0);
    auto [rc, bytes] = receiveResponse(*conn);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(bytes, cat({0x73}, awkward));
    ASSERT_TRUE(reader.sendNotification(awkward));
    ASSERT_TRUE(sink.frameCount.waitFor(1));
    EXPECT_EQ(sink.frame(0), cat({0x02}, awkward));
}

TEST_F(SerialConnectionTest, OpenRefusesBadPathsAndPorts) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    const std::string port = "SERIAL://PORT=" + reader.slavePath();
    for (const std::string& path :
         {port + ",BAUDRATE=14400", port + ",PARITY=X", port + ",ENDINGBYTE=NONE",
          port + ",FORMAT=slip2", std::string("SERIAL://BAUDRATE=9600"),
          std::string("SERIAL://PORT=/dev/null"), std::string("SERIAL://PORT=/nonexistent/tty"),
          std::string("SERIALX//PORT=") + reader.slavePath(), std::string("HID://x")}) {
        EXPECT_EQ(SerialConnection::open(path.c_str()), nullptr) << path;
    }
    EXPECT_EQ(SerialConnection::open(nullptr), nullptr);

    // The same port with acceptable options opens, through the generic factory too.
    std::unique_ptr<iConnection> conn =
        openConnection("serial://port=" + reader.slavePath() +
                       ",baudrate=9600,startingbyte=NONE,parity=e,stopbits=2,foo=1");
    EXPECT_NE(conn, nullptr);
}

TEST_F(SerialConnectionTest, NotificationsAndCardDataReachTheDataCallback) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    Sink sink;
    std::unique_ptr<iConnection> conn = openConnection(reader.serialPath(), &sink);
    ASSERT_NE(conn, nullptr);

    // Frame A plus the first half of B in one write; the rest of B only once
    // A has been delivered, so B is read in two pieces.
    Bytes first = {0x00, 0x05, 0x00, 0x00, 0x12, 0x34, 0x00, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05};
    Bytes second = {0x00, 0x03, 0x00, 0x00, 0x56, 0x78, 0x00, 0x03, 0xC0, 0xDB, 0x0D};
    Bytes frameB = reader.notificationFrame(second);
    size_t half = frameB.size() / 2;
    ASSERT_TRUE(reader.writeRaw(
        cat(reader.notificationFrame(first), Bytes(frameB.begin(), frameB.begin() + half))));
    ASSERT_TRUE(sink.frameCount.waitFor(1));
    EXPECT_EQ(sink.frame(0), cat({0x02}, first));
    ASSERT_TRUE(reader.writeRaw(Bytes(frameB.begin() + half, frameB.end())));
    ASSERT_TRUE(sink.frameCount.waitFor(2));
    EXPECT_EQ(sink.frame(1), cat({0x02}, second));

    // A run-length encoded notification is handed over as the plain one is.
    Bytes runs(300, 0x41);
    runs.push_back(0x42);
    ASSERT_TRUE(reader.sendNotification(runs, true));
    ASSERT_TRUE(sink.frameCount.waitFor(3));
    EXPECT_EQ(sink.frame(2), cat({0x02}, runs));

    // Card data arrives as 0xC0 followed by its hex text, plain or run-length.
    ASSERT_TRUE(reader.sendCardData({0x25, 0x42, 0xC0}));
    ASSERT_TRUE(sink.frameCount.waitFor(4));
    EXPECT_EQ(sink.frame(3), cat({0xC0}, textBytes("2542C0")));
    ASSERT_TRUE(reader.sendCardData({0x07, 0x07, 0x07}, true));
    ASSERT_TRUE(sink.frameCount.waitFor(5));
    EXPECT_EQ(sink.frame(4), cat({0xC0}, textBytes("070707")));
    // A run-length frame that decodes to nothing is dropped as an empty
    // plain one is: the next frame is the next one handed over.
    ASSERT_TRUE(reader.writeRaw(PtyReader::slipFrame(0x01, {}, 0)));
    ASSERT_TRUE(reader.sendCardData({0x09}));
    ASSERT_TRUE(sink.frameCount.waitFor(6));
    EXPECT_EQ(sink.frame(5), cat({0xC0}, textBytes("09")));
}

TEST_F(SerialConnectionTest, LineFramingsDeliverTheirOwnShapes) {
    {
        PtyReader reader(PtyReader::Framing::LEGACY);
        ASSERT_TRUE(reader.ok()) << reader.error();
        Sink sink;
        std::unique_ptr<iConnection> conn = openConnection(reader.serialPath(), &sink);
        ASSERT_NE(conn, nullptr);
        // The reader's card text is passed on as it is, behind 0xC0.
        ASSERT_TRUE(reader.sendCardData(textBytes("%B4111^DOE/J^2512?")));
        ASSERT_TRUE(sink.frameCount.waitFor(1));
        EXPECT_EQ(sink.frame(0), cat({0xC0}, textBytes("%B4111^DOE/J^2512?")));
    }
    {
        PtyReader reader(PtyReader::Framing::TIDELINK);
        ASSERT_TRUE(reader.ok()) << reader.error();
        Sink sink;
        std::unique_ptr<iConnection> conn = openConnection(reader.serialPath(), &sink);
        ASSERT_NE(conn, nullptr);
        // The notification marker takes the place of the line's type byte:
        // the packet reaches the reader as a SLIP link's does.
        ASSERT_TRUE(reader.sendNotification({0x00, 0x01, 0xFE}));
        ASSERT_TRUE(sink.frameCount.waitFor(1));
        EXPECT_EQ(sink.frame(0), Bytes({0x02, 0x00, 0x01, 0xFE}));
    }
}

TEST_F(SerialConnectionTest, ReceiveTimesOutWithinTheCommandTimeout) {
    quorin::setCommandTimeoutMs(300);
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    std::unique_ptr<iConnection> conn = openConnection(reader.serialPath());
    ASSERT_NE(conn, nullptr);

    ASSERT_EQ(sendCommand(*conn, {0x09}), 0);  // no scripted answer
    Bytes buffer(64, 0xEE);
    int len = 64;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(conn->receive(buffer.data(), &len), 1);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_EQ(len, 0);
    EXPECT_GE(elapsed.count(), 280);
    EXPECT_LT(elapsed.count(), 2000);
    EXPECT_TRUE(reader.waitForCommands(1, 1000));
}

TEST_F(SerialConnectionTest, FirstResponseWinsAndOversizedResponsesAreNotSuccess) {
    quorin::setCommandTimeoutMs(300);
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    Sink sink;
    std::unique_ptr<iConnection> conn = openConnection(reader.serialPath(), &sink);
    ASSERT_NE(conn, nullptr);

    ASSERT_EQ(sendCommand(*conn, {0x10}), 0);
    ASSERT_TRUE(reader.waitForCommands(1, 2000));
    // A notification after the two responses: once it has been delivered,
    // both responses have been handled, in order.
    ASSERT_TRUE(reader.writeRaw(
        cat(cat(reader.responseFrame({0x00, 0x01}), reader.responseFrame({0x00, 0x02})),
            reader.notificationFrame({0x00, 0x00}))));
    ASSERT_TRUE(sink.frameCount.waitFor(1));
    auto first = receiveResponse(*conn);
    EXPECT_EQ(first.first, 0);
    EXPECT_EQ(first.second, Bytes({0x73, 0x00, 0x01}));
    // The second frame had no slot of its own: it is gone.
    EXPECT_EQ(receiveResponse(*conn).first, 1);

    reader.addResponse({0x11}, Bytes(40, 0x5A));
    ASSERT_EQ(sendCommand(*conn, {0x11}), 0);
    Bytes small(8, 0xEE);
    int len = 8;
    EXPECT_EQ(conn->receive(small.data(), &len), 17);
    EXPECT_EQ(len, 41);
    EXPECT_EQ(small, Bytes(8, 0xEE));
}

TEST_F(SerialConnectionTest, GarbageAndCutFramesDoNotStopLaterFrames) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    Sink sink;
    std::unique_ptr<iConnection> conn = openConnection(reader.serialPath(), &sink);
    ASSERT_NE(conn, nullptr);

    // Noise without a frame marker is dropped in front of the next frame.
    ASSERT_TRUE(reader.writeRaw({0x11, 0x22, 0xDB, 0x33, 0x0D, 0xFF}));
    ASSERT_TRUE(reader.sendNotification({0x01}));
    ASSERT_TRUE(sink.frameCount.waitFor(1));
    EXPECT_EQ(sink.frame(0), Bytes({0x02, 0x01}));

    // A frame cut short (its end never came) costs at most the frame after it.
    ASSERT_TRUE(reader.writeRaw({0xC0, 0x02, 0x00}));
    ASSERT_TRUE(reader.writeRaw(
        cat(reader.notificationFrame({0x02}),
            cat(reader.notificationFrame({0x03}), reader.notificationFrame({0x04})))));
    ASSERT_TRUE(quorin_test::waitUntil([&] {
        std::lock_guard<std::mutex> guard(sink.lock);
        return !sink.frames.empty() && sink.frames.back() == Bytes({0x02, 0x04});
    }));
    EXPECT_EQ(sink.frame(sink.frameCount.count() - 2), Bytes({0x02, 0x03}));

    // Frames that fail their checks are skipped; commands still work.
    ASSERT_TRUE(reader.writeRaw(PtyReader::slipFrame(0x00, {0x01, 0x02}, 5)));
    ASSERT_TRUE(reader.writeRaw(PtyReader::slipFrame(0x09, {0x01, 0x02})));
    reader.addResponse({0x20}, {0x00});
    ASSERT_EQ(sendCommand(*conn, {0x20}), 0);
    auto [rc, bytes] = receiveResponse(*conn);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(bytes, Bytes({0x73, 0x00}));
}

TEST_F(SerialConnectionTest, PassThroughFormatTakesEachChunkAsTheResponse) {
    PtyReader reader(PtyReader::Framing::LEGACY);
    ASSERT_TRUE(reader.ok()) << reader.error();
    std::unique_ptr<iConnection> conn = openConnection(reader.serialPath("FORMAT=none"));
    ASSERT_NE(conn, nullptr);
    ASSERT_EQ(sendCommand(*conn, {0x1A}), 0);
    ASSERT_TRUE(reader.writeRaw({0x00, 0x02, 0xAA, 0xBB}));
    auto [rc, bytes] = receiveResponse(*conn);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(bytes, Bytes({0x73, 0x00, 0x02, 0xAA, 0xBB}));

    // The pass-through may serve two connections at once.
    PtyReader other(PtyReader::Framing::LEGACY);
    ASSERT_TRUE(other.ok()) << other.error();
    EXPECT_NE(openConnection(other.serialPath("FORMAT=NONE")), nullptr);
}

TEST_F(SerialConnectionTest, TwoConnectionsOnOneFramingEachGetTheirOwnFrames) {
    for (auto framing :
         {PtyReader::Framing::SLIP, PtyReader::Framing::LEGACY, PtyReader::Framing::TIDELINK}) {
        SCOPED_TRACE(static_cast<int>(framing));
        PtyReader readers[2] = {PtyReader(framing), PtyReader(framing)};
        Sink sinks[2];
        std::unique_ptr<iConnection> conns[2];
        const Bytes data[2] = {{0x0A, 0x0B, 0x0C}, {0x1D, 0x1E}};
        const Bytes answers[2] = {{0x00, 0x01, 0x77}, RESPONSE};
        Bytes frames[2];
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(readers[i].ok()) << readers[i].error();
            conns[i] = openConnection(readers[i].serialPath(), &sinks[i]);
            ASSERT_NE(conns[i], nullptr) << "connection " << i;
            frames[i] = readers[i].notificationFrame(data[i]);
            if (frames[i].empty()) {
                frames[i] = readers[i].cardDataFrame(data[i]);  // LEGACY has no notification
            }
            readers[i].addResponse(COMMAND, answers[i]);
        }
        // The first link stops in the middle of a frame while the second
        // takes a whole one and a command's answer.
        ASSERT_TRUE(readers[0].writeRaw(Bytes(frames[0].begin(), frames[0].begin() + 3)));
        ASSERT_TRUE(readers[1].writeRaw(frames[1]));
        ASSERT_EQ(sendCommand(*conns[1], COMMAND), 0);
        EXPECT_EQ(receiveResponse(*conns[1]).second, cat({0x73}, answers[1]));
        ASSERT_TRUE(readers[0].writeRaw(Bytes(frames[0].begin() + 3, frames[0].end())));
        ASSERT_EQ(sendCommand(*conns[0], COMMAND), 0);
        EXPECT_EQ(receiveResponse(*conns[0]).second, cat({0x73}, answers[0]));
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(sinks[i].frameCount.waitFor(1));
            const Bytes got = sinks[i].frame(0);
            ASSERT_GE(got.size(), data[i].size());
            EXPECT_EQ(Bytes(got.end() - static_cast<long>(data[i].size()), got.end()), data[i]);
            EXPECT_LE(got.size(), data[i].size() + 2);
        }
    }
}

TEST_F(SerialConnectionTest, RefusedCommandIsNotWritten) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    std::unique_ptr<iConnection> conn = openConnection(reader.serialPath());
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(sendCommand(*conn, Bytes(0x10000, 0x01)), 6);
    reader.addResponse({0x30}, {0x00});
    ASSERT_EQ(sendCommand(*conn, {0x30}), 0);
    EXPECT_EQ(receiveResponse(*conn).first, 0);
    ASSERT_EQ(reader.commands().size(), 1u);
    EXPECT_EQ(reader.commands()[0], Bytes({0x30}));
}

TEST_F(SerialConnectionTest, LostLinkIsReportedOnceAndEndsCommands) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    Sink sink;
    std::string path = reader.serialPath();
    std::unique_ptr<iConnection> conn = openConnection(path, &sink);
    ASSERT_NE(conn, nullptr);

    reader.hangUp();
    ASSERT_TRUE(sink.changeCount.waitFor(1));
    {
        std::lock_guard<std::mutex> guard(sink.lock);
        EXPECT_EQ(sink.changeCodes[0], 1);
        EXPECT_EQ(sink.changes[0], path);
    }
    EXPECT_EQ(sendCommand(*conn, {0x01}), 5);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receiveResponse(*conn).first, 5);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    conn.reset();
    EXPECT_EQ(sink.changeCount.count(), 1);
}

TEST_F(SerialConnectionTest, DestroyWhileDataStreams) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    Sink sink;
    std::unique_ptr<iConnection> conn = openConnection(reader.serialPath(), &sink);
    ASSERT_NE(conn, nullptr);

    std::atomic<bool> stop{false};
    std::thread streamer([&] {
        Bytes frame = reader.notificationFrame(Bytes(200, 0x5A));
        while (!stop.load()) {
            if (!reader.writeRaw(frame, 50)) {
                continue;  // nobody reads any more: the line is full
            }
        }
    });
    EXPECT_TRUE(sink.frameCount.waitFor(20));
    // A command waiting for an answer is released by the close as well.
    std::thread waiter([&] {
        Bytes buffer(16);
        int len = 16;
        conn->receive(buffer.data(), &len);
    });
    auto start = std::chrono::steady_clock::now();
    conn->close();
    sink.closed.store(true);
    waiter.join();
    conn.reset();
    auto elapsed = std::chrono::steady_clock::now() - start;
    int delivered = sink.frameCount.count();
    stop.store(true);
    streamer.join();
    EXPECT_EQ(sink.callsAfterClose.load(), 0);
    EXPECT_EQ(sink.frameCount.count(), delivered);
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
}
