// The thread contract of the exported API: a reader's callbacks in the order
// of its events, the stall and thread bounds, what a close waits for from
// anywhere, handles that are never reused, and one exchange at a time on a
// reader. Against the virtual USB bus and, for order, a serial reader on a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PtyReader.h"
#include "Quorin.h"
#include "TestWait.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_test;
using quorin_sim::ExtendedReader;
using quorin_sim::PlainCommandReader;
using quorin_sim::PtyReader;
using quorin_sim::VirtualHid;
using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PLAIN_PID = 0x01;     // clear tracks, no handshake
constexpr uint16_t EXTENDED_PID = 0x19;  // notifications; opens with a handshake
const char* const TRACK1 = "%B4111111111111111^DOE/ALEX^2512101?";
const char* const TRACK2 = ";4111111111111111=2512101?";

// What one reader's callbacks saw, in the order they started, and whether
// two of them ever ran at once.
class Sink {
public:
    struct Call {
        std::string kind;
        unsigned int id = 0;
        std::string text;
    };

    void enter(Call call) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (++m_inside > 1) {
                m_overlapped = true;
            }
            m_calls.push_back(std::move(call));
        }
        m_changed.notify_all();
        if (m_delay.count() > 0) {
            // A host that takes a little time: callbacks started in the
            // wrong order or side by side would show.
            std::this_thread::sleep_for(m_delay);
        }
        waitForGate();
    }
    void leave() {
        std::lock_guard<std::mutex> guard(m_lock);
        --m_inside;
        ++m_returned;
        m_changed.notify_all();
    }
    bool waitForCalls(size_t n, milliseconds timeout = milliseconds(10000)) {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_for(guard, timeout, [&] { return m_calls.size() >= n; });
    }
    bool waitForReturned(int n, milliseconds timeout = milliseconds(10000)) {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_for(guard, timeout, [&] { return m_returned >= n; });
    }
    std::vector<Call> calls() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_calls;
    }
    int returned() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_returned;
    }
    bool overlapped() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_overlapped;
    }
    void setDelay(std::chrono::microseconds delay) { m_delay = delay; }
    // While closed, every callback waits at the gate.
    void closeGate() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_gateOpen = false;
    }
    void openGate() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_gateOpen = true;
        }
        m_changed.notify_all();
    }

private:
    void waitForGate() {
        std::unique_lock<std::mutex> guard(m_lock);
        m_changed.wait(guard, [&] { return m_gateOpen; });
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Call> m_calls;
    int m_inside = 0;
    int m_returned = 0;
    bool m_overlapped = false;
    bool m_gateOpen = true;
    std::chrono::microseconds m_delay{0};
};

void onNotificationEx(unsigned long, void* obj, unsigned int id, const char* text) {
    auto* sink = static_cast<Sink*>(obj);
    sink->enter({"notification", id, text});
    sink->leave();
}
void onCardEx(unsigned long, void* obj, const char* text) {
    auto* sink = static_cast<Sink*>(obj);
    sink->enter({"card", 0, text});
    sink->leave();
}
void onResponseEx(unsigned long, void* obj, const char* text) {
    auto* sink = static_cast<Sink*>(obj);
    sink->enter({"response", 0, text});
    sink->leave();
}
void onStateEx(unsigned long, void* obj, long state) {
    auto* sink = static_cast<Sink*>(obj);
    sink->enter({"state", static_cast<unsigned int>(state), ""});
    sink->leave();
}

void registerSink(unsigned long h, Sink& sink) {
    OnNotificationDataEx(h, &onNotificationEx, &sink);
    OnDataReceivedEx(h, &onCardEx, &sink);
    OnDeviceResponseEx(h, &onResponseEx, &sink);
    OnDeviceConnectionStateChangedEx(h, &onStateEx, &sink);
}

