// No copy of a card outlives its clear and its close: a host reads a swipe
// from a serial reader in another process through the getters, and the
// host's own memory is searched for the card's account number, tracks and
// name, as text and as hex text.
//
// The card is made up here at random, straight into the scan's private
// region, so no other copy of it exists in this process but the ones the
// library makes. The host's own copies (the record it asks for, the texts it
// copies) go there too: they are the host's to wipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "MemoryScan.h"
#include "Quorin.h"
#include "TestWait.h"
#include "api/ReaderSession.h"
#include "common/CardDataPool.h"

extern char** environ;

using quorin_test::MemoryScan;
using Needles = std::vector<MemoryScan::Needle>;

namespace {

constexpr auto IDLE = std::chrono::seconds(5);

// One made-up card and the texts searched for.
struct Card {
    char pan[17];
    char name[16];  // SURNAME/FIRST
    char track1[64];
    char track2[48];
    char panHex[33];
    char nameHex[32];
    char nameHexLower[32];
};

// What the test keeps in the private region.
struct Private {
    Card cards[2];
    char planted[17];  // planted in the heap: the scan must find it
    char unused[17];   // never used: the scan must not find it
    ZDMSRDATA record;  // the host's copy of the record
    char text[quorin::ReaderSession::CARD_DATA_BUFFER_SIZE];
};

void randomText(char* out, size_t n, const char* alphabet, size_t size) {
    unsigned char bytes[64];
    ASSERT_LE(n, sizeof(bytes));
    ASSERT_EQ(getrandom(bytes, n, 0), static_cast<ssize_t>(n));
    for (size_t i = 0; i < n; ++i) {
        out[i] = alphabet[bytes[i] % size];
    }
}
void digits(char* out, size_t n) {
    randomText(out, n, "0123456789", 10);
}
void letters(char* out, size_t n) {
    randomText(out, n, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 26);
}

// A track: the parts, then twelve random digits of discretionary data and
// the end sentinel.
void track(char* out, std::initializer_list<std::pair<const char*, size_t>> parts) {
    size_t n = 0;
    for (const auto& part : parts) {
        std::memcpy(out + n, part.first, part.second);
        n += part.second;
    }
    digits(out + n, 12);
    out[n + 12] = '?';
}

void hexOf(const char* text, size_t n, char* out, bool lower) {
    const char* d = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = d[static_cast<unsigned char>(text[i]) >> 4];
        out[2 * i + 1] = d[static_cast<unsigned char>(text[i]) & 0x0F];
    }
}

void makeCard(Card& c) {
    c.pan[0] = '4';
    digits(c.pan + 1, 15);
    letters(c.name, 8);
    c.name[8] = '/';
    letters(c.name + 9, 6);
    track(c.track1, {{"%B", 2}, {c.pan, 16}, {"^", 1}, {c.name, 15}, {"^2512101", 8}});
    track(c.track2, {{";", 1}, {c.pan, 16}, {"=2512101", 8}});
    hexOf(c.pan, 16, c.panHex, false);
    hexOf(c.name, 15, c.nameHex, false);
    hexOf(c.name, 15, c.nameHexLower, true);
}

Needles needlesOf(const Card& c) {
    return {
        {c.pan, 16},    {c.name, 15},    {c.track1, strlen(c.track1)}, {c.track2, strlen(c.track2)},
        {c.panHex, 32}, {c.nameHex, 30}, {c.nameHexLower, 30}};
}
const char* const NEEDLE_NAMES[] = {
    "account number",       "name", "track 1", "track 2", "account hex", "name hex",
    "name hex (lower case)"};

// The serial reader in its own process, and the host's callback.
class CardDataMemoryTest : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORIN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUORIN_SANITIZED 1
#endif
#endif
#ifdef QUORIN_SANITIZED
        GTEST_SKIP() << "the sanitizers keep copies of memory of their own; the plain and "
                        "optimised builds run this";
