// The delegates' notification queue, tested directly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/LocalDelegate.h"
#include "api/LocalDelegateEx.h"

using namespace quorin;

namespace {

// Takes every queued notification: how many there were.
int takeAll(DelegateCore& delegate) {
    int taken = 0;
    while (!delegate.waitForNotify().empty()) {
        ++taken;
    }
    return taken;
}

}  // namespace

TEST(DelegateQueue, OldestNotificationsGiveWayAtTheBounds) {
    LocalDelegate delegate;
    const unsigned char data[2] = {0x41, 0x42};
    for (int i = 0; i < 1100; ++i) {
        delegate.OnNotification(nullptr, static_cast<unsigned short>(i), data, 2);
    }
    // 1,100 queued, 1,024 kept: the first 76 went.
    EXPECT_EQ(delegate.waitForNotify(), "code,76;data,4142");
    EXPECT_EQ(takeAll(delegate), 1023);

    // The longest notifications: "code,N;data," and 131,070 digits each, 63
    // of them within the 8 MiB the queue holds.
    const std::vector<unsigned char> longest(65535, 0x41);
    for (int i = 0; i < 100; ++i) {
        delegate.OnNotification(nullptr, 0x0303, longest.data(), 65535);
    }
    EXPECT_EQ(takeAll(delegate), 63);

    // An Ex reader's are not queued: no call takes them out.
    LocalDelegateEx ex;
    ex.OnNotification(nullptr, 0x0303, data, 2);
    EXPECT_EQ(takeAll(ex), 0);
}
