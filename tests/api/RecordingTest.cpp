// The flight recorder through a host: what a recording of clear card data
// holds, and that its replay on the virtual bus gives the host the test
// card in the same layout.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "PtyReader.h"
#include "Quorin.h"
#include "Recording.h"
#include "TestWait.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/ReplayReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_test;
using quorin_sim::VirtualHid;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
// A clear card of a reader that neither encrypts nor masks (product 0x1).
const std::string PAN = "5413330089010434";
const std::string TRACK1 = "%B" + PAN + "^PUBLIC/JOHN Q^2812101000000000000?";
const std::string TRACK2 = ";" + PAN + "=28121010000000000000?";
const std::string NAME_HEX = "5055424C4943";  // "PUBLIC"

std::string asciiHex(const std::string& text) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        out += DIGITS[c >> 4];
        out += DIGITS[c & 0x0F];
    }
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Host {
    std::mutex lock;
    std::string card;
    std::string notification;
    EventCounter events;

    static void onCard(unsigned long, void* obj, const char* text) {
        auto* h = static_cast<Host*>(obj);
        std::lock_guard<std::mutex> guard(h->lock);
        h->card = text;
        h->events.bump();
    }
    static void onNotification(unsigned long, void* obj, unsigned int, const char* text) {
        auto* h = static_cast<Host*>(obj);
        std::lock_guard<std::mutex> guard(h->lock);
        h->notification = text;
        h->events.bump();
    }
};

// Notification 0x0303 whose TLV carries the clear account number (5A),
// name (5F20) and track 2 equivalent (57), cut into packets of 10 bytes so
// the values span packets; then the name again in an element that does not
// parse (its length runs past the end).
const quorin_sim::ExtendedReader::Bytes ARQC = {
    0xF9, 0x28, 0x5A, 0x08, 0x54, 0x13, 0x33, 0x00, 0x89, 0x01, 0x04, 0x34, 0x5F,
    0x20, 0x06, 0x50, 0x55, 0x42, 0x4C, 0x49, 0x43, 0x57, 0x10, 0x54, 0x13, 0x33,
    0x00, 0x89, 0x01, 0x04, 0x34, 0xD2, 0x81, 0x21, 0x01, 0x00, 0x00, 0x00, 0x0F,
    0x9F, 0x02, 0x00, 0x5F, 0x20, 0x09, 0x50, 0x55, 0x42, 0x4C, 0x49, 0x43};

// Opens path, lets the reader act, waits for `events` callbacks, closes.
void session(const std::string& path, Host& host, int events, const std::function<void()>& act) {
    unsigned long handle = OpenDeviceEx(path.c_str());
    ASSERT_NE(handle, 0u) << path;
    OnDataReceivedEx(handle, &Host::onCard, &host);
    OnNotificationDataEx(handle, &Host::onNotification, &host);
    act();
    EXPECT_TRUE(host.events.waitFor(events)) << path;
    CloseDeviceEx(handle);
}

class RecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualHid::instance().reset();
        m_file = ::testing::TempDir() + "recording-" + std::to_string(getpid()) + ".txt";
        std::remove(m_file.c_str());
        setenv("QUORIN_RECORD", m_file.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QUORIN_RECORD");
        unsetenv("QUORIN_RECORD_CARD_DATA");
        VirtualHid::instance().reset();
        std::remove(m_file.c_str());
    }

    // A swipe of the clear card and the notification, recorded.
    std::string record() {
        auto msr = VirtualHid::instance().plug<quorin_sim::PlainCommandReader>(VID, 0x01, "SNCLR");
        auto emv = VirtualHid::instance().plug<quorin_sim::ExtendedReader>(VID, 0x19, "SNEMV");
        emv->setNotificationChunkSize(10);
        Host host;
        session("HID://SNCLR", host, 1, [&] { msr->swipe(TRACK1, TRACK2, ""); });
        EXPECT_NE(host.card.find(PAN), std::string::npos);
        session("HID://SNEMV", host, 2, [&] { emv->pushNotification(0x0303, ARQC); });
        unsetenv("QUORIN_RECORD");
        return readFile(m_file);
    }

    std::string m_file;
};