// The first generation's transaction callbacks, into one sink.
Sink* g_firstSink = nullptr;
void onStatus(const char* text) {
    g_firstSink->enter({"status", 0x300, text});
    g_firstSink->leave();
}
void onDisplay(const char* text) {
    g_firstSink->enter({"display", 0x301, text});
    g_firstSink->leave();
}
void onSelection(const char* text) {
    g_firstSink->enter({"selection", 0x302, text});
    g_firstSink->leave();
}

// Round r's data: its number, so a callback out of order shows which.
Bytes roundData(int r) {
    return {static_cast<uint8_t>(r >> 8), static_cast<uint8_t>(r)};
}
std::string roundHex(int r) {
    char text[8];
    std::snprintf(text, sizeof(text), "%02X%02X", (r >> 8) & 0xFF, r & 0xFF);
    return text;
}

// Round r's three notifications (0x300 to 0x302) as a serial reader puts
// them on the line back to back, for one write.
Bytes roundBurst(const PtyReader& reader, int r) {
    Bytes burst;
    for (uint16_t id = 0x300; id <= 0x302; ++id) {
        Bytes frame = reader.notificationFrame(PtyReader::notificationPacket(id, roundData(r)));
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    return burst;
}

// Checks that the notifications came as round 0's three, round 1's three...
void expectRoundsInOrder(const std::vector<Sink::Call>& calls, int rounds) {
    ASSERT_EQ(calls.size(), static_cast<size_t>(3 * rounds));
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < 3; ++k) {
            const Sink::Call& call = calls[static_cast<size_t>(3 * r + k)];
            ASSERT_EQ(call.id, 0x300u + static_cast<unsigned int>(k)) << "round " << r;
            ASSERT_EQ(call.text, roundHex(r)) << "round " << r << ", callback " << k;
        }
    }
}

// Runs close on another thread while sink holds its callbacks at the gate:
// the close must not return before the gate opens. Returns how many of the
// sink's callbacks had returned when it did.
int returnedWhenCloseReturns(Sink& sink, const std::function<void()>& close) {
    std::atomic<int> returnedAtClose{-1};
    std::thread closer([&] {
        close();
        returnedAtClose = sink.returned();
    });
    EXPECT_FALSE(waitUntil([&] { return returnedAtClose.load() >= 0; }, milliseconds(200)));
    sink.openGate();
    closer.join();
    return returnedAtClose.load();
}

class CallbackOrderTest : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualHid::instance().reset();
        SetCommandTimeout(10000);
    }
    void TearDown() override {
        for (unsigned long h : m_handles) {
            CloseDeviceEx(h);
        }
        CloseDevice();
        OnTransactionStatus(nullptr);
        OnDisplayMessageRequest(nullptr);
        OnUserSelectionRequest(nullptr);
        OnDataReceived(nullptr);
        OnDeviceResponse(nullptr);
        VirtualHid::instance().reset();
    }
    unsigned long openEx(const std::string& path) {
        unsigned long h = OpenDeviceEx(path.c_str());
        if (h != 0) {
            m_handles.push_back(h);
        }
        return h;
    }
    void closeEx(unsigned long h) {
        CloseDeviceEx(h);
        for (auto it = m_handles.begin(); it != m_handles.end(); ++it) {
            if (*it == h) {
                m_handles.erase(it);
                break;
            }
        }
    }

    // The hosts' objects outlive TearDown's closes, as a host's must outlive
    // its readers.
    Sink m_sink;
    Sink m_sinkB;
    std::vector<std::shared_ptr<void>> m_kept;
    std::vector<unsigned long> m_handles;

    // A host object that lives until after TearDown.
    template <class T, class... Args>
    T& keep(Args&&... args) {
        auto kept = std::make_shared<T>(std::forward<Args>(args)...);
        m_kept.push_back(kept);
        return *kept;
    }
};

// ---------------------------------------------------------------- order

