// Open/close cycles of first-generation and Ex readers while the reader sends
// swipes and notifications, asynchronous commands are in flight and the
// host's callbacks are slow. Nothing may crash, no Ex callback may run for a
// reader that is closed, and every thread the library started must be gone
// afterwards (leaks are the address-sanitizer build's to find).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Quorin.h"
#include "StressSupport.h"
#include "TestWait.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_test;
using quorin_sim::ExtendedReader;
using quorin_sim::PlainCommandReader;
using quorin_sim::VirtualHid;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PLAIN_PID = 0x01;     // clear tracks, no handshake
constexpr uint16_t EXTENDED_PID = 0x19;  // notifications; opens with a handshake
const char* const TRACK1 = "%B4111111111111111^DOE/ALEX^2512101?";
const char* const TRACK2 = ";4111111111111111=2512101?";

// What the callbacks saw. An Ex callback's object identifies the cycle that
// registered it; it must belong to a reader that is open while it runs.
struct Tracker {
    std::mutex lock;       // guards open
    std::set<void*> open;  // objects of the readers open now
    std::atomic<int> closedReaderCalls{0};
    std::atomic<int> cards{0};
    std::atomic<int> notifications{0};
    std::atomic<int> responses{0};
    std::atomic<int> connected{0};
    std::atomic<int> disconnected{0};
    std::atomic<int> badTexts{0};
    const char* expectedInCard = TRACK2;  // part of every card data string

    void enter(void* obj) {
        std::lock_guard<std::mutex> guard(lock);
        if (open.count(obj) == 0) {
            closedReaderCalls.fetch_add(1);
        }
    }
    void opened(void* obj) {
        std::lock_guard<std::mutex> guard(lock);
        open.insert(obj);
    }
    void closed(void* obj) {
        std::lock_guard<std::mutex> guard(lock);
        open.erase(obj);
    }
};

Tracker* g_tracker = nullptr;

// A host that takes its time over every callback. A reader's callbacks run
// one after the other, so a host slower than the reader's events builds a
// queue that each close then runs dry: this one keeps up, but only just.
void slowHost() {
    std::this_thread::sleep_for(std::chrono::microseconds(700));
}

void checkCardText(const char* text) {
    if (text == nullptr || std::strstr(text, g_tracker->expectedInCard) == nullptr) {
        static std::once_flag shown;
        std::call_once(shown, [&] { std::printf("unexpected card text: %s\n", text); });
        g_tracker->badTexts.fetch_add(1);
    }
}

void onCardEx(unsigned long, void* obj, const char* text) {
    g_tracker->enter(obj);
    g_tracker->cards.fetch_add(1);
    checkCardText(text);
    slowHost();
}
void onStateEx(unsigned long, void* obj, long state) {
    g_tracker->enter(obj);
    (state == ZEDRA_STATE_DISCONNECTED ? g_tracker->disconnected : g_tracker->connected)
        .fetch_add(1);
    slowHost();
}
void onResponseEx(unsigned long, void* obj, const char*) {
    g_tracker->enter(obj);
    g_tracker->responses.fetch_add(1);
    slowHost();
}
void onNotificationEx(unsigned long, void* obj, unsigned int, const char*) {
    g_tracker->enter(obj);
    g_tracker->notifications.fetch_add(1);
    slowHost();
}

void onCard(const char* text) {
    g_tracker->cards.fetch_add(1);
    checkCardText(text);
    slowHost();
}
void onState(long state) {
    (state == ZEDRA_STATE_DISCONNECTED ? g_tracker->disconnected : g_tracker->connected)
        .fetch_add(1);
    slowHost();
}
void onResponse(const char*) {
    g_tracker->responses.fetch_add(1);
    slowHost();
}