TEST_F(RecordingTest, ClearCardDataIsReplacedAndTheReplayDecodesTheTestCard) {
    const std::string text = record();
    struct stat st {};
    ASSERT_EQ(stat(m_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The last close ended the recording: the file is closed.
    for (int fd = 0; fd < 1024; ++fd) {
        char link[4096] = "";
        std::string name = "/proc/self/fd/" + std::to_string(fd);
        ssize_t n = readlink(name.c_str(), link, sizeof(link) - 1);
        EXPECT_NE(std::string(link, n > 0 ? static_cast<size_t>(n) : 0), m_file) << fd;
    }
    EXPECT_NE(text.find("card-data=replaced"), std::string::npos);
    // Neither the account number (as ASCII, as hex of ASCII, as BCD) nor
    // the name is in the file.
    for (const std::string& secret :
         {PAN, asciiHex(PAN), std::string(NAME_HEX), std::string("PUBLIC")}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    }
    EXPECT_NE(text.find("track 1 (53 bytes) replaced"), std::string::npos) << text;
    EXPECT_NE(text.find("5A (8 bytes) replaced"), std::string::npos) << text;

    // Replayed: the host reads the test card in the place of the card.
    quorin_sim::Recording recording = quorin_sim::Recording::parse(text);
    ASSERT_EQ(recording.devices.size(), 2u);
    EXPECT_TRUE(recording.problems.empty()) << recording.problems.front();
    VirtualHid::instance().reset();
    std::vector<std::string> reports;
    std::mutex reportLock;
    // Step mode: what the readers send comes once the host is listening.
    std::vector<std::shared_ptr<quorin_sim::ReplayReader>> replays;
    for (const auto& device : recording.devices) {
        replays.push_back(std::make_shared<quorin_sim::ReplayReader>(
            device, quorin_sim::ReplayScript::Options{1.0, true}, [&](const std::string& r) {
                std::lock_guard<std::mutex> guard(reportLock);
                reports.push_back(r);
            }));
        VirtualHid::instance().attach(replays.back());
    }
    auto steps = [](const std::shared_ptr<quorin_sim::ReplayReader>& r, int n) {
        for (int i = 0; i < n; ++i) {
            r->script().step();
        }
    };
    Host host;
    session("HID://SNCLR", host, 1, [&] { steps(replays[0], 1); });
    EXPECT_NE(host.card.find("4111111111111111"), std::string::npos) << host.card;
    EXPECT_NE(host.card.find("TEST"), std::string::npos) << host.card;
    EXPECT_EQ(host.card.find(PAN), std::string::npos);
    session("HID://SNEMV", host, 2, [&] { steps(replays[1], 6); });  // six packets
    EXPECT_NE(host.notification.find("5A084111111111111111"), std::string::npos)
        << host.notification;
    EXPECT_NE(host.notification.find("5F2006" + asciiHex("TESTTE")), std::string::npos);
    VirtualHid::instance().reset();
    replays.clear();
    std::lock_guard<std::mutex> guard(reportLock);
    EXPECT_TRUE(reports.empty()) << reports.front();
}

TEST_F(RecordingTest, CardDataIsKeptWhenAsked) {
    setenv("QUORIN_RECORD_CARD_DATA", "1", 1);
    const std::string text = record();
    EXPECT_NE(text.find("card-data=kept"), std::string::npos);
    EXPECT_NE(text.find(asciiHex(PAN)), std::string::npos);
    EXPECT_NE(text.find(NAME_HEX), std::string::npos);
}

TEST_F(RecordingTest, ASerialAnswerIsNeverRecordedBeforeItsCommand) {
    // The reader answers at once, so its answer is often read while the
    // command's write is still returning: the file must keep their order,
    // which the replay relies on. Each answer frame (type 04) comes after
    // the command (type 05) it answers.
    quorin_sim::PtyReader reader(quorin_sim::PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    reader.addResponse({0x01, 0x01, 0x00}, {0x00, 0x02, 0x12, 0x34});
    unsigned long handle = OpenDeviceEx(reader.serialPath().c_str());
    ASSERT_NE(handle, 0u);
    const int exchanges = 2000;
    for (int i = 0; i < exchanges; ++i) {
        ASSERT_STREQ(SendCommandEx(handle, "0100"), "1234");
    }
    CloseDeviceEx(handle);
    unsetenv("QUORIN_RECORD");
    std::istringstream lines(readFile(m_file));
    std::string line;
    int commands = 0;
    int answers = 0;
    while (std::getline(lines, line)) {
        for (size_t at = line.find("C005"); at != std::string::npos;
             at = line.find("C005", at + 1)) {
            commands += line.find(" tx ") != std::string::npos ? 1 : 0;
        }
        for (size_t at = line.find("C004"); at != std::string::npos;
             at = line.find("C004", at + 1)) {
            ++answers;
        }
        ASSERT_LE(answers, commands) << line;
    }
    EXPECT_EQ(commands, exchanges);
    EXPECT_EQ(answers, exchanges);
}

}  // namespace