TEST_F(CallbackOrderTest, BackToBackNotificationsStartInOrderOnUsb) {
    auto reader = VirtualHid::instance().plug<ExtendedReader>(VID, EXTENDED_PID, "SE1");
    const unsigned long h = openEx("HID://SE1");
    ASSERT_NE(h, 0u);
    Sink& sink = m_sink;
    sink.setDelay(std::chrono::microseconds(50));
    registerSink(h, sink);
    const int rounds = 200;
    for (int r = 0; r < rounds; ++r) {
        // A hidraw node keeps 64 reports: pushing faster than the library
        // reads would lose some, as on real hardware.
        ASSERT_TRUE(waitUntil([&] { return reader->pendingInputReports() < 48; }));
        for (uint16_t id = 0x300; id <= 0x302; ++id) {
            reader->pushNotification(id, roundData(r));
        }
    }
    ASSERT_TRUE(sink.waitForCalls(3 * rounds));
    expectRoundsInOrder(sink.calls(), rounds);
    EXPECT_FALSE(sink.overlapped());
}

TEST_F(CallbackOrderTest, BackToBackNotificationsStartInOrderOnSerial) {
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    const unsigned long h = openEx(reader.serialPath("BAUDRATE=115200"));
    ASSERT_NE(h, 0u);
    Sink& sink = m_sink;
    sink.setDelay(std::chrono::microseconds(50));
    registerSink(h, sink);
    const int rounds = 200;
    for (int r = 0; r < rounds; ++r) {
        // The three frames of a round go out in one write, as a reader that
        // sends them back to back puts them on the line.
        ASSERT_TRUE(reader.writeRaw(roundBurst(reader, r)));
    }
    ASSERT_TRUE(sink.waitForCalls(3 * rounds));
    expectRoundsInOrder(sink.calls(), rounds);
    EXPECT_FALSE(sink.overlapped());
}

TEST_F(CallbackOrderTest, FirstGenerationTransactionCallbacksStartInOrder) {
    // Status, display message, selection request: an EMV screen is built on
    // their order.
    PtyReader reader(PtyReader::Framing::SLIP);
    ASSERT_TRUE(reader.ok()) << reader.error();
    Sink& sink = m_sink;
    sink.setDelay(std::chrono::microseconds(50));
    g_firstSink = &sink;
    OnTransactionStatus(&onStatus);
    OnDisplayMessageRequest(&onDisplay);
    OnUserSelectionRequest(&onSelection);
    ASSERT_EQ(OpenDevice(reader.serialPath().c_str()), 0);
    const int rounds = 200;
    for (int r = 0; r < rounds; ++r) {
        ASSERT_TRUE(reader.writeRaw(roundBurst(reader, r)));
    }
    ASSERT_TRUE(sink.waitForCalls(3 * rounds));
    CloseDevice();
    expectRoundsInOrder(sink.calls(), rounds);
    EXPECT_FALSE(sink.overlapped());
}

TEST_F(CallbackOrderTest, ACallbackBlockedPastTheBoundStopsHoldingBackTheNextOnes) {
    auto reader = VirtualHid::instance().plug<ExtendedReader>(VID, EXTENDED_PID, "SE1");
    const unsigned long h = openEx("HID://SE1");
    ASSERT_NE(h, 0u);
    // A host that waits in its first callback until it has seen the third.
    struct Host {
        std::promise<void> thirdSeen;
        std::shared_future<void> third = thirdSeen.get_future().share();
        std::atomic<int> seen{0};
        std::mutex lock;
        std::vector<std::string> texts;
        std::atomic<int> returned{0};
    };
    Host& host = keep<Host>();
    OnNotificationDataEx(
        h,
        [](unsigned long, void* obj, unsigned int, const char* text) {
            auto* c = static_cast<Host*>(obj);
            {
                std::lock_guard<std::mutex> guard(c->lock);
                c->texts.push_back(text);
            }
            const int n = c->seen.fetch_add(1) + 1;
            if (n == 1) {
                // Deadlocks unless the next callbacks go on without this one.
                c->third.wait_for(std::chrono::seconds(10));
            } else if (n == 3) {
                c->thirdSeen.set_value();
            }
            c->returned.fetch_add(1);
        },
        &host);
    const auto start = std::chrono::steady_clock::now();
    for (int r = 1; r <= 3; ++r) {
        reader->pushNotification(static_cast<uint16_t>(0x300 + r - 1), roundData(r));
    }
    ASSERT_EQ(host.third.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    // The next callbacks were held back for the bound, then went on.
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(900));
    ASSERT_TRUE(waitUntil([&] { return host.returned.load() == 3; }));
    std::lock_guard<std::mutex> guard(host.lock);
    EXPECT_EQ(host.texts, (std::vector<std::string>{roundHex(1), roundHex(2), roundHex(3)}));
}

