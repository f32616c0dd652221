// The delegates' notification queue and callback threads, tested directly.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <string>

#include "TestWait.h"
#include "api/CallbackGate.h"
#include "api/LocalDelegateEx.h"

using namespace quorin;

TEST(DelegateQueue, OldestNotificationsGiveWayAtTheBound) {
    LocalDelegateEx delegate;
    const unsigned char data[2] = {0x41, 0x42};
    for (int i = 0; i < 1100; ++i) {
        delegate.OnNotification(nullptr, static_cast<unsigned short>(i), data, 2);
    }
    // 1,100 queued, 1,024 kept: the first 76 went.
    EXPECT_EQ(delegate.waitForNotify(), "code,76;data,4142");
    int remaining = 1;
    while (!delegate.waitForNotify().empty()) {
        ++remaining;
    }
    EXPECT_EQ(remaining, 1024);
}

TEST(CallbackThreads, ForcedUnwindOfACallbackThreadLeavesTheGates) {
    auto gate = std::make_shared<CallbackGate>();
    std::atomic<bool> started{false};
    // pthread_exit unwinds the thread with a forced unwind; swallowing it
    // would abort the process.
    ASSERT_TRUE(CallbackGate::launch(gate, [&] {
        started = true;
        pthread_exit(nullptr);
    }));
    ASSERT_TRUE(quorin_test::waitUntil([&] { return started.load(); }));
    EXPECT_TRUE(gate->waitIdle(std::chrono::milliseconds(5000)));
    EXPECT_EQ(gate->running(), 0);
}

TEST(CallbackThreads, AClosedGateStartsNothing) {
    auto gate = std::make_shared<CallbackGate>();
    gate->close();
    std::atomic<bool> ran{false};
    EXPECT_FALSE(CallbackGate::launch(gate, [&] { ran = true; }));
    EXPECT_TRUE(gate->waitIdle(std::chrono::milliseconds(100)));
    EXPECT_FALSE(ran.load());
}
