#include "workers/thread_end.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "workers/detached_threads.h"
#include "workers/worker_gang.h"

namespace lumigrab::testing {
namespace {

using namespace std::chrono_literals;

std::atomic<int> released{0};

// Slow on purpose: a release that ran after the thread reported itself done
// would still be sleeping when the wait returns.
void SlowRelease() {
    std::this_thread::sleep_for(50ms);
    released.fetch_add(1);
}

TEST(WorkerEnd, ReleaseRunsBeforeTheWaitForTheWorkerReturns) {
    AtEveryWorkerEnd(&SlowRelease);

    DetachedThreads threads;
    ASSERT_TRUE(threads.start([] {}));
    ASSERT_TRUE(threads.waitIdle(10s));
    EXPECT_GE(released.load(), 1) << "a plain detached thread";

    released = 0;
    WorkerGang gang(threads);
    ASSERT_EQ(gang.startWhenFree(1, [] {}), WorkerGang::Start::Started);
    ASSERT_TRUE(gang.waitIdle(10s));
    EXPECT_GE(released.load(), 1) << "a gang's worker, waited for through the gang";
    ASSERT_TRUE(threads.waitIdle(10s));
}

// What main waits for before it returns: a thread of any DetachedThreads,
// whoever holds it, keeps the process count up until its body has ended.
TEST(WorkerEnd, ProcessCountWaitsForThreadsOfEveryOwner) {
    std::atomic<bool> release{false};
    {
        DetachedThreads owner;
        ASSERT_TRUE(owner.start([&release] {
            while (!release.load()) std::this_thread::sleep_for(1ms);
        }));
    }
    EXPECT_FALSE(DetachedThreads::waitAllIdle(50ms));
    release = true;
    EXPECT_TRUE(DetachedThreads::waitAllIdle(10s));
}

}  // namespace
}  // namespace lumigrab::testing