TEST_F(CallbackOrderTest, TwoThousandEventsAtABlockedHostTakeFewThreadsAndAllArriveInOrder) {
    auto reader = VirtualHid::instance().plug<ExtendedReader>(VID, EXTENDED_PID, "SE1");
    const unsigned long h = openEx("HID://SE1");
    ASSERT_NE(h, 0u);
    Sink& sink = m_sink;
    registerSink(h, sink);
    const int before = threadCount();
    sink.closeGate();
    const int events = 2000;
    for (int r = 0; r < events; ++r) {
        ASSERT_TRUE(waitUntil([&] { return reader->pendingInputReports() < 48; }));
        reader->pushNotification(0x1234, roundData(r));
    }
    // The host blocks in every callback for a while: a thread per event, or
    // per stalled second beyond the bound, would show here.
    int most = 0;
    waitUntil(
        [&] {
            most = std::max(most, threadCount());
            return false;
        },
        milliseconds(2500));
    EXPECT_LE(most, before + 6);
    sink.openGate();
    ASSERT_TRUE(sink.waitForReturned(events, milliseconds(30000)));
    std::vector<Sink::Call> calls = sink.calls();
    ASSERT_EQ(calls.size(), static_cast<size_t>(events));
    // The first few may have been handed on as the host stalled; all of them
    // started in order.
    for (int r = 0; r < events; ++r) {
        ASSERT_EQ(calls[static_cast<size_t>(r)].text, roundHex(r)) << "event " << r;
    }
    EXPECT_EQ(GetDroppedCallbackCountEx(h), 0u);
}

// ---------------------------------------------------------------- closing

TEST_F(CallbackOrderTest, ClosingAReaderFromAnotherReadersCallbackWaitsForItsCallbacks) {
    auto readerA = VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SNA");
    auto readerB = VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SNB");
    const unsigned long a = openEx("HID://SNA");
    const unsigned long b = openEx("HID://SNB");
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    Sink& sinkB = m_sinkB;
    registerSink(b, sinkB);
    struct Closer {
        unsigned long victim = 0;
        Sink* victimSink = nullptr;
        std::atomic<bool> closing{false};
        std::atomic<int> victimReturnedAtClose{-1};
    };
    Closer& closer = keep<Closer>();
    closer.victim = b;
    closer.victimSink = &sinkB;
    OnDataReceivedEx(
        a,
        [](unsigned long, void* obj, const char*) {
            auto* c = static_cast<Closer*>(obj);
            c->closing = true;
            CloseDeviceEx(c->victim);
            c->victimReturnedAtClose = c->victimSink->returned();
        },
        &closer);
    sinkB.closeGate();
    readerB->swipe(TRACK1, TRACK2, "");
    ASSERT_TRUE(sinkB.waitForCalls(1));  // B's card callback runs, held
    readerA->swipe(TRACK1, TRACK2, "");
    ASSERT_TRUE(waitUntil([&] { return closer.closing.load(); }));
    // A's callback is inside the close of B, which must wait for B's callback.
    EXPECT_FALSE(
        waitUntil([&] { return closer.victimReturnedAtClose.load() >= 0; }, milliseconds(200)));
    sinkB.openGate();
    ASSERT_TRUE(waitUntil([&] { return closer.victimReturnedAtClose.load() >= 0; }));
    EXPECT_EQ(closer.victimReturnedAtClose.load(), 1);
    m_handles.erase(std::find(m_handles.begin(), m_handles.end(), b));
    EXPECT_EQ(IsDeviceConnectedEx(b), 0);
}

