// Where the library's diagnostics go: the fixed lines follow
// QUORIN_DIAGNOSTICS, and the debug log (QUORIN_DEBUG) tells opens, commands,
// card reads and notifications without a byte of card data.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "Quorin.h"
#include "TestWait.h"
#include "common/Diagnostics.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/VirtualHid.h"

using quorin_sim::ExtendedReader;
using quorin_sim::VirtualHid;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
const char* const PAN = "4111111111111111";

// Sends one of the process's descriptors to a file while it lives.
class Capture {
public:
    explicit Capture(int fd) : m_fd(fd) {
        std::fflush(nullptr);
        std::snprintf(m_path, sizeof(m_path), "/tmp/quorin-diag-XXXXXX");
        int file = mkstemp(m_path);
        m_saved = dup(fd);
        dup2(file, fd);
        close(file);
    }
    ~Capture() {
        restore();
        unlink(m_path);
    }
    std::string text() {
        restore();
        std::ifstream in(m_path);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    void restore() {
        if (m_saved >= 0) {
            std::fflush(nullptr);
            dup2(m_saved, m_fd);
            close(m_saved);
            m_saved = -1;
        }
    }
    int m_fd;
    int m_saved = -1;
    char m_path[64];
};

void onCard(unsigned long, void* obj, const char*) {
    static_cast<quorin_test::EventCounter*>(obj)->bump();
}
void onNotification(unsigned long, void* obj, unsigned int, const char*) {
    static_cast<quorin_test::EventCounter*>(obj)->bump();
}

class DiagnosticsTest : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("QUORIN_DIAGNOSTICS");
        unsetenv("QUORIN_DEBUG");
        quorin::reloadDiagnostics();
        VirtualHid::instance().reset();
    }
};

}  // namespace

TEST_F(DiagnosticsTest, TheFixedLinesGoWhereTheHostSays) {
    VirtualHid::instance().reset();
    VirtualHid::instance().plug<ExtendedReader>(VID, 0x19, "SE1");
    for (const char* where : {"stdout", "stderr", "off"}) {
        setenv("QUORIN_DIAGNOSTICS", where, 1);
        quorin::reloadDiagnostics();
        Capture out(STDOUT_FILENO);
        Capture err(STDERR_FILENO);
        GetDeviceList();
        const std::string o = out.text();
        const std::string e = err.text();
        const std::string line = "Serial Number=SE1";
        EXPECT_EQ(o.find(line) != std::string::npos, std::string(where) == "stdout") << where;
        EXPECT_EQ(e.find(line) != std::string::npos, std::string(where) == "stderr") << where;
    }
}

TEST_F(DiagnosticsTest, TheDebugLogTellsEventsButNoCardData) {
    VirtualHid::instance().reset();
    auto reader = VirtualHid::instance().plug<ExtendedReader>(VID, 0x19, "SE1");
    setenv("QUORIN_DIAGNOSTICS", "off", 1);
    setenv("QUORIN_DEBUG", "1", 1);
    quorin::reloadDiagnostics();
    quorin_test::EventCounter events;
    std::string log;
    {
        Capture err(STDERR_FILENO);
        const unsigned long h = OpenDeviceEx("HID://SE1");
        ASSERT_NE(h, 0u);
        OnDataReceivedEx(h, &onCard, &events);
        OnNotificationDataEx(h, &onNotification, &events);
        reader->swipe(std::string("%B") + PAN + "^DOE/ALEX^2512101?",
                      std::string(";") + PAN + "=2512101?", "");
        // A notification carrying the account number (tag 5A).
        reader->pushNotification(0x0303,
                                 {0x5A, 0x08, 0x41, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11});
        ASSERT_TRUE(events.waitFor(2));
        SendCommandEx(h, "0322:0102");
        CloseDeviceEx(h);
        log = err.text();
    }
    EXPECT_NE(log.find("open HID://SE1: handle"), std::string::npos) << log;
    EXPECT_NE(log.find("card data, tracks"), std::string::npos) << log;
    EXPECT_NE(log.find("notification 0x0303 with 10 data bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("command 0322 with 2 data bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("close handle"), std::string::npos) << log;
    // Neither the account number nor any part of a track, in any form.
    for (const char* secret : {PAN, "411111", "DOE/ALEX", "2512101", "4111111111111111"}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    }
    EXPECT_EQ(log.find("5A08"), std::string::npos);
}
