// The response areas of a command: every lease starts all zero, although
// only the bytes marked as written are cleared when a lease ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/ZeroedBufferPool.h"

using quorin::ZeroedBufferPool;

namespace {

bool allZero(ZeroedBufferPool::Lease& lease) {
    return std::all_of(lease.data(), lease.data() + lease.size(),
                       [](unsigned char b) { return b == 0; });
}

}  // namespace

TEST(ZeroedBufferPool, EveryLeaseStartsAllZeroWhateverTheLastOneWrote) {
    ZeroedBufferPool pool(4096);
    const unsigned char* first = nullptr;
    {
        ZeroedBufferPool::Lease lease = pool.take();
        ASSERT_EQ(lease.size(), 4096u);
        EXPECT_TRUE(allZero(lease));
        first = lease.data();
        std::memset(lease.data(), 0xAB, 300);
        lease.touched(100);
        lease.touched(300);  // the largest mark counts
        lease.touched(-5);
    }
    {
        // The same storage comes back, cleared.
        ZeroedBufferPool::Lease lease = pool.take();
        EXPECT_EQ(lease.data(), first);
        EXPECT_TRUE(allZero(lease));
        // Within one lease too: clear() between two reads.
        std::memset(lease.data(), 0x5A, lease.size());
        lease.touched(1 << 20);  // more than the buffer: all of it
        lease.clear();
        EXPECT_TRUE(allZero(lease));
        std::memset(lease.data(), 0x11, 10);
        lease.touched(10);
        ZeroedBufferPool::Lease moved = std::move(lease);
        // Only the lease moved into gives the buffer back.
    }
    ZeroedBufferPool::Lease again = pool.take();
    EXPECT_TRUE(allZero(again));
}

TEST(ZeroedBufferPool, LeasesHeldAtOnceNeverShareABuffer) {
    ZeroedBufferPool pool(64);
    ZeroedBufferPool::Lease a = pool.take();
    ZeroedBufferPool::Lease b = pool.take();
    EXPECT_NE(a.data(), b.data());
    std::memset(a.data(), 0xFF, a.size());
    a.touched(64);
    EXPECT_TRUE(allZero(b));
}