TEST_F(CallbackOrderTest, AReaderClosedFromItsOwnCallbackStillDeliversWhatCameBefore) {
    auto reader = VirtualHid::instance().plug<ExtendedReader>(VID, EXTENDED_PID, "SE1");
    const unsigned long h = openEx("HID://SE1");
    ASSERT_NE(h, 0u);
    struct Host {
        Sink* sink = nullptr;
        std::atomic<int> afterClose{-1};
    };
    Host& host = keep<Host>();
    host.sink = &m_sink;
    OnNotificationDataEx(
        h,
        [](unsigned long handle, void* obj, unsigned int id, const char* text) {
            auto* c = static_cast<Host*>(obj);
            c->sink->enter({"notification", id, text});
            c->sink->leave();
            if (id == 0x300) {
                // The others were queued before: the close runs them (on
                // another thread) and returns when they are done.
                CloseDeviceEx(handle);
                c->afterClose = static_cast<int>(c->sink->calls().size());
            }
        },
        &host);
    // All three arrive before the first callback can close.
    host.sink->closeGate();
    for (uint16_t id = 0x300; id <= 0x302; ++id) {
        reader->pushNotification(id, roundData(id));
    }
    ASSERT_TRUE(host.sink->waitForCalls(1));
    ASSERT_TRUE(waitUntil([&] { return reader->pendingInputReports() == 0; }));
    host.sink->openGate();
    ASSERT_TRUE(waitUntil([&] { return host.afterClose.load() >= 0; }));
    m_handles.clear();
    EXPECT_EQ(host.afterClose.load(), 3);
    EXPECT_EQ(IsDeviceConnectedEx(h), 0);
}

TEST_F(CallbackOrderTest, FirstGenerationCloseWaitsForRunningCallbacksAndNoneStartsAfter) {
    auto reader = VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SN1");
    reader->setAnswer("45", 0, {0x12, 0x34});
    Sink& sink = m_sink;
    g_firstSink = &sink;
    OnDataReceived([](const char* text) {
        g_firstSink->enter({"card", 0, text});
        g_firstSink->leave();
    });
    OnDeviceResponse([](const char* text) {
        g_firstSink->enter({"response", 0, text});
        g_firstSink->leave();
    });
    ASSERT_EQ(OpenDevice(nullptr), 0);
    sink.closeGate();
    reader->swipe(TRACK1, TRACK2, "");
    ASSERT_TRUE(sink.waitForCalls(1));  // the card callback runs, held
    EXPECT_EQ(SendData("4500"), 0);     // its answer queues behind it
    // Sent: the close must wait for this exchange (a command still waiting
    // to be sent when the reader closes is dropped instead).
    ASSERT_TRUE(waitUntil([&] { return reader->commands().size() == 1; }));
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        CloseDevice();
        closed = true;
    });
    EXPECT_FALSE(waitUntil([&] { return closed.load(); }, milliseconds(200)));
    sink.openGate();
    closer.join();
    // Everything that was launched ran before the close returned...
    const int atClose = sink.returned();
    EXPECT_EQ(atClose, 2);
    std::vector<Sink::Call> calls = sink.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].kind, "response");
    EXPECT_EQ(calls[1].text, "00021234");
    // ...and nothing comes after it.
    reader->swipe(TRACK1, TRACK2, "");
    EXPECT_FALSE(sink.waitForCalls(3, milliseconds(100)));
}

