// The ordered callback queue of one reader, tested directly with short stall
// bounds and small worker sets: order, the stall hand-off, the bounds on
// threads and queued callbacks, and what drain/abandon wait for.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "TestWait.h"
#include "api/CallbackQueue.h"
#include "api/CallbackWorkers.h"

using namespace quorin;
using quorin_test::waitUntil;
using std::chrono::milliseconds;

namespace {

constexpr milliseconds RETIRE_TIMEOUT{5000};

// Records the order in which jobs started and whether two ever overlapped.
struct Trace {
    std::mutex lock;
    std::vector<int> started;
    int running = 0;
    bool overlapped = false;

    void enter(int n) {
        std::lock_guard<std::mutex> guard(lock);
        started.push_back(n);
        if (++running > 1) {
            overlapped = true;
        }
    }
    void leave() {
        std::lock_guard<std::mutex> guard(lock);
        --running;
    }
    std::vector<int> order() {
        std::lock_guard<std::mutex> guard(lock);
        return started;
    }
};

// A gate that jobs wait at until the test opens it.
struct Gate {
    std::promise<void> opened;
    std::shared_future<void> wait = opened.get_future().share();
    void open() { opened.set_value(); }
};

}  // namespace

TEST(CallbackQueue, JobsStartInOrderEachAfterThePreviousReturned) {
    CallbackWorkers workers;
    auto queue = CallbackQueue::create(CallbackQueue::STALL_BOUND, workers);
    Trace trace;
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(queue->post([&trace, i] {
            trace.enter(i);
            trace.leave();
        }),
                  CallbackQueue::Posted::QUEUED);
    }
    queue->drain();
    std::vector<int> order = trace.order();
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(order[static_cast<size_t>(i)], i);
    }
    EXPECT_FALSE(trace.overlapped);
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackQueue, AStalledJobStopsHoldingBackTheRestWhichStayInOrder) {
    CallbackWorkers workers;
    auto queue = CallbackQueue::create(milliseconds(30), workers);
    Gate gate;
    Trace trace;
    std::atomic<bool> firstReturned{false};
    queue->post([&] {
        trace.enter(0);
        gate.wait.wait();
        trace.leave();
        firstReturned = true;
    });
    for (int i = 1; i <= 3; ++i) {
        queue->post([&trace, i] {
            trace.enter(i);
            trace.leave();
        });
    }
    // Nothing else is posted: the watch alone must notice the stall.
    ASSERT_TRUE(waitUntil([&] { return trace.order().size() == 4; }));
    EXPECT_FALSE(firstReturned.load());
    EXPECT_EQ(trace.order(), (std::vector<int>{0, 1, 2, 3}));
    gate.open();
    queue->drain();
    EXPECT_TRUE(firstReturned.load());
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackQueue, TheWatchLeavesOnceNothingWaitsBehindARunningJob) {
    CallbackWorkers workers;
    // A stall bound far beyond the test: the look the watch is asked for is
    // due only then.
    auto queue = CallbackQueue::create(milliseconds(60000), workers);
    Gate gate;
    queue->post([&] { gate.wait.wait(); });
    queue->post([] {});  // waits behind the first: the watch is asked to look
    ASSERT_TRUE(waitUntil([] { return CallbackWorkers::instance().threads() == 1; }));
    gate.open();
    queue->drain();
    // Nothing waits any more: the watch's thread (of the process-wide set)
    // leaves now, not at the deadline.
    EXPECT_TRUE(
        waitUntil([] { return CallbackWorkers::instance().threads() == 0; }, milliseconds(2000)));
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackQueue, WithoutAStallBoundABlockedJobHoldsTheQueue) {
    CallbackWorkers workers;
    auto queue = CallbackQueue::create(milliseconds(0), workers);
    Gate gate;
    std::atomic<int> ran{0};
    queue->post([&] { gate.wait.wait(); });
    queue->post([&] { ran.fetch_add(1); });
    EXPECT_FALSE(waitUntil([&] { return ran.load() > 0; }, milliseconds(100)));
    gate.open();
    queue->drain();
    EXPECT_EQ(ran.load(), 1);
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackQueue, BlockedJobsNeverTakeMoreThreadsThanTheBoundAndAllRunOnceFreed) {
    // Each job blocks until the gate opens and stalls at once: every stall
    // asks for a new thread, which the set of three must refuse beyond its
    // bound; the jobs then wait, and all run when the gate opens.
    CallbackWorkers workers(3);
    auto queue = CallbackQueue::create(milliseconds(5), workers);
    Gate gate;
    std::atomic<int> done{0};
    std::atomic<int> maxThreads{0};
    for (int i = 0; i < 200; ++i) {
        queue->post([&] {
            int now = workers.threads();
            int seen = maxThreads.load();
            while (now > seen && !maxThreads.compare_exchange_weak(seen, now)) {
            }
            gate.wait.wait();
            done.fetch_add(1);
        });
    }
    ASSERT_TRUE(waitUntil([&] { return workers.threads() == 3; }));
    // Stalls keep being noticed, but no thread beyond the bound appears.
    EXPECT_FALSE(waitUntil([&] { return workers.threads() > 3; }, milliseconds(100)));
    gate.open();
    queue->drain();
    EXPECT_EQ(done.load(), 200);
    EXPECT_LE(maxThreads.load(), 3);
    EXPECT_EQ(queue->dropped(), 0u);
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackQueue, StalledSequencesNeverTakeTheSetAndAnIdleOneStillGetsAThread) {
    // A set of 8 keeps 2 threads from hand-offs; A and C may each run 3
    // callbacks after stalls. Both stall every callback.
    CallbackWorkers workers(8);
    auto a = CallbackQueue::create(milliseconds(5), workers, CallbackQueue::MAX_QUEUED, 3);
    auto c = CallbackQueue::create(milliseconds(5), workers, CallbackQueue::MAX_QUEUED, 3);
    Gate gate;
    std::atomic<int> runningA{0};
    std::atomic<int> mostA{0};
    std::atomic<int> done{0};
    for (int i = 0; i < 70; ++i) {
        a->post([&] {
            const int now = runningA.fetch_add(1) + 1;
            int seen = mostA.load();
            while (now > seen && !mostA.compare_exchange_weak(seen, now)) {
            }
            gate.wait.wait();
            runningA.fetch_sub(1);
            done.fetch_add(1);
        });
    }
    ASSERT_TRUE(waitUntil([&] { return runningA.load() == 4; }));
    for (int i = 0; i < 70; ++i) {
        c->post([&] {
            gate.wait.wait();
            done.fetch_add(1);
        });
    }
    ASSERT_TRUE(waitUntil([&] { return workers.threads() == 6; }));
    EXPECT_FALSE(waitUntil([&] { return workers.threads() > 6; }, milliseconds(50)));
    // B has nothing running: its callback starts at once.
    auto b = CallbackQueue::create(milliseconds(5), workers);
    std::atomic<bool> ranB{false};
    b->post([&] { ranB = true; });
    EXPECT_TRUE(waitUntil([&] { return ranB.load(); }, milliseconds(2000)));
    EXPECT_EQ(mostA.load(), 4);
    gate.open();
    a->drain();
    c->drain();
    b->drain();
    EXPECT_EQ(done.load(), 140);
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackQueue, APostBeyondTheQueueBoundIsRefusedAndCounted) {
    CallbackWorkers workers;
    auto queue = CallbackQueue::create(milliseconds(0), workers, 4);
    Gate gate;
    std::atomic<int> ran{0};
    std::atomic<bool> started{false};
    ASSERT_EQ(queue->post([&] {
        started = true;
        gate.wait.wait();
    }),
              CallbackQueue::Posted::QUEUED);
    ASSERT_TRUE(waitUntil([&] { return started.load(); }));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(queue->post([&] { ran.fetch_add(1); }), CallbackQueue::Posted::QUEUED);
    }
    EXPECT_EQ(queue->post([&] { ran.fetch_add(100); }), CallbackQueue::Posted::DROPPED);
    EXPECT_EQ(queue->dropped(), 1u);
    gate.open();
    queue->drain();
    EXPECT_EQ(ran.load(), 4);
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackQueue, DrainFromInsideAJobWaitsForTheOthersButNotForItself) {
    CallbackWorkers workers;
    auto queue = CallbackQueue::create(CallbackQueue::STALL_BOUND, workers);
    std::atomic<int> after{0};
    std::atomic<bool> drained{false};
    std::atomic<int> afterSeenByDrain{-1};
    queue->post([&] {
        queue->close();
        queue->drain();  // as a close from inside a callback does
        afterSeenByDrain = after.load();
        drained = true;
    });
    // Posted before the close: they must still run, and before drain returns.
    // (The first job may already be closing: posts after that are refused.)
    int accepted = 0;
    for (int i = 0; i < 3; ++i) {
        if (queue->post([&] { after.fetch_add(1); }) == CallbackQueue::Posted::QUEUED) {
            ++accepted;
        }
    }
    ASSERT_TRUE(waitUntil([&] { return drained.load(); }));
    EXPECT_EQ(afterSeenByDrain.load(), accepted);
    EXPECT_EQ(queue->post([] {}), CallbackQueue::Posted::CLOSED);
    EXPECT_TRUE(queue->waitEmpty(RETIRE_TIMEOUT));
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackQueue, DrainWaitsForAStalledJobToReturn) {
    CallbackWorkers workers;
    auto queue = CallbackQueue::create(milliseconds(5), workers);
    Gate gate;
    std::atomic<bool> returned{false};
    queue->post([&] {
        gate.wait.wait();
        returned = true;
    });
    queue->post([] {});
    std::thread opener([&] {
        // Opened only once the second job ran past the stalled first one.
        waitUntil([&] { return queue->pending() == 1; });
        gate.open();
    });
    queue->drain();
    EXPECT_TRUE(returned.load());
    opener.join();
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackQueue, AbandonDropsWhatHasNotStarted) {
    CallbackWorkers workers;
    auto queue = CallbackQueue::create(milliseconds(0), workers);
    Gate gate;
    std::atomic<int> ran{0};
    std::atomic<bool> started{false};
    queue->post([&] {
        started = true;
        gate.wait.wait();
    });
    queue->post([&] { ran.fetch_add(1); });
    ASSERT_TRUE(waitUntil([&] { return started.load(); }));
    EXPECT_FALSE(queue->abandon(milliseconds(20)));  // the first still runs
    gate.open();
    EXPECT_TRUE(queue->abandon(RETIRE_TIMEOUT));
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(queue->post([] {}), CallbackQueue::Posted::CLOSED);
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackQueue, AJobThatEndsItsThreadLetsTheRestGoOn) {
    CallbackWorkers workers;
    auto queue = CallbackQueue::create(milliseconds(0), workers);
    std::atomic<bool> ran{false};
    // pthread_exit unwinds the thread with a forced unwind; swallowing it
    // would abort the process, and the queue must not be left without a
    // runner.
    queue->post([] { pthread_exit(nullptr); });
    queue->post([&] { ran = true; });
    EXPECT_TRUE(queue->waitEmpty(RETIRE_TIMEOUT));
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}

TEST(CallbackQueue, AClosedQueueTakesNothing) {
    CallbackWorkers workers;
    auto queue = CallbackQueue::create(CallbackQueue::STALL_BOUND, workers);
    queue->close();
    std::atomic<bool> ran{false};
    EXPECT_EQ(queue->post([&] { ran = true; }), CallbackQueue::Posted::CLOSED);
    queue->drain();
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(queue->dropped(), 0u);
    EXPECT_TRUE(workers.retire(RETIRE_TIMEOUT));
}
