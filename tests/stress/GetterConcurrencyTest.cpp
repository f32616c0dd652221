// Host threads reading the card record while swipes of two different cards
// keep arriving: every record read is wholly one card or wholly the other,
// never a mix of an old and a new swipe.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Quorin.h"
#include "StressSupport.h"
#include "TestWait.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_test;
using quorin_sim::PlainCommandReader;
using quorin_sim::VirtualHid;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t CLEAR_PID = 0x01;  // tracks in clear text

struct Card {
    std::string track1, track2, track3, pan;
};
const Card CARD_A = {"%B4111111111111111^DOE/ALEX^2512101?", ";4111111111111111=2512101?", "",
                     "4111111111111111"};
const Card CARD_B = {"%B5555555555554444^SMITH/JO^2901201123456789?",
                     ";5555555555554444=29012011234567?", ";0123456789?", "5555555555554444"};

bool is(const ZDMSRDATA& msr, const Card& card) {
    return card.track1 == msr.m_szTrack1Data && card.track2 == msr.m_szTrack2Data &&
           card.track3 == msr.m_szTrack3Data && card.pan == msr.m_szPAN &&
           msr.m_dwTrack1Length == static_cast<long>(card.track1.size()) &&
           msr.m_dwTrack2Length == static_cast<long>(card.track2.size()) &&
           msr.m_dwTrack3Length == static_cast<long>(card.track3.size());
}

struct Tally {
    std::atomic<int> a{0}, b{0}, empty{0}, torn{0};
    void count(const ZDMSRDATA& msr) {
        if (is(msr, CARD_A)) {
            a.fetch_add(1);
        } else if (is(msr, CARD_B)) {
            b.fetch_add(1);
        } else if (msr.m_szTrack1Data[0] == '\0' && msr.m_szTrack2Data[0] == '\0') {
            empty.fetch_add(1);
        } else {
            torn.fetch_add(1);
        }
    }
};

}  // namespace

TEST(GetterConcurrency, RecordsAreNeverTornWhileSwipesArrive) {
    VirtualHid::instance().reset();
    auto exReader = VirtualHid::instance().plug<PlainCommandReader>(VID, CLEAR_PID, "GC1");
    const unsigned long h = OpenDeviceEx("HID://GC1");
    ASSERT_NE(h, 0u);
    auto firstReader = VirtualHid::instance().plug<PlainCommandReader>(VID, CLEAR_PID, "GC2");
    ASSERT_EQ(OpenDevice(nullptr), 0);  // the last listed reader: GC2
    ASSERT_EQ(firstReader->openHandles(), 1);

    std::atomic<bool> stop{false};
    std::thread swiper([&] {
        for (unsigned i = 0; !stop.load(); ++i) {
            const Card& card = i % 2 == 0 ? CARD_A : CARD_B;
            exReader->swipe(card.track1, card.track2, card.track3);
            firstReader->swipe(card.track1, card.track2, card.track3);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    Tally ex;
    Tally first;
    // Bounded by time: long enough for a few thousand swipes.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    std::vector<std::thread> hosts;
    for (int t = 0; t < 4; ++t) {
        hosts.emplace_back([&, t] {
            ZDMSRDATA msr;
            while (std::chrono::steady_clock::now() < end) {
                if (t % 2 == 0) {
                    ASSERT_EQ(GetCardDataStructureEx(h, &msr), 0);
                    ex.count(msr);
                } else if (QuorinGetCardData(&msr) == 0) {
                    first.count(msr);
                }
            }
        });
    }
    for (std::thread& host : hosts) {
        host.join();
    }
    stop.store(true);
    swiper.join();
    CloseDeviceEx(h);
    CloseDevice();
    VirtualHid::instance().reset();

    std::printf("[ stress ] Ex reads: %d A, %d B, %d empty; first-generation: %d A, %d B\n",
                ex.a.load(), ex.b.load(), ex.empty.load(), first.a.load(), first.b.load());
    EXPECT_EQ(ex.torn.load(), 0);
    EXPECT_EQ(first.torn.load(), 0);
    // Both cards were really seen, or the run proves nothing.
    EXPECT_GT(ex.a.load(), 0);
    EXPECT_GT(ex.b.load(), 0);
    EXPECT_GT(first.a.load() + first.b.load(), 0);
    EXPECT_LE(waitForThreadsAtMost(baselineThreads()), baselineThreads());
}