TEST_F(CallbackOrderTest, ASecondCloseOfAReaderBeingClosedWaitsForItsCallbacks) {
    auto reader = VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SN1");
    const unsigned long h = openEx("HID://SN1");
    ASSERT_NE(h, 0u);
    Sink& sink = m_sink;
    registerSink(h, sink);
    sink.closeGate();
    reader->swipe(TRACK1, TRACK2, "");
    ASSERT_TRUE(sink.waitForCalls(1));  // the card callback runs, held
    std::thread first([&] { CloseDeviceEx(h); });
    // The first close made the handle unknown and waits for the callback.
    ASSERT_TRUE(waitUntil([&] { return IsDeviceConnectedEx(h) == 0; }));
    EXPECT_EQ(returnedWhenCloseReturns(sink, [&] { CloseDeviceEx(h); }), 1);
    first.join();
    m_handles.clear();
}

TEST_F(CallbackOrderTest, ACloseAfterAReaderClosedItselfFromACallbackWaitsForThatCallback) {
    auto reader = VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SN1");
    const unsigned long h = openEx("HID://SN1");
    ASSERT_NE(h, 0u);
    struct Host {
        Sink* sink = nullptr;
        std::atomic<bool> selfClosed{false};
    };
    Host& host = keep<Host>();
    host.sink = &m_sink;
    OnDataReceivedEx(
        h,
        [](unsigned long handle, void* obj, const char* text) {
            auto* c = static_cast<Host*>(obj);
            CloseDeviceEx(handle);  // returns before this callback does
            c->selfClosed = true;
            c->sink->enter({"card", 0, text});
            c->sink->leave();
        },
        &host);
    m_sink.closeGate();
    reader->swipe(TRACK1, TRACK2, "");
    ASSERT_TRUE(waitUntil([&] { return host.selfClosed.load(); }));
    m_handles.clear();
    // The host closes the handle too, as at its shutdown: when that close
    // returns, the callback must have returned.
    EXPECT_EQ(returnedWhenCloseReturns(m_sink, [&] { CloseDeviceEx(h); }), 1);
}

TEST_F(CallbackOrderTest, FirstGenerationCloseWaitsForACloseMadeInsideACallback) {
    auto reader = VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SN1");
    Sink& sink = m_sink;
    g_firstSink = &sink;
    static std::atomic<bool> selfClosed;
    selfClosed = false;
    OnDataReceived([](const char* text) {
        CloseDevice();  // returns before this callback does
        selfClosed = true;
        g_firstSink->enter({"card", 0, text});
        g_firstSink->leave();
    });
    ASSERT_EQ(OpenDevice(nullptr), 0);
    sink.closeGate();
    reader->swipe(TRACK1, TRACK2, "");
    ASSERT_TRUE(waitUntil([&] { return selfClosed.load(); }));
    EXPECT_EQ(returnedWhenCloseReturns(sink, [] { CloseDevice(); }), 1);
    // With nothing closing and no callback left, a close returns at once.
    CloseDevice();
}

TEST_F(CallbackOrderTest, FirstGenerationCloseInsideACallbackWaitsDuringAnotherClose) {
    auto reader = VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SN1");
    Sink& sink = m_sink;
    g_firstSink = &sink;
    static std::atomic<int> cards;
    static std::atomic<int> returnedAtInnerClose;
    cards = 0;
    returnedAtInnerClose = -1;
    OnDataReceived([](const char* text) {
        const int n = ++cards;
        g_firstSink->enter({"card", 0, text});
        if (n == 1) {
            // The host's other thread is closing the reader meanwhile.
            CloseDevice();
            returnedAtInnerClose = g_firstSink->returned();
        }
        g_firstSink->leave();
    });
    ASSERT_EQ(OpenDevice(nullptr), 0);
    sink.closeGate();
    reader->swipe(TRACK1, TRACK2, "");
    reader->swipe(TRACK1, TRACK2, "");
    ASSERT_TRUE(sink.waitForCalls(1));  // the first card callback runs, held
    ASSERT_TRUE(waitUntil([&] { return reader->pendingInputReports() == 0; }));
    std::thread closer([] { CloseDevice(); });
    // The outer close has stopped the reader and waits for its callbacks.
    ASSERT_TRUE(waitUntil([&] { return reader->openHandles() == 0; }));
    sink.openGate();
    closer.join();
    // The close inside the first callback returned after the second one.
    EXPECT_EQ(cards.load(), 2);
    EXPECT_EQ(returnedAtInnerClose.load(), 1);
}

