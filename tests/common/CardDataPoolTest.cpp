// The card data pool wipes what it takes back, and the containers built on
// it leave nothing behind: not in a block they let go when they grow, not in
// the small-string buffer inside a text object.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "common/CardDataAllocator.h"
#include "common/CardDataPool.h"
#include "common/CardText.h"
#include "tests/support/TestWait.h"

using quorin::CardBytes;
using quorin::CardDataPool;
using quorin::CardText;

namespace {

bool allZero(const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

// The block the pool hands out next for n bytes: the last one of that size
// it took back.
void* nextBlock(size_t n) {
    void* p = CardDataPool::instance().allocate(n);
    CardDataPool::instance().release(p, n);
    return p;
}

}  // namespace

TEST(CardDataPool, ABlockTakenBackIsWipedBeforeItIsHandedOutAgain) {
    CardDataPool& pool = CardDataPool::instance();
    for (size_t n : {size_t{1}, size_t{100}, size_t{5000}, size_t{65536}}) {
        char* p = static_cast<char*>(pool.allocate(n));
        std::memset(p, 'A', n);
        pool.release(p, n);
        char* again = static_cast<char*>(pool.allocate(n));
        EXPECT_EQ(again, p) << n;
        EXPECT_TRUE(allZero(again, n)) << n;
        pool.release(again, n);
    }
    // A large request has a mapping of its own, unmapped when released.
    char* big = static_cast<char*>(pool.allocate(200000));
    std::memset(big, 'B', 200000);
    pool.release(big, 200000);
}

TEST(CardDataPool, TextsAndBytesLeaveNothingWhenTheyGrowOrGo) {
    // A short text lives inside the object: its destructor wipes it there.
    alignas(CardText) unsigned char storage[sizeof(CardText)] = {};
    CardText* shortText = new (storage) CardText("4111111111");
    // Read as plain bytes (around the object's life, which the compiler
    // would otherwise take for the end of what is stored in it).
    unsigned char* bytes = storage;
    __asm__ __volatile__("" : "+r"(bytes) : : "memory");
    ASSERT_NE(memmem(bytes, sizeof(storage), "4111", 4), nullptr);
    shortText->~CardText();
    __asm__ __volatile__("" : "+r"(bytes) : : "memory");
    EXPECT_EQ(memmem(bytes, sizeof(storage), "4111", 4), nullptr);

    // Growing lets the old block go: it comes back wiped.
    CardText text(40, 'X');
    const size_t oldSize = text.capacity() + 1;
    void* oldBlock = text.data();
    text.append(200, 'Y');
    void* reused = nextBlock(oldSize);
    EXPECT_EQ(reused, oldBlock);
    EXPECT_TRUE(allZero(reused, oldSize));

    // Storage kept for the next text holds nothing of the last one.
    text.wipeKeepStorage();
    EXPECT_TRUE(text.empty());
    EXPECT_TRUE(allZero(text.data(), text.capacity()));

    CardBytes vector(300, 0x5A);
    const unsigned char* block = vector.data();
    vector.resize(10000);
    EXPECT_TRUE(allZero(nextBlock(300), 300));
    EXPECT_EQ(nextBlock(300), static_cast<const void*>(block));
}

TEST(CardDataPool, AForkWhileAnotherThreadAllocatesLeavesTheChildAPoolItCanUse) {
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load()) {
            CardDataPool::instance().release(CardDataPool::instance().allocate(64), 64);
        }
    });
    int stuck = 0;
    for (int i = 0; i < 50; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            CardDataPool::instance().release(CardDataPool::instance().allocate(64), 64);
            _exit(0);
        }
        ASSERT_GT(child, 0);
        // A child left a held lock never gets past its allocation.
        int status = -1;
        if (!quorin_test::waitUntil([&] { return waitpid(child, &status, WNOHANG) != 0; },
                                    std::chrono::seconds(2))) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ++stuck;
        }
    }
    stop.store(true);
    busy.join();
    EXPECT_EQ(stuck, 0);
}
