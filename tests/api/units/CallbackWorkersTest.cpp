// The reusable callback threads: reuse, independence of jobs, release of
// what a job captured, and retirement at unload. Each test uses its own set
// and retires it before the set goes.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "TestWait.h"
#include "api/CallbackWorkers.h"

using namespace quorin;
using quorin_test::waitUntil;

namespace {
constexpr std::chrono::milliseconds RETIRE_TIMEOUT{5000};
}

TEST(CallbackWorkers, AFinishedThreadTakesTheNextJobAndLetsGoOfTheLastOne) {
    CallbackWorkers workers;
    std::promise<std::thread::id> first;
    auto captured = std::make_shared<int>(7);
    ASSERT_TRUE(workers.run([&first, captured] { first.set_value(std::this_thread::get_id()); }));
    const std::thread::id firstThread = first.get_future().get();
    ASSERT_TRUE(waitUntil([&] { return workers.idleThreads() == 1; }));
    // The waiting thread no longer holds what its job captured (a command
    // worker's reader must not outlive its close by the linger time).
    EXPECT_TRUE(waitUntil([&] { return captured.use_count() == 1; }));

    std::promise<std::thread::id> second;
    ASSERT_TRUE(workers.run([&second] { second.set_value(std::this_thread::get_id()); }));
    EXPECT_EQ(second.get_future().get(), firstThread);
    EXPECT_EQ(workers.threads(), 1);
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackWorkers, ABlockedJobHoldsUpNoOther) {
    CallbackWorkers workers;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> blockedStarted{false};
    ASSERT_TRUE(workers.run([&, released] {
        blockedStarted = true;
        released.wait();
    }));
    ASSERT_TRUE(waitUntil([&] { return blockedStarted.load(); }));
    quorin_test::EventCounter ran;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(workers.run([&ran] { ran.bump(); }));
    }
    EXPECT_TRUE(ran.waitFor(3));
    release.set_value();
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
    EXPECT_EQ(workers.threads(), 0);
}

TEST(CallbackWorkers, RetiringEndsIdleThreadsAndRefusesJobs) {
    CallbackWorkers workers;
    quorin_test::EventCounter ran;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(workers.run([&ran] { ran.bump(); }));
    }
    ASSERT_TRUE(ran.waitFor(4));
    ASSERT_TRUE(waitUntil([&] { return workers.idleThreads() == workers.threads(); }));
    EXPECT_GE(workers.threads(), 1);
    // Idle threads wait far longer than this bound: retire must wake them.
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
    EXPECT_EQ(workers.threads(), 0);
    std::atomic<bool> late{false};
    EXPECT_FALSE(workers.run([&late] { late = true; }));
    EXPECT_FALSE(late.load());
}

TEST(CallbackWorkers, AJobThatExitsItsThreadIsCountedOut) {
    CallbackWorkers workers;
    std::atomic<bool> started{false};
    ASSERT_TRUE(workers.run([&started] {
        started = true;
        pthread_exit(nullptr);
    }));
    ASSERT_TRUE(waitUntil([&] { return started.load() && workers.threads() == 0; }));
    // The set still works: a new job gets a new thread.
    quorin_test::EventCounter ran;
    ASSERT_TRUE(workers.run([&ran] { ran.bump(); }));
    EXPECT_TRUE(ran.waitFor(1));
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackWorkers, TrimmingEndsIdleThreadsAndThoseRunningWhenTheirJobReturns) {
    CallbackWorkers workers;
    quorin_test::EventCounter ran;
    ASSERT_TRUE(workers.run([&ran] { ran.bump(); }));
    ASSERT_TRUE(ran.waitFor(1));
    ASSERT_TRUE(waitUntil([&] { return workers.idleThreads() == 1; }));
    // The waiting thread would linger far longer than this bound.
    workers.trimIdle();
    EXPECT_TRUE(waitUntil([&] { return workers.threads() == 0; }));

    // One job still running when the trim comes (a closed reader's last
    // callback): its thread must not stay waiting afterwards.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> running{false};
    ASSERT_TRUE(workers.run([&running, released] {
        running = true;
        released.wait();
    }));
    ASSERT_TRUE(waitUntil([&] { return running.load(); }));
    workers.trimIdle();
    release.set_value();
    EXPECT_TRUE(waitUntil([&] { return workers.threads() == 0; }));

    // Trimmed, not retired: jobs still run.
    ASSERT_TRUE(workers.run([&ran] { ran.bump(); }));
    EXPECT_TRUE(ran.waitFor(2));
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackWorkers, WithoutLingeringAJobStartedAfterTheTrimLeavesNoThread) {
    CallbackWorkers workers;
    quorin_test::EventCounter ran;
    ASSERT_TRUE(workers.run([&ran] { ran.bump(); }));
    ASSERT_TRUE(ran.waitFor(1));
    ASSERT_TRUE(waitUntil([&] { return workers.idleThreads() == 1; }));
    // The last reader closed: the waiting thread goes at once.
    workers.setLinger(false);
    EXPECT_TRUE(waitUntil([&] { return workers.threads() == 0; }));

    // A closed reader's late callback, launched after the close's trim, must
    // not leave its thread waiting for the linger time.
    ASSERT_TRUE(workers.run([&ran] { ran.bump(); }));
    ASSERT_TRUE(ran.waitFor(2));
    EXPECT_TRUE(waitUntil([&] { return workers.threads() == 0; }));

    // A reader opened again: threads are reused again.
    workers.setLinger(true);
    ASSERT_TRUE(workers.run([&ran] { ran.bump(); }));
    ASSERT_TRUE(ran.waitFor(3));
    EXPECT_TRUE(waitUntil([&] { return workers.idleThreads() == 1; }));
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackWorkers, AtTheBoundJobsWaitForAThreadOldestFirst) {
    CallbackWorkers workers(2);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    quorin_test::EventCounter blocked;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(workers.run([&blocked, released] {
            blocked.bump();
            released.wait();
        }));
    }
    ASSERT_TRUE(blocked.waitFor(2));
    std::mutex lock;
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(workers.run([&, i] {
            std::lock_guard<std::mutex> guard(lock);
            order.push_back(i);
        }));
    }
    EXPECT_EQ(workers.threads(), 2);
    EXPECT_EQ(workers.queuedJobs(), 5);
    release.set_value();
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> guard(lock);
        return order.size() == 5;
    }));
    // Two threads take them, so only the start order is known: the oldest
    // queued job is always taken first.
    EXPECT_EQ(workers.queuedJobs(), 0);
    EXPECT_LE(workers.threads(), 2);
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}