// ---------------------------------------------------------------- handles

TEST_F(CallbackOrderTest, AClosedHandleIsNeverGivenToAnotherReader) {
    VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SN1");
    VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SN2");
    std::vector<unsigned long> seen;
    for (int i = 0; i < 20; ++i) {
        const unsigned long h1 = OpenDeviceEx("HID://SN1");
        ASSERT_NE(h1, 0u);
        CloseDeviceEx(h1);
        const unsigned long h2 = OpenDeviceEx("HID://SN2");
        ASSERT_NE(h2, 0u);
        EXPECT_NE(h2, h1);
        // The old handle is an unknown one now: it neither answers for nor
        // closes the reader opened after it.
        EXPECT_EQ(IsDeviceConnectedEx(h1), 0);
        CloseDeviceEx(h1);
        EXPECT_EQ(IsDeviceConnectedEx(h2), 1);
        EXPECT_EQ(OpenDeviceEx("HID://SN2"), 0u);  // still open
        CloseDeviceEx(h2);
        for (unsigned long old : seen) {
            EXPECT_NE(old, h1);
            EXPECT_NE(old, h2);
        }
        seen.push_back(h1);
        seen.push_back(h2);
    }
}

// ---------------------------------------------------------------- exchanges

TEST_F(CallbackOrderTest, ASynchronousCommandNeverMixesWithAnAsynchronousOne) {
    auto reader = VirtualHid::instance().plug<ExtendedReader>(VID, EXTENDED_PID, "SE1");
    Bytes big(150);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i);
    }
    ASSERT_TRUE(reader->setAnswer("45", 0, {0x11, 0x22}));
    ASSERT_TRUE(reader->setAnswer("0322:02", 0, big));
    const unsigned long h = openEx("HID://SE1");
    ASSERT_NE(h, 0u);
    Sink& sink = m_sink;
    registerSink(h, sink);
    const int rounds = 10;
    for (int r = 0; r < rounds; ++r) {
        EXPECT_EQ(SendDataEx(h, "4500"), 0);
        EXPECT_EQ(std::string(SendCommandEx(h, "0322:02")), PtyReader::hex(big)) << "round " << r;
        EXPECT_EQ(GetResultCodeEx(h), 0) << "round " << r;
    }
    ASSERT_TRUE(sink.waitForCalls(rounds));
    for (const Sink::Call& call : sink.calls()) {
        EXPECT_EQ(call.text, "00021122");
    }
}