// Keeps a reader busy sending until stopped.
class Traffic {
public:
    template <class Fn>
    explicit Traffic(Fn fn)
        : m_thread([this, fn] {
              while (!m_stop.load()) {
                  fn();
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    ~Traffic() { stop(); }
    void stop() {
        m_stop.store(true);
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class OpenCloseStress : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualHid::instance().reset();
        m_tracker.reset(new Tracker());
        g_tracker = m_tracker.get();
        SetCommandTimeout(10000);
        // Threads left by an earlier test would hide this one's.
        m_threadsBefore = baselineThreads();
        ASSERT_LE(waitForThreadsAtMost(m_threadsBefore), m_threadsBefore);
    }
    void TearDown() override {
        OnDataReceived(nullptr);
        OnDeviceConnectionStateChanged(nullptr);
        OnDeviceResponse(nullptr);
        VirtualHid::instance().reset();
    }

    // Every thread the library started has ended, within a bounded wait for
    // the detached callback and command threads still finishing.
    void expectThreadsGone() {
        EXPECT_LE(waitForThreadsAtMost(m_threadsBefore), m_threadsBefore);
        EXPECT_EQ(VirtualHid::instance().openHandles(), 0);
    }

    std::unique_ptr<Tracker> m_tracker;
    int m_threadsBefore = 0;
};

// Ex readers: the handle's callbacks carry the object of their cycle.
template <class Reader>
void exCycles(Reader& reader, const std::string& path, int cycles, Tracker& tracker) {
    std::vector<char> tokens(static_cast<size_t>(cycles));
    for (int i = 0; i < cycles; ++i) {
        void* obj = &tokens[static_cast<size_t>(i)];
        const unsigned long h = OpenDeviceEx(path.c_str());
        ASSERT_NE(h, 0u) << "cycle " << i;
        tracker.opened(obj);
        OnDataReceivedEx(h, &onCardEx, obj);
        OnDeviceConnectionStateChangedEx(h, &onStateEx, obj);
        OnDeviceResponseEx(h, &onResponseEx, obj);
        OnNotificationDataEx(h, &onNotificationEx, obj);
        // A close waits for the asynchronous command in flight (each write
        // waits 50 ms): one cycle in 25 has one.
        if (i % 25 == 12) {
            EXPECT_EQ(SendDataEx(h, "0001"), 0);
        }
        if (i % 25 == 0) {
            // Now and then a synchronous command (50 ms of write pause) meets
            // the close.
            SendCommandEx(h, "0003");
        }
        CloseDeviceEx(h);
        tracker.closed(obj);
        EXPECT_EQ(IsDeviceConnectedEx(h), 0);
    }
    (void)reader;
}

}  // namespace

TEST_F(OpenCloseStress, ExPlainReaderWithSwipesAndCommandsInFlight) {
    auto reader = VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SP1");
    const int cycles = scaled(1000, "QUORIN_STRESS_CYCLES");
    {
        Traffic traffic([&] { reader->swipe(TRACK1, TRACK2, ""); });
        exCycles(*reader, "HID://SP1", cycles, *m_tracker);
    }
    expectThreadsGone();
    EXPECT_EQ(m_tracker->closedReaderCalls.load(), 0);
    EXPECT_EQ(m_tracker->badTexts.load(), 0);
    // The traffic really met the cycles.
    EXPECT_GT(m_tracker->cards.load(), 0);
    // How many asynchronous answers arrive before their reader closes depends
    // on timing (each write waits 50 ms), so only the count is reported.
    std::printf("[ stress ] %d Ex cycles: %d card, %d response, %d state callbacks\n", cycles,
                m_tracker->cards.load(), m_tracker->responses.load(),
                m_tracker->connected.load() + m_tracker->disconnected.load());
}

TEST_F(OpenCloseStress, ExExtendedReaderWithNotificationsInFlight) {
    auto reader = VirtualHid::instance().plug<ExtendedReader>(VID, EXTENDED_PID, "SE1");
    // Each open of this model sends a handshake, paced by the 50 ms write
    // pause: fewer cycles.
    const int cycles = scaled(100, "QUORIN_STRESS_CYCLES");
    const std::vector<uint8_t> data(150, 0x5A);  // three packets
    // The model encrypts: its card data strings carry the masked track.
    m_tracker->expectedInCard = ";4111********1111=2512101?";
    {
        Traffic traffic([&] {
            reader->pushNotification(0x1234, data);
            reader->swipe(TRACK1, TRACK2, "");
        });
        exCycles(*reader, "HID://SE1", cycles, *m_tracker);
    }
    expectThreadsGone();
    EXPECT_EQ(m_tracker->closedReaderCalls.load(), 0);
    EXPECT_EQ(m_tracker->badTexts.load(), 0);
    EXPECT_GT(m_tracker->notifications.load(), 0);
    EXPECT_GT(m_tracker->cards.load(), 0);
    std::printf("[ stress ] %d Ex cycles: %d notification, %d card, %d response callbacks\n",
                cycles, m_tracker->notifications.load(), m_tracker->cards.load(),
                m_tracker->responses.load());
}

TEST_F(OpenCloseStress, FirstGenerationWithSwipesAndCommandsInFlight) {
    auto reader = VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SP2");
    // An Ex open also reports "connected" to the first-generation state;
    // start from "disconnected" so every cycle changes it twice.
    ASSERT_EQ(OpenDevice(nullptr), 0);
    CloseDevice();
    OnDataReceived(&onCard);
    OnDeviceConnectionStateChanged(&onState);
    OnDeviceResponse(&onResponse);
    const int cycles = scaled(1000, "QUORIN_STRESS_CYCLES");
    {
        Traffic traffic([&] { reader->swipe(TRACK1, TRACK2, ""); });
        for (int i = 0; i < cycles; ++i) {
            ASSERT_EQ(OpenDevice(nullptr), 0) << "cycle " << i;
            if (i % 25 == 12) {
                EXPECT_EQ(SendData("0001"), 0);
            }
            if (i % 25 == 0) {
                SendCommand("0003");
            }
            CloseDevice();
            ASSERT_EQ(IsDeviceConnected(), 0);
        }
    }
    OnDataReceived(nullptr);
    OnDeviceConnectionStateChanged(nullptr);
    OnDeviceResponse(nullptr);
    expectThreadsGone();
    EXPECT_EQ(m_tracker->badTexts.load(), 0);
    EXPECT_GT(m_tracker->cards.load(), 0);
    // One state report per open and per close. Each reports the state as
    // its thread finds it, so the split between the two values may vary.
    EXPECT_EQ(m_tracker->connected.load() + m_tracker->disconnected.load(), 2 * cycles);
    EXPECT_GE(m_tracker->disconnected.load(), 1);
    std::printf("[ stress ] %d first-generation cycles: %d card, %d response callbacks\n", cycles,
                m_tracker->cards.load(), m_tracker->responses.load());
}
