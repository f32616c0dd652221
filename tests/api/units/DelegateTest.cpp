// The delegates' notification queue, tested directly.
#include <gtest/gtest.h>

#include <string>

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
