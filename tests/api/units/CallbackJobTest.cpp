// The job type of the callback threads: what it holds is run once per call,
// moved without being copied, and destroyed exactly once, whether it lives
// inside the job or on the heap.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "api/CallbackJob.h"

using quorin::CallbackJob;

namespace {

// Counts its live copies through a shared counter.
struct Tracked {
    explicit Tracked(std::shared_ptr<int> live) : live(std::move(live)) { ++*this->live; }
    Tracked(Tracked&& other) noexcept : live(other.live) { ++*live; }
    Tracked(const Tracked&) = delete;
    ~Tracked() { --*live; }
    std::shared_ptr<int> live;
};

}  // namespace

TEST(CallbackJob, RunsAndDestroysWhatItHoldsOnceInsideAndOnTheHeap) {
    auto live = std::make_shared<int>(0);
    std::string seen;
    {
        // Small: kept inside. Its text and its counter must survive moves.
        auto text = std::make_unique<std::string>("card data");
        CallbackJob small([&seen, owned = std::move(text), t = Tracked(live)] { seen += *owned; });
        EXPECT_EQ(*live, 1);
        // Large: kept on the heap.
        std::array<char, CallbackJob::INLINE_SIZE + 64> big{};
        big[0] = '+';
        CallbackJob large([&seen, big, t = Tracked(live)] { seen += big[0]; });
        EXPECT_EQ(*live, 2);

        std::vector<CallbackJob> moved;
        moved.push_back(std::move(small));
        moved.push_back(std::move(large));
        // Growing the vector moves the jobs again.
        moved.reserve(16);
        EXPECT_FALSE(small);
        EXPECT_FALSE(large);
        EXPECT_EQ(*live, 2);
        for (auto& job : moved) {
            ASSERT_TRUE(job);
            job();
            job();
        }
        EXPECT_EQ(seen, "card datacard data++");

        CallbackJob assigned;
        assigned = std::move(moved[0]);
        EXPECT_EQ(*live, 2);
        assigned = nullptr;
        EXPECT_EQ(*live, 1);
        EXPECT_FALSE(assigned);
    }
    EXPECT_EQ(*live, 0);
}

TEST(CallbackJob, AssigningOverAHeldJobDestroysTheOldOne) {
    auto live = std::make_shared<int>(0);
    CallbackJob job([t = Tracked(live)] {});
    CallbackJob other([t = Tracked(live)] {});
    ASSERT_EQ(*live, 2);
    job = std::move(other);
    EXPECT_EQ(*live, 1);
    EXPECT_TRUE(job);
}