#endif
        ASSERT_TRUE(m_scan.ok());
        m_private = reinterpret_cast<Private*>(m_scan.privateArea());
        makeCard(m_private->cards[0]);
        makeCard(m_private->cards[1]);
        m_private->planted[0] = '5';
        digits(m_private->planted + 1, 15);
        m_private->unused[0] = '6';
        digits(m_private->unused + 1, 15);
        // Making them went through the vector registers.
        quorin::CardDataPool::wipeRegisters();
        ASSERT_TRUE(startReader());
    }
    void TearDown() override {
        if (m_toReader >= 0) {
            close(m_toReader);
        }
        if (m_fromReader >= 0) {
            close(m_fromReader);
        }
        if (m_pid > 0) {
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
    }

    bool startReader() {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        char* argv[] = {const_cast<char*>(QUORIN_TEST_SWIPER), nullptr};
        const int rc = posix_spawn(&m_pid, QUORIN_TEST_SWIPER, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_toReader = in[1];
        m_fromReader = out[0];
        if (rc != 0) {
            m_pid = -1;
            return false;
        }
        m_path = readLine();
        return m_path.compare(0, 9, "SERIAL://") == 0;
    }
    std::string readLine() {
        std::string line;
        char c;
        while (read(m_fromReader, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }
    // Swipes card n and waits until the host's callback for it has returned.
    void swipe(int n) {
        const Card& c = m_private->cards[n];
        const int before = s_swipes.count();
        struct iovec parts[4] = {{const_cast<char*>(c.track1), strlen(c.track1)},
                                 {const_cast<char*>("\t"), 1},
                                 {const_cast<char*>(c.track2), strlen(c.track2)},
                                 {const_cast<char*>("\t\n"), 2}};
        ASSERT_GT(writev(m_toReader, parts, 4), 0);
        ASSERT_EQ(readLine(), "swiped");
        ASSERT_TRUE(s_swipes.waitFor(before + 1));
        ASSERT_TRUE(quorin::ReaderSession::instance().waitIdle(IDLE));
    }

    // The counts of the needles of both cards, the planted number and the
    // unused one, in this order.
    std::vector<size_t> scan() {
        Needles needles = needlesOf(m_private->cards[0]);
        Needles second = needlesOf(m_private->cards[1]);
        needles.insert(needles.end(), second.begin(), second.end());
        needles.push_back({m_private->planted, 16});
        needles.push_back({m_private->unused, 16});
        std::vector<size_t> found = m_scan.count(needles);
        EXPECT_EQ(found[14], 1u) << "the scan misses a planted copy";
        EXPECT_EQ(found[15], 0u) << "the scan finds a number never used";
        return found;
    }
    // Expects counts of card n as given (the other card's all 0).
    void expectCounts(const std::vector<size_t>& found, int n, const std::vector<size_t>& expected,
                      const char* when) {
        for (size_t i = 0; i < 7; ++i) {
            EXPECT_EQ(found[7 * n + i], expected.empty() ? 0 : expected[i])
                << NEEDLE_NAMES[i] << " of card " << n << " " << when;
            EXPECT_EQ(found[7 * (1 - n) + i], 0u)
                << NEEDLE_NAMES[i] << " of card " << 1 - n << " " << when;
        }
    }
    // Occurrences of card n's needles in the texts given.
    std::vector<size_t> countsIn(int n, const std::vector<std::pair<const char*, size_t>>& texts) {
        std::vector<size_t> counts;
        for (const MemoryScan::Needle& needle : needlesOf(m_private->cards[n])) {
            size_t total = 0;
            for (const auto& text : texts) {
                total += MemoryScan::countIn(text.first, text.second, needle);
            }
            counts.push_back(total);
        }
        return counts;
    }

    static void onCard(unsigned long, void*, const char*) {
        s_swipes.bump();
    }
    static void onCardFirst(const char*) {
        s_swipes.bump();
    }

    MemoryScan m_scan{sizeof(Private)};
    Private* m_private = nullptr;
    std::string m_path;
    pid_t m_pid = -1;
    int m_toReader = -1;
    int m_fromReader = -1;
    static quorin_test::EventCounter s_swipes;
};

quorin_test::EventCounter CardDataMemoryTest::s_swipes;

TEST_F(CardDataMemoryTest, ExReaderKeepsOnlyWhatItHandsOutAndNothingAfterClearAndClose) {
    // A copy the scan must find, in the heap as a host would keep it.
    std::vector<char>* planted = new std::vector<char>(m_private->planted, m_private->planted + 16);

    const unsigned long handle = OpenDeviceEx(m_path.c_str());
    ASSERT_NE(handle, 0u);
    OnDataReceivedEx(handle, onCard, nullptr);
    const char* firstText = nullptr;
    for (int n = 0; n < 2; ++n) {
        swipe(n);
        const char* text = GetCardDataEx(handle);
        ASSERT_EQ(GetCardDataStructureEx(handle, &m_private->record), 0);
        const char* raw = GetRawData(handle);
        // While held: the reader's record (as many copies as the host's copy
        // of it holds), the text it handed out and the report it keeps.
        const Card& c = m_private->cards[n];
        std::vector<size_t> expected =
            countsIn(n, {{reinterpret_cast<const char*>(&m_private->record), sizeof(ZDMSRDATA)},
                         {text, strlen(text)},
                         {raw, strlen(raw)},
                         {c.track1, strlen(c.track1)},
                         {c.track2, strlen(c.track2)}});
        std::vector<size_t> found = scan();
        if (n == 0) {
            expectCounts(found, 0, expected, "while held");
            firstText = text;
        } else {
            // The first card's text is still one the API handed out (a ring
            // text outlives the next ones); nothing else of that card stays.
            for (size_t i = 0; i < 7; ++i) {
                EXPECT_EQ(found[i], countsIn(0, {{firstText, strlen(firstText)}})[i])
                    << NEEDLE_NAMES[i] << " of the first card while the next one is held";
                EXPECT_EQ(found[7 + i], expected[i])
                    << NEEDLE_NAMES[i] << " of the next card while it is held";
            }
        }
        const std::string flags = MemoryScan::vmFlagsOf(text);
        EXPECT_NE(flags.find(" dd"), std::string::npos) << "not kept out of core dumps";
        // Locked when the pool says so (it says so in the debug log).
        EXPECT_EQ(flags.find(" lo") != std::string::npos,
                  quorin::CardDataPool::instance().locked());
    }
    ClearCardDataEx(handle);
    expectCounts(scan(), 1, {}, "after ClearCardDataEx");
    CloseDeviceEx(handle);
    expectCounts(scan(), 1, {}, "after CloseDeviceEx");
    explicit_bzero(&m_private->record, sizeof(ZDMSRDATA));
    delete planted;
}

TEST_F(CardDataMemoryTest, FirstGenerationGettersLeaveNothingAfterClearAndClose) {
    std::vector<char>* planted = new std::vector<char>(m_private->planted, m_private->planted + 16);
    ASSERT_EQ(OpenDevice(m_path.c_str()), 0);
    OnDataReceived(onCardFirst);
    swipe(0);
    // Every kind of getter: the ring, the card data buffer, the raw text,
    // the parsed names, the caller's buffers (the host's to wipe).
    for (const char* text : {GetPAN(), GetTrack1(), GetTrack2(), GetMaskedTracks(),
                             GetTrack1Masked(), GetCardName(), GetLastName(), GetRawData(0)}) {
        EXPECT_NE(text[0], '\0');
    }
    EXPECT_NE(MemoryScan::vmFlagsOf(GetCardData()).find(" dd"), std::string::npos);
    EXPECT_NE(MemoryScan::vmFlagsOf(GetPAN()).find(" dd"), std::string::npos);
    int length = 0;
    EXPECT_EQ(QuorinGetTrack2(m_private->text, &length), 0);
    EXPECT_EQ(QuorinGetCardData(&m_private->record), 0);
    EXPECT_EQ(QuorinGetCardDataStr(m_private->text, const_cast<char*>("|")), 0);
    ClearCardData();
    expectCounts(scan(), 0, {}, "after ClearCardData");
    CloseDevice();
    OnDataReceived(nullptr);
    expectCounts(scan(), 0, {}, "after CloseDevice");
    delete planted;
}

TEST_F(CardDataMemoryTest, ARecordedSwipeLeavesNothingAfterItsClose) {
    // The recorder replaces the card (or keeps it, when asked) in copies of
    // its own, on its own thread.
    std::vector<char>* planted = new std::vector<char>(m_private->planted, m_private->planted + 16);
    const std::string file = ::testing::TempDir() + "memory-" + std::to_string(getpid()) + ".rec";
    for (const char* keep : {"0", "1"}) {
        setenv("QUORIN_RECORD", file.c_str(), 1);
        setenv("QUORIN_RECORD_CARD_DATA", keep, 1);
        const unsigned long handle = OpenDeviceEx(m_path.c_str());
        unsetenv("QUORIN_RECORD");
        unsetenv("QUORIN_RECORD_CARD_DATA");
        ASSERT_NE(handle, 0u);
        OnDataReceivedEx(handle, onCard, nullptr);
        swipe(0);
        ClearCardDataEx(handle);
        CloseDeviceEx(handle);
        expectCounts(scan(), 1, {},
                     (std::string("after the close, QUORIN_RECORD_CARD_DATA=") + keep).c_str());
    }
    std::remove(file.c_str());
    delete planted;
}

}  // namespace