TEST_F(CallbackOrderTest, BothGenerationsOnOneReaderNeverCrossTheirAnswers) {
    // A host may hold one reader in the first generation and through a
    // handle at once: their exchanges share the device.
    auto reader = VirtualHid::instance().plug<ExtendedReader>(VID, EXTENDED_PID, "SE1");
    Bytes first(150), ex(150);
    for (size_t i = 0; i < first.size(); ++i) {
        first[i] = static_cast<uint8_t>(i);
        ex[i] = static_cast<uint8_t>(0xFF - i);
    }
    ASSERT_TRUE(reader->setAnswer("0322:01", 0, first));
    ASSERT_TRUE(reader->setAnswer("0322:02", 0, ex));
    ASSERT_EQ(OpenDevice("HID://SE1"), 0);
    const unsigned long h = openEx("HID://SE1");
    ASSERT_NE(h, 0u);
    std::atomic<int> wrong{0};
    std::thread other([&] {
        for (int i = 0; i < 6; ++i) {
            if (std::string(SendCommandEx(h, "0322:02")) != PtyReader::hex(ex)) {
                wrong.fetch_add(1);
            }
        }
    });
    for (int i = 0; i < 6; ++i) {
        char answer[1024] = {0};
        char command[] = "0322:01";
        if (QuorinSendCommand(command, 7, answer, sizeof(answer)) != 0 ||
            std::string(answer) != PtyReader::hex(first)) {
            wrong.fetch_add(1);
        }
    }
    other.join();
    EXPECT_EQ(wrong.load(), 0);
    CloseDevice();
}

TEST_F(CallbackOrderTest, AnAsynchronousAnswerInSeveralPacketsArrivesWhole) {
    auto reader = VirtualHid::instance().plug<ExtendedReader>(VID, EXTENDED_PID, "SE1");
    Bytes big(150);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(0xA0 + i % 16);
    }
    ASSERT_TRUE(reader->setAnswer("0322:02", 0x21, big));
    const unsigned long h = openEx("HID://SE1");
    ASSERT_NE(h, 0u);
    Sink& sink = m_sink;
    registerSink(h, sink);
    // The worker drops characters three and four (a length byte).
    EXPECT_EQ(SendDataEx(h, "030122:02"), 0);
    ASSERT_TRUE(sink.waitForCalls(1));
    std::string expected = "0a00210096";
    for (char c : PtyReader::hex(big)) {
        expected += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(sink.calls()[0].text, expected);
    // The synchronous call returns the same answer.
    EXPECT_EQ(std::string(SendCommandEx(h, "0322:02")), PtyReader::hex(big));
    EXPECT_EQ(GetResultCodeEx(h), 0x21);
}

TEST_F(CallbackOrderTest, EachThreadReadsTheResultOfItsOwnCommand) {
    auto reader = VirtualHid::instance().plug<PlainCommandReader>(VID, PLAIN_PID, "SN1");
    ASSERT_TRUE(reader->setAnswer("45", 0x07, {}));
    ASSERT_TRUE(reader->setAnswer("46", 0x00, {0x01}));
    const unsigned long h = openEx("HID://SN1");
    ASSERT_NE(h, 0u);
    std::atomic<int> wrong{0};
    auto run = [&](const char* command, int code, const char* answer) {
        for (int i = 0; i < 5; ++i) {
            std::string text = SendCommandEx(h, command);
            if (text != answer || GetResultCodeEx(h) != code) {
                wrong.fetch_add(1);
            }
        }
    };
    std::thread other([&] { run("46", 0, "01"); });
    run("45", 7, "");
    other.join();
    EXPECT_EQ(wrong.load(), 0);
    // A refused argument sets the code too, never leaving the last one.
    EXPECT_STREQ(SendCommandWithLengthEx(h, "0105AA"), "");
    EXPECT_EQ(GetResultCodeEx(h), 6);
    EXPECT_STREQ(SendCommandEx(h, "46"), "01");
    EXPECT_EQ(GetResultCodeEx(h), 0);
    EXPECT_STREQ(SendCommandWithLengthEx(h, nullptr), "");
    EXPECT_EQ(GetResultCodeEx(h), 6);
    // A command the thread queues supersedes that: its own outcome, here a
    // transfer that failed (no callback tells of it).
    reader->setFailFeatureTransfers(true);
    EXPECT_EQ(SendDataEx(h, "4600"), 0);
    EXPECT_TRUE(waitUntil([&] { return GetResultCodeEx(h) == 17; }));
    reader->setFailFeatureTransfers(false);
}

}  // namespace
